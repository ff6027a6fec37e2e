#include "Platform/XPC/XPCListener.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include "Platform/Paths.hpp"

namespace platform::xpc {

namespace {

constexpr int firstActivatedFD = 3;

std::string errnoText(const std::string& what, int e) { return what + ": " + std::strerror(e); }

}  // namespace

bool prepareServiceFolder(const std::string& folder, std::string* error, int* cause) {
  return preparePrivateFolderTree(folder, error, cause);
}

namespace {

// Binds and listens under a temporary name beside `path`, then renames the
// socket into place: a client never finds a socket that is not listening, and
// a stale socket file is replaced in one step.
int bindAt(const std::string& path, std::string* error) {
  const std::filesystem::path p(path);
  const std::string temporary = (p.parent_path() / ("." + p.filename().string() + "." + std::to_string(::getpid()))).string();
  const UnixAddress addr(temporary);
  if (!addr.valid()) {
    *error = "no socket address for " + path;
    return -1;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket";
      return -1;
    }
    if (isAnswering(path)) {
      *error = "a service already answers at " + path;
      return -1;
    }
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errnoText("socket", errno);
    return -1;
  }
  ::unlink(temporary.c_str());
  if (::bind(fd, addr.get(), addr.size()) != 0) {
    *error = errnoText("bind " + temporary, errno);
    ::close(fd);
    return -1;
  }
  if (::chmod(temporary.c_str(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = errnoText("cannot listen at " + path, errno);
    ::unlink(temporary.c_str());
    ::close(fd);
    return -1;
  }
  return fd;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, sep)) out.push_back(item);
  return out;
}

}  // namespace

std::string servicePath(const std::string& serviceName) {
  if (serviceName.empty() || serviceName == "." || serviceName == ".." ||
      serviceName.find('/') != std::string::npos || serviceName.find('\0') != std::string::npos) {
    return {};
  }
  return runtimeDirectory() + "/" + serviceName;
}

std::optional<int> takeActivatedSocket(const std::string& serviceName, std::string* error) {
  const char* pidText = std::getenv("LISTEN_PID");
  const char* fdsText = std::getenv("LISTEN_FDS");
  const char* namesText = std::getenv("LISTEN_FDNAMES");
  const std::string pid = pidText ? pidText : "";
  const std::string fds = fdsText ? fdsText : "";
  const std::string names = namesText ? namesText : "";
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  if (pid.empty() || fds.empty() || pid != std::to_string(::getpid())) return std::nullopt;
  int count = 0;
  try {
    std::size_t used = 0;
    count = std::stoi(fds, &used);
    if (used != fds.size()) count = 0;
  } catch (const std::exception&) {
    count = 0;
  }
  if (count <= 0 || count > 64) {
    if (error) *error = "bad LISTEN_FDS: " + fds;
    return std::nullopt;
  }
  for (int i = 0; i < count; ++i) ::fcntl(firstActivatedFD + i, F_SETFD, FD_CLOEXEC);
  int index = 0;
  auto list = split(names, ':');
  for (std::size_t i = 0; i < list.size() && static_cast<int>(i) < count; ++i) {
    if (list[i] == serviceName) index = static_cast<int>(i);
  }
  const int fd = firstActivatedFD + index;
  int domain = 0, type = 0, listening = 0;
  socklen_t len = sizeof(int);
  bool ok = ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX;
  len = sizeof(int);
  ok = ok && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
  len = sizeof(int);
  ok = ok && ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening == 1;
  if (!ok) {
    if (error) *error = "descriptor " + std::to_string(fd) + " is not a listening Unix stream socket";
    return std::nullopt;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool isAnswering(const std::string& path) {
  const UnixAddress addr(path);
  if (!addr.valid()) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int rc = ::connect(fd, addr.get(), addr.size());
  int e = errno;
  ::close(fd);
  return rc == 0 || e == EAGAIN || e == EINPROGRESS;
}

int bindServiceSocket(const std::string& serviceName, std::string* error) {
  std::string reason;
  std::string* out = error ? error : &reason;
  const std::string path = servicePath(serviceName);
  if (path.empty()) {
    *out = "bad service name: " + serviceName;
    return -1;
  }
  if (!prepareServiceFolder(std::filesystem::path(path).parent_path().string(), out)) return -1;
  return bindAt(path, out);
}

Listener::Listener(int fd, const Interface& exported, std::string path, bool ownsPath)
    : interface_(&exported), fd_(fd), path_(std::move(path)), ownsPath_(ownsPath) {
  struct stat st {};
  if (ownsPath_ && ::stat(path_.c_str(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
}

std::unique_ptr<Listener> Listener::forService(const std::string& serviceName, const Interface& exported,
                                               std::string* error) {
  std::string reason;
  if (auto fd = takeActivatedSocket(serviceName, &reason)) return adopt(*fd, exported);
  if (!reason.empty()) {
    if (error) *error = reason;
    return nullptr;
  }
  const std::string path = servicePath(serviceName);
  if (path.empty()) {
    if (error) *error = "bad service name: " + serviceName;
    return nullptr;
  }
  if (!prepareServiceFolder(std::filesystem::path(path).parent_path().string(), error ? error : &reason)) return nullptr;
  return atPath(path, exported, error);
}

std::unique_ptr<Listener> Listener::atPath(const std::string& socketPath, const Interface& exported,
                                           std::string* error) {
  std::string reason;
  int fd = bindAt(socketPath, &reason);
  if (fd < 0) {
    if (error) *error = reason;
    return nullptr;
  }
  return std::unique_ptr<Listener>(new Listener(fd, exported, socketPath, true));
}

std::unique_ptr<Listener> Listener::adopt(int fd, const Interface& exported) {
  sockaddr_un addr{};
  socklen_t len = sizeof addr;
  std::string path;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 && len > sizeof(sa_family_t) &&
      addr.sun_path[0] != '\0') {
    path.assign(addr.sun_path, strnlen(addr.sun_path, sizeof addr.sun_path));
  }
  // A long path was bound through a folder descriptor of another process:
  // its name says nothing here.
  if (path.rfind("/proc/self/fd/", 0) == 0) path.clear();
  return std::unique_ptr<Listener>(new Listener(fd, exported, path, false));
}

Listener::~Listener() { invalidate(); }

void Listener::setDelegate(Delegate delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void Listener::resume() {
  std::lock_guard lock(mutex_);
  if (acceptor_.joinable() || stopping_ || fd_ < 0) return;
  if (::pipe2(wakePipe_, O_CLOEXEC) != 0) return;
  acceptor_ = std::thread([this] { acceptLoop(); });
}

void Listener::invalidate() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (wakePipe_[1] >= 0) {
    char b = 1;
    (void)!::write(wakePipe_[1], &b, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  for (int& p : wakePipe_) {
    if (p >= 0) ::close(p);
    p = -1;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (ownsPath_) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) ::unlink(path_.c_str());
  }
  std::set<std::shared_ptr<Connection>> open;
  {
    std::lock_guard lock(connections_->mutex);
    open.swap(connections_->open);
  }
  for (const auto& c : open) c->invalidate();
  open.clear();
}

std::size_t Listener::connectionCount() const {
  std::lock_guard lock(connections_->mutex);
  return connections_->open.size();
}

void Listener::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    int rc = ::poll(fds, 2, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || fds[1].revents != 0) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) {
      serve(c);
      continue;
    }
    const int e = errno;
    if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
      // Out of descriptors or memory: give the system a moment.
      std::unique_lock lock(mutex_);
      if (wake_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stopping_; })) return;
    }
    // EINTR, ECONNABORTED and the like: the next poll tells.
  }
}

void Listener::serve(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
    // Another user's process: a per-user service is not theirs to reach.
    ::close(fd);
    return;
  }
  std::shared_ptr<Connection> connection;
  try {
    connection = Connection::accepted(fd, *interface_, cred.uid, cred.pid);
  } catch (const std::system_error&) {
    // No thread for its queue (the process's limit): this peer is let go,
    // the listener goes on and serves the next one.
    ::close(fd);
    return;
  }
  std::weak_ptr<Connections> registry = connections_;
  Connection* raw = connection.get();
  connection->setCloseHook([registry, raw] {
    auto r = registry.lock();
    if (!r) return;
    std::shared_ptr<Connection> last;
    {
      std::lock_guard lock(r->mutex);
      for (auto it = r->open.begin(); it != r->open.end(); ++it) {
        if (it->get() == raw) {
          last = *it;
          r->open.erase(it);
          break;
        }
      }
    }
  });
  {
    std::lock_guard lock(connections_->mutex);
    connections_->open.insert(connection);
  }
  Delegate delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_;
  }
  if (!delegate || !delegate(connection)) connection->invalidate();
}

}  // namespace platform::xpc
