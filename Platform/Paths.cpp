#include "Platform/Paths.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

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

std::string errnoText(const std::string& what, int e) { return what + ": " + std::strerror(e); }

bool fail(std::string* error, int* cause, std::string text, int e) {
  *error = std::move(text);
  if (cause != nullptr) *cause = e;
  return false;
}

}  // namespace

std::string runtimeDirectory() { return resolvePath("/var/run/jorvu/" + std::to_string(::geteuid())); }

bool preparePrivateFolder(const std::string& folder, std::string* error, int* cause) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return fail(error, cause, errnoText("cannot make " + folder, errno), errno);
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return fail(error, cause, errnoText("cannot read " + folder, errno), errno);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return fail(error, cause, folder + " is not a folder of this user", S_ISDIR(st.st_mode) ? EPERM : ENOTDIR);
  }
  if ((st.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    return fail(error, cause, errnoText("cannot set the mode of " + folder, errno), errno);
  }
  return true;
}

bool preparePrivateFolderTree(const std::string& folder, std::string* error, int* cause) {
  // What stops the folders above from being made (a data folder this user
  // cannot write) is what the user needs to hear, not that the folder's
  // parent is missing.
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path(), ec);
  if (ec) return fail(error, cause, "cannot make " + folder + ": " + std::strerror(ec.value()), ec.value());
  return preparePrivateFolder(folder, error, cause);
}

bool prepareRuntimeDirectory(std::string* error, int* cause) {
  return preparePrivateFolderTree(runtimeDirectory(), error, cause);
}

}  // namespace platform
