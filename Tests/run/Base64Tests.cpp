#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Platform/Base64.hpp"

namespace {

struct Case {
  const char* text;
  std::optional<std::string> decoded;
};

TEST(Base64, DecodesStandardPaddedTextAndRefusesAnythingElse) {
  const Case cases[] = {
      {"", std::string()},
      {"Zg==", std::string("f")},
      {"Zm8=", std::string("fo")},
      {"Zm9v", std::string("foo")},
      {"Zm9vYmFy", std::string("foobar")},
      {"+/+/", std::string("\xfb\xff\xbf")},
      {"AAE=", std::string("\0\1", 2)},
      // Line breaks and blanks are outside the alphabet.
      {"Zm9v\nYmFy", std::nullopt},
      {"Zm9vYmFy\n", std::nullopt},
      {"Zm9v\r\nYmFy", std::nullopt},
      {" Zm9vYmFy", std::nullopt},
      {"Zm9v YmFy", std::nullopt},
      // Padding: required, and only at the end.
      {"Zg", std::nullopt},
      {"Zm8", std::nullopt},
      {"Zg=", std::nullopt},
      {"Zg===", std::nullopt},
      {"====", std::nullopt},
      {"Z===", std::nullopt},
      {"Zg==Zm9v", std::nullopt},
      {"Z=g=", std::nullopt},
      // The URL-safe alphabet is another alphabet.
      {"-_-_", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::base64Decode(c.text), c.decoded) << '"' << c.text << '"';
  }
  EXPECT_EQ(platform::base64Decode(std::string("Zm9v\0\0\0\0", 8)), std::nullopt);
}

}  // namespace
