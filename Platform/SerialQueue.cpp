#include "Platform/SerialQueue.hpp"

#include <pthread.h>

namespace platform {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { run(); });
  std::string name = label_.substr(0, 15);
  pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }
  wake_.notify_one();
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
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [&] { return work_.empty() && running_ == 0; });
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !work_.empty(); });
    if (work_.empty()) {
      if (stopping_) return;
      continue;
    }
    std::function<void()> work = std::move(work_.front());
    work_.pop_front();
    ++running_;
    lock.unlock();
    work();
    work = nullptr;
    lock.lock();
    --running_;
    if (work_.empty() && running_ == 0) idle_.notify_all();
  }
}

}  // namespace platform
