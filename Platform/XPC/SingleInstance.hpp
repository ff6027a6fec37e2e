#pragma once
// One running instance of a program per user. Every click on a start URL
// starts a new process; the first one becomes the instance and the later ones
// hand their URLs to it and end.
//
// The instance holds an exclusive flock on "<name>.lock" and listens on the
// Unix socket "<name>.socket", both in the install's runtime folder beside
// the helper's service socket (platform::runtimeDirectory(): under the
// install's root whatever the environment, folder 0700, checked like the XPC
// listener does; lock and socket 0600).
// Only peers of the same user are served (SO_PEERCRED). A request is a list
// of URL frames (4-byte big-endian length, then the bytes; a zero length
// ends the list), at most maxURLCount URLs of at most maxURLLength bytes; the
// instance answers one byte: 'A' (taken) or 'T' (terminating: the sender
// waits for the lock and becomes the next instance, asking again every so
// often, since another sender may have become the next instance meanwhile).
// Reads are bounded in time, so a peer that sends nothing holds nobody up
// for long.
//
// Thread contract: acquire() on the program's main thread before anything
// else; the receiver runs on the instance's own accepting thread.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class SingleInstance {
 public:
  static constexpr std::size_t maxURLLength = 64 * 1024;
  static constexpr std::size_t maxURLCount = 64;

  // Called for every request: true when the URLs were taken, false when the
  // instance is terminating.
  using Receiver = std::function<bool(std::vector<std::string> urls)>;

  // What kept a process from being the instance or forwarding.
  enum class Failure {
    none,
    denied,        // the runtime folder or a file in it is not this user's to use
    unresponsive,  // the running instance does not answer, or does not end
    other,
  };

  struct Outcome {
    std::unique_ptr<SingleInstance> instance;  // this process is the instance
    bool forwarded = false;                    // the running instance took the URLs
    std::string error;                         // neither: why
    Failure failure = Failure::none;
  };

  // Becomes the instance named `name`, or hands `urls` to the running one.
  // When the running one answers that it is terminating, waits for its lock
  // (at most `lockWait` for one terminating instance) and becomes the next
  // instance, unless a next instance that takes the URLs holds it by then. URLs longer than
  // maxURLLength, empty ones and those past maxURLCount are left out of a
  // forwarded request (reported in `dropped`).
  static Outcome acquire(const std::string& name, const std::vector<std::string>& urls,
                         std::vector<std::string>* dropped = nullptr,
                         std::chrono::milliseconds lockWait = std::chrono::seconds(60));

  ~SingleInstance();  // stop(); the lock goes with the process's descriptor
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Starts answering requests on a thread of the instance.
  void serve(Receiver receiver);
  // Stops answering and removes the socket. The lock is kept until the
  // process ends, so no next instance starts before this one has finished.
  void stop();

  const std::string& socketPath() const { return socketPath_; }

 private:
  SingleInstance(int lockFD, int listenFD, std::string socketPath);
  void acceptLoop(const Receiver& receiver);
  void answer(int fd, const Receiver& receiver);

  int lockFD_;
  int listenFD_;
  int wakePipe_[2] = {-1, -1};
  std::string socketPath_;
  std::thread acceptor_;
};

}  // namespace platform
