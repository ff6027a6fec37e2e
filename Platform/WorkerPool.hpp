#pragma once
// A small bounded set of worker threads running submitted work, first come
// first served: the stand-in for a concurrent dispatch queue. Threads start
// as work arrives, never more than the bound; they are the pool's own and
// close() (or the destructor) runs what is queued, then joins them.
//
// post() and close() may be called from any thread, but not from the pool's
// own work (close() would wait for itself).
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t maxThreads);
  ~WorkerPool();  // close()

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `work`. False, and `work` is dropped, once the pool is closed or
  // when it has no thread and cannot start one.
  bool post(std::function<void()> work);
  // Takes no more work, waits for what is queued and running, joins the threads.
  void close();

  std::size_t threadCount() const;

 private:
  void run();

  const std::size_t maxThreads_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> work_;
  std::size_t idle_ = 0;
  bool closing_ = false;
  std::vector<std::jthread> threads_;  // grows under mutex_; joined by close()
  std::mutex closeMutex_;              // one close() at a time
};

}  // namespace platform
