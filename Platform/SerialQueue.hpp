#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
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
  // Shared with the worker thread, so that a queue destroyed by its own work
  // (the thread is then handed to the ThreadReaper) leaves the thread
  // nothing freed to touch.
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> work;
    std::size_t running = 0;
    bool stopping = false;
  };
  static void run(const std::shared_ptr<State>& state);

  std::string label_;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace platform
