#pragma once
// Pieces of the end-to-end tests: the helper program as a child process in a
// process group of its own, the XPC client that drives it, catalogue records,
// folder trees, jorvu-pack and zip runs.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Common/Protocol/VornHelperXPC.hpp"
#include "Platform/OneShot.hpp"
#include "Platform/XPC/XPCConnection.hpp"

namespace e2e {

using namespace std::chrono_literals;
using DataAnswer = std::pair<bool, std::optional<std::string>>;

// The JorvuVornHelper program started with `env` on top of this process's
// environment, handed its listening socket (made at the service path under
// the current JORVU_ROOT) as descriptor 3, so it can be called at once. It
// leads a process group of its own: stop() and the destructor end the whole
// group, the games it started included.
class HelperProcess {
 public:
  // Its standard error goes to `stderrPath`.
  HelperProcess(const std::map<std::string, std::string>& env, const std::string& stderrPath);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // SIGTERM, then the exit status; SIGKILL to the group when it does not end
  // in time (nothing returned then).
  std::optional<int> stop(std::chrono::milliseconds limit = 20s);

 private:
  void killGroup();
  pid_t pid_ = -1;
};

// One client connection to the helper.
class Client {
 public:
  Client();
  ~Client();

  std::optional<bool> connect();
  // Calls a request and waits for its reply.
  std::optional<DataAnswer> ask(
      const std::function<void(vornhelperxpc::Proxy&, VornHelperCommunicator::DataReply)>& invoke,
      std::chrono::milliseconds limit = 30s);
  DataAnswer registerGame(std::uint32_t code, const std::string& tag = "");
  DataAnswer work(std::uint32_t code, bool ignoreOSVersion = false);
  DataAnswer status(std::uint32_t code);
  DataAnswer execute(std::uint32_t code, std::optional<std::string> passarg);
  DataAnswer cancel(std::uint32_t code);
  DataAnswer clearGame(std::uint32_t code);

  vornhelperxpc::Proxy& proxy() { return *proxy_; }
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

// A catalogue record with every required key; values are raw JSON.
class Record {
 public:
  explicit Record(std::uint32_t code);
  Record& set(const std::string& key, const std::string& rawJson);
  Record& text(const std::string& key, const std::string& value);
  std::string json() const;

 private:
  std::map<std::string, std::string> members_;
};

std::string jsonQuoted(const std::string& value);
// "yyyy-MM-dd HH:mm" in Korea Standard Time.
std::string kstText(std::chrono::system_clock::time_point t);

// Writes each relative path's bytes below root (folders made).
void writeTree(const std::string& root, const std::map<std::string, std::string>& files);
// The differences between two folders (paths, kinds, bytes), leaving out the
// installed game's local manifest file; empty when equal.
std::string diffTrees(const std::string& expected, const std::string& actual);
// A bundle <folder>/<Name>.app whose executable is a copy of jorvu-fakegame.
void makeFakeGameBundle(const std::string& folder, const std::string& name);
// Runs a program with arguments and waits; its exit code, -1 when it could
// not run or did not exit.
int runProgram(const std::vector<std::string>& argv);
std::string base64(const std::string& bytes);
// Relative paths of the files below `folder` whose names end in `suffix`.
std::vector<std::string> filesEndingWith(const std::string& folder, const std::string& suffix);

// Waits, checking every few milliseconds, until `done` holds; false on time-out.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s);

}  // namespace e2e
