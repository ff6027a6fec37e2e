#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

// One worker thread running submitted work in FIFO order: the stand-in for a
// serial dispatch queue or an actor's executor.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label = "serial");
  ~SerialQueue();  // runs what is queued, then stops the thread

  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> work);
  // Runs `work` on the queue and waits for it. Called from the queue's own
  // thread, it runs `work` inline instead of dead-locking.
  void sync(const std::function<void()>& work);
  // Waits until everything queued so far (and queued meanwhile) has run.
  void waitIdle();
  bool isCurrent() const;
  const std::string& label() const { return label_; }

 private:
  void run();

  std::string label_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> work_;
  std::size_t running_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace platform
