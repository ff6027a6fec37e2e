#include "JorvuVornHelper/TaskGroup.hpp"

#include <system_error>

#include "Platform/ThreadReaper.hpp"

struct TaskGroup::Share {
  std::size_t running = 0;  // under the group's lock
};

namespace {

thread_local std::shared_ptr<TaskGroup::Share> currentShare;

}  // namespace

TaskGroup::ShareScope::ShareScope(std::shared_ptr<Share> share) : previous_(std::move(currentShare)) {
  currentShare = std::move(share);
}

TaskGroup::ShareScope::~ShareScope() { currentShare = std::move(previous_); }

TaskGroup::TaskGroup(Limits limits) : state_(std::make_shared<State>(limits)) {
  // The reaper may be handed a thread of this group: it must outlive it.
  platform::ThreadReaper::shared();
}

std::shared_ptr<TaskGroup::Share> TaskGroup::makeShare() const { return std::make_shared<Share>(); }

std::size_t TaskGroup::running() const {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

std::size_t TaskGroup::waiting() const {
  std::lock_guard lock(state_->mutex);
  return state_->waiting.size();
}

bool TaskGroup::allowed(const State& state, const Task& task) {
  return state.running < state.limits.total && (!task.share || task.share->running < state.limits.perShare);
}

bool TaskGroup::launch(const std::shared_ptr<State>& state, const std::shared_ptr<Task>& task) {
  // List nodes keep their place in memory when moved between lists, so the
  // thread may hold on to its own entry.
  Thread& entry = state->threads.emplace_back();
  try {
    entry.thread = std::thread(&TaskGroup::run, state, &entry, task);
  } catch (const std::system_error&) {
    state->threads.pop_back();
    return false;
  }
  ++state->running;
  if (task->share) ++task->share->running;
  return true;
}

void TaskGroup::dispatch(const std::shared_ptr<State>& state, std::deque<std::shared_ptr<Task>>& refused) {
  auto& waiting = state->waiting;
  for (auto it = waiting.begin(); it != waiting.end();) {
    if (!allowed(*state, **it)) {
      ++it;
      continue;
    }
    auto task = *it;
    it = waiting.erase(it);
    if (!launch(state, task)) {
      refused.push_back(task);
      // With nothing running, nobody would try again for the rest.
      if (state->running == 0) {
        refused.insert(refused.end(), waiting.begin(), waiting.end());
        waiting.clear();
      }
      return;
    }
  }
}

void TaskGroup::start(std::function<void()> work, std::function<void()> refuse) {
  auto task = std::make_shared<Task>(Task{std::move(work), std::move(refuse), currentShare});
  std::list<Thread> finished;
  bool started = true;
  {
    std::lock_guard lock(state_->mutex);
    finished = takeFinished(*state_);
    if (allowed(*state_, *task)) {
      started = launch(state_, task);
    } else {
      state_->waiting.push_back(task);
    }
  }
  join(finished);
  if (!started && task->refuse) task->refuse();
}

void TaskGroup::run(std::shared_ptr<State> state, Thread* self, std::shared_ptr<Task> task) {
  task->work();
  std::deque<std::shared_ptr<Task>> refused;
  {
    std::lock_guard lock(state->mutex);
    --state->running;
    if (task->share) --task->share->running;
    dispatch(state, refused);
    self->done = true;
  }
  for (auto& other : refused) {
    if (other->refuse) other->refuse();
  }
  // The work is let go only after the group was last touched: what it holds
  // may be the group's last owner.
}

std::list<TaskGroup::Thread> TaskGroup::takeFinished(State& state) {
  std::list<Thread> finished;
  for (auto it = state.threads.begin(); it != state.threads.end();) {
    auto next = std::next(it);
    if (it->done) finished.splice(finished.end(), state.threads, it);
    it = next;
  }
  return finished;
}

void TaskGroup::join(std::list<Thread>& threads) {
  for (auto& t : threads) {
    if (t.thread.get_id() == std::this_thread::get_id()) {
      // The group's last owner let go from inside this task, at its very
      // end: the thread cannot join itself.
      platform::ThreadReaper::shared().adopt(std::move(t.thread));
    } else {
      t.thread.join();
    }
  }
}

void TaskGroup::waitAll() {
  for (;;) {
    std::list<Thread> all;
    {
      std::lock_guard lock(state_->mutex);
      // What waits in line is started by the running tasks as they end.
      if (state_->threads.empty()) return;
      all.swap(state_->threads);
    }
    join(all);
  }
}
