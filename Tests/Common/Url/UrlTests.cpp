#include <gtest/gtest.h>

#include "Common/Url/Url.hpp"

using namespace urlkit;

TEST(Url, ParsesValidTexts) {
  auto url = URL::parse("https://user:pw@example.test:8443/dl/Game%20One.zip?a=1&b=%2F&c&=x#frag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_EQ(url->user(), "user:pw");
  EXPECT_EQ(url->host(), "example.test");
  EXPECT_EQ(url->port(), 8443);
  EXPECT_EQ(url->encodedPath(), "/dl/Game%20One.zip");
  EXPECT_EQ(url->path(), "/dl/Game One.zip");
  EXPECT_EQ(url->lastPathComponent(), "Game One.zip");
  EXPECT_EQ(url->query(), "a=1&b=%2F&c&=x");
  EXPECT_EQ(url->fragment(), "frag");
  const std::vector<QueryItem> items = {{"a", "1"}, {"b", "/"}, {"c", std::nullopt}, {"", "x"}};
  EXPECT_EQ(url->queryItems(), items);
  EXPECT_EQ(url->absoluteString(), "https://user:pw@example.test:8443/dl/Game%20One.zip?a=1&b=%2F&c&=x#frag");

  const char* valid[] = {"jorvuvorn://launch?game=1234@abc", "http://[::1]:80/", "file:///tmp/x", "relative/path",
                         "/abs?x=a:b/c?d", "mailto:a@b", "https://h", "a:", "?q", "https://h/a+b;c=d,e!$'()*"};
  for (const char* text : valid) EXPECT_TRUE(URL::parse(text)) << text;
  EXPECT_EQ(URL::parse("https://h")->path(), "");
  EXPECT_EQ(URL::parse("jorvuvorn://launch?game=1")->host(), "launch");
}

TEST(Url, RejectsInvalidTexts) {
  const char* invalid[] = {"",
                           "https://h/a b.zip",
                           "https://h/a%2",
                           "https://h/a%zz",
                           "https://h/\xc3\xa9",
                           "https://h/a\"b",
                           "https://h/a<b>",
                           "https://h/a#b#c",
                           "https://h:port/",
                           "https://h:65536/",
                           "https://h/a\\b",
                           "1abc:x",
                           "ht tp://h",
                           "https://[::1/",
                           "https://a@b@c/",
                           "https://h/a\nb",
                           "https://h/{x}",
                           "https://h/a|b"};
  for (const char* text : invalid) EXPECT_FALSE(URL::parse(text)) << text;
  EXPECT_FALSE(URL::parse(std::string_view("https://h/a\0b", 13)));
}

TEST(Url, PercentCoding) {
  const auto& query = CharacterSet::urlQueryAllowed();
  EXPECT_EQ(percentEncode("https://h/a b?x=%20&y=\xc3\xa9#", query), "https://h/a%20b?x=%2520&y=%C3%A9%23");
  EXPECT_EQ(percentEncode("azAZ09-._~!$&'()*+,;=:@/?", query), "azAZ09-._~!$&'()*+,;=:@/?");
  EXPECT_EQ(percentEncode("\"<>\\^`{|}[]% ", query), "%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D%25%20");
  EXPECT_EQ(percentEncode("a?", CharacterSet::urlPathAllowed()), "a%3F");
  EXPECT_EQ(percentEncode("bad\xff", query), std::nullopt);

  EXPECT_EQ(percentDecode("a%20b%2Fc%2fd%C3%A9+"), "a b/c/d\xc3\xa9+");
  EXPECT_EQ(percentDecode("%253A"), "%3A");
  EXPECT_EQ(percentDecode("%"), std::nullopt);
  EXPECT_EQ(percentDecode("%2"), std::nullopt);
  EXPECT_EQ(percentDecode("%G0"), std::nullopt);
  EXPECT_EQ(percentDecode("%FF"), std::nullopt);
  EXPECT_EQ(percentDecode("%00"), std::string(1, '\0'));
  for (const char* text : {"plain", "a b/c?d=%&\xc3\xa9", ""}) {
    EXPECT_EQ(percentDecode(*percentEncode(text, query)), text);
  }
}

TEST(Url, PathComponents) {
  const std::pair<const char*, const char*> last[] = {
      {"/a/b/Installer.zip", "Installer.zip"}, {"/a/b/", "b"}, {"/", "/"}, {"//", "/"}, {"", ""}, {"x", "x"}};
  for (const auto& [path, component] : last) EXPECT_EQ(lastPathComponent(path), component) << path;
  const std::pair<const char*, const char*> ext[] = {{"Installer.zip", "Installer"}, {"a.tar.gz", "a.tar"},
                                                     {"noext", "noext"},             {".profile", ".profile"},
                                                     {"trailing.", "trailing."},     {"..zip", "."},
                                                     {"..", ".."},                   {"", ""}};
  for (const auto& [name, base] : ext) EXPECT_EQ(deletingPathExtension(name), base) << name;
  EXPECT_EQ(URL::parse("https://h/a/%2F..%2Fx.zip")->lastPathComponent(), "/../x.zip");
  EXPECT_EQ(URL::parse("https://h/a/%FF.zip")->lastPathComponent(), "");
}
