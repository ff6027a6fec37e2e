#include <gtest/gtest.h>

#include "Common/Config/VornConfig.hpp"
#include "Common/Json/JsonReading.hpp"
#include "Tests/Support/TempRoot.hpp"

using testsupport::TempRoot;

namespace {
void writeConfig(const TempRoot& root, const std::string& text) {
  testsupport::writeFile(root.path() + "/Library/Application Support/Jorvu/VornConfig.json", text);
}
}  // namespace

TEST(VornConfig, AbsentFileMeansDefaults) {
  TempRoot root;
  EXPECT_FALSE(VornConfig::load().has_value());
  EXPECT_FALSE(VornConfig::gameLaunchInfo(128000).has_value());
}

TEST(VornConfig, ReadsAValidFileAndTheFirstEntryWins) {
  TempRoot root;
  writeConfig(root, R"({"common":{"isRemainLogFile":true,"extra":1},"games":[
      {"gameCode":128000,"ktzAPI":"test"},{"gameCode":128000,"ktzAPI":"live"},{"gameCode":7,"ktzAPI":"live"}],
      "unknown":[1,2]})");
  auto config = VornConfig::load();
  ASSERT_TRUE(config.has_value());
  EXPECT_TRUE(config->common.isRemainLogFile);
  ASSERT_EQ(config->games.size(), 3u);
  auto game = VornConfig::gameLaunchInfo(128000);
  ASSERT_TRUE(game.has_value());
  EXPECT_EQ(game->ktzAPI, VornConfig::Game::KTZAPI::test);
  EXPECT_FALSE(VornConfig::gameLaunchInfo(8).has_value());
  EXPECT_EQ(config->description(),
            "VornConfig(common: Common(isRemainLogFile: true), games: [Game(gameCode: 128000, ktzAPI: test), "
            "Game(gameCode: 128000, ktzAPI: live), Game(gameCode: 7, ktzAPI: live)])");
}

TEST(VornConfig, IsReadAfreshOnEachUse) {
  TempRoot root;
  writeConfig(root, R"({"common":{"isRemainLogFile":false},"games":[]})");
  EXPECT_FALSE(VornConfig::load()->common.isRemainLogFile);
  writeConfig(root, R"({"common":{"isRemainLogFile":true},"games":[]})");
  EXPECT_TRUE(VornConfig::load()->common.isRemainLogFile);
}

TEST(VornConfig, InvalidFilesAreRejectedWhole) {
  const char* invalid[] = {
      R"({"games":[]})",
      R"({"common":{"isRemainLogFile":false}})",
      R"({"common":{},"games":[]})",
      R"({"common":{"isRemainLogFile":0},"games":[]})",
      R"({"common":{"isRemainLogFile":null},"games":[]})",
      R"({"common":{"isRemainLogFile":false},"games":{}})",
      R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":1,"ktzAPI":"Live"}]})",
      R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":1,"ktzAPI":"staging"}]})",
      R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":1}]})",
      R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":-1,"ktzAPI":"live"}]})",
      R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":4294967296,"ktzAPI":"live"}]})",
      R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":"1","ktzAPI":"live"}]})",
      R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":1.5,"ktzAPI":"live"}]})",
      R"({"common":{"isRemainLogFile":false},"games":[7]})",
      R"({"common":{"isRemainLogFile":true},"games":[]} trailing)",
      R"([])",
      "",
      "{\"common\":{\"isRemainLogFile\":true},\"games\":[],\"x\":\"\xff\"}",
  };
  for (const char* text : invalid) {
    SCOPED_TRACE(text);
    EXPECT_THROW(VornConfig::decode(text), jsoncoding::DecodingError);
    TempRoot root;
    writeConfig(root, text);
    EXPECT_FALSE(VornConfig::load().has_value());
  }
}

TEST(VornConfig, EdgeValuesThatAreValid) {
  EXPECT_EQ(VornConfig::decode(R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":4294967295,"ktzAPI":"live"}]})")
                .games[0]
                .gameCode,
            4294967295u);
  EXPECT_EQ(VornConfig::decode(R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":1.0,"ktzAPI":"live"}]})")
                .games[0]
                .gameCode,
            1u);
}
