#include "Tests/Support/FreePorts.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

namespace {

// A TCP socket bound to `port` on 127.0.0.1 (0: the kernel picks one), and
// the port it holds; -1 when it cannot be bound.
int bindLoopback(std::uint16_t port, std::uint16_t& bound) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  bound = ntohs(address.sin_port);
  return fd;
}

}  // namespace

bool portIsFree(std::uint16_t port) {
  std::uint16_t bound = 0;
  const int fd = bindLoopback(port, bound);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::vector<std::uint16_t> freePorts(std::size_t count) {
  // Every socket is held until all are picked: the kernel gives each a port
  // of its own.
  std::vector<int> held;
  std::vector<std::uint16_t> ports;
  for (int attempt = 0; ports.size() < count && attempt < 100; ++attempt) {
    std::uint16_t port = 0;
    const int fd = bindLoopback(0, port);
    if (fd < 0) {
      ADD_FAILURE() << "cannot bind a port on 127.0.0.1: " << std::strerror(errno);
      break;
    }
    held.push_back(fd);
    if (port >= 1024) ports.push_back(port);
  }
  for (int fd : held) ::close(fd);
  if (ports.size() < count) {
    ADD_FAILURE() << "the kernel gave only " << ports.size() << " of " << count << " free ports";
    ports.clear();
  }
  return ports;
}

std::uint16_t freePort() {
  const std::vector<std::uint16_t> ports = freePorts(1);
  return ports.empty() ? 0 : ports.front();
}

HeldPort::HeldPort(std::uint16_t port) {
  std::uint16_t bound = 0;
  fd_ = bindLoopback(port, bound);
  if (fd_ >= 0 && ::listen(fd_, 16) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

HeldPort::~HeldPort() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::uint32_t> firstFreeCode(std::uint32_t from, std::uint32_t to,
                                           const std::function<std::uint16_t(std::uint32_t)>& portOf) {
  for (std::uint32_t code = from; code < to; ++code) {
    if (portIsFree(portOf(code))) return code;
  }
  return std::nullopt;
}

}  // namespace testsupport
