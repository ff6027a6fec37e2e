#pragma once
// Shared by the tests that send HTTP requests: libcurl's global set-up before
// any thread, the process's log file kept in a folder that outlives every
// TempRoot, and reading back the lines written since a mark.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Common/Logger/VornLogger.hpp"
#include "Infra/HttpClient/HTTPClient.hpp"

namespace testnet {

// Call from a static initializer (before main and before any thread); the
// work is done once per process.
inline bool setUpProcess() {
  static const bool ready = [] {
    httpGlobalInit();
    std::string tmpl = (std::filesystem::temp_directory_path() / "jorvu-testlog-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return false;
    static std::string home = tmpl;
    const char* old = std::getenv("HOME");
    std::string saved = old ? old : "";
    ::setenv("HOME", home.c_str(), 1);
    VornLogger::shared();  // its folder is fixed from now on
    if (old) ::setenv("HOME", saved.c_str(), 1);
    else ::unsetenv("HOME");
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(home, ec);
    });
    return true;
  }();
  return ready;
}

inline std::vector<std::string> logLines() {
  VornLogger::shared().waitIdle();
  std::ifstream in(VornLogger::shared().filePath());
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// The log lines written after the mark was made.
class LogMark {
 public:
  LogMark() : start_(logLines().size()) {}
  std::vector<std::string> since() const {
    auto all = logLines();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(start_, all.size())), all.end());
  }
  // ERROR lines since the mark whose message starts with `prefix`.
  std::vector<std::string> errors(const std::string& prefix = "") const {
    std::vector<std::string> out;
    for (const auto& l : since()) {
      if (l.rfind("***", 0) != 0) continue;
      auto at = l.find("[ERROR] ");
      if (at != std::string::npos && l.compare(at + 8, prefix.size(), prefix) == 0) out.push_back(l.substr(at + 8));
    }
    return out;
  }

 private:
  std::size_t start_;
};

// A port on 127.0.0.1 that nothing listens on.
inline int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace testnet
