#pragma once
// A one-shot result for one XPC call: resumed exactly once, by the reply or
// by its time-out, whichever comes first. A second resume does nothing. The
// timer is a thread owned by the waiting call: once the call has its result
// it stops the timer and joins it. Awaited inside a cancellable task
// (Platform/Cancellation.hpp), the wait also ends when the task is
// cancelled, with platform::CancellationError; a later reply is dropped.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "Common/Logger/VornLogger.hpp"
#include "Platform/Cancellation.hpp"
#include "Platform/OneShot.hpp"

class SafeCheckedContinuationError : public std::exception {
 public:
  enum class Case { timeout };

  static SafeCheckedContinuationError timeout() { return SafeCheckedContinuationError(Case::timeout); }

  Case value() const { return value_; }
  // The case name.
  std::string description() const { return "timeout"; }
  const char* what() const noexcept override { return "timeout"; }
  bool operator==(const SafeCheckedContinuationError& other) const { return value_ == other.value_; }

 private:
  explicit SafeCheckedContinuationError(Case value) : value_(value) {}
  Case value_;
};

template <typename T>
class SafeCheckedContinuation;

// Hands `body` a new continuation and waits for its result: the value it is
// resumed with, or the error it is resumed with thrown here. Unless resumed
// first, it is resumed with SafeCheckedContinuationError::timeout() once
// `timeout` has passed.
template <typename T, typename Body>
T withSafeCheckedThrowingContinuation(Body&& body, std::chrono::nanoseconds timeout);

template <typename T>
class SafeCheckedContinuation : public std::enable_shared_from_this<SafeCheckedContinuation<T>> {
 public:
  using Result = std::variant<T, std::exception_ptr>;

  // 300 s.
  static constexpr std::chrono::nanoseconds defaultTimeout{300000000000};

  SafeCheckedContinuation(const SafeCheckedContinuation&) = delete;
  SafeCheckedContinuation& operator=(const SafeCheckedContinuation&) = delete;

  // Each does nothing once the continuation is resumed; any thread.
  void resume(T value) { tryResume(Result(std::in_place_index<0>, std::move(value))); }
  void resumeThrowing(std::exception_ptr error) { tryResume(Result(std::in_place_index<1>, std::move(error))); }
  template <typename E>
  void resumeThrowing(E error) {
    resumeThrowing(std::make_exception_ptr(std::move(error)));
  }
  void resumeWith(Result result) { tryResume(std::move(result)); }

  bool isResumed() const {
    std::lock_guard lock(mutex_);
    return isResumed_;
  }
  std::chrono::nanoseconds timeout() const { return timeout_; }

 private:
  template <typename U, typename Body>
  friend U withSafeCheckedThrowingContinuation(Body&& body, std::chrono::nanoseconds timeout);

  explicit SafeCheckedContinuation(std::chrono::nanoseconds timeout) : timeout_(timeout) {}

  // The timer: resumes with the time-out error unless resumed first, and
  // ends at once when asked to stop. It holds the continuation only while
  // it resumes it, so it is never the one to destroy it.
  std::jthread startTimeoutTask() {
    std::weak_ptr<SafeCheckedContinuation> weak = this->shared_from_this();
    return std::jthread([weak, timeout = timeout_](std::stop_token stop) {
      std::mutex sleepMutex;
      std::condition_variable_any sleep;
      std::unique_lock sleeping(sleepMutex);
      sleep.wait_for(sleeping, stop, timeout, [] { return false; });
      if (stop.stop_requested()) return;
      const auto self = weak.lock();
      if (!self) return;
      self->tryResume(Result(std::in_place_index<1>, std::make_exception_ptr(SafeCheckedContinuationError::timeout())),
                      true);
    });
  }

  // The test of isResumed, the resume and the setting of isResumed are one
  // step under the lock, so a reply racing the timer resumes exactly once.
  // The time-out's ERROR line is queued before the caller wakes up.
  bool tryResume(Result result, bool timedOut = false) {
    std::lock_guard lock(mutex_);
    if (isResumed_) return false;
    if (timedOut) logError("[XPC] throw error=" + SafeCheckedContinuationError::timeout().description());
    continuation_.resolve(std::make_shared<Result>(std::move(result)));
    isResumed_ = true;
    return true;
  }

  T await() {
    // Taken out, so that the error is released on this thread, whichever
    // thread drops the continuation last.
    Result result = std::move(*continuation_.wait());
    if (result.index() == 1) {
      std::exception_ptr error = std::move(std::get<1>(result));
      std::rethrow_exception(std::move(error));
    }
    return std::move(std::get<0>(result));
  }

  platform::OneShot<std::shared_ptr<Result>> continuation_;
  mutable std::mutex mutex_;
  bool isResumed_ = false;
  const std::chrono::nanoseconds timeout_;
};

template <typename T, typename Body>
T withSafeCheckedThrowingContinuation(Body&& body, std::chrono::nanoseconds timeout) {
  std::shared_ptr<SafeCheckedContinuation<T>> continuation(new SafeCheckedContinuation<T>(timeout));
  // Declared after the continuation: on return it is stopped and joined
  // while the continuation still lives.
  std::jthread timer = continuation->startTimeoutTask();
  try {
    body(continuation);
  } catch (...) {
    continuation->resumeThrowing(std::current_exception());
  }
  // Runs at once when the task is cancelled already.
  std::stop_callback onCancel(platform::currentStopToken(),
                              [continuation] { continuation->resumeThrowing(platform::CancellationError()); });
  return continuation->await();
}

// The same with the time-out of 300 s.
template <typename T, typename Body>
T withSafeCheckedThrowingContinuation(Body&& body) {
  return withSafeCheckedThrowingContinuation<T>(std::forward<Body>(body), SafeCheckedContinuation<T>::defaultTimeout);
}
