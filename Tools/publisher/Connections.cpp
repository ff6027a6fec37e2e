#include "Tools/publisher/Connections.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <system_error>

#if defined(__SANITIZE_THREAD__)
// The server library is not built with ThreadSanitizer: the guard of a
// static it makes on first use is read without the sanitizer seeing it, so
// a connection that uses the static after another one made it is reported
// as a race on the static's contents.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }
#endif

namespace publisher {

void ConnectionThreads::enqueue(std::function<void()> connection) {
  std::lock_guard lock(mutex_);
  joinFinishedLocked();
  // Waits in the queue even when a thread is started for it: a thread that
  // cannot be made leaves it to the next one.
  waiting_.push_back(std::move(connection));
  if (running_ >= limit_) return;
  auto self = workers_.emplace(workers_.end());
  try {
    self->thread = std::jthread([this, self] { serve(self); });
    ++running_;
  } catch (const std::system_error&) {
    workers_.erase(self);
  }
}

void ConnectionThreads::serve(std::list<Worker>::iterator self) {
  std::unique_lock lock(mutex_);
  while (!waiting_.empty()) {
    std::function<void()> connection = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    connection();
    lock.lock();
  }
  --running_;
  self->done = true;
}

void ConnectionThreads::joinFinishedLocked() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (!it->done) {
      ++it;
      continue;
    }
    // Done is its last step under the lock: it ends without taking it again.
    it->thread.join();
    it = workers_.erase(it);
  }
}

void ConnectionThreads::shutdown() {
  for (;;) {
    std::list<Worker> all;
    std::deque<std::function<void()>> left;
    {
      std::lock_guard lock(mutex_);
      if (workers_.empty()) left.swap(waiting_);
      all.splice(all.end(), workers_);
    }
    if (all.empty()) {
      // Only when no thread could be made: served here, so that each
      // connection is closed.
      for (auto& connection : left) connection();
      return;
    }
    for (Worker& worker : all) worker.thread.join();
  }
}

std::shared_ptr<WakePipe> WakePipe::make() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  return std::shared_ptr<WakePipe>(new WakePipe(ends[0], ends[1]));
}

WakePipe::~WakePipe() {
  wakeAll();
  ::close(read_);
}

void WakePipe::wakeAll() {
  if (write_ < 0) return;
  ::close(write_);
  write_ = -1;
}

namespace {

// Port and numeric host of a socket address, as the server notes them.
bool describe(const sockaddr_storage& address, socklen_t length, int& port, std::string* host) {
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return false;
  char name[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, name, sizeof name, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  port = std::atoi(service);
  if (host != nullptr) *host = name;
  return true;
}

bool isConnectionOf(int fd, const httplib::Request& req) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  int port = 0;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      !describe(address, length, port, nullptr) || (req.local_port > 0 && port != req.local_port)) {
    return false;
  }
  length = sizeof address;
  std::string host;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
         describe(address, length, port, &host) && port == req.remote_port && host == req.remote_addr;
}

}  // namespace

int connectionSocket(const httplib::Request& req) {
  if (req.remote_port <= 0) return -1;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd < 0 || fd > INT_MAX || fd == ::dirfd(dir)) continue;
    if (isConnectionOf(static_cast<int>(fd), req)) {
      found = static_cast<int>(fd);
      break;
    }
  }
  ::closedir(dir);
  return found;
}

HeldWait waitHeld(int& connection, int wakeFd, std::optional<std::chrono::steady_clock::time_point> deadline) {
  using namespace std::chrono;
  for (;;) {
    int wait = -1;
    if (deadline) {
      const auto left = ceil<milliseconds>(*deadline - steady_clock::now()).count();
      if (left <= 0) return HeldWait::timedOut;
      wait = static_cast<int>(std::min<long long>(left, INT_MAX));
    }
    pollfd watched[2] = {{wakeFd, POLLIN, 0}, {connection, POLLIN | POLLRDHUP, 0}};
    if (::poll(watched, 2, wait) < 0) {
      if (errno == EINTR) continue;
      return HeldWait::peerGone;
    }
    if (watched[0].revents != 0) return HeldWait::woken;
    const short seen = watched[1].revents;
    if ((seen & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return HeldWait::peerGone;
    if ((seen & POLLIN) != 0) {
      char next = 0;
      const ssize_t n = ::recv(connection, &next, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return HeldWait::peerGone;
      if (n > 0) connection = -1;  // more from the peer: its closing would go unseen behind it
    } else if ((seen & POLLNVAL) != 0) {
      connection = -1;
    }
  }
}

}  // namespace publisher
