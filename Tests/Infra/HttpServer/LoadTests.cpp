// A load from another process: ApacheBench against jorvu-statusd.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>


#include "TestNet.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

struct Daemon {
  explicit Daemon(std::uint32_t game) {
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string program = testsupport::binDir() + "/jorvu-statusd";
    std::string code = std::to_string(game);
    char* argv[] = {program.data(), const_cast<char*>("--game"), code.data(), nullptr};
    EXPECT_EQ(::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    stdoutFd = out[0];
    char line[64] = {};
    ssize_t got = ::read(stdoutFd, line, sizeof line - 1);  // "listening <port>\n"
    ready = got > 0 && std::string(line).rfind("listening ", 0) == 0;
  }
  ~Daemon() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ::close(stdoutFd);
  }
  int stop() {
    int status = -1;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, &status, 0);
    pid = 0;
    return status;
  }
  pid_t pid = 0;
  int stdoutFd = -1;
  bool ready = false;
};

long field(const std::string& report, const std::string& name) {
  auto at = report.find(name + ":");
  if (at == std::string::npos) return -1;
  at = report.find_first_not_of(' ', at + name.size() + 1);
  if (at == std::string::npos || report[at] < '0' || report[at] > '9') return -1;
  return std::stol(report.substr(at));
}

}  // namespace

TEST(HttpServerLoadTest, TenThousandRequestsFromApacheBench) {
  const std::uint16_t port = testsupport::freePort();  // its own game code
  Daemon daemon(port);
  ASSERT_TRUE(daemon.ready);
  int before = testnet::openDescriptors(daemon.pid);
  ASSERT_GT(before, 0);

  std::string report = testnet::commandOutput("timeout 180 ab -q -s 10 -n 10000 -c 16 http://127.0.0.1:" + std::to_string(port) +
                                                "/status 2>&1");
  EXPECT_EQ(field(report, "Complete requests"), 10000) << report;
  EXPECT_EQ(field(report, "Failed requests"), 0) << report;
  EXPECT_EQ(field(report, "Non-2xx responses"), -1) << report;  // the line is only there when some were
  EXPECT_EQ(field(report, "Document Length"), 36) << report;

  int after = testnet::settledDescriptors(before, daemon.pid);
  EXPECT_EQ(after, before);
  auto reply = testnet::exchange(port, "GET /status HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(testnet::parseReply(reply->bytes).body, R"({"product":"KTZ","status":"running"})");

  int status = daemon.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
