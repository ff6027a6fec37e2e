#include "JorvuVorn/ViewModel/LaunchTask.hpp"

#include "Platform/Cancellation.hpp"
#include "Platform/ThreadReaper.hpp"

// The reaper is made first, so that it outlives every executor.
TaskExecutor::TaskExecutor() { platform::ThreadReaper::shared(); }

std::shared_ptr<LaunchTask> TaskExecutor::start(std::function<void()> body, Completion completion) {
  std::list<Entry> finished;
  std::shared_ptr<LaunchTask> handle;
  {
    std::lock_guard lock(mutex_);
    if (shutdown_) return std::make_shared<LaunchTask>();
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      auto next = std::next(it);
      if (it->done->load()) finished.splice(finished.end(), tasks_, it);
      it = next;
    }
    Entry& entry = tasks_.emplace_back();
    entry.thread = std::jthread([done = entry.done, body = std::move(body), completion = std::move(completion)](
                                    std::stop_token stop) mutable {
      std::exception_ptr error;
      {
        platform::CancellationScope scope(stop);
        try {
          body();
        } catch (...) {
          error = std::current_exception();
        }
        body = nullptr;
        if (completion) completion(std::move(error));
        completion = nullptr;
      }
      done->store(true);
    });
    handle = std::make_shared<LaunchTask>(entry.thread.get_stop_source());
  }
  // Finished threads are joined outside the lock (they may still be leaving it).
  finished.clear();
  return handle;
}

void TaskExecutor::shutdown() {
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
    for (auto& entry : tasks_) entry.thread.request_stop();
  }
  for (;;) {
    std::list<Entry> all;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      all.swap(tasks_);
    }
    for (auto& entry : all) {
      // Shut down from inside a task's completion: it cannot join itself, so
      // the reaper joins it once it has left.
      if (entry.thread.get_id() == std::this_thread::get_id()) {
        auto self = std::make_shared<std::jthread>(std::move(entry.thread));
        platform::ThreadReaper::shared().post([self] { self->join(); });
      }
    }
    all.clear();
  }
}

bool TaskExecutor::isShutdown() const {
  std::lock_guard lock(mutex_);
  return shutdown_;
}
