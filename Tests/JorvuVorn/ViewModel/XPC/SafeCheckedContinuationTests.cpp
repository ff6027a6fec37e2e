#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "JorvuVorn/ViewModel/XPC/SafeCheckedContinuation.hpp"
#include "Tests/Support/ErrorLines.hpp"

namespace {

using namespace std::chrono_literals;
using Continuation = std::shared_ptr<SafeCheckedContinuation<int>>;

TEST(SafeCheckedContinuation, TheFirstResumeWinsAndLaterOnesDoNothing) {
  testlog::ErrorLines mark;
  Continuation kept;
  const int value = withSafeCheckedThrowingContinuation<int>(
      [&](const Continuation& c) {
        kept = c;
        EXPECT_EQ(c->timeout(), 50ms);
        c->resume(1);
        c->resume(2);
        c->resumeThrowing(std::runtime_error("late"));
        c->resumeWith(SafeCheckedContinuation<int>::Result(std::in_place_index<0>, 3));
      },
      50ms);
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(kept->isResumed());

  EXPECT_THROW(withSafeCheckedThrowingContinuation<int>(
                   [](const Continuation& c) {
                     c->resumeThrowing(std::runtime_error("first"));
                     c->resume(1);
                   },
                   50ms),
               std::runtime_error);
  // A body that throws resumes with its error.
  EXPECT_THROW(withSafeCheckedThrowingContinuation<int>([](const Continuation&) { throw std::logic_error("body"); },
                                                        50ms),
               std::logic_error);

  // Resumed from another thread after the caller waits.
  std::thread later;
  EXPECT_EQ(withSafeCheckedThrowingContinuation<int>(
                [&](const Continuation& c) {
                  later = std::thread([c] {
                    std::this_thread::sleep_for(10ms);
                    c->resume(7);
                  });
                },
                10s),
            7);
  later.join();

  // The timers of the calls above were cancelled: nothing fires later.
  EXPECT_THROW(withSafeCheckedThrowingContinuation<int>([](const Continuation&) {}, 100ms),
               SafeCheckedContinuationError);
  EXPECT_EQ(mark.since(), std::vector<std::string>{"[XPC] throw error=timeout"});
}

TEST(SafeCheckedContinuation, AReplyRacingTheTimerResumesExactlyOnce) {
  std::atomic<int> values{0}, timeouts{0};
  for (int i = 0; i < 100; ++i) {
    std::thread reply;
    try {
      const int v = withSafeCheckedThrowingContinuation<int>(
          [&](const Continuation& c) {
            reply = std::thread([c] {
              std::this_thread::sleep_for(std::chrono::microseconds(500));
              c->resume(1);
            });
          },
          std::chrono::microseconds(500));
      EXPECT_EQ(v, 1);
      ++values;
    } catch (const SafeCheckedContinuationError& e) {
      EXPECT_EQ(e.value(), SafeCheckedContinuationError::Case::timeout);
      ++timeouts;
    }
    reply.join();
  }
  EXPECT_EQ(values + timeouts, 100);
}

}  // namespace
