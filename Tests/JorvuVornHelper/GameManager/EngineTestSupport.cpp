#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "Common/Logger/VornLogger.hpp"
#include "Platform/OneShot.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace enginetest {
namespace {

// The process logger picks its folder once, at first use: give it a folder
// of its own for the whole test program before any test changes HOME.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "jorvu-engine-log-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return;
    folder_ = tmpl;
    const char* oldHome = std::getenv("HOME");
    const std::string saved = oldHome ? oldHome : "";
    ::setenv("HOME", folder_.c_str(), 1);
    (void)VornLogger::shared();
    if (oldHome) ::setenv("HOME", saved.c_str(), 1);
  }
  void TearDown() override {
    VornLogger::shared().waitIdle();
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }

 private:
  std::string folder_;
};

[[maybe_unused]] ::testing::Environment* const logEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogEnvironment);

}  // namespace

FileServer::FileServer(const std::string& folder) {
  // Counted before the answer goes out, so a client that has its answer
  // sees its request counted.
  server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    std::lock_guard lock(mutex_);
    ++hits_[req.path];
    peers_.insert(req.remote_addr + ":" + std::to_string(req.remote_port));
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server_.set_mount_point("/", folder);
  // The task queue is made once the loop runs; before that, stop() would be
  // lost and the destructor would wait for the loop for good.
  platform::OneShot<bool> running;
  server_.new_task_queue = [running] {
    running.resolve(true);
    return new httplib::ThreadPool(CPPHTTPLIB_THREAD_POOL_COUNT);
  };
  port_ = server_.bind_to_any_port("127.0.0.1");
  // The socket listens from here on; connections wait in its backlog until
  // the loop accepts them.
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  if (!running.waitFor(std::chrono::minutes(2))) ADD_FAILURE() << "the file server's loop did not start";
}

FileServer::~FileServer() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

int FileServer::hits(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = hits_.find(path);
  return it == hits_.end() ? 0 : it->second;
}

std::size_t FileServer::connections() {
  std::lock_guard lock(mutex_);
  return peers_.size();
}

std::string logText() {
  VornLogger::shared().waitIdle();
  return testsupport::readFileOrEmpty(VornLogger::shared().filePath());
}

int logCount(const std::string& needle) {
  const std::string text = logText();
  int count = 0;
  for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++count;
  return count;
}

int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);  // bound but never listened on: connections are refused
  return ntohs(addr.sin_port);
}

std::string repeatBytes(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x & 0xFF);
  }
  return out;
}

}  // namespace enginetest
