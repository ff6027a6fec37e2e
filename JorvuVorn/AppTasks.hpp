#pragma once
// The app's asynchronous tasks: each gets a thread of its own (a launch may
// wait on the helper for minutes, so a fixed pool could starve). Finished
// threads are joined as new ones start; waitAll() joins the rest.
//
// Thread contract: any thread may start a task; waitAll() only from the
// owner's thread, never from a task.
#include <functional>
#include <list>
#include <mutex>
#include <thread>

class AppTasks {
 public:
  AppTasks() = default;
  ~AppTasks() { waitAll(); }
  AppTasks(const AppTasks&) = delete;
  AppTasks& operator=(const AppTasks&) = delete;

  void start(std::function<void()> work);
  // Waits for every task started so far and for those they start meanwhile.
  void waitAll();

 private:
  struct Task {
    std::thread thread;
    bool done = false;
  };
  std::mutex mutex_;
  std::list<Task> tasks_;
};
