#pragma once
// Shared pieces of the engine tests: a static file server on 127.0.0.1, the
// engine's log text, and small file helpers.
#include <httplib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace enginetest {

// Serves the files of a folder over HTTP on 127.0.0.1 (a free port). Extra
// routes can answer before the folder does.
class FileServer {
 public:
  explicit FileServer(const std::string& folder);
  ~FileServer();
  FileServer(const FileServer&) = delete;
  FileServer& operator=(const FileServer&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  httplib::Server& server() { return server_; }
  // Number of requests answered so far for a path.
  int hits(const std::string& path);
  // Number of client connections that carried requests so far.
  std::size_t connections();

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, int> hits_;
  std::set<std::string> peers_;  // address and port of each connection
};

// Everything the process logger has written so far (waits for its queue).
std::string logText();
// How often `needle` occurs in the log text.
int logCount(const std::string& needle);

// A port on 127.0.0.1 that nothing listens on.
int closedPort();

std::string repeatBytes(std::size_t size, std::uint32_t seed);

}  // namespace enginetest
