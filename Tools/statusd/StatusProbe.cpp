// jorvu-statusprobe: how long fresh GET /status requests take while many
// slow clients hold connections to the same port.
//   jorvu-statusprobe --port N [--slow 1000] [--requests 2000] [--seconds 6]
//                     [--address 127.0.0.1]
// Half of the slow clients stay silent; the other half send a request one
// byte every 20 ms and never finish it. A slow client that the server lets
// go connects again at once, so the count holds for the whole run. The
// fresh requests run one after another (connect, request, whole reply),
// at least `requests` of them and for at least `seconds` (past the server's
// deadline for a request, so that slow clients are let go and come back
// meanwhile); each must get the 200 reply. Prints, on one line each:
//   slow_clients <held at the end>
//   requests <answered> failed <count>
//   p50_ms <x> p99_ms <x> max_ms <x>
// Exit status 0 when every fresh request was answered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string address = "127.0.0.1";
  int port = -1;
  int slow = 1000;
  int requests = 2000;
  int seconds = 6;
};

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    char* end = nullptr;
    const long value = std::strtol(argv[i + 1], &end, 10);
    const bool number = *end == '\0' && value >= 0 && value <= 1000000;
    if (name == "--address") {
      options.address = argv[i + 1];
    } else if (name == "--port" && number && value > 0 && value < 65536) {
      options.port = static_cast<int>(value);
    } else if (name == "--slow" && number) {
      options.slow = static_cast<int>(value);
    } else if (name == "--requests" && number && value > 0) {
      options.requests = static_cast<int>(value);
    } else if (name == "--seconds" && number && value <= 3600) {
      options.seconds = static_cast<int>(value);
    } else {
      return false;
    }
  }
  return options.port > 0 && argc % 2 == 1;
}

int connectTo(const Options& options) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(options.port));
  if (::inet_pton(AF_INET, options.address.c_str(), &to.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One fresh request: true when the whole 200 reply with its body came back
// within 10 s.
bool freshRequest(const Options& options) {
  int fd = connectTo(options);
  if (fd < 0) return false;
  static const std::string request = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  bool ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  std::string reply;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (ok) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) != 1) {
      ok = false;
      break;
    }
    char chunk[1024];
    ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) break;
    reply.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return ok && reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
         reply.find(R"({"product":"KTZ","status":"running"})") != std::string::npos;
}

// The slow clients, kept at their count by a thread of their own.
class SlowClients {
 public:
  explicit SlowClients(const Options& options) : options_(options), fds_(static_cast<std::size_t>(options.slow), -1) {
    for (auto& fd : fds_) fd = connectTo(options_);
    thread_ = std::thread([this] { run(); });
  }
  ~SlowClients() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  int held() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(fds_.begin(), fds_.end(), [](int fd) { return fd >= 0; }));
  }

 private:
  void run() {
    const std::string request = "GET /status HTTP/1.1\r\nX-Slow: " + std::string(4000, 'x');
    std::size_t step = 0;
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(20), [&] { return stopping_; })) {
      for (std::size_t i = 0; i < fds_.size(); ++i) {
        int& fd = fds_[i];
        if (fd >= 0 && closedByServer(fd)) {
          ::close(fd);
          fd = -1;
        }
        if (fd < 0) fd = connectTo(options_);
        if (fd >= 0 && i % 2 == 1) {
          ::send(fd, request.data() + step % request.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
      }
      ++step;
    }
  }

  static bool closedByServer(int fd) {
    char byte;
    ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }

  Options options_;
  std::vector<int> fds_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: jorvu-statusprobe --port N [--slow 1000] [--requests 2000] [--seconds 6] "
                 "[--address 127.0.0.1]\n");
    return 2;
  }
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);

  SlowClients slow(options);
  std::vector<double> took;
  int failed = 0;
  const auto until = Clock::now() + std::chrono::seconds(options.seconds);
  for (int i = 0; i < options.requests || Clock::now() < until; ++i) {
    const auto begin = Clock::now();
    if (freshRequest(options)) {
      took.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    } else {
      ++failed;
    }
  }
  std::sort(took.begin(), took.end());
  std::printf("slow_clients %d\n", slow.held());
  std::printf("requests %zu failed %d\n", took.size(), failed);
  std::printf("p50_ms %.2f p99_ms %.2f max_ms %.2f\n", percentile(took, 0.5), percentile(took, 0.99),
              took.empty() ? 0.0 : took.back());
  return failed == 0 ? 0 : 1;
}
