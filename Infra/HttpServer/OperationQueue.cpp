#include "Infra/HttpServer/OperationQueue.hpp"

#include <vector>

namespace httpserver {

namespace {

class BlockOperation : public Operation {
 public:
  explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
  void main() override { block_(); }

 private:
  std::function<void()> block_;
};

}  // namespace

OperationQueue::~OperationQueue() { waitUntilAllOperationsAreFinished(); }

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  std::unique_lock lock(mutex_);
  reapLocked(lock);
  entries_.push_back(Entry{operation, {}, false});
  Entry* entry = &entries_.back();
  entry->thread = std::thread([this, entry, operation] {
    try {
      operation->main();
    } catch (...) {
      // An operation's failure ends only that operation.
    }
    std::lock_guard done(mutex_);
    entry->finished = true;
    changed_.notify_all();
  });
}

void OperationQueue::cancelAllOperations() {
  std::lock_guard lock(mutex_);
  for (auto& entry : entries_) entry.operation->cancel();
}

void OperationQueue::addBarrierBlock(std::function<void()> block) {
  std::vector<Operation*> earlier;
  {
    std::lock_guard lock(mutex_);
    for (auto& entry : entries_) {
      if (!entry.finished) earlier.push_back(entry.operation.get());
    }
  }
  addOperation(std::make_shared<BlockOperation>([this, earlier, block = std::move(block)] {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      for (auto* operation : earlier) {
        for (auto& entry : entries_) {
          if (entry.operation.get() == operation && !entry.finished) return false;
        }
      }
      return true;
    });
    lock.unlock();
    block();
  }));
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] {
      for (auto& entry : entries_) {
        if (!entry.finished) return false;
      }
      return true;
    });
    reapLocked(lock);
    if (entries_.empty()) return;
  }
}

std::size_t OperationQueue::operationCount() {
  std::unique_lock lock(mutex_);
  std::size_t count = 0;
  for (auto& entry : entries_) count += entry.finished ? 0 : 1;
  return count;
}

void OperationQueue::reapLocked(std::unique_lock<std::mutex>& lock) {
  std::list<Entry> done;
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto next = std::next(it);
    if (it->finished) done.splice(done.end(), entries_, it);
    it = next;
  }
  if (done.empty()) return;
  lock.unlock();
  for (auto& entry : done) entry.thread.join();
  lock.lock();
}

}  // namespace httpserver
