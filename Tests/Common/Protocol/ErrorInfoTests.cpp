#include <gtest/gtest.h>

#include "Common/Protocol/ErrorInfo.hpp"
#include "Common/Protocol/SubError.hpp"

namespace {
// The error text as the patch engine writes it by hand (message unescaped).
std::string engineErrorText(std::int32_t code, std::uint32_t op, std::uint32_t main, std::uint32_t sub,
                            const std::string& message) {
  return "{\"errorCode\": " + std::to_string(code) + " , \"errorOperation\": " + std::to_string(op) +
         ", \"mainErrorCode\": " + std::to_string(main) + ", \"subErrorCode\": " + std::to_string(sub) +
         ", \"errorMessage\": \"" + message + "\"}";
}
}  // namespace

TEST(ErrorInfo, ReadsTheEngineTextAndTheCapacityInTwoStages) {
  const std::string capacity = R"({\"total\": 100, \"require\": 200, \"status\": 1})";
  const ErrorInfo info = ErrorInfo::decode(engineErrorText(-61, 11000, 933, 0, capacity));
  EXPECT_EQ(info, (ErrorInfo{-61, 11000, 933, 0, R"({"total": 100, "require": 200, "status": 1})"}));
  EXPECT_EQ(info.capacityInfo(), (CapacityInfo{200, 100, 1}));

  const ErrorInfo never = ErrorInfo::decode(engineErrorText(0, 0, 0, 0, ""));
  EXPECT_EQ(never, ErrorInfo{});
  EXPECT_THROW(never.capacityInfo(), jsoncoding::DecodingError);

  // The setup-archive worker writes the record through the encoder.
  const ErrorInfo archive{-40, 11000, 301, 0, "a \"quoted\" / message"};
  EXPECT_EQ(archive.encode(),
            R"({"errorCode":-40,"errorOperation":11000,"mainErrorCode":301,"subErrorCode":0,)"
            R"("errorMessage":"a \"quoted\" \/ message"})");
  EXPECT_EQ(ErrorInfo::decode(archive.encode()), archive);
}

TEST(ErrorInfo, RejectsBrokenRecords) {
  const std::string broken[] = {
      engineErrorText(-61, 11000, 933, 0, R"({"total": 1})"),  // unescaped quote in the message
      R"({"errorCode": -60 , "errorOperation": 0, "mainErrorCode": 4294967296, "subErrorCode": 0, "errorMessage": ""})",
      engineErrorText(-60, 11000, 917, 0, "") + "x",
      R"({"errorCode": -60, "errorOperation": 0, "mainErrorCode": 917, "subErrorCode": 0})",
      R"({"errorCode": -60, "errorOperation": 0, "mainErrorCode": 917, "subErrorCode": 0, "errorMessage": null})",
      R"({"errorCode": "-60", "errorOperation": 0, "mainErrorCode": 917, "subErrorCode": 0, "errorMessage": ""})",
  };
  for (const auto& text : broken) EXPECT_FALSE(ErrorInfo::tryDecode(text)) << text;

  const std::string capacities[] = {R"({"total": 1, "require": 2})", R"({"total": 1, "require": -2, "status": 1})",
                                    R"({"total": 1, "require": 2, "status": true})", "", "[]"};
  for (const auto& text : capacities) {
    const ErrorInfo info{-61, 11000, 933, 0, text};
    EXPECT_THROW(info.capacityInfo(), jsoncoding::DecodingError) << text;
  }
  EXPECT_EQ(CapacityInfo::decode(R"({"status": 2, "require": 18446744073709551615, "total": 0})"),
            (CapacityInfo{18446744073709551615ull, 0, 2}));
}

TEST(SubError, EighteenCasesInOrderRoundTrip) {
  const std::vector<SubError> all = {
      SubError::Init{},
      SubError::GameNotExist{},
      SubError::GameAlreadyRegistered{},
      SubError::WorkRequired{},
      SubError::NoWorkRequired{},
      SubError::URLSessionStatusCodeNot200{},
      SubError::FileNotFound{},
      SubError::FileReadFailed{},
      SubError::JsonDataEncodeFailed{},
      SubError::JsonDataDecodeFailed{},
      SubError::Maintenance{"a", "b", "c", "d"},
      SubError::OSVersionLimit{10.15f, 11.0f},
      SubError::WorkFailed{-61, 11000, 933, 0, "{\"total\": 1}"},
      SubError::NetworkError{-60, 1, 2, 3},
      SubError::DiskSizeLack{1, 2, GameStatus::Status::patch},
      SubError::ExecuteFailed{},
      SubError::UnsupportedOS{},
      SubError::Unknown{},
  };
  ASSERT_EQ(std::variant_size_v<SubError::Case>, 18u);
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].value().index(), i);
    EXPECT_EQ(SubError::decode(all[i].encode()), all[i]) << all[i].encode();
  }
  EXPECT_EQ(SubError(SubError::JsonDataEncodeFailed{}).encode(), R"({"JsonDataEncodeFailed":{}})");
  EXPECT_STREQ(SubError(SubError::Unknown{}).caseName(), "Unknown");
  try {
    throw SubError(SubError::WorkFailed{-60, 1, 2, 3, "m"});
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), R"(WorkFailed(errorCode: -60, errorOperation: 1, mainErrorCode: 2, subErrorCode: 3, errorMessage: "m"))");
  }
}
