#pragma once
// The helper's tasks: each request that runs "in a new task" gets a thread of
// its own (a task may block on the network or a launch for a long time, so a
// fixed pool could starve). Finished threads are joined as new ones start,
// and waitAll() joins the rest at exit.
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

class TaskGroup {
 public:
  TaskGroup() = default;
  ~TaskGroup() { waitAll(); }
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  void start(std::function<void()> work);
  // Waits for every task started so far and those they start meanwhile.
  void waitAll();

 private:
  struct Task {
    std::thread thread;
    bool done = false;
  };
  std::mutex mutex_;
  std::list<Task> tasks_;
};
