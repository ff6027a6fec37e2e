#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
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

TEST(TaskGroup, TasksBeyondTheBoundsWaitInLineAndAllRun) {
  TaskGroup group(TaskGroup::Limits{2, 3});
  auto a = group.makeShare();
  auto b = group.makeShare();
  platform::OneShot<bool> go;
  std::mutex mutex;
  std::condition_variable changed;
  int runningA = 0, runningB = 0, most = 0, mostA = 0, done = 0;
  auto task = [&](int& mine) {
    return [&] {
      {
        std::lock_guard lock(mutex);
        ++mine;
        most = std::max(most, runningA + runningB);
        mostA = std::max(mostA, runningA);
        changed.notify_all();
      }
      go.wait();
      std::lock_guard lock(mutex);
      --mine;
      ++done;
      changed.notify_all();
    };
  };
  {
    TaskGroup::ShareScope scope(a);
    for (int i = 0; i < 4; ++i) group.start(task(runningA));
  }
  {
    TaskGroup::ShareScope scope(b);
    for (int i = 0; i < 2; ++i) group.start(task(runningB));
  }
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return runningA + runningB == 3; }));
    EXPECT_EQ(runningA, 2);  // two of a's, one of b's
  }
  EXPECT_EQ(group.running(), 3u);
  EXPECT_EQ(group.waiting(), 3u);
  go.resolve(true);
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return done == 6; }));
  }
  group.waitAll();
  EXPECT_EQ(most, 3);
  EXPECT_EQ(mostA, 2);
  EXPECT_EQ(group.running(), 0u);
}
