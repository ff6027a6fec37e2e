#pragma once
// The shared background queue on which work jobs run. It is concurrent: each
// job gets a thread of its own (a job may run for as long as an install
// takes, so jobs never wait for each other). Finished threads are joined as
// new jobs start; waitIdle() waits for every job queued so far.
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

class BackgroundQueue {
 public:
  BackgroundQueue() = default;
  ~BackgroundQueue();  // waits for the running jobs
  BackgroundQueue(const BackgroundQueue&) = delete;
  BackgroundQueue& operator=(const BackgroundQueue&) = delete;

  // The process-wide queue.
  static BackgroundQueue& shared();

  // Starts `job` at once on a thread of its own. A job that throws is logged.
  void async(std::function<void()> job);
  // Waits until every job queued so far, and those they queue, has ended.
  void waitIdle();
  std::size_t runningCount() const;

 private:
  struct Job {
    std::thread thread;
    bool done = false;
  };
  void reapFinished(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::list<Job> jobs_;
};
