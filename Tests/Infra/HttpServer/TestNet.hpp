#pragma once
// Small blocking client helpers for the server tests: raw TCP to 127.0.0.1,
// socket pairs, descriptor counts, the status reply and other programs' output.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace testnet {

// A connected client descriptor, or -1 (with errno) when refused.
inline int connectTo(std::uint16_t port, const char* address = "127.0.0.1") {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &to.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == -1) {
    int code = errno;
    ::close(fd);
    errno = code;
    return -1;
  }
  timeval limit{10, 0};  // no test may hang on a read
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

inline bool sendAll(int fd, const std::string& bytes) {
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    ssize_t sent = ::send(fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    offset += static_cast<std::size_t>(sent);
  }
  return true;
}

struct Reply {
  std::string bytes;
  bool closed = false;  // the server closed (end of stream), not reset or timed out
  int error = 0;
};

// Reads until the server closes the connection.
inline Reply readAll(int fd) {
  Reply reply;
  char chunk[4096];
  for (;;) {
    ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got > 0) {
      reply.bytes.append(chunk, static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0) {
      reply.closed = true;
    } else {
      reply.error = errno;
    }
    return reply;
  }
}

// One whole exchange: connect, send, read to the end.
inline std::optional<Reply> exchange(std::uint16_t port, const std::string& request) {
  int fd = connectTo(port);
  if (fd < 0) return std::nullopt;
  sendAll(fd, request);
  Reply reply = readAll(fd);
  ::close(fd);
  return reply;
}

struct ParsedReply {
  std::string statusLine;
  std::map<std::string, std::string> headers;  // names as sent
  std::size_t headerLines = 0;
  std::string body;
  bool wellFormed = false;
};

inline ParsedReply parseReply(const std::string& bytes) {
  ParsedReply parsed;
  auto end = bytes.find("\r\n\r\n");
  if (end == std::string::npos) return parsed;
  std::string head = bytes.substr(0, end + 2);
  parsed.body = bytes.substr(end + 4);
  std::size_t start = 0;
  for (std::size_t line = 0;; ++line) {
    auto crlf = head.find("\r\n", start);
    if (crlf == std::string::npos) break;
    std::string text = head.substr(start, crlf - start);
    start = crlf + 2;
    if (line == 0) {
      parsed.statusLine = text;
      continue;
    }
    auto colon = text.find(": ");
    if (colon == std::string::npos) return parsed;
    parsed.headers[text.substr(0, colon)] = text.substr(colon + 2);
    ++parsed.headerLines;
  }
  parsed.wellFormed = true;
  return parsed;
}

// The status reply, whether the server put it on the wire or respond() wrote
// it.
inline void expectStatusReply(const ParsedReply& parsed) {
  ASSERT_TRUE(parsed.wellFormed);
  EXPECT_EQ(parsed.statusLine, "HTTP/1.1 200 OK");
  const std::map<std::string, std::string> headers{{"Content-Length", "36"},
                                                   {"Server", ""},
                                                   {"Content-Type", "application/json"},
                                                   {"Access-Control-Allow-Origin", "*"}};
  EXPECT_EQ(parsed.headers, headers);
  EXPECT_EQ(parsed.headerLines, 4u);
  EXPECT_EQ(parsed.body, R"({"product":"KTZ","status":"running"})");
}

// What a shell command writes on its standard output (test-made commands
// only).
inline std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    ::pclose(pipe);
  }
  return out;
}

inline int openDescriptors(pid_t pid = 0) {
  std::string path = pid ? "/proc/" + std::to_string(pid) + "/fd" : "/proc/self/fd";
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return -1;
  int count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - (pid ? 0 : 1);  // our own listing's descriptor
}

// The server closes a connection just after its client did; the count is
// given a moment (up to 2 s) to come back to `expected`.
inline int settledDescriptors(int expected, pid_t pid = 0) {
  int count = openDescriptors(pid);
  for (int i = 0; i < 200 && count != expected; ++i) {
    ::usleep(10000);
    count = openDescriptors(pid);
  }
  return count;
}

}  // namespace testnet
