#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "JorvuVornHelper/TaskGroup.hpp"
#include "Platform/OneShot.hpp"

using namespace std::chrono_literals;

TEST(TaskGroup, WaitAllJoinsTasksAndTheTasksTheyStart) {
  TaskGroup group;
  std::atomic<int> ran{0};
  for (int i = 0; i < 20; ++i) {
    group.start([&] {
      ++ran;
      group.start([&] { ++ran; });
    });
  }
  group.waitAll();
  EXPECT_EQ(ran, 40);
}

TEST(TaskGroup, ATaskMayHoldTheLastReferenceToItsGroup) {
  // As the service does: its tasks keep the service, and with it the group,
  // alive until they end.
  struct Owner {
    std::shared_ptr<TaskGroup> group;
    platform::OneShot<bool> gone;
    ~Owner() {
      group.reset();
      gone.resolve(true);
    }
  };
  auto group = std::make_shared<TaskGroup>();
  platform::OneShot<bool> go;
  platform::OneShot<bool> gone;
  auto owner = std::make_shared<Owner>();
  owner->group = group;
  owner->gone = gone;
  group->start([owner, go] { go.wait(); });
  owner.reset();
  group.reset();
  go.resolve(true);
  EXPECT_TRUE(gone.waitFor(10s));
}
