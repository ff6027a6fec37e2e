#pragma once
// Cancellation of a task that runs on a thread of its own: the stand-in for
// cooperative task cancellation. Whoever runs a task installs the task's stop
// token for the thread (CancellationScope); waits inside the task (sleepFor,
// a reply awaited with a time-out) then end early with CancellationError once
// the task is cancelled.
//
// Thread contract: the scope and currentStopToken() are per thread; a stop
// may be requested from any thread.
#include <chrono>
#include <exception>
#include <stop_token>
#include <string>

namespace platform {

// A wait ended because its task was cancelled.
class CancellationError : public std::exception {
 public:
  // The printed form of the error value.
  std::string description() const { return "CancellationError()"; }
  const char* what() const noexcept override { return "CancellationError()"; }
};

// The stop token of the task running on this thread; a token that can never
// be stopped outside a task.
std::stop_token currentStopToken();

// Installs `token` as this thread's task token for the scope's lifetime.
class CancellationScope {
 public:
  explicit CancellationScope(std::stop_token token);
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  std::stop_token previous_;
};

// Throws CancellationError when this thread's task is cancelled.
void checkCancellation();

// Sleeps for `duration`; throws CancellationError as soon as this thread's
// task is cancelled (also when it was cancelled before the call).
void sleepFor(std::chrono::nanoseconds duration);

}  // namespace platform
