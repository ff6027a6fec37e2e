#include <gtest/gtest.h>

#include "Common/Protocol/ErrorInfo.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"
#include "JorvuVornHelper/Common/KTZAPI.hpp"
#include "Tests/Infra/HttpClient/TestNetwork.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace {

const bool processReady = testnet::setUpProcess();

// A catalogue record with every required key.
std::string record(std::uint32_t code) {
  return R"({"game_code":)" + std::to_string(code) + R"(,"game_name":"Game","install_folder_name":"Game",
    "channel":1,"use_stipulation":false,"get_user_install_path":false,"install_jorvu_vorn":false,
    "install_main_shortcut":false,"minimize_all_window":false,"use_ktz_uninstall":false,
    "execute_after_localinstall":false,"use_griddownload":false,"use_griddownload_patch":false,
    "install_launcher_only":false,"not_delete_target_path":false,"duplicate_game_execution":false,
    "auto_architecture_mode":false,"use_vantix_token":true,"registry_root_key":"HKLM",
    "executable_file_name":"Game.exe","mac_executable_file_name":"Game.app",
    "install_panel_image_width":800,"install_panel_image_height":600,"patch_panel_image_width":800,
    "patch_panel_image_height":600,"os_version":10,"x64_only":false,"dx_version":11,
    "emergency_patch_version":0,"reinstall_version":0,"service_status":1})";
}

class KTZAPITest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(processReady);
    server.start();
    live = std::make_unique<testnet::ScopedEnv>(servicehosts::catalogueLiveEnv, server.origin());
    test = std::make_unique<testnet::ScopedEnv>(servicehosts::catalogueTestEnv, "http://127.0.0.1:9");
  }
  void serve(const std::string& name, int status, const std::string& body) {
    testsupport::writeFile(root.path() + "/game-info/" + name + ".status", std::to_string(status));
    testsupport::writeFile(root.path() + "/game-info/" + name + ".json", body);
  }
  // What leaves load(): the record's game code, or the SubError's case.
  std::string outcome(const std::string& url, const std::optional<VantixToken>& token) {
    try {
      return "game " + std::to_string(load(url, token).game_code);
    } catch (const SubError& e) {
      if (e.is<SubError::URLSessionStatusCodeNot200>()) return "URLSessionStatusCodeNot200";
      if (e.is<SubError::JsonDataDecodeFailed>()) return "JsonDataDecodeFailed";
      return std::string("other SubError ") + e.what();
    }
  }

  testsupport::TempRoot root;
  publisher::Publisher server{root.path()};
  std::unique_ptr<testnet::ScopedEnv> live, test;
};

TEST_F(KTZAPITest, AddressUsesTheConfiguredHostExceptForTheApp) {
  testsupport::writeFile(root / "/Library/Application Support/Jorvu/VornConfig.json",
                         R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":128000,"ktzAPI":"test"},
                            {"gameCode":5,"ktzAPI":"test"},{"gameCode":6,"ktzAPI":"live"},
                            {"gameCode":5,"ktzAPI":"live"}]})");
  EXPECT_EQ(KTZAPI::gameInfoURL(128000, "678e"), server.origin() + "/game-info/128000@678e");
  EXPECT_EQ(KTZAPI::gameInfoURL(5, "beta"), "http://127.0.0.1:9/game-info/5@beta");
  // The app's development tag: segments joined by "/".
  EXPECT_EQ(KTZAPI::gameInfoURL(128000, "678e/dev"), server.origin() + "/game-info/128000@678e/dev");
  EXPECT_EQ(KTZAPI::gameInfoURL(6, ""), server.origin() + "/game-info/6");
  EXPECT_EQ(KTZAPI::gameInfoURL(7, ""), server.origin() + "/game-info/7");
  std::filesystem::remove(root / "/Library/Application Support/Jorvu/VornConfig.json");
  EXPECT_EQ(KTZAPI::gameInfoURL(5, ""), server.origin() + "/game-info/5");
}

TEST_F(KTZAPITest, AddressIsLoggedAndUnsafeTagsAreRefused) {
  testnet::LogMark mark;
  KTZAPI::gameInfoURL(4294967295u, "a.b-c_d~e");
  auto lines = mark.since();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[INFO] gameInfoURL=" + server.origin() + "/game-info/4294967295@a.b-c_d~e"),
            std::string::npos);
  for (const std::string& tag : {std::string("a\r\nHost: x"), std::string("a\n"), std::string("a\0b", 3),
                                 std::string("../../x"), std::string("a/../b"), std::string("a/./b"),
                                 std::string("a//b"), std::string("/a"), std::string("a/"), std::string("a/.."),
                                 std::string("a/b c"), std::string("a b"), std::string("a?b"),
                                 std::string("a#b"), std::string("%2e%2e"), std::string("\xc3\xa9")}) {
    EXPECT_THROW(KTZAPI::gameInfoURL(1, tag), KTZAPIError) << tag;
  }
}

TEST_F(KTZAPITest, WithoutATokenOnlyA200RecordPasses) {
  serve("1", 200, record(1));
  serve("2", 200, "<html>garbage</html>");
  serve("3", 500, record(3));
  serve("4", 200, R"({"game_code":4})");
  EXPECT_EQ(outcome(server.origin() + "/game-info/1", std::nullopt), "game 1");
  EXPECT_EQ(outcome(server.origin() + "/game-info/2", std::nullopt), "JsonDataDecodeFailed");
  EXPECT_EQ(outcome(server.origin() + "/game-info/3", std::nullopt), "URLSessionStatusCodeNot200");
  EXPECT_EQ(outcome(server.origin() + "/game-info/4", std::nullopt), "JsonDataDecodeFailed");
  EXPECT_EQ(outcome(server.origin() + "/game-info/404", std::nullopt), "URLSessionStatusCodeNot200");
  for (const auto& r : server.catalogueRequests()) EXPECT_EQ(r.headerCount("x-ias-web-token"), 0u);
  testnet::LogMark mark;
  EXPECT_EQ(outcome("http://127.0.0.1:" + std::to_string(testnet::closedPort()) + "/game-info/1", std::nullopt),
            "URLSessionStatusCodeNot200");
}

TEST_F(KTZAPITest, WithATokenAnyStatusCarryingARecordPasses) {
  serve("1", 500, record(1));
  serve("2", 404, "not a record");
  serve("3", 200, "{}");
  const VantixToken token{"gid-1", "web-token-1"};
  EXPECT_EQ(outcome(server.origin() + "/game-info/1", token), "game 1");
  EXPECT_EQ(outcome(server.origin() + "/game-info/2", token), "URLSessionStatusCodeNot200");
  EXPECT_EQ(outcome(server.origin() + "/game-info/3", token), "URLSessionStatusCodeNot200");
  auto seen = server.catalogueRequests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].header("x-ias-web-token"), "web-token-1");
  EXPECT_EQ(seen[0].headerCount("Cookie"), 0u);
  EXPECT_EQ(seen[0].body, "");
  // A token that could split the header is never sent.
  EXPECT_EQ(outcome(server.origin() + "/game-info/1", VantixToken{"g", "x\r\nX-Evil: 1"}),
            "URLSessionStatusCodeNot200");
  EXPECT_EQ(server.catalogueRequests().size(), 3u);
}

TEST(KTZAPIJson, DecodesRecordsOrFailsWithJsonDataDecodeFailed) {
  auto info = load<ErrorInfo>(R"({"errorCode" : -60 , "errorOperation":1,"mainErrorCode":917,"subErrorCode":0,"errorMessage":""})");
  EXPECT_EQ(info.errorCode, -60);
  for (const char* bad : {"", "{}", "null", R"({"errorCode":-60})", "[1]"}) {
    try {
      load<ErrorInfo>(bad);
      ADD_FAILURE() << bad;
    } catch (const SubError& e) {
      EXPECT_TRUE(e.is<SubError::JsonDataDecodeFailed>()) << bad;
    }
  }
}

}  // namespace
