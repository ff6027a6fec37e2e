#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

// A result that is set at most once and awaited with a time-out: the stand-in
// for a checked continuation. A second resolve() is refused, not a crash.
template <typename T>
class OneShot {
 public:
  OneShot() : state_(std::make_shared<State>()) {}

  // Returns false when a value was already set.
  bool resolve(T value) const {
    // Held here: once the value is set, a waiter may wake and let go of its
    // OneShot (this one too, when it was shared by reference) before the
    // notification is out.
    std::shared_ptr<State> state = state_;
    {
      std::lock_guard lock(state->mutex);
      if (state->value) return false;
      state->value.emplace(std::move(value));
    }
    state->cv.notify_all();
    return true;
  }

  bool isResolved() const {
    std::lock_guard lock(state_->mutex);
    return state_->value.has_value();
  }

  // The value, or nothing when the time-out passed first.
  template <typename Rep, typename Period>
  std::optional<T> waitFor(std::chrono::duration<Rep, Period> timeout) const {
    std::unique_lock lock(state_->mutex);
    if (!state_->cv.wait_for(lock, timeout, [&] { return state_->value.has_value(); })) return std::nullopt;
    return state_->value;
  }

  T wait() const {
    std::unique_lock lock(state_->mutex);
    state_->cv.wait(lock, [&] { return state_->value.has_value(); });
    return *state_->value;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<T> value;
  };
  std::shared_ptr<State> state_;  // copies share one result
};

}  // namespace platform
