#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "Infra/HttpServer/Socket.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "TestNet.hpp"

using httpserver::Socket;
using httpserver::SocketError;
using httpserver::SocketState;

namespace {

// A Socket over one end of a stream pair; the other end is `peer`.
struct Pair {
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    socket = std::make_unique<Socket>(fds[0]);
    peer = fds[1];
  }
  ~Pair() {
    if (peer >= 0) ::close(peer);
  }
  void send(const std::string& bytes, bool thenClose) {
    ASSERT_TRUE(testnet::sendAll(peer, bytes));
    if (thenClose) {
      ::close(peer);
      peer = -1;
    }
  }
  std::unique_ptr<Socket> socket;
  int peer;
};

SocketError::Kind failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const SocketError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "no SocketError";
  return SocketError::Kind::convertingPeerNameFailure;
}

bool isCloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

}  // namespace

TEST(SocketTest, ListenFailuresCloseTheirDescriptor) {
  int before = testnet::openDescriptors();
  EXPECT_EQ(failureOf([] { Socket::createSocketForListen("localhost", 0); }),
            SocketError::Kind::convertStringToCStringFailure);
  EXPECT_EQ(testnet::openDescriptors(), before);

  auto first = Socket::createSocketForListen("127.0.0.1", 0);
  EXPECT_EQ(first->state(), SocketState::listening);
  before = testnet::openDescriptors();
  try {
    Socket::createSocketForListen("127.0.0.1", first->port());
    FAIL() << "second bind succeeded";
  } catch (const SocketError& error) {
    EXPECT_EQ(error.kind(), SocketError::Kind::bindFailure);
    EXPECT_EQ(error.text().rfind("(" + std::to_string(EADDRINUSE) + ") ", 0), 0u) << error.text();
  }
  EXPECT_EQ(testnet::openDescriptors(), before);
}

TEST(SocketTest, DescriptorsAreCloseOnExec) {
  auto listener = Socket::createSocketForListen("127.0.0.1", 0);
  EXPECT_TRUE(isCloseOnExec(listener->socketFileDescriptor()));
  int client = testnet::connectTo(listener->port());
  ASSERT_GE(client, 0);
  auto accepted = listener->acceptClientSocket();
  EXPECT_TRUE(isCloseOnExec(accepted->socketFileDescriptor()));
  EXPECT_EQ(accepted->state(), SocketState::stopped);
  EXPECT_EQ(accepted->peername(), "127.0.0.1");
  ::close(client);
}

TEST(SocketTest, ReadLineRule) {
  struct Case {
    std::string sent;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"GET /status HTTP/1.1\r\n", {"GET /status HTTP/1.1"}},
      {"only feed\n\r\n", {"only feed", ""}},
      {"a\tb\x01" "c\r\n", {"abc"}},
      {"caf\xE9\n", {"caf\xC3\xA9"}},  // a byte above 127 is the Latin-1 character
  };
  for (const auto& c : cases) {
    Pair pair;
    pair.send(c.sent, true);
    for (const auto& line : c.lines) EXPECT_EQ(pair.socket->readLine(), line);
    EXPECT_EQ(failureOf([&] { pair.socket->readLine(); }), SocketError::Kind::recvFailure);
  }
}

TEST(SocketTest, ReadLineBoundAndDeadline) {
  Pair pair;
  pair.send(std::string(100, 'x') + "\n", false);
  try {
    pair.socket->readLine(64);
    FAIL();
  } catch (const SocketError& error) {
    EXPECT_EQ(error.kind(), SocketError::Kind::recvFailure);
    EXPECT_EQ(error.code(), EMSGSIZE);
  }

  Pair silent;
  auto begin = Socket::Clock::now();
  silent.socket->setDeadline(begin + std::chrono::milliseconds(150));
  try {
    silent.socket->readLine();
    FAIL();
  } catch (const SocketError& error) {
    EXPECT_EQ(error.code(), ETIMEDOUT);
  }
  auto took = Socket::Clock::now() - begin;
  EXPECT_GE(took, std::chrono::milliseconds(140));
  EXPECT_LT(took, std::chrono::seconds(2));
}

TEST(SocketTest, ReadCountsBytes) {
  Pair pair;
  EXPECT_TRUE(pair.socket->read(0).empty());
  EXPECT_TRUE(pair.socket->read(-3).empty());
  std::string big(5000, 'b');
  pair.send("line\n" + big + "abc", true);
  EXPECT_EQ(pair.socket->readLine(), "line");
  auto bytes = pair.socket->read(5000);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), big);
  EXPECT_EQ(failureOf([&] { pair.socket->read(4); }), SocketError::Kind::recvFailure);
}

TEST(SocketTest, WritesAreCompleteAndBounded) {
  Socket closed(-1);
  closed.writeUTF8("");  // nothing to write: no system call, no failure
  closed.writeUInt8({});

  Pair pair;
  std::string big(3 << 20, 'w');
  std::string got;
  std::thread reader([&] {
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(pair.peer, chunk, sizeof chunk)) > 0) got.append(chunk, static_cast<std::size_t>(n));
  });
  pair.socket->writeUTF8(big);
  pair.socket->close();
  reader.join();
  EXPECT_EQ(got.size(), big.size());

  // A peer that reads nothing: the write gives up at the deadline.
  Pair stalled;
  stalled.socket->setDeadline(Socket::Clock::now() + std::chrono::milliseconds(150));
  try {
    stalled.socket->writeUTF8(std::string(8 << 20, 's'));
    FAIL();
  } catch (const SocketError& error) {
    EXPECT_EQ(error.kind(), SocketError::Kind::writeFailure);
    EXPECT_EQ(error.code(), ETIMEDOUT);
  }
  // A peer that is gone: an error, not a SIGPIPE.
  Pair gone;
  ::close(gone.peer);
  gone.peer = -1;
  EXPECT_EQ(failureOf([&] { gone.socket->writeUTF8("x"); }), SocketError::Kind::writeFailure);
}

TEST(SocketTest, WriteFileSendsTheWholeFile) {
  testsupport::TempRoot root;
  std::string content;
  for (int i = 0; content.size() < (5u << 20); ++i) content += std::to_string(i) + ",";
  testsupport::writeFile(root / "/file.bin", content);

  auto listener = Socket::createSocketForListen("127.0.0.1", 0);
  int client = testnet::connectTo(listener->port());
  auto accepted = listener->acceptClientSocket();
  std::string got;
  std::thread reader([&] { got = testnet::readAll(client).bytes; });
  auto file = httpserver::String::File::openForReading(root / "/file.bin");
  accepted->writeFile(file);
  accepted->close();
  reader.join();
  ::close(client);
  EXPECT_EQ(got.size(), content.size());
  EXPECT_TRUE(got == content);
  EXPECT_THROW(httpserver::String::File::openForReading(root / "/missing"), httpserver::String::FileError);
}

TEST(SocketTest, CloseFromAnotherThreadWakesABlockedAccept) {
  auto listener = Socket::createSocketForListen("127.0.0.1", 0);
  std::uint16_t port = listener->port();
  std::atomic<pid_t> tid{0};
  std::optional<SocketError::Kind> failure;
  std::thread accepter([&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    try {
      listener->acceptClientSocket();
    } catch (const SocketError& error) {
      failure = error.kind();
    }
  });
  // Give the thread the chance to block in accept (seen in its wait channel).
  for (int i = 0; i < 2000; ++i) {
    if (tid) {
      std::ifstream wchan("/proc/self/task/" + std::to_string(tid) + "/wchan");
      std::string where;
      wchan >> where;
      if (where.find("accept") != std::string::npos) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  listener->close();  // returns once the accepting thread let go of the descriptor
  accepter.join();
  EXPECT_EQ(failure, SocketError::Kind::acceptFailure);
  EXPECT_EQ(listener->socketFileDescriptor(), -1);
  EXPECT_EQ(listener->state(), SocketState::stopped);
  EXPECT_EQ(testnet::connectTo(port), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  listener->close();  // twice is harmless
}
