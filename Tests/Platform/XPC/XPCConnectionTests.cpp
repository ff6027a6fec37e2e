#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "Platform/OneShot.hpp"
#include "Platform/XPC/XPCListener.hpp"
#include "Tests/Support/ScopedEnv.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/UnixSocket.hpp"

using namespace platform::xpc;
using namespace std::chrono_literals;
using testsupport::TempRoot;

namespace {

const Interface& testInterface() {
  static const Interface table("Test", {
      {"echo:", {Slot::u32, Slot::optionalText}, {Slot::u32, Slot::optionalText}},
      {"hold:", {Slot::u32}, {Slot::u32}},
      {"release:", {}, {Slot::flag}},
      {"drop:", {}, {Slot::flag}},
      {"twice:", {}, {Slot::flag}},
      {"misfit:", {}, {Slot::flag}},
  });
  return table;
}

struct Outcome {
  std::optional<Values> values;
  std::optional<Error> error;
};

Outcome callAndWait(const std::shared_ptr<Connection>& c, std::string selector, Values args) {
  platform::OneShot<Outcome> done;
  c->call(
      std::move(selector), std::move(args), [done](Values v) { done.resolve(Outcome{std::move(v), {}}); },
      [done](const Error& e) { done.resolve(Outcome{{}, e}); });
  auto r = done.waitFor(10s);
  if (!r) ADD_FAILURE() << "no outcome within 10 s";
  return r.value_or(Outcome{});
}

using testsupport::connectTo;

// True when the peer closed the connection without sending anything (a
// close with unread input arrives as a reset).
bool closedWithoutReply(int fd) {
  char b;
  ssize_t n = ::recv(fd, &b, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

bool sendAll(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// A service on a socket in a temporary folder: echo answers at once, hold
// keeps its reply until release, drop never answers, twice answers twice,
// misfit answers with values that do not fit its signature.
class XPCService : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = root_.path() + "/service.sock";
    std::string error;
    listener_ = Listener::atPath(path_, testInterface(), &error);
    ASSERT_TRUE(listener_) << error;
    listener_->setDelegate([this](const std::shared_ptr<Connection>& c) {
      c->setExportedObject([this](const std::string& selector, Values a, Reply reply) { handle(selector, a, reply); });
      c->resume();
      ++accepted_;
      return true;
    });
    listener_->resume();
  }

  // The service's connections end (and their queues run dry) before the
  // state their handlers use goes away.
  void TearDown() override { listener_.reset(); }

  void handle(const std::string& selector, Values& a, Reply& reply) {
    if (selector == "echo:") {
      reply.send({Value::u32(a[0].number + 1), a[1]});
    } else if (selector == "hold:") {
      std::lock_guard lock(heldMutex_);
      held_.push_back(reply);
    } else if (selector == "release:") {
      std::vector<Reply> held;
      {
        std::lock_guard lock(heldMutex_);
        held.swap(held_);
      }
      // Answer from another thread, newest first: replies find their calls by serial.
      std::thread([held] {
        for (auto it = held.rbegin(); it != held.rend(); ++it) it->send({Value::u32(0)});
      }).join();
      reply.send({Value::boolean(true)});
    } else if (selector == "twice:") {
      EXPECT_TRUE(reply.send({Value::boolean(true)}));
      EXPECT_FALSE(reply.send({Value::boolean(false)}));
    } else if (selector == "misfit:") {
      reply.send({Value::u32(1)});
    }
  }

  std::shared_ptr<Connection> client() {
    auto c = Connection::toPath(path_, testInterface());
    c->resume();
    return c;
  }

  TempRoot root_;
  std::string path_;
  std::unique_ptr<Listener> listener_;
  std::atomic<int> accepted_{0};
  std::mutex heldMutex_;
  std::vector<Reply> held_;
};

}  // namespace

TEST_F(XPCService, ManyConcurrentCallsEachGetOneMatchingReply) {
  auto a = client();
  auto b = client();
  constexpr int perThread = 40;
  std::mutex m;
  std::map<std::uint32_t, int> replies;  // odd answers of a, even of b
  std::atomic<int> errors{0};
  platform::OneShot<bool> allDone;
  std::atomic<int> outstanding{4 * perThread};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      auto& c = (t % 2 == 0) ? a : b;
      for (int i = 0; i < perThread; ++i) {
        std::uint32_t n = static_cast<std::uint32_t>(t * 1000 + i);
        c->call(
            "echo:", {Value::u32(n), Value::text(std::to_string(n))},
            [&, n](Values v) {
              if (v[0].number != n + 1 || v[1].bytes != std::to_string(n)) ++errors;
              std::lock_guard lock(m);
              ++replies[n];
              if (--outstanding == 0) allDone.resolve(true);
            },
            [&](const Error&) {
              ++errors;
              if (--outstanding == 0) allDone.resolve(true);
            });
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(allDone.waitFor(10s));
  a.reset();  // their queues are done with this test's state
  b.reset();
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(replies.size(), 4u * perThread);
  for (const auto& [n, count] : replies) EXPECT_EQ(count, 1) << n;
  EXPECT_EQ(accepted_, 2);
}

TEST_F(XPCService, RepliesInAnyOrderFindTheirCalls) {
  auto c = client();
  constexpr int held = 30;
  std::mutex m;
  std::set<std::uint32_t> answered;
  platform::OneShot<bool> done;
  for (std::uint32_t i = 0; i < held; ++i) {
    c->call("hold:", {Value::u32(i)},
            [&, i](Values) {
              std::lock_guard lock(m);
              EXPECT_TRUE(answered.insert(i).second);
              if (answered.size() == held) done.resolve(true);
            },
            [](const Error& e) { ADD_FAILURE() << e.description; });
  }
  auto r = callAndWait(c, "release:", {});
  ASSERT_TRUE(r.values);
  ASSERT_TRUE(done.waitFor(10s));
  c.reset();
}

TEST_F(XPCService, EveryCallEndsExactlyOnce) {
  auto c = client();
  auto twice = callAndWait(c, "twice:", {});
  ASSERT_TRUE(twice.values);
  EXPECT_TRUE((*twice.values)[0].flag);
  // A call whose reply is let go unanswered, or answered with values that
  // do not fit, reaches the caller as dropped.
  for (const char* selector : {"drop:", "misfit:"}) {
    auto r = callAndWait(c, selector, {});
    ASSERT_TRUE(r.error) << selector;
    EXPECT_EQ(r.error->code, Error::Code::replyDropped) << selector;
  }
  // The connection still serves; the second answer of twice: never arrived.
  auto echo = callAndWait(c, "echo:", {Value::u32(41), Value::absent()});
  ASSERT_TRUE(echo.values);
  EXPECT_EQ((*echo.values)[0].number, 42u);
  EXPECT_EQ((*echo.values)[1].kind, Kind::absent);
}

TEST_F(XPCService, CallsThatDoNotFitAreNotSent) {
  auto c = client();
  for (auto [selector, args] : std::vector<std::pair<std::string, Values>>{
           {"echo:", {Value::text("1"), Value::absent()}},
           {"unknown:", {}},
           {"echo:", {Value::u32(1), Value::text(std::string(maxFrameBody, 'x'))}}}) {
    auto r = callAndWait(c, selector, args);
    ASSERT_TRUE(r.error) << selector;
    EXPECT_EQ(r.error->code, Error::Code::badMessage);
  }
  EXPECT_TRUE(callAndWait(c, "echo:", {Value::u32(1), Value::absent()}).values);
}

TEST_F(XPCService, BadFrameEndsOnlyItsOwnConnection) {
  auto good = client();
  const std::string echoCall = encodeFrame(Frame{FrameType::call, 1, "echo:", {Value::u32(1), Value::absent()}});
  std::string oversized = "\x00\x10\x00\x01";
  oversized = std::string("\x00\x10\x00\x01", 4) + std::string(64, 'x');
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"garbage", "this is not a frame at all, not even close"},
      {"oversized length", oversized},
      {"zero length", std::string(4, '\0')},
      {"wrong signature", encodeFrame(Frame{FrameType::call, 1, "echo:", {Value::text("1"), Value::absent()}})},
      {"unknown selector", encodeFrame(Frame{FrameType::call, 1, "rm:", {}})},
      {"reply nobody asked for", encodeFrame(Frame{FrameType::reply, 5, "release:", {Value::boolean(true)}})},
      {"text not UTF-8", [] {
         std::string f = encodeFrame(Frame{FrameType::call, 1, "echo:", {Value::u32(1), Value::text("ab")}});
         f.back() = '\xFE';
         return f;
       }()},
  };
  for (const auto& [name, bytes] : cases) {
    int fd = connectTo(path_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, bytes)) << name;
    EXPECT_TRUE(closedWithoutReply(fd)) << name;
    ::close(fd);
    auto r = callAndWait(good, "echo:", {Value::u32(7), Value::text(name)});
    ASSERT_TRUE(r.values) << name;
    EXPECT_EQ((*r.values)[0].number, 8u);
  }
  // A well-formed call on a raw socket is answered, then the peer may go.
  int fd = connectTo(path_);
  ASSERT_TRUE(sendAll(fd, echoCall));
  unsigned char prefix[4];
  EXPECT_EQ(::recv(fd, prefix, 4, MSG_WAITALL), 4);
  ::close(fd);
}

TEST_F(XPCService, PeerOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  // Let the other user reach the socket file, so that only the peer check
  // stands between it and the service.
  ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
  const std::string call = encodeFrame(Frame{FrameType::call, 1, "echo:", {Value::u32(1), Value::absent()}});
  const std::string path = path_;
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
    int fd = connectTo(path);
    if (fd < 0) ::_exit(11);  // could not even reach the socket: the test would prove nothing
    (void)::send(fd, call.data(), call.size(), MSG_NOSIGNAL);
    char b;
    ssize_t n = ::recv(fd, &b, 1, 0);
    ::_exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  // 10: the child could not become that user; 11: that user cannot reach the
  // socket (a folder above the temporary root closed to other users).
  EXPECT_EQ(WEXITSTATUS(status), 0) << "socket at " << path_;
  EXPECT_EQ(accepted_, 0);
  // Our own user is still served.
  EXPECT_TRUE(callAndWait(client(), "echo:", {Value::u32(1), Value::absent()}).values);
}

TEST_F(XPCService, ClientHearsWhenTheServiceGoesAway) {
  auto c = client();
  platform::OneShot<Error> proxyError;
  platform::OneShot<bool> interrupted;
  c->setInterruptionHandler([interrupted] { interrupted.resolve(true); });
  auto proxy = c->remoteObjectProxy([proxyError](const Error& e) { proxyError.resolve(e); });
  std::atomic<bool> replied{false};
  proxy.call("hold:", {Value::u32(1)}, [&](Values) { replied = true; });
  ASSERT_TRUE(callAndWait(c, "echo:", {Value::u32(1), Value::absent()}).values);  // hold: has arrived
  listener_->invalidate();
  auto e = proxyError.waitFor(10s);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, Error::Code::interrupted);
  EXPECT_TRUE(interrupted.waitFor(10s));
  EXPECT_FALSE(replied);
  EXPECT_FALSE(c->isOpen());
  // Later calls fail at once, through the proxy's error handler too.
  auto late = callAndWait(c, "echo:", {Value::u32(1), Value::absent()});
  ASSERT_TRUE(late.error);
  EXPECT_EQ(late.error->code, Error::Code::interrupted);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(XPCService, InvalidateEndsPendingCallsOnce) {
  auto c = client();
  platform::OneShot<bool> invalidated;
  c->setInvalidationHandler([invalidated] { invalidated.resolve(true); });
  std::atomic<int> errors{0};
  for (std::uint32_t i = 0; i < 5; ++i) {
    c->call("hold:", {Value::u32(i)}, [](Values) { ADD_FAILURE() << "reply after invalidate"; },
            [&](const Error& e) {
              EXPECT_EQ(e.code, Error::Code::invalidated);
              ++errors;
            });
  }
  c->invalidate();
  c->invalidate();
  ASSERT_TRUE(invalidated.waitFor(10s));
  c->queue().waitIdle();
  EXPECT_EQ(errors, 5);
  // The held replies go nowhere and harm nothing.
  EXPECT_TRUE(callAndWait(client(), "release:", {}).values);
}

TEST(XPCClient, MissingServiceInvalidatesTheConnection) {
  TempRoot root;
  auto c = Connection::toPath(root.path() + "/nobody-listens", testInterface());
  platform::OneShot<bool> invalidated;
  c->setInvalidationHandler([invalidated] { invalidated.resolve(true); });
  c->resume();
  EXPECT_TRUE(invalidated.waitFor(10s));
  auto r = callAndWait(c, "echo:", {Value::u32(1), Value::absent()});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, Error::Code::invalidated);
}

// Also under a root so deep that the socket's path is longer than a socket
// address holds.
TEST(XPCListener, ServiceSocketLivesInAPrivateFolderOfTheUser) {
  TempRoot root;
  for (const std::string& install : {root.path(), root.path() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e')}) {
    SCOPED_TRACE(install);
    testsupport::ScopedEnv env("JORVU_ROOT", install);
    const std::string path = servicePath("com.jorvu.test");
    EXPECT_EQ(path, install + "/var/run/jorvu/" + std::to_string(::geteuid()) + "/com.jorvu.test");
    if (install != root.path()) {
      EXPECT_GE(path.size(), sizeof(sockaddr_un::sun_path));
    }
    for (const char* bad : {"", ".", "..", "a/b", "../x"}) EXPECT_EQ(servicePath(bad), "") << bad;
    std::string error;
    auto listener = Listener::forService("com.jorvu.test", testInterface(), &error);
    ASSERT_TRUE(listener) << error;
    struct stat st {};
    ASSERT_EQ(::stat(std::filesystem::path(path).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(isAnswering(path));
    // Connecting by name finds it.
    std::atomic<int> served{0};
    listener->setDelegate([&](const std::shared_ptr<Connection>& c) {
      c->setExportedObject([&](const std::string&, Values a, Reply r) {
        ++served;
        r.send({Value::u32(a[0].number), Value::absent()});
      });
      c->resume();
      return true;
    });
    listener->resume();
    auto c = Connection::toService("com.jorvu.test", testInterface());
    c->resume();
    EXPECT_TRUE(callAndWait(c, "echo:", {Value::u32(3), Value::absent()}).values);
    EXPECT_EQ(c->peerUID(), ::geteuid());
    EXPECT_EQ(c->peerPID(), ::getpid());
    EXPECT_EQ(served, 1);
    c->invalidate();
    listener->invalidate();
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

TEST(XPCListener, ReplacesAStaleSocketButNotALiveOne) {
  TempRoot root;
  const std::string path = root.path() + "/svc";
  {
    // A socket file left behind by a service that died.
    int fd = testsupport::listenAt(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  std::string error;
  auto first = Listener::atPath(path, testInterface(), &error);
  ASSERT_TRUE(first) << error;
  auto second = Listener::atPath(path, testInterface(), &error);
  EXPECT_FALSE(second);
  EXPECT_NE(error.find("already answers"), std::string::npos) << error;
  // Not a socket: left alone.
  testsupport::writeFile(root.path() + "/file", "x");
  EXPECT_FALSE(Listener::atPath(root.path() + "/file", testInterface(), &error));
  EXPECT_EQ(testsupport::readFileOrEmpty(root.path() + "/file"), "x");
  // A folder of another owner or a file in place of the folder fails cleanly.
  testsupport::writeFile(root.path() + "/var/run/jorvu/" + std::to_string(::geteuid()), "not a folder");
  EXPECT_FALSE(Listener::forService("com.jorvu.test", testInterface(), &error));
  EXPECT_FALSE(error.empty());
}

TEST(XPCListener, EveryDescriptorIsCloseOnExec) {
  TempRoot root;
  std::string error;
  auto listener = Listener::atPath(root.path() + "/svc", testInterface(), &error);
  ASSERT_TRUE(listener);
  listener->setDelegate([](const std::shared_ptr<Connection>& c) {
    c->setExportedObject([](const std::string&, Values a, Reply r) { r.send({Value::u32(a[0].number), Value::absent()}); });
    c->resume();
    return true;
  });
  listener->resume();
  auto c = Connection::toPath(root.path() + "/svc", testInterface());
  c->resume();
  ASSERT_TRUE(callAndWait(c, "echo:", {Value::u32(1), Value::absent()}).values);
  int sockets = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (ec || target.string().rfind("socket:", 0) != 0) continue;
    int fd = std::stoi(entry.path().filename().string());
    ++sockets;
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
  }
  EXPECT_GE(sockets, 3);  // listener, server end, client end
}
