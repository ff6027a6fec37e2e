#pragma once
// The publisher's connections: each served on a thread of its own, and the
// socket a request came on, watched while its answer is held by a stall.
//
// A held answer holds its connection's thread. With a fixed pool, a helper
// that gives up on stalled downloads and asks again on new connections used
// up every thread within minutes, and nothing was answered any more, not
// even the request that clears the faults. Here a stalled connection holds
// only its own thread, and ends as soon as its peer has gone.
#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace publisher {

// The server's task queue: a thread per connection, at most `limit` at once
// (later connections wait for one of them). Finished threads are joined by
// the next enqueue() and the rest by shutdown(), which waits for every
// connection taken so far. Called by the server's listening thread only.
class ConnectionThreads final : public httplib::TaskQueue {
 public:
  explicit ConnectionThreads(std::size_t limit) : limit_(limit) {}
  ~ConnectionThreads() override { shutdown(); }

  void enqueue(std::function<void()> connection) override;
  void shutdown() override;

 private:
  struct Worker {
    std::jthread thread;
    bool done = false;
  };

  // Serves the waiting connections until there are none, then marks `self` done.
  void serve(std::list<Worker>::iterator self);
  void joinFinishedLocked();

  const std::size_t limit_;
  std::mutex mutex_;
  std::list<Worker> workers_;  // finished ones until joined
  std::size_t running_ = 0;
  std::deque<std::function<void()>> waiting_;
};

// The socket of the connection `req` came on (found among this process's
// descriptors by both its ends), or -1. Valid while the request's handler
// runs: the connection's own thread closes it afterwards.
int connectionSocket(const httplib::Request& req);

// A pipe whose write end is closed to wake every waiter on its read end at
// once. make() gives nothing when no pipe can be made.
class WakePipe {
 public:
  static std::shared_ptr<WakePipe> make();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int readEnd() const { return read_; }
  void wakeAll();

 private:
  WakePipe(int read, int write) : read_(read), write_(write) {}
  int read_;
  int write_;
};

enum class HeldWait { woken, peerGone, timedOut };

// Waits until `wakeFd` is readable or closed at its other end, the peer of
// `connection` closes it or `deadline` passes (none: no limit); peerGone too
// when the wait itself fails, so a held answer never outlives its use. A
// connection of -1 is not watched; one on which the peer sent more (a
// pipelined request) is watched no longer, and becomes -1.
HeldWait waitHeld(int& connection, int wakeFd, std::optional<std::chrono::steady_clock::time_point> deadline);

}  // namespace publisher
