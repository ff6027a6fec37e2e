// The helper program started as a real process in a temporary root and
// driven over its real socket.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "Common/Protocol/VornHelperXPC.hpp"
#include "Platform/OneShot.hpp"
#include "Platform/XPC/XPCListener.hpp"
#include "Tests/Support/HelperProcess.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/UnixSocket.hpp"

extern char** environ;

using namespace platform::xpc;
using namespace std::chrono_literals;
using testsupport::exitedWith;
using testsupport::HelperClient;
using testsupport::HelperOptions;
using testsupport::HelperProcess;
using testsupport::TempRoot;

namespace {

constexpr const char* notExist = R"({"error":{"GameNotExist":{}}})";
constexpr const char* crash = R"({"error":{"Crash":{}}})";

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

// The helper with its socket handed over: it can be called at once.
HelperProcess startWithSocket() {
  HelperOptions options;
  options.handOverSocket = true;
  return HelperProcess(std::move(options));
}

std::string logFile(const TempRoot& root) { return root.home() + "/Library/Logs/JorvuLauncher/JorvuVornHelper.log"; }

int countLines(const std::string& text, const std::string& needle) {
  int n = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() >= needle.size() && line.compare(line.size() - needle.size(), needle.size(), needle) == 0) ++n;
  }
  return n;
}

// A request and the error data its refusal carries.
struct Refusal {
  const char* name;
  testsupport::Invoke invoke;
  const char* data;
};

// Every request on game 5, which the helper does not have: a register with a
// token, then the requests answered from a task with `fromTask`, and those
// answered on the connection's queue with GameNotExist.
std::vector<Refusal> requestsOnGame5(const char* registerData, const char* fromTask) {
  return {
      {"register", [](auto& p, auto r) { p.register_(5, "live", std::string(R"({"gid":"g","webtoken":"w"})"), r); },
       registerData},
      {"execute", [](auto& p, auto r) { p.execute(5, "--x", r); }, fromTask},
      {"work", [](auto& p, auto r) { p.work(5, true, r); }, fromTask},
      {"clearGame", [](auto& p, auto r) { p.clearGame(5, r); }, fromTask},
      {"getGameStatus", [](auto& p, auto r) { p.getGameStatus(5, r); }, notExist},
      {"getGamePanelInfo", [](auto& p, auto r) { p.getGamePanelInfo(5, r); }, notExist},
      {"cancel", [](auto& p, auto r) { p.cancel(5, r); }, notExist},
  };
}

void expectRefusals(HelperClient& client, const std::vector<Refusal>& refusals) {
  for (const auto& k : refusals) {
    auto answer = client.ask(k.invoke);
    ASSERT_TRUE(answer) << k.name;
    EXPECT_FALSE(answer->first) << k.name;
    EXPECT_EQ(answer->second, std::optional<std::string>(k.data)) << k.name;
  }
}

}  // namespace

TEST(JorvuVornHelper, StartsWithoutALogLineAndEndsCleanlyOnSIGTERM) {
  TempRoot root;
  makeRuntimeFolder();
  SocketWatch watch;
  HelperProcess helper;
  ASSERT_TRUE(watch.wait(30s));
  EXPECT_TRUE(exitedWith(helper.stop(), 0));
  EXPECT_EQ(testsupport::readFileOrEmpty(logFile(root)), "");
  EXPECT_FALSE(std::filesystem::exists(helperSocketPath()));  // its own socket is removed
}

TEST(JorvuVornHelper, ConnectionRightAfterStartUpSucceeds) {
  TempRoot root;
  HelperProcess helper = startWithSocket();
  ASSERT_TRUE(helper.started());
  // No wait at all: the socket exists before the program runs.
  HelperClient client;
  // Only the helper accepts on that socket, so the answer is its own.
  EXPECT_EQ(client.connect(), true);
  EXPECT_TRUE(exitedWith(helper.stop(), 0));
  // The handed-over socket stays where its owner put it.
  EXPECT_TRUE(std::filesystem::exists(helperSocketPath()));
}

TEST(JorvuVornHelper, ReplacesAStaleSocket) {
  TempRoot root;
  int stale = testsupport::bindHelperSocket();
  ASSERT_GE(stale, 0);
  ::close(stale);  // the file stays, nobody listens
  SocketWatch watch;
  HelperProcess helper;
  ASSERT_TRUE(watch.wait(30s));
  HelperClient client;
  EXPECT_EQ(client.connect(), true);
}

TEST(JorvuVornHelper, EndsWithAnErrorWhenItCannotListen) {
  TempRoot root;
  testsupport::writeFile(std::filesystem::path(helperSocketPath()).parent_path().string(), "not a folder");
  HelperProcess helper;
  auto status = helper.waitExit(30s);
  ASSERT_TRUE(status) << "the helper must not park when it cannot be reached";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
  const std::string log = testsupport::readFileOrEmpty(logFile(root));
  EXPECT_NE(log.find("[ERROR] An error occurred: cannot listen on com.jorvu.vorn.helper: "), std::string::npos)
      << log;
}

TEST(JorvuVornHelper, TwoConnectionsAreServedByTheOneHelper) {
  TempRoot root;
  HelperProcess helper = startWithSocket();
  ASSERT_TRUE(helper.started());
  HelperClient a;
  HelperClient b;
  // No data folder yet: a register is a crash, even for a new code.
  const auto requests = requestsOnGame5(crash, notExist);
  for (HelperClient* c : {&a, &b}) {
    EXPECT_EQ(c->connect(), true);
    expectRefusals(*c, requests);
  }
  // With the data folder, a token that is no VantixToken is a crash too.
  std::filesystem::create_directories(root / "/Library/Application Support/Jorvu");
  auto bad = a.ask([](auto& p, auto r) { p.register_(6, "", std::string("{\"gid\":1}"), r); });
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->second, std::optional<std::string>(crash));
  EXPECT_EQ(helper.stop().value_or(-1), 0);

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
  HelperProcess helper = startWithSocket();
  ASSERT_TRUE(helper.started());
  HelperClient a;
  HelperClient b;
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
    for (HelperClient* c : {&a, &b}) {
      std::uint32_t code = (c == &a ? 0 : 1000) + i;
      auto reply = [&, code](bool ok, std::optional<std::string> data) { record(code, ok, data); };
      // Half answer on the connection's queue, half from tasks.
      if (i % 2 == 0) {
        c->proxy().getGameStatus(code, reply);
      } else {
        c->proxy().execute(code, std::nullopt, reply);
      }
    }
  }
  ASSERT_TRUE(done.waitFor(20s));
  EXPECT_EQ(replies.size(), 2 * perClient);
  for (const auto& [code, n] : replies) EXPECT_EQ(n, 1) << code;
  EXPECT_FALSE(a.connectionFailed());
  EXPECT_FALSE(b.connectionFailed());
}

TEST(JorvuVornHelper, BadPeersEndOnlyTheirOwnConnection) {
  TempRoot root;
  HelperProcess helper = startWithSocket();
  ASSERT_TRUE(helper.started());
  HelperClient good;
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
    int raw = testsupport::connectTo(helperSocketPath());
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
    int raw = testsupport::connectTo(helperSocketPath());
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
  EXPECT_FALSE(good.connectionFailed());
  EXPECT_EQ(helper.stop().value_or(-1), 0);
}

TEST(JorvuVornHelper, ClientErrorHandlerFiresWhenTheHelperDies) {
  TempRoot root;
  HelperProcess helper = startWithSocket();
  ASSERT_TRUE(helper.started());
  HelperClient client;
  platform::OneShot<bool> interrupted;
  client.connection().setInterruptionHandler([interrupted] { interrupted.resolve(true); });
  ASSERT_EQ(client.connect(), true);
  // Stopped, the helper cannot answer: the call stays in flight until it dies.
  ASSERT_TRUE(helper.pause());
  std::atomic<bool> replied{false};
  client.proxy().getGameStatus(5, [&](bool, std::optional<std::string>) { replied = true; });
  ::kill(helper.pid(), SIGKILL);
  auto error = client.error().waitFor(10s);
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
//
// That user runs a copy of the program in the temporary root, which it
// owns: the build folder may lie where only we can reach it (a checkout in
// a private folder, such as root's home).
class HelperAsAnotherUser {
 public:
  HelperAsAnotherUser(const TempRoot& root, uid_t uid, rlim_t threadLimit)
      : uid_(uid), path_(root.path() + "/helper.socket") {
    const std::string program = root.path() + "/bin/JorvuVornHelper";
    std::filesystem::create_directories(root.path() + "/bin");
    std::filesystem::copy_file(testsupport::binDir() + "/JorvuVornHelper", program);
    std::filesystem::path top(root.path());
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
      ::lchown(entry.path().c_str(), uid, uid);
    }
    ::chown(top.c_str(), uid, uid);
    // Bound and listening as that user: a client sees the user of the
    // listen() as its peer.
    if (::seteuid(uid) != 0) return;
    const int fd = testsupport::listenAt(path_);
    ::seteuid(0);
    if (fd < 0) return;
    HelperOptions options;
    options.program = program;
    options.listenFD = fd;
    options.beforeExec = [uid, threadLimit] {
      rlimit limit{threadLimit, threadLimit};
      if (::setrlimit(RLIMIT_NPROC, &limit) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 ||
          ::setuid(uid) != 0) {
        return false;
      }
      return ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0;  // again: setuid clears it
    };
    helper_ = std::make_unique<HelperProcess>(std::move(options));
    ::close(fd);
  }

  pid_t pid() const { return helper_ ? helper_->pid() : -1; }

  // A client, connected with the helper's user as our effective user.
  std::unique_ptr<HelperClient> connect() {
    if (::seteuid(uid_) != 0) return nullptr;
    auto client = std::make_unique<HelperClient>(path_);
    ::seteuid(0);
    return client;
  }

  int threads() const {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid()) + "/task")) {
      (void)entry;
      ++n;
    }
    return n;
  }

  std::optional<int> stop() { return helper_->stop(30s); }

  // Why a connection got no answer, for a failure message: how the helper
  // ended, when it has.
  std::string ending() {
    const std::optional<int> status = helper_ ? helper_->waitExit(10s) : std::nullopt;
    return status ? "the helper ended: " + testsupport::waitStatusText(*status) : "the helper is still running";
  }

 private:
  uid_t uid_;
  std::string path_;
  std::unique_ptr<HelperProcess> helper_;
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
  ASSERT_EQ(first->connect(), true) << helper.ending();

  // Not one thread more for the helper: the user's other processes take
  // the rest of its count.
  UserProcesses others(uid);
  others.add(static_cast<int>(threadLimit) - helper.threads());
  // What needs a thread of its own fails; what is answered on the
  // connection's queue is answered as ever.
  expectRefusals(*first, requestsOnGame5(crash, crash));
  // A connection that cannot get its threads is let go, not the helper.
  auto refused = helper.connect();
  ASSERT_TRUE(refused);
  std::atomic<bool> answered{false};
  refused->proxy().connect([&answered](bool) { answered = true; });
  EXPECT_TRUE(refused->error().waitFor(30s));
  EXPECT_FALSE(answered);
  EXPECT_EQ(first->connect(), true) << helper.ending();

  // With room again, a fresh connection is served as ever.
  others.clear();
  auto fresh = helper.connect();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->connect(), true) << helper.ending();
  auto answer = fresh->ask([](auto& p, auto r) { p.execute(5, std::nullopt, r); });
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->second, std::optional<std::string>(notExist));
  EXPECT_TRUE(exitedWith(helper.stop(), 0));
}
