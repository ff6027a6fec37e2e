#include "Tests/Support/TempRoot.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

TempRoot::TempRoot() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "jorvu-test-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
  std::filesystem::create_directories(home());
  if (const char* r = std::getenv("JORVU_ROOT")) {
    hadRoot_ = true;
    oldRoot_ = r;
  }
  if (const char* h = std::getenv("HOME")) {
    hadHome_ = true;
    oldHome_ = h;
  }
  if (const char* r = std::getenv("XDG_RUNTIME_DIR")) {
    hadRuntime_ = true;
    oldRuntime_ = r;
  }
  ::setenv("JORVU_ROOT", path_.c_str(), 1);
  ::setenv("HOME", home().c_str(), 1);
  ::unsetenv("XDG_RUNTIME_DIR");
}

TempRoot::~TempRoot() {
  if (hadRoot_) ::setenv("JORVU_ROOT", oldRoot_.c_str(), 1);
  else ::unsetenv("JORVU_ROOT");
  if (hadHome_) ::setenv("HOME", oldHome_.c_str(), 1);
  else ::unsetenv("HOME");
  if (hadRuntime_) ::setenv("XDG_RUNTIME_DIR", oldRuntime_.c_str(), 1);
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string readFileOrEmpty(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string binDir() {
  if (const char* d = std::getenv("JORVU_BIN_DIR")) return d;
  return "build/bin";
}

}  // namespace testsupport
