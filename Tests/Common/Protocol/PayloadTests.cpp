#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "Common/Protocol/GamePanelInfo.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Protocol/VantixToken.hpp"
#include "Common/Protocol/VornHelperError.hpp"

using Status = GameStatus::Status;
using E = VornHelperError;

TEST(Payloads, ReferenceBytes) {
  GameStatus installing{128000, Status::install,
                        GameStatus::ProgressInfo{11000, 18446744073709551615ull, 5, false}};
  EXPECT_EQ(installing.encode(),
            R"({"gameCode":128000,"status":{"install":{}},"progress":{"operationType":11000,)"
            R"("totalSize":18446744073709551615,"currentSize":5,"isRetry":false}})");
  EXPECT_EQ(GameStatus::decode(installing.encode()), installing);

  GameStatus ready{7, Status::ready, std::nullopt};
  EXPECT_EQ(ready.encode(), R"({"gameCode":7,"status":{"ready":{}}})");

  GamePanelInfo panel{4294967295u, "https://example.test/p?a=1&b=\xc3\xa9", 540, 188};
  EXPECT_EQ(panel.encode(),
            "{\"gameCode\":4294967295,\"contentsURL\":\"https:\\/\\/example.test\\/p?a=1&b=\xc3\xa9\","
            "\"panelWidth\":540,\"panelHeight\":188}");
  EXPECT_EQ(GamePanelInfo::decode(panel.encode()), panel);

  VantixToken token{"g\"1", "w/t"};
  EXPECT_EQ(token.encode(), R"({"gid":"g\"1","webtoken":"w\/t"})");
  EXPECT_EQ(VantixToken::decode(token.encode()), token);

  const std::pair<VornHelperError, const char*> errors[] = {
      {E::NetworkError{-60, 0, 0, 0},
       R"({"error":{"NetworkError":{"errorCode":-60,"errorOperation":0,"mainErrorCode":0,"subErrorCode":0}}})"},
      {E::VantixError{-9223372036854775807 - 1}, R"({"error":{"VantixError":{"_0":-9223372036854775808}}})"},
      {E::DiskSizeLack{200, 100, Status::patch},
       R"({"error":{"DiskSizeLack":{"require":200,"total":100,"status":{"patch":{}}}}})"},
      {E::OSVersionLimit{10.15f, 11.0f}, R"({"error":{"OSVersionLimit":{"currentOS":10.15,"limitOS":11}}})"},
      {E::Crash{}, R"({"error":{"Crash":{}}})"},
      {E::Maintenance{"2024-03-01 09:00", "2024-03-01 10:00", "r", "https://x/y"},
       R"({"error":{"Maintenance":{"startTime":"2024-03-01 09:00","endTime":"2024-03-01 10:00",)"
       R"("reason":"r","relatedLink":"https:\/\/x\/y"}}})"},
  };
  for (const auto& [error, bytes] : errors) {
    EXPECT_EQ(ErrorStatus{error}.encode(), bytes);
    EXPECT_EQ(ErrorStatus::decode(bytes).error, error) << bytes;
  }
}

TEST(Payloads, AllFifteenErrorsInOrderRoundTrip) {
  const std::vector<VornHelperError> all = {
      E::Crash{},
      E::GameNotExist{},
      E::GameAlreadyRegistered{},
      E::WorkRequired{},
      E::NoWorkRequired{},
      E::WorkingAnotherGame{4294967295u},
      E::Maintenance{"s", "e", "reason \"quoted\"\n", "https://help.example/x"},
      E::OSVersionLimit{14.2f, 3.4028235e38f},
      E::WorkFailed{-2147483647 - 1, 13000, 930, 28},
      E::DiskSizeLack{18446744073709551615ull, 0, Status::install},
      E::NetworkError{-60, 51000, 917, 0},
      E::VantixError{9223372036854775807},
      E::ExecuteFailed{},
      E::UnsupportedOS{},
      E::UnsupportedAppLaunching{},
  };
  const char* names[] = {"Crash", "GameNotExist", "GameAlreadyRegistered", "WorkRequired", "NoWorkRequired",
                         "WorkingAnotherGame", "Maintenance", "OSVersionLimit", "WorkFailed", "DiskSizeLack",
                         "NetworkError", "VantixError", "ExecuteFailed", "UnsupportedOS",
                         "UnsupportedAppLaunching"};
  ASSERT_EQ(std::variant_size_v<VornHelperError::Case>, 15u);
  std::unordered_set<VornHelperError> seen;
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].value().index(), i);
    EXPECT_STREQ(all[i].caseName(), names[i]);
    const std::string text = ErrorStatus{all[i]}.encode();
    EXPECT_EQ(text.rfind(std::string(R"({"error":{")") + names[i] + "\":{", 0), 0u) << text;
    EXPECT_EQ(ErrorStatus::decode(text).error, all[i]) << text;
    seen.insert(all[i]);
  }
  EXPECT_EQ(seen.size(), all.size());
  EXPECT_EQ(E(E::WorkingAnotherGame{5}).description(), "WorkingAnotherGame(gameCode: 5)");
  EXPECT_EQ(E(E::VantixError{12}).description(), "VantixError(12)");
  EXPECT_EQ(E(E::OSVersionLimit{10.15f, 11.0f}).description(), "OSVersionLimit(currentOS: 10.15, limitOS: 11.0)");
  EXPECT_STREQ(E(E::Crash{}).what(), "Crash");
  EXPECT_NE(E(E::WorkFailed{1, 2, 3, 4}), E(E::NetworkError{1, 2, 3, 4}));
}

TEST(Payloads, NonFiniteFloatFailsToEncode) {
  const ErrorStatus infinite{E::OSVersionLimit{std::numeric_limits<float>::infinity(), 1}};
  const ErrorStatus notANumber{E::OSVersionLimit{10.15f, std::nanf("")}};
  EXPECT_THROW(infinite.encode(), jsoncoding::EncodingError);
  EXPECT_THROW(notANumber.encode(), jsoncoding::EncodingError);
}

namespace {
template <class T>
bool decodes(const std::string& text) {
  try {
    (void)T::decode(text);
    return true;
  } catch (const jsoncoding::DecodingError&) {
    return false;
  }
}
std::string decodingError(const std::string& text) {
  std::string error;
  EXPECT_FALSE(ErrorStatus::tryDecode(text, &error)) << text;
  return error;
}
}  // namespace

TEST(Payloads, TextsThatMustBeRejected) {
  const std::string status[] = {
      R"({"gameCode":1,"status":{"install":{},"patch":{}}})",  // two case names
      R"({"gameCode":1,"status":{}})",
      R"({"gameCode":1,"status":{"Install":{}}})",  // letter case
      R"({"gameCode":1,"status":"install"})",       // bare string
      R"({"gameCode":1,"status":{"install":null}})",
      R"({"gameCode":1,"status":{"install":[]}})",
      R"({"gameCode":1,"status":{"install":{},"install":{}}})",
      R"({"gameCode":-1,"status":{"ready":{}}})",
      R"({"gameCode":4294967296,"status":{"ready":{}}})",
      R"({"gameCode":1.5,"status":{"ready":{}}})",
      R"({"gameCode":"1","status":{"ready":{}}})",
      R"({"gameCode":true,"status":{"ready":{}}})",
      R"({"gameCode":null,"status":{"ready":{}}})",
      R"({"status":{"ready":{}}})",
      R"({"gameCode":1})",
      R"({"gameCode":1,"status":{"ready":{}},"progress":{"operationType":1,"totalSize":0,"currentSize":0,"isRetry":0}})",
      R"({"gameCode":1,"status":{"ready":{}},"progress":{"operationType":1,"totalSize":18446744073709551616,"currentSize":0,"isRetry":false}})",
      R"({"gameCode":1,"status":{"ready":{}},"progress":{"operationType":1,"totalSize":0,"isRetry":false}})",
      R"({"gameCode":1,"status":{"ready":{}},"progress":"x"})",
      R"({"gameCode":1,"status":{"ready":{}}} x)",  // trailing garbage
      R"({"gameCode":1,"status":{"ready":{}}})" "\n{}",
      "{\"gameCode\":1,\"status\":{\"ready\":{}},\"x\":\"\xff\"}",  // invalid UTF-8
      R"([{"gameCode":1,"status":{"ready":{}}}])",
      "null",
      "",
      R"({"gameCode":1,"status":{"ready":{}})",
  };
  for (const auto& text : status) EXPECT_FALSE(decodes<GameStatus>(text)) << text;

  const std::string tokens[] = {R"({"gid":"a"})", R"({"gid":null,"webtoken":"b"})", R"({"gid":1,"webtoken":"b"})",
                                R"("a")"};
  for (const auto& text : tokens) EXPECT_FALSE(decodes<VantixToken>(text)) << text;

  const std::string errors[] = {
      R"({})",
      R"({"error":{}})",
      R"({"error":{"Crash":{},"GameNotExist":{}}})",
      R"({"error":"Crash"})",
      R"({"error":{"crash":{}}})",
      R"({"error":{"Crash":[]}})",
      R"({"error":{"WorkingAnotherGame":{}}})",
      R"({"error":{"DiskSizeLack":{"require":1,"total":2,"status":"install"}}})",
      R"({"error":{"DiskSizeLack":{"require":1,"total":2,"status":{"install":{},"ready":{}}}}})",
      R"({"error":{"VantixError":{"_0":"12"}}})",
      R"({"error":{"VantixError":{"0":12}}})",
      R"({"error":{"VantixError":{"_0":9223372036854775808}}})",
      R"({"error":{"WorkFailed":{"errorCode":2147483648,"errorOperation":0,"mainErrorCode":0,"subErrorCode":0}}})",
      R"({"error":{"OSVersionLimit":{"currentOS":1e39,"limitOS":1}}})",
      R"({"error":{"Maintenance":{"startTime":"a","endTime":"b","reason":"c"}}})",
  };
  for (const auto& text : errors) EXPECT_FALSE(decodes<ErrorStatus>(text)) << text;

  EXPECT_EQ(decodingError(R"({"error":{"Crash":{},"ExecuteFailed":{}}})"), "Invalid number of keys found, expected one.");
  EXPECT_EQ(decodingError(R"({"error":{"Other":{}}})"), "Invalid number of keys found, expected one.");
  std::string error;
  EXPECT_FALSE(GameStatus::tryDecode(R"({"gameCode":1,"status":{}})", &error));
  EXPECT_EQ(error, "Invalid number of keys found, expected one.");
}

TEST(Payloads, TextsThatMustPass) {
  EXPECT_EQ(GameStatus::decode(R"({"gameCode":1,"status":{"ready":{}},"progress":null})"),
            (GameStatus{1, Status::ready, std::nullopt}));
  EXPECT_EQ(GameStatus::decode(R"({"x":[1,{"y":null}],"status":{"zzz":1,"patch":{"k":2}},"gameCode":1.0})"),
            (GameStatus{1, Status::patch, std::nullopt}));
  EXPECT_EQ(GameStatus::decode(" {\"gameCode\" : 4294967295 , \"status\" : {\"error\" : {}},"
                               " \"progress\": {\"operationType\": 10000, \"totalSize\": 1e3, \"currentSize\": 0,"
                               " \"isRetry\":true, \"extra\":\"\xc3\xa9\"}} "),
            (GameStatus{4294967295u, Status::error, GameStatus::ProgressInfo{10000, 1000, 0, true}}));
  EXPECT_EQ(VantixToken::decode(R"({"webtoken":"w","gid":"","other":null})"), (VantixToken{"", "w"}));
  EXPECT_EQ(ErrorStatus::decode(R"({"error":{"Crash":{"unknown":1}}})").error, E(E::Crash{}));
  EXPECT_EQ(ErrorStatus::decode(R"({"error":{"Nope":[],"Crash":{}}})").error, E(E::Crash{}));
  EXPECT_EQ(ErrorStatus::decode(R"({"error":{"VantixError":{"_0":-5.0}}})").error, E(E::VantixError{-5}));
  EXPECT_EQ(ErrorStatus::decode(R"({"error":{"DiskSizeLack":{"status":{"install":{}},"total":2,"require":1}}})").error,
            E(E::DiskSizeLack{1, 2, Status::install}));
  for (int i = 0; i <= 6; ++i) {
    const auto s = static_cast<Status>(i);
    EXPECT_EQ(GameStatus::decode(GameStatus{9, s, std::nullopt}.encode()).status, s);
  }
}

TEST(Payloads, ProgressTextsOfTheWorkers) {
  // The engine writes its progress text by hand; the setup-archive worker
  // through the encoder. Both read the same.
  const auto engine = GameStatus::ProgressInfo::decodeOptional(
      "{\"operationType\": 11000, \"totalSize\": 18446744073709551615, \"currentSize\": 12, \"isRetry\":false}");
  ASSERT_TRUE(engine);
  EXPECT_EQ(*engine, (GameStatus::ProgressInfo{11000, 18446744073709551615ull, 12, false}));
  EXPECT_EQ(GameStatus::ProgressInfo::decodeOptional(engine->encode()), engine);
  EXPECT_EQ(GameStatus::ProgressInfo::decodeOptional("null"), std::nullopt);
  EXPECT_EQ(GameStatus::ProgressInfo::decodeOptional(" null "), std::nullopt);
  EXPECT_THROW(GameStatus::ProgressInfo::decodeOptional("nul"), jsoncoding::DecodingError);
  EXPECT_THROW(GameStatus::ProgressInfo::decodeOptional("0"), jsoncoding::DecodingError);
  EXPECT_THROW(GameStatus::ProgressInfo::decode("null"), jsoncoding::DecodingError);
}

TEST(Payloads, EqualityAndHashCoverEveryField) {
  GameStatus a{1, Status::install, GameStatus::ProgressInfo{1, 2, 3, false}};
  GameStatus b = a;
  EXPECT_EQ(std::hash<GameStatus>{}(a), std::hash<GameStatus>{}(b));
  b.progress->isRetry = true;
  EXPECT_NE(a, b);
  EXPECT_NE(std::hash<GameStatus>{}(a), std::hash<GameStatus>{}(b));
  b = a;
  b.progress.reset();
  EXPECT_NE(a, b);
  std::unordered_set<VantixToken> tokens{{"a", "b"}, {"b", "a"}, {"a", "b"}};
  EXPECT_EQ(tokens.size(), 2u);
}
