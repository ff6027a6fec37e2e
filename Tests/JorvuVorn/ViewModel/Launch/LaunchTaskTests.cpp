// The launch flow's tasks: cancellation reaches sleeps, helper calls and the
// self-update's waiters; the executor joins what it started.
#include <gtest/gtest.h>

#include <atomic>

#include "Common/Protocol/VornHelperXPC.hpp"
#include "JorvuVorn/ViewModel/LaunchTask.hpp"
#include "JorvuVorn/ViewModel/SelfUpdater.hpp"
#include "Platform/Cancellation.hpp"
#include "Platform/OneShot.hpp"
#include "Tests/JorvuVorn/ViewModel/Launch/LaunchTestSupport.hpp"
#include "Tests/Support/ErrorLines.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

using namespace launchtest;

[[maybe_unused]] VornLogger& logReady = testlog::logger();

bool isCancellation(const std::exception_ptr& e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const platform::CancellationError&) {
    return true;
  } catch (...) {
  }
  return false;
}

TEST(LaunchTaskTest, ACancelledTaskEndsItsSleepAndItsHelperCallWithTheCancellationError) {
  testsupport::TempRoot root;
  XPCClient::setProxy(nullptr);
  HelperService service;
  service.helper().script("getGameStatus", 1, {Answer{true, std::nullopt, true}});
  XPCClient client(std::chrono::seconds(60));
  client.connection();

  TaskExecutor executor;
  platform::OneShot<std::exception_ptr> slept, called;
  auto sleeper = executor.start([] { platform::sleepFor(std::chrono::hours(1)); },
                                [slept](std::exception_ptr e) { slept.resolve(e); });
  auto caller = executor.start([&client] { client.getGameStatus(1); },
                               [called](std::exception_ptr e) { called.resolve(e); });
  ASSERT_TRUE(service.helper().waitForCalls("getGameStatus", 1, 1));
  sleeper->cancel();
  caller->cancel();
  const auto a = slept.waitFor(5s);
  const auto b = called.waitFor(5s);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(isCancellation(*a));
  EXPECT_TRUE(isCancellation(*b));
  // The late reply is dropped.
  service.helper().release();
  executor.shutdown();
  XPCClient::setProxy(nullptr);
}

TEST(LaunchTaskTest, ShutdownCancelsAndJoinsEveryTaskAndRefusesNewOnes) {
  TaskExecutor executor;
  std::atomic<int> cancelled{0};
  for (int i = 0; i < 4; ++i) {
    executor.start(
        [] { platform::sleepFor(std::chrono::hours(1)); },
        [&cancelled](std::exception_ptr e) { cancelled += isCancellation(e) ? 1 : 0; });
  }
  executor.shutdown();
  EXPECT_EQ(cancelled.load(), 4);
  std::atomic<bool> ran{false};
  auto refused = executor.start([&ran] { ran = true; });
  executor.shutdown();
  EXPECT_FALSE(ran.load());
  refused->cancel();  // inert
}

TEST(LaunchTaskTest, FinishedTasksReportWhatTheirBodyThrew) {
  TaskExecutor executor;
  platform::OneShot<std::exception_ptr> first, second;
  executor.start([] {}, [first](std::exception_ptr e) { first.resolve(e); });
  executor.start([] { throw std::runtime_error("x"); }, [second](std::exception_ptr e) { second.resolve(e); });
  EXPECT_EQ(*first.waitFor(5s), nullptr);
  EXPECT_NE(*second.waitFor(5s), nullptr);
}

TEST(SelfUpdateOnceTest, CallersThatComeWhileItRunsTakeItsOutcomeAndACancelledRunIsRunAgain) {
  SelfUpdateOnce once;
  TaskExecutor executor;
  std::atomic<int> runs{0};
  platform::OneShot<bool> release;
  std::atomic<int> reloads{0};
  auto update = [&] {
    ++runs;
    release.wait();
    throw SelfUpdaterError(SelfUpdaterError::Case::needReloading);
  };
  platform::OneShot<bool> doneA, doneB;
  auto count = [&](std::exception_ptr e) {
    try {
      if (e) std::rethrow_exception(e);
    } catch (const SelfUpdaterError& s) {
      if (s.value() == SelfUpdaterError::Case::needReloading) ++reloads;
    } catch (...) {
    }
  };
  executor.start([&] { once.run(update); }, [&, doneA](std::exception_ptr e) {
    count(e);
    doneA.resolve(true);
  });
  ASSERT_TRUE(waitUntil([&] { return runs.load() == 1; }));
  executor.start([&] { once.run(update); }, [&, doneB](std::exception_ptr e) {
    count(e);
    doneB.resolve(true);
  });
  release.resolve(true);
  ASSERT_TRUE(doneA.waitFor(60s) && doneB.waitFor(60s));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(reloads.load(), 2);

  // A run cancelled by its task leaves no outcome behind.
  // Both tasks have ended before `again` goes.
  SelfUpdateOnce again;
  std::atomic<bool> updating{false};
  platform::OneShot<std::exception_ptr> first;
  auto cancelled = executor.start(
      [&] {
        again.run([&] {
          updating = true;
          platform::sleepFor(std::chrono::hours(1));
        });
      },
      [first](std::exception_ptr e) { first.resolve(e); });
  ASSERT_TRUE(waitUntil([&] { return updating.load(); }));
  cancelled->cancel();
  const auto firstOutcome = first.waitFor(60s);
  ASSERT_TRUE(firstOutcome.has_value());
  EXPECT_NE(*firstOutcome, nullptr);
  platform::OneShot<std::exception_ptr> next;
  executor.start([&] { again.run([] {}); }, [next](std::exception_ptr e) { next.resolve(e); });
  const auto nextOutcome = next.waitFor(60s);
  ASSERT_TRUE(nextOutcome.has_value());
  EXPECT_EQ(*nextOutcome, nullptr);
}

}  // namespace
