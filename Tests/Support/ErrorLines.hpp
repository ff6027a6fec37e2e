#pragma once
// The process's log file, kept in a folder of its own for the whole run, and
// the ERROR lines written to it since a mark.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Common/Logger/VornLogger.hpp"

namespace testlog {

inline VornLogger& logger() {
  static VornLogger& shared = [&]() -> VornLogger& {
    static std::string folder = [] {
      std::string tmpl = (std::filesystem::temp_directory_path() / "jorvu-xpclog-XXXXXX").string();
      return ::mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string();
    }();
    const char* old = std::getenv("HOME");
    const std::string saved = old ? old : "";
    ::setenv("HOME", folder.c_str(), 1);
    VornLogger& made = VornLogger::shared();
    if (old) ::setenv("HOME", saved.c_str(), 1);
    else ::unsetenv("HOME");
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(folder, ec);
    });
    return made;
  }();
  return shared;
}

class ErrorLines {
 public:
  ErrorLines() : start_(all().size()) {}
  // The messages of the ERROR lines since the mark.
  std::vector<std::string> since() const {
    std::vector<std::string> out;
    const auto lines = all();
    for (std::size_t i = start_; i < lines.size(); ++i) {
      const auto at = lines[i].find("[ERROR] ");
      if (lines[i].rfind("***", 0) == 0 && at != std::string::npos) out.push_back(lines[i].substr(at + 8));
    }
    return out;
  }

 private:
  static std::vector<std::string> all() {
    logger().waitIdle();
    std::ifstream in(logger().filePath());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::size_t start_;
};

}  // namespace testlog
