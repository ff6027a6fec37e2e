#include "Platform/Paths.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace platform {

std::string rootPrefix() {
  const char* root = std::getenv("JORVU_ROOT");
  if (root == nullptr) return {};
  std::string prefix(root);
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix == "/") return {};
  return prefix;
}

std::string resolvePath(std::string_view absolutePath) {
  std::string path(absolutePath);
  if (path.empty() || path.front() != '/') return path;
  std::string prefix = rootPrefix();
  if (prefix.empty()) return path;
  // Already inside the root: leave it alone, so resolving twice is harmless.
  if (path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
      (path.size() == prefix.size() || path[prefix.size()] == '/')) {
    return path;
  }
  return prefix + path;
}

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return "/";
}

std::string logDirectory() {
  std::string home = homeDirectory();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/") home.clear();
  return resolvePath(home + "/Library/Logs/JorvuLauncher");
}

namespace {

// XDG_RUNTIME_DIR when it names an absolute path; a relative one is ignored,
// as the XDG base directory rules ask.
std::string sessionRuntimeDirectory() {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  if (value == nullptr || value[0] != '/') return {};
  std::string folder(value);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string errnoText(const std::string& what, int e) { return what + ": " + std::strerror(e); }

}  // namespace

std::string runtimeDirectory() {
  if (std::string session = sessionRuntimeDirectory(); !session.empty()) {
    return session == "/" ? "/jorvu" : session + "/jorvu";
  }
  return resolvePath("/var/run/jorvu/" + std::to_string(::geteuid()));
}

bool preparePrivateFolder(const std::string& folder, std::string* error) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = errnoText("cannot make " + folder, errno);
    return false;
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    *error = errnoText("cannot read " + folder, errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    *error = folder + " is not a folder of this user";
    return false;
  }
  if ((st.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    *error = errnoText("cannot set the mode of " + folder, errno);
    return false;
  }
  return true;
}

bool prepareRuntimeDirectory(std::string* error) {
  const std::string folder = runtimeDirectory();
  if (sessionRuntimeDirectory().empty()) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(folder).parent_path(), ec);
  }
  return preparePrivateFolder(folder, error);
}

}  // namespace platform
