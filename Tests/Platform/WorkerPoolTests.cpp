#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Platform/OneShot.hpp"
#include "Platform/WorkerPool.hpp"

namespace {

using namespace std::chrono_literals;

TEST(WorkerPool, RunsWorkSideBySideOnNoMoreThreadsThanItsBound) {
  platform::WorkerPool pool(3);
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0, most = 0;
  bool open = false;
  std::atomic<int> done{0};
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(pool.post([&] {
      std::unique_lock lock(mutex);
      most = std::max(most, ++running);
      changed.notify_all();
      changed.wait(lock, [&] { return open; });
      --running;
      ++done;
    }));
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return running == 3; }));
    open = true;
  }
  changed.notify_all();
  pool.close();
  EXPECT_EQ(done.load(), 10);
  EXPECT_EQ(most, 3);
}

TEST(WorkerPool, CloseRunsWhatIsQueuedJoinsAndRefusesLaterWork) {
  platform::WorkerPool pool(1);
  platform::OneShot<bool> gate;
  std::atomic<int> done{0};
  ASSERT_TRUE(pool.post([&] {
    gate.wait();
    ++done;
  }));
  ASSERT_TRUE(pool.post([&] { ++done; }));
  EXPECT_EQ(pool.threadCount(), 1u);
  gate.resolve(true);
  pool.close();
  EXPECT_EQ(done.load(), 2);
  EXPECT_EQ(pool.threadCount(), 0u);
  EXPECT_FALSE(pool.post([&] { ++done; }));
  EXPECT_EQ(done.load(), 2);
}

}  // namespace
