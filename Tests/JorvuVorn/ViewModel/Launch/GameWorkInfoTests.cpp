// The work step's progress record: its JSON form and what its observer keeps.
#include <gtest/gtest.h>

#include <cmath>

#include "Common/Json/JsonReading.hpp"
#include "JorvuVorn/Model/GameWorkInfo.hpp"

namespace {

TEST(GameWorkInfoTest, JsonFormHasStepThenRateAndNeedsBoth) {
  EXPECT_EQ((GameWorkInfo{"install", 0.5f}.encode()), R"({"step":"install","rate":0.5})");
  EXPECT_EQ((GameWorkInfo{"", 1.0f}.encode()), R"({"step":"","rate":1})");
  EXPECT_EQ(GameWorkInfo::decode(R"({"rate":0.25,"step":"patch","other":true})"), (GameWorkInfo{"patch", 0.25f}));
  EXPECT_EQ(GameWorkInfo::decode(R"({"step":"error","rate":1})"), (GameWorkInfo{"error", 1.0f}));
  for (const char* bad : {R"({"step":"install"})", R"({"rate":0.5})", R"({"step":1,"rate":0.5})",
                          R"({"step":"install","rate":"0.5"})", "[]", "not json"}) {
    EXPECT_THROW(GameWorkInfo::decode(bad), jsoncoding::DecodingError) << bad;
  }
}

TEST(GameWorkInfoTest, TheObserverKeepsOnlyNewRatesAboveZeroUpToOne) {
  auto observer = GameWorkInfoObserver::make();
  std::vector<GameWorkInfo> seen;
  auto subscription = observer->subscribe([&](const GameWorkInfo& info) { seen.push_back(info); });
  observer->update({"install", 0.0f});
  observer->update({"install", -0.5f});
  observer->update({"install", 1.5f});
  observer->update({"install", std::nanf("")});
  observer->update({"install", 0.5f});
  observer->update({"install", 0.5f});
  observer->update({"patch", 0.5f});
  observer->update({"", 1.0f});
  subscription.cancel();
  observer->update({"error", 1.0f});
  EXPECT_EQ(seen, (std::vector<GameWorkInfo>{{"install", 0}, {"install", 0.5f}, {"patch", 0.5f}, {"", 1.0f}}));
  EXPECT_EQ(observer->current(), (GameWorkInfo{"error", 1.0f}));
}

}  // namespace
