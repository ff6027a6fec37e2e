#include "Common/Locale/LanguageCode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Tests/Support/ScopedEnv.hpp"

namespace {

using testsupport::ScopedEnv;

TEST(LanguageCode, FromTheLocale) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"ko_KR.UTF-8", "ko"}, {"en_US", "en"}, {"C", ""}, {"POSIX", ""}, {"C.UTF-8", ""}, {"de@euro", "de"},
      {"../x", ""},          {"KO_kr", "ko"}};
  ScopedEnv messages("LC_MESSAGES", std::nullopt);
  ScopedEnv lang("LANG", std::nullopt);
  for (const auto& [locale, code] : table) {
    ScopedEnv all("LC_ALL", locale);
    EXPECT_EQ(currentLanguageCode(), code) << locale;
  }
  ScopedEnv all("LC_ALL", "");
  EXPECT_EQ(currentLanguageCode(), "");
}

TEST(LanguageCode, FirstSetVariableDecides) {
  ScopedEnv all("LC_ALL", "");
  ScopedEnv messages("LC_MESSAGES", "ko_KR.UTF-8");
  ScopedEnv lang("LANG", "en_US.UTF-8");
  EXPECT_EQ(currentLanguageCode(), "ko");
  {
    ScopedEnv none("LC_MESSAGES", std::nullopt);
    EXPECT_EQ(currentLanguageCode(), "en");
  }
  ScopedEnv c("LC_ALL", "C");  // set, so LC_MESSAGES is not looked at
  EXPECT_EQ(currentLanguageCode(), "");
}

}  // namespace
