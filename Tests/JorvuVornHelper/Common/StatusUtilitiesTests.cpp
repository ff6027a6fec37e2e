#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "JorvuVornHelper/Common/StatusUtilities.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

std::int64_t unixSeconds(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

TEST(ToStatus, MapsEveryWorkMode) {
  using S = GameStatus::Status;
  const std::vector<std::pair<std::uint32_t, S>> table = {
      {0, S::registered}, {1, S::install}, {2, S::patch}, {3, S::restore}, {4, S::ready},
      {5, S::cancel},     {6, S::error},   {7, S::error}, {4294967295u, S::error}};
  for (const auto& [mode, status] : table) EXPECT_EQ(toStatus(mode), status) << mode;
}

TEST(ToDate, ReadsKoreaStandardTimeWhateverTheLocalZone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  for (const char* zone : {"UTC", "America/Los_Angeles", "Asia/Seoul", "Pacific/Chatham", "KST"}) {
    ::setenv("TZ", zone, 1);
    ::tzset();
    auto date = toDate("2024-03-01 09:00");
    ASSERT_TRUE(date) << zone;
    EXPECT_EQ(unixSeconds(*date), 1709251200) << zone;  // 2024-03-01 00:00 UTC
  }
  if (old) ::setenv("TZ", saved.c_str(), 1);
  else ::unsetenv("TZ");
  ::tzset();
  // Across a day and a year boundary.
  EXPECT_EQ(unixSeconds(*toDate("2025-01-01 03:30")), 1735669800);  // 2024-12-31 18:30 UTC
  EXPECT_EQ(unixSeconds(*toDate("2024-02-29 23:59")), 1709218740);
}

TEST(ToDate, RefusesOtherForms) {
  for (const char* bad : {"2024-03-01 09:00:00", "2024/03/01 09:00", "2024-03-01T09:00", "2024-3-01 09:00",
                          "2024-03-01 9:00", "", "2024-02-30 10:00", "2023-02-29 10:00", "2024-13-01 10:00",
                          "2024-03-01 24:00", "2024-03-01 10:60", "2024-03-01 10:0x", " 2024-03-01 09:00",
                          "+024-03-01 09:00"}) {
    EXPECT_FALSE(toDate(bad)) << bad;
  }
}

TEST(OSVersion, MajorAndMinorAsOneNumber) {
  EXPECT_FLOAT_EQ(osVersionNumber(14, 2), 14.2f);
  EXPECT_FLOAT_EQ(osVersionNumber(11, 0), 11.0f);
  EXPECT_FLOAT_EQ(osVersionNumber(10, 15), 10.15f);
  EXPECT_LT(osVersionNumber(10, 15), osVersionNumber(10, 2));  // read as a decimal fraction

  testsupport::TempRoot root;
  testsupport::writeFile(root.path() + "/System/Library/CoreServices/SystemVersion.plist",
                         R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>ProductVersion</key><string>14.2.1</string></dict></plist>)");
  EXPECT_FLOAT_EQ(getOSVersion(), 14.2f);
}

}  // namespace
