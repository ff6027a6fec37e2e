#include "Platform/WorkerPool.hpp"

#include <system_error>

namespace platform {

WorkerPool::WorkerPool(std::size_t maxThreads) : maxThreads_(maxThreads == 0 ? 1 : maxThreads) {}

WorkerPool::~WorkerPool() { close(); }

bool WorkerPool::post(std::function<void()> work) {
  std::unique_lock lock(mutex_);
  if (closing_) return false;
  if (idle_ <= work_.size() && threads_.size() < maxThreads_) {
    try {
      threads_.emplace_back([this] { run(); });
    } catch (const std::system_error&) {
      if (threads_.empty()) return false;  // nobody would ever run it
    }
  }
  work_.push_back(std::move(work));
  lock.unlock();
  wake_.notify_one();
  return true;
}

void WorkerPool::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(lock, [this] { return closing_ || !work_.empty(); });
    --idle_;
    if (work_.empty()) return;  // closing and nothing left
    auto work = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    work();
    lock.lock();
  }
}

void WorkerPool::close() {
  std::lock_guard serial(closeMutex_);
  std::vector<std::jthread> threads;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    threads.swap(threads_);  // no thread is added once closing
  }
  wake_.notify_all();
  for (auto& thread : threads) thread.join();
}

std::size_t WorkerPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

}  // namespace platform
