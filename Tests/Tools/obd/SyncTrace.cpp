// The system-call trace of jorvu-obd-trace. These definitions take the place
// of the C library's for the engine's own calls: each makes the real call
// and appends one line to the file that JORVU_SYNC_TRACE names, so that a
// test can tell from the order of the lines whether every file that a saved
// local manifest records was on the disk before the save:
//
//   renameat OLD NEW      a file renamed (each name the last component)
//   syncfs NAME FD        the file system synced through descriptor FD, of
//                         the file or folder NAME (its last component)
//   fsync NAME            one file synced (fdatasync likewise); NAME is the
//                         last component of its path
//   save N                the local manifest saved: the file renamed into
//                         place was copied to TRACE.N first
//
// The fields are separated by a tab (names may hold blanks).
//
// With JORVU_SYNC_FAIL=syncfs, every syncfs fails with EIO (and is traced
// as "syncfs-failed NAME FD").
// One lock is held across each call and its line, so that the lines follow
// the order in which the calls took effect.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex gTraceLock;
int gSaves = 0;

template <typename Function>
Function* Real(const char* name) {
  return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

const char* TracePath() { return std::getenv("JORVU_SYNC_TRACE"); }

std::string LastComponent(const char* path) {
  if (path == nullptr) return {};
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

std::string NameOfFd(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char path[4096];
  const ssize_t n = ::readlink(link, path, sizeof path - 1);
  if (n < 0) return "?";
  path[n] = '\0';
  return LastComponent(path);
}

// Under gTraceLock.
void Append(const std::string& line) {
  const char* trace = TracePath();
  if (trace == nullptr) return;
  const int fd = ::open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
  ::close(fd);
}

// Under gTraceLock: copies the file at `from` to TRACE.N.
bool CopyForSave(const char* from, int number) {
  const char* trace = TracePath();
  if (trace == nullptr) return false;
  const int in = ::open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const std::string copy = std::string(trace) + "." + std::to_string(number);
  const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = out >= 0;
  char buffer[65536];
  for (ssize_t n; ok && (n = ::read(in, buffer, sizeof buffer)) > 0;) ok = ::write(out, buffer, n) == n;
  ::close(in);
  if (out >= 0) ::close(out);
  return ok;
}

}  // namespace

extern "C" int renameat(int oldFolder, const char* oldPath, int newFolder, const char* newPath) {
  static auto* const real = Real<int(int, const char*, int, const char*)>("renameat");
  std::lock_guard lock(gTraceLock);
  const int result = real(oldFolder, oldPath, newFolder, newPath);
  if (result == 0) Append("renameat\t" + LastComponent(oldPath) + "\t" + LastComponent(newPath));
  return result;
}

extern "C" int rename(const char* oldPath, const char* newPath) {
  static auto* const real = Real<int(const char*, const char*)>("rename");
  std::lock_guard lock(gTraceLock);
  const bool save = LastComponent(newPath).starts_with("obd-manifest-") && CopyForSave(oldPath, gSaves);
  const int result = real(oldPath, newPath);
  if (result == 0 && save) Append("save\t" + std::to_string(gSaves++));
  if (result == 0 && !save) Append("renameat\t" + LastComponent(oldPath) + "\t" + LastComponent(newPath));
  return result;
}

namespace {

// A sync call on `fd` and its line: the call's name and the file's name,
// and the descriptor's number when the whole file system was synced.
int TracedSync(int (*real)(int), const char* call, int fd, bool wholeFileSystem) {
  std::lock_guard lock(gTraceLock);
  const int result = real(fd);
  if (result == 0) {
    Append(std::string(call) + "\t" + NameOfFd(fd) + (wholeFileSystem ? "\t" + std::to_string(fd) : ""));
  }
  return result;
}

}  // namespace

extern "C" int syncfs(int fd) {
  static auto* const real = Real<int(int)>("syncfs");
  const char* fail = std::getenv("JORVU_SYNC_FAIL");
  if (fail != nullptr && std::strcmp(fail, "syncfs") == 0) {
    std::lock_guard lock(gTraceLock);
    Append("syncfs-failed\t" + NameOfFd(fd) + "\t" + std::to_string(fd));
    errno = EIO;
    return -1;
  }
  return TracedSync(real, "syncfs", fd, true);
}

extern "C" int fsync(int fd) {
  static auto* const real = Real<int(int)>("fsync");
  return TracedSync(real, "fsync", fd, false);
}

extern "C" int fdatasync(int fd) {
  static auto* const real = Real<int(int)>("fdatasync");
  return TracedSync(real, "fdatasync", fd, false);
}
