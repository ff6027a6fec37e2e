#include "Platform/SerialQueue.hpp"

#include <pthread.h>

#include "Platform/ThreadReaper.hpp"

namespace platform {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
  // The reaper may be handed this queue's thread: it must outlive the queue.
  ThreadReaper::shared();
  thread_ = std::thread([state = state_] { run(state); });
  std::string name = label_.substr(0, 15);
  pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      // Destroyed by its own work: the thread finishes the rest on its own
      // State, and the reaper joins it.
      ThreadReaper::shared().adopt(std::move(thread_));
    } else {
      thread_.join();
    }
  }
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(state_->mutex);
    state_->work.push_back(std::move(work));
  }
  state_->wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
  if (isCurrent()) {
    work();
    return;
  }
  std::mutex doneMutex;
  std::condition_variable doneCv;
  bool done = false;
  async([&] {
    work();
    std::lock_guard lock(doneMutex);
    done = true;
    doneCv.notify_all();
  });
  std::unique_lock lock(doneMutex);
  doneCv.wait(lock, [&] { return done; });
}

void SerialQueue::waitIdle() {
  if (isCurrent()) return;
  std::unique_lock lock(state_->mutex);
  state_->idle.wait(lock, [&] { return state_->work.empty() && state_->running == 0; });
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::run(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->wake.wait(lock, [&] { return state->stopping || !state->work.empty(); });
    if (state->work.empty()) {
      if (state->stopping) return;
      continue;
    }
    std::function<void()> work = std::move(state->work.front());
    state->work.pop_front();
    ++state->running;
    lock.unlock();
    work();
    work = nullptr;
    lock.lock();
    --state->running;
    if (state->work.empty() && state->running == 0) state->idle.notify_all();
  }
}

}  // namespace platform
