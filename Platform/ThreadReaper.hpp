#pragma once
// The owner of threads that cannot be joined where they end. An object
// destroyed on one of its own threads (a serial queue by its own work, an
// XPC connection by its reader, a task group by its last task) cannot join
// that thread: it hands the thread, or its own destruction, to the reaper.
// The reaper runs what it is handed, in order, on a thread of its own; at
// the end of the process it runs what is left and joins its thread. So every
// thread has an owner that joins it.
//
// Thread: post() and adopt() from any thread, the reaper's own included.
// When the reaper's thread cannot be started (the process's thread limit),
// the work waits for the next hand-over, or for the end of the process.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

class ThreadReaper {
 public:
  // Made on first use; whatever uses it when it ends must make it first
  // (SerialQueue does, so every object holding one is destroyed before it).
  static ThreadReaper& shared();

  ThreadReaper() = default;
  ~ThreadReaper();  // runs what is left, joins its thread
  ThreadReaper(const ThreadReaper&) = delete;
  ThreadReaper& operator=(const ThreadReaper&) = delete;

  // Runs `work` on the reaper's thread.
  void post(std::function<void()> work);
  // Joins `thread` on the reaper's thread.
  void adopt(std::thread thread);

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> work_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace platform
