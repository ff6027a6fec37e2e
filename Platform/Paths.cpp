#include "Platform/Paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

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

}  // namespace platform
