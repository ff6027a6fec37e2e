#pragma once
// The launch flow's tasks: each step of a launch runs as one task on a thread
// of its own (a step may wait minutes on the helper, so a fixed pool could
// starve), and may be cancelled. `TaskExecutor` owns every such thread: it
// joins finished ones as new ones start and all of them at shutdown, after
// cancelling them. A task body sees its cancellation through
// Platform/Cancellation.hpp: a sleep, a helper call or a hop to the main loop
// then ends with platform::CancellationError.
//
// Thread contract: start(), cancel() and shutdown() from any thread; a
// task's completion runs on the task's own thread, after its body.
#include <atomic>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

// The handle of one running task: its owner may cancel it.
class LaunchTask {
 public:
  explicit LaunchTask(std::stop_source stop) : stop_(std::move(stop)) {}
  // A task that never runs (refused after shutdown).
  LaunchTask() : stop_(std::nostopstate) {}

  void cancel() { stop_.request_stop(); }
  bool isCancelled() const { return stop_.stop_requested(); }

 private:
  std::stop_source stop_;
};

class TaskExecutor {
 public:
  // The outcome of a body: null when it returned, else what it threw.
  using Completion = std::function<void(std::exception_ptr error)>;

  TaskExecutor();
  ~TaskExecutor() { shutdown(); }
  TaskExecutor(const TaskExecutor&) = delete;
  TaskExecutor& operator=(const TaskExecutor&) = delete;

  // Runs `body` on a new thread, then `completion` with its outcome. After
  // shutdown nothing runs and the handle is inert.
  std::shared_ptr<LaunchTask> start(std::function<void()> body, Completion completion = {});

  // Cancels every running task and waits for all of them (and for those
  // they start meanwhile, which are refused). Later calls return at once.
  void shutdown();
  bool isShutdown() const;

 private:
  struct Entry {
    std::jthread thread;
    // Shared with the thread, which never touches the executor itself.
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
  };
  mutable std::mutex mutex_;
  std::list<Entry> tasks_;
  bool shutdown_ = false;
};
