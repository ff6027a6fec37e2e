#include "JorvuVornHelper/Common/BackgroundQueue.hpp"

#include <exception>
#include <vector>

#include "Common/Logger/VornLogger.hpp"

BackgroundQueue::~BackgroundQueue() { waitIdle(); }

BackgroundQueue& BackgroundQueue::shared() {
  static BackgroundQueue queue;
  return queue;
}

void BackgroundQueue::reapFinished(std::unique_lock<std::mutex>& lock) {
  std::vector<std::thread> finished;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (it->done) {
      finished.push_back(std::move(it->thread));
      it = jobs_.erase(it);
    } else {
      ++it;
    }
  }
  lock.unlock();
  for (auto& t : finished) t.join();
  lock.lock();
}

void BackgroundQueue::async(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  reapFinished(lock);
  jobs_.emplace_back();
  Job* entry = &jobs_.back();
  entry->thread = std::thread([this, entry, job = std::move(job)] {
    try {
      job();
    } catch (const std::exception& e) {
      logError(std::string("background job failed: ") + e.what());
    } catch (...) {
      logError("background job failed");
    }
    {
      std::lock_guard done(mutex_);
      entry->done = true;
    }
    finished_.notify_all();
  });
}

void BackgroundQueue::waitIdle() {
  std::unique_lock lock(mutex_);
  for (;;) {
    finished_.wait(lock, [&] {
      for (const auto& j : jobs_) {
        if (!j.done) return false;
      }
      return true;
    });
    reapFinished(lock);
    // A job that ended may have queued another while the lock was free.
    bool allDone = true;
    for (const auto& j : jobs_) allDone = allDone && j.done;
    if (allDone && jobs_.empty()) return;
  }
}

std::size_t BackgroundQueue::runningCount() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& j : jobs_) n += j.done ? 0 : 1;
  return n;
}
