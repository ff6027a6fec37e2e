#pragma once
// Plain Unix stream sockets for tests that play a peer or a launchd
// stand-in: a listening socket at a path, and a raw connection to one.
// Header only; the test links jorvu_xpc.
//
// Thread contract: any thread.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "Platform/XPC/UnixAddress.hpp"

namespace testsupport {

// A socket bound and listening at `path` (its folder must exist); -1 when it
// cannot be.
inline int listenAt(const std::string& path) {
  const platform::xpc::UnixAddress addr(path);
  if (!addr.valid()) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(fd, addr.get(), addr.size()) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A connection to the socket at `path` whose reads give up after ten
// seconds; -1 when nobody accepts there.
inline int connectTo(const std::string& path) {
  const platform::xpc::UnixAddress addr(path);
  if (!addr.valid()) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, addr.get(), addr.size()) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

}  // namespace testsupport
