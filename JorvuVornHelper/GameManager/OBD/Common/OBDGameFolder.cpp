#include "JorvuVornHelper/GameManager/OBD/Common/OBDGameFolder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Where an open file or folder really is, from the kernel's own record of
// it; empty when that cannot be read.
std::string RealPathOf(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string out(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(link.c_str(), out.data(), out.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < out.size()) {
      out.resize(static_cast<std::size_t>(n));
      return out;
    }
    out.resize(out.size() * 2);
  }
}

}  // namespace

OBDFd::~OBDFd() {
  if (fd_ >= 0) ::close(fd_);
}

OBDFd& OBDFd::operator=(OBDFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

OBDGameFolder::OBDGameFolder(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  rootFd_ = OBDFd(::open(root_.c_str(), kFolderFlags));
  if (!rootFd_.ok()) {
    openError_ = errno;
    return;
  }
  realRoot_ = RealPathOf(rootFd_.get());
  if (realRoot_.empty() || realRoot_.front() != '/') {
    openError_ = EXDEV;
    rootFd_ = OBDFd();
  }
}

bool OBDGameFolder::IsInside(int folderFd) const {
  if (realRoot_.empty()) return false;
  const std::string real = RealPathOf(folderFd);
  if (real == realRoot_) return true;
  if (realRoot_ == "/") return !real.empty() && real.front() == '/';
  return real.size() > realRoot_.size() && real.compare(0, realRoot_.size(), realRoot_) == 0 &&
         real[realRoot_.size()] == '/';
}

OBDFd OBDGameFolder::Descend(int folder, const std::string& component, bool create) const {
  // A real folder below an inside folder is inside: no further check.
  OBDFd next(::openat(folder, component.c_str(), kFolderFlags | O_NOFOLLOW));
  if (!next.ok() && errno == ENOENT && create) {
    if (::mkdirat(folder, component.c_str(), 0755) != 0 && errno != EEXIST) return OBDFd();
    next = OBDFd(::openat(folder, component.c_str(), kFolderFlags | O_NOFOLLOW));
  }
  if (next.ok() || (errno != ELOOP && errno != ENOTDIR)) return next;

  // A link (or not a folder at all): followed, and then it must have led
  // to a place inside.
  next = OBDFd(::openat(folder, component.c_str(), kFolderFlags));
  if (!next.ok()) return next;
  if (!IsInside(next.get())) {
    errno = EXDEV;
    return OBDFd();
  }
  return next;
}

std::shared_ptr<OBDFd> OBDGameFolder::OpenFolderOf(const std::string& path, bool create, std::string& name) const {
  if (!rootFd_.ok()) {
    errno = openError_ != 0 ? openError_ : EBADF;
    return nullptr;
  }
  const std::string prefix = root_ == "/" ? root_ : root_ + "/";
  const std::size_t last = path.rfind('/');
  if (path.compare(0, prefix.size(), prefix) != 0 || last == std::string::npos || last + 1 < prefix.size() ||
      last + 1 == path.size()) {
    errno = EINVAL;
    return nullptr;
  }
  name = path.substr(last + 1);

  auto current = std::make_shared<OBDFd>(::openat(rootFd_.get(), ".", kFolderFlags));
  if (!current->ok()) return nullptr;
  std::size_t start = prefix.size();
  while (start < last + 1) {
    std::size_t end = path.find('/', start);
    const std::string component = path.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    OBDFd next = Descend(current->get(), component, create);
    if (!next.ok()) return nullptr;
    *current = std::move(next);
  }
  return current;
}

OBDSyncFolder::OBDSyncFolder(const std::string& folder)
    : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

bool OBDSyncFolder::Sync(int fallbackFd) {
  std::lock_guard lock(mutex_);
  if (error_ == 0 && ::syncfs(fd_.ok() ? fd_.get() : fallbackFd) != 0) error_ = errno != 0 ? errno : EIO;
  errno = error_;
  return error_ == 0;
}
