#include "Platform/XPC/UnixAddress.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace platform::xpc {

UnixAddress::UnixAddress(const std::string& path) {
  addr_.sun_family = AF_UNIX;
  if (path.empty() || path.find('\0') != std::string::npos) return;
  if (path.size() < sizeof addr_.sun_path) {
    valid_ = set(path);
    return;
  }
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return;
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  folderFD_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folderFD_ < 0) return;
  valid_ = set("/proc/self/fd/" + std::to_string(folderFD_) + path.substr(slash));
}

UnixAddress::~UnixAddress() {
  if (folderFD_ >= 0) ::close(folderFD_);
}

bool UnixAddress::set(const std::string& path) {
  if (path.size() >= sizeof addr_.sun_path) return false;
  std::memcpy(addr_.sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace platform::xpc
