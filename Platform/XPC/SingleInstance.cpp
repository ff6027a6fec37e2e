#include "Platform/XPC/SingleInstance.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Platform/XPC/UnixAddress.hpp"
#include "Platform/XPC/XPCListener.hpp"

// Older C libraries do not name the thread of a SIGEV_THREAD_ID event.
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long one side waits for the other's bytes.
constexpr auto requestTimeout = std::chrono::seconds(2);
constexpr auto answerTimeout = std::chrono::seconds(10);
// How long a newcomer keeps trying while the lock's holder has no socket
// (it is starting, or it has stopped answering and is about to end).
constexpr auto connectPatience = std::chrono::seconds(30);
constexpr auto connectRetry = std::chrono::milliseconds(20);
// While the lock's holder says it is terminating, how long a newcomer waits
// for the lock before it asks again: by then the holder may be a new
// instance that takes the URLs.
constexpr auto lockSlice = std::chrono::milliseconds(500);

constexpr char acceptedAnswer = 'A';
constexpr char terminatingAnswer = 'T';

using Failure = SingleInstance::Failure;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// A system call refused for want of rights: the folder or its file belongs
// to someone else, or this user may not write there.
Failure failureOf(int e) { return e == EACCES || e == EPERM ? Failure::denied : Failure::other; }

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

// Reads exactly `size` bytes from a non-blocking socket before the deadline.
bool readExactly(int fd, char* out, std::size_t size, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::recv(fd, out + done, size - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      if (!waitReady(fd, POLLIN, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool writeAll(int fd, const std::string& bytes, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!waitReady(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void putLength(std::string& out, std::uint32_t n) {
  out.push_back(static_cast<char>((n >> 24) & 0xff));
  out.push_back(static_cast<char>((n >> 16) & 0xff));
  out.push_back(static_cast<char>((n >> 8) & 0xff));
  out.push_back(static_cast<char>(n & 0xff));
}

std::uint32_t getLength(const char* in) {
  const auto* b = reinterpret_cast<const unsigned char*>(in);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

// The request of the peer on `fd`: nothing when it is malformed, too big or
// too slow.
std::optional<std::vector<std::string>> readRequest(int fd) {
  const auto deadline = Clock::now() + requestTimeout;
  std::vector<std::string> urls;
  for (;;) {
    char head[4];
    if (!readExactly(fd, head, sizeof head, deadline)) return std::nullopt;
    const std::uint32_t length = getLength(head);
    if (length == 0) return urls;
    if (length > SingleInstance::maxURLLength || urls.size() == SingleInstance::maxURLCount) return std::nullopt;
    std::string url(length, '\0');
    if (!readExactly(fd, url.data(), length, deadline)) return std::nullopt;
    urls.push_back(std::move(url));
  }
}

struct Paths {
  std::string folder;
  std::string lock;
  std::string socket;
};

std::optional<Paths> pathsFor(const std::string& name, SingleInstance::Outcome& outcome) {
  // The folder of the install's services, where the helper's socket lives too.
  const std::string probe = xpc::servicePath(name);
  if (probe.empty()) {
    outcome.error = "bad instance name: " + name;
    outcome.failure = Failure::other;
    return std::nullopt;
  }
  Paths paths;
  paths.folder = std::filesystem::path(probe).parent_path().string();
  paths.lock = paths.folder + "/" + name + ".lock";
  paths.socket = paths.folder + "/" + name + ".socket";
  int cause = 0;
  if (!xpc::prepareServiceFolder(paths.folder, &outcome.error, &cause)) {
    outcome.failure = failureOf(cause);
    return std::nullopt;
  }
  return paths;
}

int openLock(const std::string& path, SingleInstance::Outcome& outcome) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    const int e = errno;
    outcome.error = errnoText("cannot open " + path);
    outcome.failure = failureOf(e);
  }
  return fd;
}

extern "C" void onLockAlarm(int) {}

// Waits for the exclusive lock at most `limit` (a little more on a busy
// machine): a timer's signal, sent to this thread only, ends the wait. The
// timer fires again until it is deleted, in case its first signal came
// before flock began.
bool waitForLock(int fd, std::chrono::milliseconds limit) {
  struct sigaction sa {}, old {};
  sa.sa_handler = onLockAlarm;
  ::sigemptyset(&sa.sa_mask);
  ::sigaction(SIGALRM, &sa, &old);  // no SA_RESTART: the signal interrupts flock
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = SIGALRM;
  event.sigev_notify_thread_id = static_cast<pid_t>(::gettid());
  timer_t timer{};
  int rc = -1;
  if (::timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
    const auto ms = std::max<long long>(limit.count(), 1);
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    when.it_value.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    when.it_interval.tv_nsec = 50 * 1000000;
    if (::timer_settime(timer, 0, &when, nullptr) == 0) rc = ::flock(fd, LOCK_EX);
    ::timer_delete(timer);
  } else {
    // No timer to be had: a plain pause, then one more try.
    std::this_thread::sleep_for(limit);
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  }
  ::sigaction(SIGALRM, &old, nullptr);
  return rc == 0;
}

// The socket of the instance that holds the lock: a stale file is replaced.
int listenAt(const std::string& path, SingleInstance::Outcome& outcome) {
  outcome.failure = Failure::other;
  const xpc::UnixAddress addr(path);
  if (!addr.valid()) {
    outcome.error = "no socket address for " + path;
    return -1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    outcome.error = errnoText("socket");
    return -1;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
    outcome.error = path + " exists and is not a socket";
    ::close(fd);
    return -1;
  }
  ::unlink(path.c_str());
  if (::bind(fd, addr.get(), addr.size()) != 0 || ::chmod(path.c_str(), 0600) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    const int e = errno;
    outcome.error = errnoText("cannot listen at " + path);
    outcome.failure = failureOf(e);
    ::close(fd);
    return -1;
  }
  outcome.failure = Failure::none;
  return fd;
}

enum class Forward { accepted, terminating, unreachable, failed };

// Hands the URLs to the instance listening at `path`; `peer` is its process.
// A failure is told in `outcome`.
Forward forward(const std::string& path, const std::vector<std::string>& urls, pid_t* peer,
                SingleInstance::Outcome& outcome) {
  const xpc::UnixAddress addr(path);
  if (!addr.valid()) {
    outcome.error = "no socket address for " + path;
    outcome.failure = Failure::other;
    return Forward::failed;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    outcome.error = errnoText("socket");
    outcome.failure = Failure::other;
    return Forward::failed;
  }
  const auto deadline = Clock::now() + answerTimeout;
  if (::connect(fd, addr.get(), addr.size()) != 0) {
    if (errno != EINPROGRESS && errno != EAGAIN) {
      ::close(fd);
      return Forward::unreachable;
    }
    int failure = 0;
    socklen_t len = sizeof failure;
    if (!waitReady(fd, POLLOUT, deadline) || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &len) != 0 ||
        failure != 0) {
      ::close(fd);
      return Forward::unreachable;
    }
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
    outcome.error = "the instance socket " + path + " belongs to another user";
    outcome.failure = Failure::denied;
    ::close(fd);
    return Forward::failed;
  }
  *peer = cred.pid;
  std::string request;
  for (const auto& url : urls) {
    putLength(request, static_cast<std::uint32_t>(url.size()));
    request += url;
  }
  putLength(request, 0);
  char reply = 0;
  const bool ok = writeAll(fd, request, deadline) && readExactly(fd, &reply, 1, deadline);
  ::close(fd);
  if (ok && reply == acceptedAnswer) return Forward::accepted;
  if (ok && reply == terminatingAnswer) return Forward::terminating;
  // The instance went away while answering (it was ending): try again.
  if (!ok) return Forward::unreachable;
  outcome.error = "the running instance gave no valid answer";
  outcome.failure = Failure::unresponsive;
  return Forward::failed;
}

}  // namespace

SingleInstance::Outcome SingleInstance::acquire(const std::string& name, const std::vector<std::string>& urls,
                                                std::vector<std::string>* dropped,
                                                std::chrono::milliseconds lockWait) {
  Outcome outcome;
  const auto paths = pathsFor(name, outcome);
  if (!paths) return outcome;
  const int lockFD = openLock(paths->lock, outcome);
  if (lockFD < 0) return outcome;

  std::vector<std::string> sendable;
  for (const auto& url : urls) {
    // An empty URL would read as the end of the list.
    if (url.empty() || url.size() > maxURLLength || sendable.size() == maxURLCount) {
      if (dropped != nullptr) dropped->push_back(url);
    } else {
      sendable.push_back(url);
    }
  }

  const auto giveUp = Clock::now() + connectPatience;
  // The instance that last answered "terminating", and until when it may
  // hold the lock.
  pid_t terminating = 0;
  Clock::time_point endBy;
  bool locked = ::flock(lockFD, LOCK_EX | LOCK_NB) == 0;
  while (!locked) {
    pid_t peer = 0;
    switch (forward(paths->socket, sendable, &peer, outcome)) {
      case Forward::accepted:
        ::close(lockFD);
        outcome.forwarded = true;
        return outcome;
      case Forward::terminating:
        if (peer != terminating) {
          terminating = peer;
          endBy = Clock::now() + lockWait;
        }
        break;
      case Forward::unreachable:
        break;
      case Forward::failed:
        ::close(lockFD);
        return outcome;
    }
    const auto now = Clock::now();
    if (terminating != 0) {
      // Waits for the lock, but not so long that a next instance, started
      // meanwhile by another sender, is not asked.
      if (now >= endBy) {
        ::close(lockFD);
        outcome.error = "the running instance did not end in time";
        outcome.failure = Failure::unresponsive;
        return outcome;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(endBy - now);
      locked = waitForLock(lockFD, std::min<std::chrono::milliseconds>(left, lockSlice));
    } else {
      if (now >= giveUp) {
        ::close(lockFD);
        outcome.error = "the running instance does not answer at " + paths->socket;
        outcome.failure = Failure::unresponsive;
        return outcome;
      }
      std::this_thread::sleep_for(connectRetry);
      locked = ::flock(lockFD, LOCK_EX | LOCK_NB) == 0;
    }
  }
  const int listenFD = listenAt(paths->socket, outcome);
  if (listenFD < 0) {
    ::close(lockFD);
    return outcome;
  }
  outcome.instance.reset(new SingleInstance(lockFD, listenFD, paths->socket));
  outcome.error.clear();
  outcome.failure = Failure::none;
  return outcome;
}

SingleInstance::SingleInstance(int lockFD, int listenFD, std::string socketPath)
    : lockFD_(lockFD), listenFD_(listenFD), socketPath_(std::move(socketPath)) {
  if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
}

SingleInstance::~SingleInstance() {
  stop();
  // The lock descriptor stays open on purpose: the lock ends with the
  // process, after its exit hooks, so the next instance starts on a clean
  // slate.
  (void)lockFD_;
}

void SingleInstance::serve(Receiver receiver) {
  if (acceptor_.joinable() || listenFD_ < 0) return;
  acceptor_ = std::thread([this, receiver = std::move(receiver)] { acceptLoop(receiver); });
}

void SingleInstance::stop() {
  if (wakePipe_[1] >= 0) {
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe_[1], &wake, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  if (listenFD_ >= 0) {
    ::unlink(socketPath_.c_str());
    ::close(listenFD_);
    listenFD_ = -1;
  }
  for (int& fd : wakePipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void SingleInstance::acceptLoop(const Receiver& receiver) {
  for (;;) {
    pollfd fds[2] = {{listenFD_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    const int rc = ::poll(fds, wakePipe_[0] >= 0 ? 2 : 1, -1);
    if (rc < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listenFD_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    answer(fd, receiver);
    ::close(fd);
  }
}

void SingleInstance::answer(int fd, const Receiver& receiver) {
  ucred cred{};
  socklen_t len = sizeof cred;
  // Another user's process has nothing to hand to this user's app.
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) return;
  auto urls = readRequest(fd);
  if (!urls) return;
  const char reply = receiver(std::move(*urls)) ? acceptedAnswer : terminatingAnswer;
  writeAll(fd, std::string(1, reply), Clock::now() + requestTimeout);
}

}  // namespace platform
