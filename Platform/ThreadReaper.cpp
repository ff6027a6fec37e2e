#include "Platform/ThreadReaper.hpp"

#include <pthread.h>

#include <memory>
#include <system_error>

namespace platform {

ThreadReaper& ThreadReaper::shared() {
  static ThreadReaper reaper;
  return reaper;
}

ThreadReaper::~ThreadReaper() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  // Never started, or handed more while it ended: the rest runs here.
  std::deque<std::function<void()>> rest;
  {
    std::lock_guard lock(mutex_);
    rest.swap(work_);
  }
  for (auto& work : rest) work();
}

void ThreadReaper::post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  work_.push_back(std::move(work));
  if (!thread_.joinable() && !stopping_) {
    try {
      thread_ = std::thread([this] { run(); });
      pthread_setname_np(thread_.native_handle(), "reaper");
    } catch (const std::system_error&) {
      // No thread to be had now: the next hand-over tries again.
    }
  }
  wake_.notify_one();
}

void ThreadReaper::adopt(std::thread thread) {
  if (!thread.joinable()) return;
  auto owned = std::make_shared<std::thread>(std::move(thread));
  post([owned] { owned->join(); });
}

void ThreadReaper::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !work_.empty(); });
    if (work_.empty()) return;  // stopping, and nothing left
    std::function<void()> work = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    work();
    work = nullptr;
    lock.lock();
  }
}

}  // namespace platform
