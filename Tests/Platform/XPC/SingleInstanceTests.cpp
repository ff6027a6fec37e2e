// The per-user instance door: forwarding, the terminating answer, and peers
// that misbehave.
#include "Platform/XPC/SingleInstance.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "Platform/Paths.hpp"
#include "Tests/Support/ScopedEnv.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/UnixSocket.hpp"

using platform::SingleInstance;
using namespace std::chrono_literals;

namespace {

constexpr const char* name = "com.jorvu.test.instance";

// What the instance was handed.
struct Received {
  std::mutex mutex;
  std::vector<std::string> urls;
  bool accept = true;

  SingleInstance::Receiver receiver() {
    return [this](std::vector<std::string> got) {
      std::lock_guard lock(mutex);
      urls.insert(urls.end(), got.begin(), got.end());
      return accept;
    };
  }
};

int connectRaw(const std::string& path) {
  const int fd = testsupport::connectTo(path);
  EXPECT_GE(fd, 0);
  return fd;
}

// Also under a root so deep that the socket's path is longer than a socket
// address holds.
TEST(SingleInstance, TheFirstIsTheInstanceAndLaterOnesForward) {
  testsupport::TempRoot root;
  for (const std::string& install : {root.path(), root.path() + "/" + std::string(100, 'd')}) {
    SCOPED_TRACE(install);
    testsupport::ScopedEnv env("JORVU_ROOT", install);
    auto first = SingleInstance::acquire(name, {});
    ASSERT_TRUE(first.instance) << first.error;
    EXPECT_FALSE(first.forwarded);
    EXPECT_EQ(first.instance->socketPath(), platform::runtimeDirectory() + "/" + name + ".socket");
    if (install != root.path()) {
      EXPECT_GE(first.instance->socketPath().size(), sizeof(sockaddr_un::sun_path));
    }
    struct stat st {};
    ASSERT_EQ(::stat(first.instance->socketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Received received;
    first.instance->serve(received.receiver());

    const std::string tooLong(SingleInstance::maxURLLength + 1, 'x');
    std::vector<std::string> dropped;
    auto second = SingleInstance::acquire(name, {"jorvuvorn://launch?game=1", tooLong, ""}, &dropped);
    EXPECT_TRUE(second.forwarded) << second.error;
    EXPECT_FALSE(second.instance);
    EXPECT_EQ(dropped, (std::vector<std::string>{tooLong, ""}));
    first.instance->stop();
    std::lock_guard lock(received.mutex);
    EXPECT_EQ(received.urls, std::vector<std::string>{"jorvuvorn://launch?game=1"});
  }
}

TEST(SingleInstance, APeerThatSendsNothingOrTooMuchHoldsNobodyUp) {
  testsupport::TempRoot root;
  auto first = SingleInstance::acquire(name, {});
  ASSERT_TRUE(first.instance) << first.error;
  Received received;
  first.instance->serve(received.receiver());

  const int silent = connectRaw(first.instance->socketPath());
  // A frame over the cap: the instance hangs up without an answer.
  const int greedy = connectRaw(first.instance->socketPath());
  const unsigned char head[4] = {0, 1, 0, 1};  // 65537 bytes announced
  ASSERT_EQ(::send(greedy, head, sizeof head, MSG_NOSIGNAL), 4);
  char reply = 0;
  EXPECT_EQ(::recv(greedy, &reply, 1, 0), 0);

  const auto begin = std::chrono::steady_clock::now();
  auto later = SingleInstance::acquire(name, {"jorvuvorn://launch?game=2"});
  EXPECT_TRUE(later.forwarded) << later.error;
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
  ::close(silent);
  ::close(greedy);
  std::lock_guard lock(received.mutex);
  EXPECT_EQ(received.urls, std::vector<std::string>{"jorvuvorn://launch?game=2"});
}

TEST(SingleInstance, ATerminatingInstanceMakesTheSenderWaitForItsLock) {
  testsupport::TempRoot root;
  auto first = SingleInstance::acquire(name, {});
  ASSERT_TRUE(first.instance) << first.error;
  Received received;
  received.accept = false;
  first.instance->serve(received.receiver());

  // The lock is held for this process's whole life: the sender waits and
  // gives up after its limit, having taken nothing over.
  auto later = SingleInstance::acquire(name, {"jorvuvorn://launch?game=3"}, nullptr, 1s);
  EXPECT_FALSE(later.forwarded);
  EXPECT_FALSE(later.instance);
  EXPECT_NE(later.error.find("did not end"), std::string::npos) << later.error;
}

}  // namespace
