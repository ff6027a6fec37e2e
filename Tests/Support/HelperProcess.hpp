#pragma once
// The JorvuVornHelper program as a child process of a test, and an XPC
// client that drives it over its socket.
//
// Thread contract: the test's main thread. The client's replies arrive on
// its connection's queue; ask() and the request calls wait for them.
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Common/Protocol/VornHelperXPC.hpp"
#include "Platform/OneShot.hpp"
#include "Platform/XPC/XPCConnection.hpp"
#include "Tests/Support/Processes.hpp"

namespace testsupport {

// A listening socket at the helper's service path under the current
// JORVU_ROOT, as launchd makes it before it starts the program (a stale
// socket there is replaced); -1, with a test failure, when it cannot be made.
int bindHelperSocket();

struct HelperOptions {
  // The program to run; "" is the built one in binDir().
  std::string program;
  // Given to the program on top of this process's environment.
  Environment env;
  // Hands the program a socket from bindHelperSocket(), made before the
  // start, so that it can be called at once.
  bool handOverSocket = false;
  // Or hands it this listening socket; the caller keeps its descriptor.
  int listenFD = -1;
  // Where its standard error goes; "" leaves it ours.
  std::string stderrPath;
  // Leads a process group of its own: stop() ends the whole group, the games
  // it started included.
  bool ownGroup = false;
  // Runs in the child just before the exec (async-signal-safe calls only);
  // false ends the child with status 126.
  std::function<bool()> beforeExec;
};

// The program as a child that dies with the test program. A socket handed
// over is descriptor 3 (LISTEN_FDS, LISTEN_PID).
class HelperProcess {
 public:
  explicit HelperProcess(HelperOptions options = {});
  ~HelperProcess();  // stop(5s)
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Stops the process and returns once every one of its threads has stopped:
  // kill() only queues the signal, and until one of its threads takes it the
  // others go on running. False when the process ended instead.
  bool pause();
  // The wait status once it ends by itself, nothing when it has not ended
  // within `limit`.
  std::optional<int> waitExit(std::chrono::milliseconds limit);
  // Sends `signal`, then the wait status; SIGKILL (to the group) when it has
  // not ended within `limit`, and nothing returned then.
  std::optional<int> stop(std::chrono::milliseconds limit = std::chrono::seconds(20), int signal = SIGTERM);

 private:
  void start(HelperOptions& options, int listenFD);
  pid_t pid_ = -1;
  bool ownGroup_ = false;
};

inline bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// A wait status in words, for a test's failure message; it names the child's
// own codes for a start that failed: 126 (beforeExec refused) and 127 (the
// exec failed).
std::string waitStatusText(int status);

using DataAnswer = std::pair<bool, std::optional<std::string>>;
using Invoke = std::function<void(vornhelperxpc::Proxy&, VornHelperCommunicator::DataReply)>;

// One client connection to the helper. A call on a connection that fails
// gets no reply; its waiter is told at once instead.
class HelperClient {
 public:
  // At the service's path, or at `socketPath`.
  explicit HelperClient(const std::string& socketPath = "");
  ~HelperClient();  // invalidates the connection
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;

  std::optional<bool> connect();
  // Calls a request and waits for its reply; nothing on time-out.
  std::optional<DataAnswer> ask(const Invoke& invoke, std::chrono::milliseconds limit = std::chrono::seconds(30));
  // The requests, each a test failure when no reply comes.
  DataAnswer registerGame(std::uint32_t code, const std::string& tag = "");
  DataAnswer work(std::uint32_t code, bool ignoreOSVersion = false);
  DataAnswer status(std::uint32_t code);
  DataAnswer execute(std::uint32_t code, std::optional<std::string> passarg);
  DataAnswer cancel(std::uint32_t code);
  DataAnswer clearGame(std::uint32_t code);

  vornhelperxpc::Proxy& proxy() { return *proxy_; }
  platform::xpc::Connection& connection() { return *connection_; }
  // Resolved when the connection fails.
  platform::OneShot<platform::xpc::Error> error() const { return error_; }
  bool connectionFailed() const { return error_.isResolved(); }

 private:
  // Ends the wait of every call made so far when the connection fails.
  void watch(std::function<void(const std::string&)> fail);

  struct Pending {
    std::mutex mutex;
    std::vector<std::function<void(const std::string&)>> fails;
  };
  std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
  std::shared_ptr<platform::xpc::Connection> connection_;
  std::unique_ptr<vornhelperxpc::Proxy> proxy_;
  platform::OneShot<platform::xpc::Error> error_;
};

}  // namespace testsupport
