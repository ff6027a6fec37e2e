#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace httpserver {

// A unit of long-running work with a cancelled flag that its body reads
// when it sees fit.
class Operation {
 public:
  virtual ~Operation() = default;
  virtual void main() = 0;
  void cancel() { cancelled_ = true; }
  bool isCancelled() const { return cancelled_; }

 private:
  std::atomic<bool> cancelled_{false};
};

// Runs each added operation on a thread of its own; a finished operation
// leaves no trace. Destroying the queue waits for every operation.
class OperationQueue {
 public:
  OperationQueue() = default;
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  void addOperation(std::shared_ptr<Operation> operation);
  void cancelAllOperations();
  // Runs `block` on a thread of its own once every operation added so far
  // has finished.
  void addBarrierBlock(std::function<void()> block);
  void waitUntilAllOperationsAreFinished();
  std::size_t operationCount();

 private:
  struct Entry {
    std::shared_ptr<Operation> operation;
    std::thread thread;
    bool finished = false;
  };
  void reapLocked(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::list<Entry> entries_;
};

}  // namespace httpserver
