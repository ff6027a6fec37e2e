#include "Platform/Cancellation.hpp"

#include <condition_variable>
#include <mutex>

namespace platform {

namespace {
thread_local std::stop_token taskToken;
}  // namespace

std::stop_token currentStopToken() { return taskToken; }

CancellationScope::CancellationScope(std::stop_token token) : previous_(std::move(taskToken)) {
  taskToken = std::move(token);
}

CancellationScope::~CancellationScope() { taskToken = std::move(previous_); }

void checkCancellation() {
  if (taskToken.stop_requested()) throw CancellationError();
}

void sleepFor(std::chrono::nanoseconds duration) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  const std::stop_token token = taskToken;
  if (wake.wait_for(lock, token, duration, [] { return false; }) || token.stop_requested()) {
    throw CancellationError();
  }
}

}  // namespace platform
