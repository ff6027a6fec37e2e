#pragma once
// The helper's tasks: each request that runs "in a new task" gets a thread
// of its own (a task may block on the network or a launch for a long time,
// so a small fixed pool could starve). The threads are bounded: at most
// `perShare` tasks of one share (each XPC connection has one) and `total`
// tasks in all run at once. A task beyond a bound waits in line and starts
// as soon as a running task of the group ends. A task that cannot get a
// thread when it is due (the process's thread limit) does not run: its
// `refuse` runs instead, so that its request is still answered, and the
// helper goes on.
//
// Finished threads are joined as new ones start, and waitAll() joins the
// rest. The group may be destroyed from inside one of its own tasks (the
// task held the last reference to its owner): that thread is then handed to
// the ThreadReaper, which joins it.
//
// Thread: any. The calls of one connection come from its queue; the share
// of the calling connection is named by a ShareScope around the call.
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <thread>

class TaskGroup {
 public:
  struct Limits {
    std::size_t perShare = 8;
    std::size_t total = 64;
  };
  // The tasks of one connection.
  struct Share;

  // Names the share of the tasks started on this thread while it lives.
  class ShareScope {
   public:
    explicit ShareScope(std::shared_ptr<Share> share);
    ~ShareScope();
    ShareScope(const ShareScope&) = delete;
    ShareScope& operator=(const ShareScope&) = delete;

   private:
    std::shared_ptr<Share> previous_;
  };

  TaskGroup() : TaskGroup(Limits{}) {}
  explicit TaskGroup(Limits limits);
  ~TaskGroup() { waitAll(); }
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  std::shared_ptr<Share> makeShare() const;

  // Runs `work` on a thread of its own, now or once the bounds allow; or,
  // when no thread can be had then, runs `refuse` (on the calling thread,
  // or on the thread of the task that ended). The task counts against the
  // share of the innermost ShareScope of the calling thread, if any.
  void start(std::function<void()> work, std::function<void()> refuse = {});
  // Waits for every task started so far and those they start meanwhile.
  void waitAll();

  // Tasks running and waiting in line now.
  std::size_t running() const;
  std::size_t waiting() const;

 private:
  struct Task {
    std::function<void()> work;
    std::function<void()> refuse;
    std::shared_ptr<Share> share;
  };
  struct Thread {
    std::thread thread;
    bool done = false;
  };
  // Shared with the threads, so that a group destroyed by its own task
  // leaves them nothing freed to touch.
  struct State {
    explicit State(Limits limits) : limits(limits) {}
    const Limits limits;
    mutable std::mutex mutex;
    std::size_t running = 0;
    std::deque<std::shared_ptr<Task>> waiting;
    std::list<Thread> threads;
  };

  static bool allowed(const State& state, const Task& task);
  // Starts `task` on a new thread; false when none can be had.
  static bool launch(const std::shared_ptr<State>& state, const std::shared_ptr<Task>& task);
  // Starts what waits and is allowed now; what cannot get a thread is
  // moved to `refused`.
  static void dispatch(const std::shared_ptr<State>& state, std::deque<std::shared_ptr<Task>>& refused);
  static void run(std::shared_ptr<State> state, Thread* self, std::shared_ptr<Task> task);
  static std::list<Thread> takeFinished(State& state);
  static void join(std::list<Thread>& threads);

  std::shared_ptr<State> state_;
};
