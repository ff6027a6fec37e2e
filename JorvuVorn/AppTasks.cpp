#include "JorvuVorn/AppTasks.hpp"

void AppTasks::start(std::function<void()> work) {
  std::list<Task> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), tasks_, it);
      it = next;
    }
    // A list node keeps its address when it moves between lists, so the
    // thread may mark its own entry.
    Task& task = tasks_.emplace_back();
    task.thread = std::thread([this, &task, work = std::move(work)]() mutable {
      work();
      work = nullptr;  // let go of what the work holds before marking it done
      std::lock_guard lock(mutex_);
      task.done = true;
    });
  }
  for (auto& t : finished) t.thread.join();
}

void AppTasks::waitAll() {
  for (;;) {
    std::list<Task> all;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      all.swap(tasks_);
    }
    for (auto& t : all) t.thread.join();
  }
}
