#include "JorvuVorn/Model/Popup/StringTable.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "Tests/Support/ScopedEnv.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

using testsupport::writeFile;

TEST(StringTable, ReadsEntriesCommentsAndEscapes) {
  const auto table = StringTable::parse(
      "\xEF\xBB\xBF/* header\n over two lines */\n"
      "\"OK\" = \"확인\";  // trailing comment\n"
      "\"quote\"=\"say \\\"hi\\\"\\n\\\\ \\t\";\n"
      "\"ERROR CODE = %lld\" = \"오류 %lld\";");
  EXPECT_EQ(table.lookup("OK"), "확인");
  EXPECT_EQ(table.lookup("quote"), "say \"hi\"\n\\ \t");
  EXPECT_EQ(table.localized("ERROR CODE = %lld", {"7"}), "오류 7");
  EXPECT_EQ(table.lookup("missing_key"), "missing_key");
  EXPECT_EQ(table.localized("ERROR CODE = %@(%@,%@)", {"-60", "0", "0"}), "ERROR CODE = -60(0,0)");
}

TEST(StringTable, RefusesWholeFileOnAnyFault) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"\"a\" = \"b\"", "line 1: expected ';'"},
      {"\"a\" = \"b\";\n\"a\" = \"c\";", "line 2: key \"a\" given twice"},
      {"\"a\" = \"b;\n", "unterminated text"},
      {"\"a\" \"b\";", "expected '='"},
      {"a = \"b\";", "expected '\"'"},
      {"\"a\" = \"\\q\";", "unknown escape"},
      {"/* open", "unterminated comment"},
      {"\"a\" = \"b\";;", "expected '\"'"},
  };
  for (const auto& [text, message] : bad) {
    try {
      StringTable::parse(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  }
  EXPECT_TRUE(StringTable::parse("  \n// only a comment\n").entries().empty());
}

TEST(StringTable, PatternsTakeValuesInOrderOrByPosition) {
  EXPECT_EQ(formatPattern("%@ and %@", {"a", "b"}), "a and b");
  EXPECT_EQ(formatPattern("%2$@ before %1$@", {"a", "b"}), "b before a");
  EXPECT_EQ(formatPattern("%d%% of %ld", {"5", "9"}), "5% of 9");
  EXPECT_EQ(formatPattern("%@ %@", {"only"}), "only %@");  // no value: left as written
  EXPECT_EQ(formatPattern("%s %0$@ %99999999999$@ %", {"x"}), "%s %0$@ %99999999999$@ %");
  EXPECT_EQ(formatPattern("100%", {}), "100%");
}

TEST(StringTable, LoadsTheLanguageOrEnglish) {
  testsupport::TempRoot root;
  const std::string folder = root.path() + "/Resources";
  writeFile(folder + "/en.lproj/Localizable.strings", "\"OK\" = \"OK\";");
  writeFile(folder + "/ko.lproj/Localizable.strings", "\"OK\" = \"확인\";");
  writeFile(folder + "/de.lproj/Localizable.strings", "\"OK\" = \"OK\"");  // refused: shows keys
  EXPECT_EQ(StringTable::load(folder, "ko").lookup("OK"), "확인");
  EXPECT_EQ(StringTable::load(folder, "fr").lookup("OK"), "OK");
  EXPECT_EQ(StringTable::load(folder, "").lookup("OK"), "OK");
  EXPECT_TRUE(StringTable::load(folder, "de").entries().empty());
  EXPECT_TRUE(StringTable::load(root.path() + "/none", "ko").entries().empty());
}

TEST(StringTable, ResourceFolderFromTheEnvironment) {
  testsupport::ScopedEnv env("JORVU_APP_RESOURCES", "/some/where");
  EXPECT_EQ(appResourceFolder(), "/some/where");
}

}  // namespace
