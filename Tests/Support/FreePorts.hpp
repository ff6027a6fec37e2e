#pragma once
// TCP ports on 127.0.0.1 that are free when a test starts, so that two
// suites on one machine, or any other program that listens there, do not
// take a test's port. A server the test makes itself should listen on port 0
// and read its port back; these are for servers whose port is set for them,
// such as the status port that the app opens for a game code
// (HttpServer::port: the code itself from 1024 to 65535).
//
// A port found free may still be taken by another program before the test
// listens on it; the kernel picks them from its ephemeral range, at random,
// which keeps that unlikely.
//
// Thread contract: any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace testsupport {

// Whether nothing listens on (or holds) `port` on 127.0.0.1 now.
bool portIsFree(std::uint16_t port);

// `count` different ports that the kernel picked as free, each 1024 or
// above; empty, with a test failure, when none can be had.
std::vector<std::uint16_t> freePorts(std::size_t count);

// One such port; 0, with a test failure, when there is none.
std::uint16_t freePort();

// Game codes whose status ports are free: ports from freePorts(), each its
// own code; zeros when there are none.
template <std::size_t N>
std::array<std::uint32_t, N> freeGameCodes() {
  std::array<std::uint32_t, N> codes{};
  const std::vector<std::uint16_t> ports = freePorts(N);
  for (std::size_t i = 0; i < ports.size(); ++i) codes[i] = ports[i];
  return codes;
}
inline std::uint32_t freeGameCode() { return freeGameCodes<1>()[0]; }

// A port on 127.0.0.1 held by someone else, as another program would hold a
// game's status port: bound and listening from construction to destruction.
class HeldPort {
 public:
  explicit HeldPort(std::uint16_t port);
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  // Whether the port is held (it could be bound and listened on).
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The first code from `from` up to `to` (left out) whose port, as `portOf`
// gives it, is free: for a code of a given kind, such as one whose port the
// rule moves; nothing when every one is taken.
std::optional<std::uint32_t> firstFreeCode(std::uint32_t from, std::uint32_t to,
                                           const std::function<std::uint16_t(std::uint32_t)>& portOf);

}  // namespace testsupport
