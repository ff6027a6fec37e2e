#include "JorvuVornHelper/GameManager/GameWorker/FolderPermission.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

namespace FolderPermission {

mode_t processUmask() {
  // "Umask:\t0022", one line of the kernel's status record of this process.
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) != 0) continue;
    unsigned value = 0;
    if (std::sscanf(line.c_str() + 6, "%o", &value) != 1 || value > 0777) return kUnknownUmask;
    return static_cast<mode_t>(value);
  }
  return kUnknownUmask;
}

mode_t modeFor(mode_t umask) { return 0700 | (0055 & ~umask); }

std::string modeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::vector<std::string> arguments(const std::string& folder, mode_t umask) {
  return {"-R", modeText(modeFor(umask)), "--", folder};
}

bool isRealFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace FolderPermission
