#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Common/App/StartURL.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Tests/Support/ErrorLines.hpp"

namespace {

// The process's log file lives in a folder of its own for the whole run.
[[maybe_unused]] VornLogger& logReady = testlog::logger();

using testlog::ErrorLines;

using Lines = std::vector<std::string>;

// Escapes everything but letters and digits.
std::string escape(const std::string& text) {
  static const urlkit::CharacterSet alphanumerics = urlkit::CharacterSet().addAlphanumerics();
  return urlkit::percentEncode(text, alphanumerics).value();
}

std::string parseError(const std::string& url) {
  try {
    starturl::parse(url);
  } catch (const URLParserError& e) {
    return e.description();
  }
  return "parsed";
}

TEST(StartURL, ReadsTheGameCodeAndTagFromTheGameValue) {
  struct Case {
    const char* game;
    std::uint32_t code;
    const char* tag;
  };
  const Case valid[] = {
      {"1234", 1234, ""},       {"1234@abc", 1234, "abc"}, {"1234@a@b", 1234, ""}, {"1234@", 1234, ""},
      {"0001234", 1234, ""},    {"0", 0, ""},              {"4294967295@t", 4294967295u, "t"},
      {"7@%C3%A9", 7, "\xc3\xa9"},
  };
  for (const auto& c : valid) {
    const auto info = starturl::parse(std::string("jorvuvorn://launch?game=") + c.game);
    EXPECT_EQ(info.gameCode, c.code) << c.game;
    EXPECT_EQ(info.obdTag, c.tag) << c.game;
  }
  const char* invalid[] = {"@abc", "12x", "4294967296", "99999999999999999999999", "", "-1", "+1", "%201", "1%20",
                           "@", "0x10"};
  for (const char* game : invalid) {
    EXPECT_EQ(parseError(std::string("jorvuvorn://launch?game=") + game), "invalidURL(\"invalid gameCode\")") << game;
  }
  // No game value at all: missing, or a bare name.
  EXPECT_EQ(parseError("jorvuvorn://launch?other=1"), "invalidURL(\"invalid gameCode\")");
  EXPECT_EQ(parseError("jorvuvorn://launch?game"), "invalidURL(\"invalid gameCode\")");
  EXPECT_EQ(parseError("jorvuvorn://launch?game&x=1"), "invalidURL(\"invalid gameCode\")");
}

TEST(StartURL, AURLWithoutQueryItemsIsInvalid) {
  for (const char* url : {"jorvuvorn://launch", "jorvuvorn://launch?", "jorvuvorn://launch#game=1", "", "not a url",
                          "jorvuvorn://launch?game=%ZZ", "jorvuvorn://launch?game=1%FF"}) {
    EXPECT_EQ(parseError(url), "invalidURL(\"invalid URLComponents\")") << url;
  }
}

TEST(StartURL, MakesTheLaunchRecord) {
  ErrorLines mark;
  const std::string url = "jorvuvorn://launch/x?game=1234@beta&passarg=a%20b&game=5678@rc&vantixToken=" +
                          escape(R"({"gid":"G","webtoken":"W"})");
  const auto info = starturl::parse(url);
  EXPECT_EQ(info.gameCode, 5678u);  // the last value of a repeated name
  EXPECT_EQ(info.obdTag, "rc");
  EXPECT_EQ(info.vantixToken, (VantixToken{"G", "W"}));
  EXPECT_EQ(info.url, url);
  EXPECT_EQ(info.passarg, "a b");
  EXPECT_FALSE(info.ignoreOSVersion);
  EXPECT_TRUE(info.isAutoExecute);
  EXPECT_EQ(mark.since(), Lines{});

  // The scheme, host and path are not looked at.
  EXPECT_EQ(starturl::parse("other:?game=9&passarg").gameCode, 9u);
}

TEST(StartURL, TakesTheTokenFromTheWindowsArgumentsWhenTheValueDoesNotDecode) {
  // Options as the web page sends them: escaped once more inside the query value.
  const std::string args =
      R"(-lang:ko -vantix_token:'{"gid":"g'1","webtoken":"w 1%"}' -other:'{"x":1}' -last)";
  struct Case {
    const char* name;
    std::string query;
  };
  const Case cases[] = {
      {"no vantixToken", "game=1&windowsArgs=" + escape(escape(args))},
      {"undecodable vantixToken", "game=1&vantixToken=" + escape("{\"gid\":1}") + "&windowsArgs=" + escape(escape(args))},
      {"vantixToken without a value", "game=1&vantixToken&windowsArgs=" + escape(escape(args))},
  };
  for (const auto& c : cases) {
    ErrorLines mark;
    const auto info = starturl::parse("jorvuvorn://launch?" + c.query);
    // Every single quote inside the object goes before it is decoded.
    EXPECT_EQ(info.vantixToken, (VantixToken{"g1", "w 1%"})) << c.name;
    // Without passarg, the pass argument is windowsArgs as the query decodes it.
    EXPECT_EQ(info.passarg, escape(args)) << c.name;
    EXPECT_EQ(mark.since(), Lines{}) << c.name;
  }

  // A vantixToken that decodes wins, and passarg wins over windowsArgs.
  const auto info = starturl::parse("jorvuvorn://launch?game=1&windowsArgs=" + escape(escape(args)) +
                                    "&vantixToken=" + escape(R"({"gid":"v","webtoken":"t","more":[1]})") +
                                    "&passarg=p");
  EXPECT_EQ(info.vantixToken, (VantixToken{"v", "t"}));
  EXPECT_EQ(info.passarg, "p");
}

TEST(StartURL, AMissingOrMalformedTokenIsLoggedAndLeftOut) {
  struct Case {
    const char* name;
    std::string query;
    Lines errors;
  };
  const Case cases[] = {
      {"no token at all", "game=1", {"windowsArgs nil"}},
      {"undecodable token, no windowsArgs", "game=1&vantixToken=x", {"windowsArgs nil"}},
      {"windowsArgs bare", "game=1&windowsArgs", {"windowsArgs nil"}},
      // Decoded once by the query, "%zz" cannot be decoded again.
      {"windowsArgs not escaped twice", "game=1&windowsArgs=" + escape("-a %zz"), {"windowsArgs nil"}},
      {"no option", "game=1&windowsArgs=" + escape(escape("-lang:ko -x:'{}'")), {"not exist -vantix_token key"}},
      {"option without quotes", "game=1&windowsArgs=" + escape(escape("-vantix_token:{\"gid\":\"g\",\"webtoken\":\"w\"}")),
       {"not exist -vantix_token key"}},
      {"object across a line break",
       "game=1&windowsArgs=" + escape(escape("-vantix_token:'{\"gid\":\"g\",\n\"webtoken\":\"w\"}'")),
       {"not exist -vantix_token key"}},
      {"object across a line separator",
       "game=1&windowsArgs=" + escape(escape("-vantix_token:'{\"gid\":\"g\",\xe2\x80\xa8\"webtoken\":\"w\"}'")),
       {"not exist -vantix_token key"}},
      // Found, but no token: nothing more is logged.
      {"object that is no token", "game=1&windowsArgs=" + escape(escape("-vantix_token:'{\"gid\":\"g\"}'")), {}},
      {"object cut at the first closing", "game=1&windowsArgs=" +
                                              escape(escape("-vantix_token:'{\"gid\":\"}'\",\"webtoken\":\"w\"}'")),
       {}},
  };
  for (const auto& c : cases) {
    ErrorLines mark;
    const auto info = starturl::parse("jorvuvorn://launch?" + c.query);
    EXPECT_EQ(info.gameCode, 1u) << c.name;
    EXPECT_EQ(info.vantixToken, std::nullopt) << c.name;
    EXPECT_EQ(mark.since(), c.errors) << c.name;
  }

  // A later option on a new line still counts when the first one breaks off.
  const auto info = starturl::parse(
      "jorvuvorn://launch?game=1&windowsArgs=" +
      escape(escape("-vantix_token:'{\"gid\":\"a\",\n -vantix_token:'{\"gid\":\"b\",\"webtoken\":\"c\"}'")));
  EXPECT_EQ(info.vantixToken, (VantixToken{"b", "c"}));
}

TEST(StartURL, HugeHostileQueriesEndQuickly) {
  std::string args;
  for (int i = 0; i < 20000; ++i) args += "-vantix_token:'{-vantix_token:'";
  args += "\n";
  for (int i = 0; i < 20000; ++i) args += "-vantix_token:'{\"";
  const auto info = starturl::parse("jorvuvorn://launch?game=3&windowsArgs=" + escape(escape(args)));
  EXPECT_EQ(info.gameCode, 3u);
  EXPECT_EQ(info.vantixToken, std::nullopt);

  std::string nested(100000, '[');
  EXPECT_EQ(starturl::parse("jorvuvorn://launch?game=3&vantixToken=" + escape(nested) + "&windowsArgs=" +
                            escape(escape("-vantix_token:'{" + std::string(100000, '{') + "}'")))
                .vantixToken,
            std::nullopt);
}

}  // namespace
