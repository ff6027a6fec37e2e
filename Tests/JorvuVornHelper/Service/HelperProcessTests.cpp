// The helper program started as a real process in a temporary root and
// driven over its real socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "Common/Protocol/VornHelperXPC.hpp"
#include "Platform/OneShot.hpp"
#include "Platform/XPC/XPCListener.hpp"
#include "Tests/Support/TempRoot.hpp"

extern char** environ;

using namespace platform::xpc;
using namespace std::chrono_literals;
using testsupport::TempRoot;

namespace {

constexpr const char* notExist = R"({"error":{"GameNotExist":{}}})";
constexpr const char* crash = R"({"error":{"Crash":{}}})";

// The helper as a child process. With a listening socket, that socket is
// handed over as descriptor 3 (LISTEN_FDS, LISTEN_PID).
class HelperProcess {
 public:
  explicit HelperProcess(int listenFD = -1) {
    const std::string program = testsupport::binDir() + "/JorvuVornHelper";
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "LISTEN_", 7) != 0) env.emplace_back(*e);
    }
    if (listenFD >= 0) env.emplace_back("LISTEN_FDS=1");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    char pidVariable[64] = "LISTEN_PID=";
    envp.push_back(listenFD >= 0 ? pidVariable : nullptr);
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_ = ::fork();
    if (pid_ == 0) {
      // A test killed by its time-out takes its helper with it.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (listenFD >= 0) {
        std::snprintf(pidVariable, sizeof pidVariable, "LISTEN_PID=%d", static_cast<int>(::getpid()));
        if (listenFD == 3) {
          ::fcntl(3, F_SETFD, 0);
        } else {
          ::dup2(listenFD, 3);
        }
      }
      ::execve(program.c_str(), argv, envp.data());
      ::_exit(127);
    }
  }

  ~HelperProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }

  // Stops the process and returns once every one of its threads has stopped:
  // kill() only queues the signal, and until one of its threads takes it the
  // others go on running. False when the process ended instead.
  bool pause() {
    ::kill(pid_, SIGSTOP);
    int status = 0;
    pid_t rc;
    do {
      rc = ::waitpid(pid_, &status, WUNTRACED);
    } while (rc < 0 && errno == EINTR);
    if (rc != pid_) return false;
    if (WIFSTOPPED(status)) return true;
    pid_ = -1;
    return false;
  }

  // The wait status, or nothing when the process did not end in time.
  std::optional<int> waitExit(std::chrono::milliseconds timeout) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0) return std::nullopt;
    pollfd p{pidfd, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    ::close(pidfd);
    if (rc != 1) return std::nullopt;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    pid_ = -1;
    return status;
  }

  std::optional<int> stop(int signal = SIGTERM) {
    ::kill(pid_, signal);
    return waitExit(10s);
  }

 private:
  pid_t pid_ = -1;
};

std::string helperSocketPath() { return servicePath(vornHelperServiceName); }

std::string makeRuntimeFolder() {
  const std::string folder = std::filesystem::path(helperSocketPath()).parent_path().string();
  std::filesystem::create_directories(folder);
  ::chmod(folder.c_str(), 0700);
  return folder;
}

// Watches the runtime folder for the helper's socket being renamed into
// place (it listens by then). Made before the helper starts.
class SocketWatch {
 public:
  SocketWatch() : path_(helperSocketPath()) {
    fd_ = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(fd_, path_.parent_path().c_str(), IN_MOVED_TO);
  }
  ~SocketWatch() { ::close(fd_); }

  bool wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
      alignas(inotify_event) char buffer[4096];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      for (ssize_t off = 0; off < n;) {
        auto* ev = reinterpret_cast<inotify_event*>(buffer + off);
        if (ev->len > 0 && path_.filename() == ev->name) return true;
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
  }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

// A socket bound and listening at the helper's path, as a launchd stand-in
// makes it before it starts the program.
int bindHelperSocket() {
  makeRuntimeFolder();
  const std::string path = helperSocketPath();
  ::unlink(path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

using DataAnswer = std::pair<bool, std::optional<std::string>>;

struct Client {
  std::shared_ptr<Connection> connection;
  std::unique_ptr<vornhelperxpc::Proxy> proxy;
  platform::OneShot<Error> error;

  explicit Client(const std::string& socketPath = {}) {
    connection = socketPath.empty() ? Connection::toService(vornHelperServiceName, vornhelperxpc::interface())
                                    : Connection::toPath(socketPath, vornhelperxpc::interface());
    proxy = std::make_unique<vornhelperxpc::Proxy>(
        connection->remoteObjectProxy([e = error](const Error& err) { e.resolve(err); }));
    connection->resume();
  }
  ~Client() { connection->invalidate(); }

  std::optional<bool> connect() {
    platform::OneShot<bool> done;
    proxy->connect([done](bool ok) { done.resolve(ok); });
    return done.waitFor(10s);
  }

  template <typename Invoke>
  std::optional<DataAnswer> ask(Invoke invoke) {
    platform::OneShot<DataAnswer> done;
    invoke(*proxy, [done](bool ok, std::optional<std::string> data) { done.resolve({ok, std::move(data)}); });
    return done.waitFor(10s);
  }
};

std::string logFile(const TempRoot& root) { return root.home() + "/Library/Logs/JorvuLauncher/JorvuVornHelper.log"; }

int countLines(const std::string& text, const std::string& needle) {
  int n = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() >= needle.size() && line.compare(line.size() - needle.size(), needle.size(), needle) == 0) ++n;
  }
  return n;
}

int rawConnect() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, helperSocketPath().c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

}  // namespace

TEST(JorvuVornHelper, StartsWithoutALogLineAndEndsCleanlyOnSIGTERM) {
  TempRoot root;
  makeRuntimeFolder();
  SocketWatch watch;
  HelperProcess helper;
  ASSERT_TRUE(watch.wait(10s));
  EXPECT_TRUE(exitedWith(helper.stop(SIGTERM), 0));
  EXPECT_EQ(testsupport::readFileOrEmpty(logFile(root)), "");
  EXPECT_FALSE(std::filesystem::exists(helperSocketPath()));  // its own socket is removed
}

TEST(JorvuVornHelper, ConnectionRightAfterStartUpSucceeds) {
  TempRoot root;
  int fd = bindHelperSocket();
  ASSERT_GE(fd, 0);
  HelperProcess helper(fd);
  ::close(fd);
  // No wait at all: the socket exists before the program runs.
  Client client;
  // Only the helper accepts on that socket, so the answer is its own.
  EXPECT_EQ(client.connect(), true);
  EXPECT_TRUE(exitedWith(helper.stop(SIGTERM), 0));
  // The handed-over socket stays where its owner put it.
  EXPECT_TRUE(std::filesystem::exists(helperSocketPath()));
}

TEST(JorvuVornHelper, ReplacesAStaleSocket) {
  TempRoot root;
  int stale = bindHelperSocket();
  ASSERT_GE(stale, 0);
  ::close(stale);  // the file stays, nobody listens
  SocketWatch watch;
  HelperProcess helper;
  ASSERT_TRUE(watch.wait(10s));
  Client client;
  EXPECT_EQ(client.connect(), true);
}

TEST(JorvuVornHelper, EndsWithAnErrorWhenItCannotListen) {
  TempRoot root;
  testsupport::writeFile(std::filesystem::path(helperSocketPath()).parent_path().string(), "not a folder");
  HelperProcess helper;
  auto status = helper.waitExit(10s);
  ASSERT_TRUE(status) << "the helper must not park when it cannot be reached";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
  const std::string log = testsupport::readFileOrEmpty(logFile(root));
  EXPECT_NE(log.find("[ERROR] An error occurred: cannot listen on com.jorvu.vorn.helper: "), std::string::npos)
      << log;
}

TEST(JorvuVornHelper, TwoConnectionsAreServedByTheOneHelper) {
  TempRoot root;
  int fd = bindHelperSocket();
  ASSERT_GE(fd, 0);
  HelperProcess helper(fd);
  ::close(fd);
  Client a;
  Client b;
  const std::string tokenJson = R"({"gid":"g","webtoken":"w"})";
  struct Case {
    const char* name;
    std::function<void(vornhelperxpc::Proxy&, VornHelperCommunicator::DataReply)> invoke;
    const char* data;
  };
  const std::vector<Case> cases = {
      // No data folder yet: a register is a crash, even for a new code.
      {"register", [&](auto& p, auto r) { p.register_(5, "live", tokenJson, r); }, crash},
      {"execute", [](auto& p, auto r) { p.execute(5, "--x", r); }, notExist},
      {"work", [](auto& p, auto r) { p.work(5, true, r); }, notExist},
      {"getGameStatus", [](auto& p, auto r) { p.getGameStatus(5, r); }, notExist},
      {"getGamePanelInfo", [](auto& p, auto r) { p.getGamePanelInfo(5, r); }, notExist},
      {"cancel", [](auto& p, auto r) { p.cancel(5, r); }, notExist},
      {"clearGame", [](auto& p, auto r) { p.clearGame(5, r); }, notExist},
  };
  for (Client* c : {&a, &b}) {
    EXPECT_EQ(c->connect(), true);
    for (const auto& k : cases) {
      auto answer = c->ask(k.invoke);
      ASSERT_TRUE(answer) << k.name;
      EXPECT_FALSE(answer->first) << k.name;
      EXPECT_EQ(answer->second, std::optional<std::string>(k.data)) << k.name;
    }
  }
  // With the data folder, a token that is no VantixToken is a crash too.
  std::filesystem::create_directories(root / "/Library/Application Support/Jorvu");
  auto bad = a.ask([](auto& p, auto r) { p.register_(6, "", std::string("{\"gid\":1}"), r); });
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->second, std::optional<std::string>(crash));
  EXPECT_EQ(helper.stop(SIGTERM).value_or(-1), 0);

  // Each request's closing line; getGameStatus logs at DEBUG only.
  const std::string log = testsupport::readFileOrEmpty(logFile(root));
  const std::string nx = std::string(", reply=(false, ") + notExist + ")";
  EXPECT_EQ(countLines(log, "] reply(true)"), 2) << log;
  EXPECT_EQ(countLines(log, "] gameCode=5, obdTag=live, reply=(false, " + std::string(crash) + ")"), 2) << log;
  EXPECT_EQ(countLines(log, "] gameCode=6, obdTag=, reply=(false, " + std::string(crash) + ")"), 1) << log;
  EXPECT_EQ(countLines(log, "] gameCode=5, ignoreOSVersion=true" + nx), 2) << log;
  EXPECT_EQ(countLines(log, "] gameCode=5" + nx), 8) << log;  // execute, panel info, cancel, clearGame
  EXPECT_EQ(log.find("vornHelperApp load"), std::string::npos);
  EXPECT_EQ(log.find("wait tavlo send"), std::string::npos);
}

TEST(JorvuVornHelper, ManyConcurrentCallsEachGetOneReply) {
  TempRoot root;
  int fd = bindHelperSocket();
  ASSERT_GE(fd, 0);
  HelperProcess helper(fd);
  ::close(fd);
  Client a;
  Client b;
  constexpr std::uint32_t perClient = 100;
  std::mutex m;
  std::map<std::uint32_t, int> replies;
  platform::OneShot<bool> done;
  std::atomic<std::uint32_t> outstanding{2 * perClient};
  auto record = [&](std::uint32_t code, bool ok, const std::optional<std::string>& data) {
    EXPECT_FALSE(ok);
    EXPECT_EQ(data, std::optional<std::string>(notExist));
    std::lock_guard lock(m);
    ++replies[code];
    if (--outstanding == 0) done.resolve(true);
  };
  for (std::uint32_t i = 0; i < perClient; ++i) {
    for (Client* c : {&a, &b}) {
      std::uint32_t code = (c == &a ? 0 : 1000) + i;
      auto reply = [&, code](bool ok, std::optional<std::string> data) { record(code, ok, data); };
      // Half answer on the connection's queue, half from tasks.
      if (i % 2 == 0) {
        c->proxy->getGameStatus(code, reply);
      } else {
        c->proxy->execute(code, std::nullopt, reply);
      }
    }
  }
  ASSERT_TRUE(done.waitFor(20s));
  EXPECT_EQ(replies.size(), 2 * perClient);
  for (const auto& [code, n] : replies) EXPECT_EQ(n, 1) << code;
  EXPECT_FALSE(a.error.isResolved());
  EXPECT_FALSE(b.error.isResolved());
}

TEST(JorvuVornHelper, BadPeersEndOnlyTheirOwnConnection) {
  TempRoot root;
  int fd = bindHelperSocket();
  ASSERT_GE(fd, 0);
  HelperProcess helper(fd);
  ::close(fd);
  Client good;
  ASSERT_EQ(good.connect(), true);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"garbage", std::string("\x00\x00\x00\x05hello", 9)},
      {"oversized", std::string("\x7F\xFF\xFF\xFF", 4) + std::string(100, 'a')},
      {"wrong signature", encodeFrame(Frame{FrameType::call, 1, vornhelperxpc::connectSelector, {Value::u32(1)}})},
      {"game code as text",
       encodeFrame(Frame{FrameType::call, 1, vornhelperxpc::getGameStatusSelector, {Value::text("5")}})},
      {"unknown selector", encodeFrame(Frame{FrameType::call, 1, "removeAllGames:", {}})},
  };
  for (const auto& [name, bytes] : cases) {
    int raw = rawConnect();
    ASSERT_GE(raw, 0) << name;
    ASSERT_EQ(::send(raw, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())) << name;
    char b;
    ssize_t n = ::recv(raw, &b, 1, 0);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << name;  // closed, never answered
    ::close(raw);
    EXPECT_EQ(good.connect(), true) << name;
  }
  // A peer that sends calls and leaves before the replies: the helper's
  // writes to the closed socket must not kill it (SIGPIPE).
  for (int round = 0; round < 5; ++round) {
    int raw = rawConnect();
    ASSERT_GE(raw, 0);
    for (std::uint64_t serial = 1; serial <= 20; ++serial) {
      std::string call = encodeFrame(Frame{FrameType::call, serial, vornhelperxpc::executeSelector,
                                           {Value::u32(7), Value::absent()}});
      ::send(raw, call.data(), call.size(), MSG_NOSIGNAL);
    }
    ::close(raw);
  }
  EXPECT_EQ(good.connect(), true);
  auto answer = good.ask([](auto& p, auto r) { p.getGamePanelInfo(9, r); });
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->second, std::optional<std::string>(notExist));
  EXPECT_FALSE(good.error.isResolved());
  EXPECT_EQ(helper.stop(SIGTERM).value_or(-1), 0);
}

TEST(JorvuVornHelper, ClientErrorHandlerFiresWhenTheHelperDies) {
  TempRoot root;
  int fd = bindHelperSocket();
  ASSERT_GE(fd, 0);
  HelperProcess helper(fd);
  ::close(fd);
  Client client;
  platform::OneShot<bool> interrupted;
  client.connection->setInterruptionHandler([interrupted] { interrupted.resolve(true); });
  ASSERT_EQ(client.connect(), true);
  // Stopped, the helper cannot answer: the call stays in flight until it dies.
  ASSERT_TRUE(helper.pause());
  std::atomic<bool> replied{false};
  client.proxy->getGameStatus(5, [&](bool, std::optional<std::string>) { replied = true; });
  ::kill(helper.pid(), SIGKILL);
  auto error = client.error.waitFor(10s);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, Error::Code::interrupted);
  EXPECT_TRUE(interrupted.waitFor(10s));
  EXPECT_FALSE(replied);
}

namespace {

// The helper run as a user of its own with a thread limit (RLIMIT_NPROC
// counts every thread of the user), so that what counts against the limit
// is the helper's threads and the waiting processes of UserProcesses. Our
// side talks to it with that user as its effective user while it connects,
// since each end checks the other's user.
class HelperAsAnotherUser {
 public:
  HelperAsAnotherUser(const TempRoot& root, uid_t uid, rlim_t threadLimit)
      : uid_(uid), path_(root.path() + "/helper.socket") {
    std::filesystem::path top(root.path());
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
      ::lchown(entry.path().c_str(), uid, uid);
    }
    ::chown(top.c_str(), uid, uid);
    // Bound and listening as that user: a client sees the user of the
    // listen() as its peer.
    if (::seteuid(uid) != 0) return;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    const bool listening =
        ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 16) == 0;
    ::seteuid(0);
    if (!listening) return;
    const std::string program = testsupport::binDir() + "/JorvuVornHelper";
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "LISTEN_", 7) != 0) env.emplace_back(*e);
    }
    env.emplace_back("LISTEN_FDS=1");
    // Nothing is allocated in the child: another thread may hold the heap's
    // lock at the fork.
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    char pidVariable[64] = "LISTEN_PID=";
    envp.push_back(pidVariable);
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      std::snprintf(pidVariable, sizeof pidVariable, "LISTEN_PID=%d", static_cast<int>(::getpid()));
      ::dup2(fd, 3);
      rlimit limit{threadLimit, threadLimit};
      if (::setrlimit(RLIMIT_NPROC, &limit) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 ||
          ::setuid(uid) != 0) {
        ::_exit(126);
      }
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // after setuid, which clears it
      char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
      ::execve(program.c_str(), argv, envp.data());
      ::_exit(127);
    }
    ::close(fd);
  }
  ~HelperAsAnotherUser() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }

  // A client, connected with the helper's user as our effective user.
  std::unique_ptr<Client> connect() {
    if (::seteuid(uid_) != 0) return nullptr;
    auto client = std::make_unique<Client>(path_);
    ::seteuid(0);
    return client;
  }

  int threads() const {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task")) {
      (void)entry;
      ++n;
    }
    return n;
  }

  std::optional<int> stop() {
    ::kill(pid_, SIGTERM);
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0) return std::nullopt;
    pollfd p{pidfd, POLLIN, 0};
    int rc = ::poll(&p, 1, 10000);
    ::close(pidfd);
    int status = 0;
    if (rc != 1 || ::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    pid_ = -1;
    return status;
  }

 private:
  uid_t uid_;
  std::string path_;
  pid_t pid_ = -1;
};

// Processes of a user that only wait: they use up that user's thread count.
class UserProcesses {
 public:
  explicit UserProcesses(uid_t uid) : uid_(uid) {}
  ~UserProcesses() { clear(); }
  void add(int count) {
    char sleepPath[] = "/bin/sleep", seconds[] = "600";
    char* argv[] = {sleepPath, seconds, nullptr};
    for (int i = 0; i < count; ++i) {
      // Its end of the pipe closes at the exec: the process counts by then.
      int started[2];
      if (::pipe2(started, O_CLOEXEC) != 0) return;
      pid_t pid = ::fork();
      if (pid == 0) {
        if (::setgroups(0, nullptr) == 0 && ::setgid(uid_) == 0 && ::setuid(uid_) == 0) {
          ::prctl(PR_SET_PDEATHSIG, SIGKILL);
          ::execve(sleepPath, argv, environ);
        }
        ::_exit(127);
      }
      ::close(started[1]);
      char byte;
      while (::read(started[0], &byte, 1) < 0 && errno == EINTR) {
      }
      ::close(started[0]);
      if (pid > 0) pids_.push_back(pid);
    }
  }
  void clear() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    pids_.clear();
  }

 private:
  uid_t uid_;
  std::vector<pid_t> pids_;
};

}  // namespace

TEST(JorvuVornHelper, WithoutThreadsCallsFailAndTheHelperGoesOn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run the helper as a user of its own";
  TempRoot root;
  std::filesystem::create_directories(root / "/Library/Application Support/Jorvu");
  // A user id that nothing else runs as: the thread count is the helper's.
  const uid_t uid = 2000000 + static_cast<uid_t>(::getpid());
  constexpr rlim_t threadLimit = 64;
  HelperAsAnotherUser helper(root, uid, threadLimit);
  ASSERT_GT(helper.pid(), 0);
  auto first = helper.connect();
  ASSERT_TRUE(first);
  ASSERT_EQ(first->connect(), true);

  // Not one thread more for the helper: the user's other processes take
  // the rest of its count.
  UserProcesses others(uid);
  others.add(static_cast<int>(threadLimit) - helper.threads());
  const std::string tokenJson = R"({"gid":"g","webtoken":"w"})";
  struct Case {
    const char* name;
    std::function<void(vornhelperxpc::Proxy&, VornHelperCommunicator::DataReply)> invoke;
    const char* data;
  };
  const std::vector<Case> cases = {
      {"register", [&](auto& p, auto r) { p.register_(5, "live", tokenJson, r); }, crash},
      {"execute", [](auto& p, auto r) { p.execute(5, "--x", r); }, crash},
      {"work", [](auto& p, auto r) { p.work(5, true, r); }, crash},
      {"clearGame", [](auto& p, auto r) { p.clearGame(5, r); }, crash},
      // Answered on the connection's queue: no thread needed.
      {"getGameStatus", [](auto& p, auto r) { p.getGameStatus(5, r); }, notExist},
  };
  for (const auto& c : cases) {
    auto answer = first->ask(c.invoke);
    ASSERT_TRUE(answer) << c.name;
    EXPECT_FALSE(answer->first) << c.name;
    EXPECT_EQ(answer->second, std::optional<std::string>(c.data)) << c.name;
  }
  // A connection that cannot get its threads is let go, not the helper.
  auto refused = helper.connect();
  ASSERT_TRUE(refused);
  std::atomic<bool> answered{false};
  refused->proxy->connect([&answered](bool) { answered = true; });
  EXPECT_TRUE(refused->error.waitFor(10s));
  EXPECT_FALSE(answered);
  EXPECT_EQ(first->connect(), true);

  // With room again, a fresh connection is served as ever.
  others.clear();
  auto fresh = helper.connect();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->connect(), true);
  auto answer = fresh->ask([](auto& p, auto r) { p.execute(5, std::nullopt, r); });
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->second, std::optional<std::string>(notExist));
  EXPECT_TRUE(exitedWith(helper.stop(), 0));
}
