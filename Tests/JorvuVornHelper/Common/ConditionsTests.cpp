#include <gtest/gtest.h>

#include <cmath>

#include "JorvuVornHelper/Common/Conditions.hpp"
#include "JorvuVornHelper/Common/StatusUtilities.hpp"
#include "Tests/JorvuVornHelper/Common/GameTestSupport.hpp"

namespace {

using namespace gametest;
using namespace std::chrono;

TEST(OSVersionLimitText, ReadsOnlyALeadingFiniteDecimal) {
  const std::vector<std::pair<std::string, float>> table = {
      {"12.1", 12.1f},  {"  10.15", 10.15f}, {"12.1.3", 12.1f}, {"11abc", 11.0f},  {"12.", 12.0f},
      {".5", 0.5f},     {"+13", 13.0f},      {"1e1", 10.0f},    {"1e", 1.0f},      {"7.x", 7.0f},
      {"", 0},          {"abc", 0},          {".", 0},          {"-", 0},          {"inf", 0},
      {"INFINITY", 0},  {"nan", 0},          {"0x1p4", 0},      {"1e39", 0},       {"1e-60", 0},
      {"\t\n14.2", 14.2f}, {"0", 0}};
  for (const auto& [text, expected] : table) {
    const float value = OSVersionLimited::versionLimit(text);
    EXPECT_TRUE(std::isfinite(value)) << text;
    EXPECT_FLOAT_EQ(value, expected) << '"' << text << '"';
  }
}

class ConditionTest : public GameFixture {};

TEST_F(ConditionTest, OSVersionLimitAgainstTheRunningSystem) {
  setSystemVersion("12.0");
  struct Case {
    std::optional<std::string> limit;
    bool fails;
  };
  const std::vector<Case> table = {{std::nullopt, false}, {"12.0", false}, {"12", false},  {"11.9", false},
                                   {"12.1", true},        {"13", true},    {"0", false},   {"latest", false},
                                   {"inf", false},        {"nan", false},  {"1e39", false}};
  for (const auto& c : table) {
    Record record(1);
    if (c.limit) record.text("mac_os_version", *c.limit);
    const GameInfo info = record.info();
    try {
      OSVersionLimited().check(info);
      EXPECT_FALSE(c.fails) << c.limit.value_or("absent");
    } catch (const SubError& e) {
      ASSERT_TRUE(c.fails) << c.limit.value_or("absent");
      const auto* limit = e.get<SubError::OSVersionLimit>();
      ASSERT_NE(limit, nullptr);
      EXPECT_FLOAT_EQ(limit->currentOS, 12.0f);
      EXPECT_FLOAT_EQ(limit->limitOS, OSVersionLimited::versionLimit(*c.limit));
    }
  }
  // A minor version of 10 or more is a decimal fraction: 10.15 is older than 10.2.
  setSystemVersion("10.15.7");
  EXPECT_EQ(thrownCase([&] { OSVersionLimited().check(Record(1).text("mac_os_version", "10.2").info()); }),
            "OSVersionLimit");
}

TEST_F(ConditionTest, MaintenanceWindow) {
  const auto now = system_clock::now();
  struct Case {
    const char* name;
    std::optional<std::string> object;
    bool fails;
  };
  const std::vector<Case> table = {
      {"absent", std::nullopt, false},
      {"null", "null", false},
      {"inside", maintenance(false, kstText(now - 1h), kstText(now + 1h)), true},
      {"available inside", maintenance(true, kstText(now - 1h), kstText(now + 1h)), false},
      {"ended", maintenance(false, kstText(now - 2h), kstText(now - 1min)), false},
      {"not started", maintenance(false, kstText(now + 2min), kstText(now + 1h)), false},
      {"both unreadable", maintenance(false, "soon", "2024/03/01 09:00"), true},
      {"start only", maintenance(false, kstText(now - 1h), "never"), true},
      {"end only, passed", maintenance(false, "", kstText(now - 1h)), false},
  };
  for (const auto& c : table) {
    Record record(1);
    if (c.object) record.set("game_maintenance", *c.object);
    const GameInfo info = record.info();
    try {
      MaintenanceCondition().check(info);
      EXPECT_FALSE(c.fails) << c.name;
    } catch (const SubError& e) {
      ASSERT_TRUE(c.fails) << c.name;
      const auto* m = e.get<SubError::Maintenance>();
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->startTime, info.game_maintenance->start_time);
      EXPECT_EQ(m->endTime, info.game_maintenance->end_time);
      EXPECT_EQ(m->reason, "server work");
      EXPECT_EQ(m->relatedLink, "https://example.test/notice");
    }
  }
}

TEST_F(ConditionTest, WindowBoundsStartInclusiveEndExclusive) {
  const GameInfo info = Record(1).set("game_maintenance", maintenance(false, "2024-03-01 09:00", "2024-03-01 10:00")).info();
  const auto start = *toDate("2024-03-01 09:00");
  const auto end = *toDate("2024-03-01 10:00");
  EXPECT_NO_THROW(MaintenanceCondition::check(info, start - 1s));
  EXPECT_THROW(MaintenanceCondition::check(info, start), SubError);
  EXPECT_THROW(MaintenanceCondition::check(info, end - 1s), SubError);
  EXPECT_NO_THROW(MaintenanceCondition::check(info, end));
}

}  // namespace
