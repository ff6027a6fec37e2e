#include "JorvuVornHelper/TaskGroup.hpp"

void TaskGroup::start(std::function<void()> work) {
  std::list<Task> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), tasks_, it);
      it = next;
    }
    // List nodes keep their place in memory when moved between lists, so
    // the task may hold on to its own entry.
    Task& task = tasks_.emplace_back();
    // The work is let go only after the group was last touched.
    task.thread = std::thread([this, &task, work = std::move(work)] {
      work();
      std::lock_guard lock(mutex_);
      task.done = true;
    });
  }
  for (auto& t : finished) t.thread.join();
}

void TaskGroup::waitAll() {
  for (;;) {
    std::list<Task> all;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      all.swap(tasks_);
    }
    for (auto& t : all) {
      // The last owner of the group may let go from inside a task, at its
      // very end: that thread cannot join itself.
      if (t.thread.get_id() == std::this_thread::get_id()) {
        t.thread.detach();
      } else {
        t.thread.join();
      }
    }
  }
}
