// Stop points of jorvu-obd-stops. These definitions take the place of the C
// library's for the engine's own calls: each makes the real call and then,
// when JORVU_STOP_AFTER names the call and the file it made, stops the whole
// process (SIGSTOP), so that a test can kill it at exactly that moment.
//
//   JORVU_STOP_AFTER="renameat NAME"   after a file is renamed to NAME by
//                                      renameat() (the game's files)
//   JORVU_STOP_AFTER="rename NAME"     after a file is renamed to NAME by
//                                      rename() (the local manifest's save)
//   JORVU_STOP_AFTER="openat NAME"     after NAME is created or truncated
//   JORVU_STOP_AFTER="unlink NAME"     after NAME is removed
//   JORVU_STOP_AFTER="remove NAME"     after NAME is removed by remove() (as
//                                      std::filesystem::remove_all does)
//   JORVU_STOP_AFTER="mkostemp PREFIX" after a temporary file whose name
//                                      starts with PREFIX is made
// NAME is the last component of the path.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void StopAfter(std::string_view call, const char* path, bool prefix) {
  const char* wanted = std::getenv("JORVU_STOP_AFTER");
  if (wanted == nullptr || path == nullptr) return;
  const std::string_view text(wanted);
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos || text.substr(0, space) != call) return;
  const std::string_view name = text.substr(space + 1);
  const char* slash = std::strrchr(path, '/');
  const std::string_view made(slash == nullptr ? path : slash + 1);
  if (prefix ? made.starts_with(name) : made == name) ::raise(SIGSTOP);
}

template <typename Function>
Function* Real(const char* name) {
  return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int renameat(int oldFolder, const char* oldPath, int newFolder, const char* newPath) {
  static auto* const real = Real<int(int, const char*, int, const char*)>("renameat");
  const int result = real(oldFolder, oldPath, newFolder, newPath);
  if (result == 0) StopAfter("renameat", newPath, false);
  return result;
}

extern "C" int rename(const char* oldPath, const char* newPath) noexcept {
  static auto* const real = Real<int(const char*, const char*)>("rename");
  const int result = real(oldPath, newPath);
  if (result == 0) StopAfter("rename", newPath, false);
  return result;
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
  static auto* const real = Real<int(int, const char*, int, ...)>("openat");
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, unsigned int));
    va_end(args);
  }
  const int fd = real(folder, path, flags, mode);
  if (fd >= 0 && (flags & (O_CREAT | O_TRUNC)) != 0) StopAfter("openat", path, false);
  return fd;
}

extern "C" int unlink(const char* path) {
  static auto* const real = Real<int(const char*)>("unlink");
  const int result = real(path);
  if (result == 0) StopAfter("unlink", path, false);
  return result;
}

extern "C" int mkostemp(char* pattern, int flags) {
  static auto* const real = Real<int(char*, int)>("mkostemp");
  const int fd = real(pattern, flags);
  if (fd >= 0) StopAfter("mkostemp", pattern, true);
  return fd;
}

extern "C" int remove(const char* path) noexcept {
  static auto* const real = Real<int(const char*)>("remove");
  const int result = real(path);
  if (result == 0) StopAfter("remove", path, false);
  return result;
}
