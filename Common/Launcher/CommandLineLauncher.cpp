#include "Common/Launcher/CommandLineLauncher.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "Common/Logger/VornLogger.hpp"
#include "Platform/Utf8.hpp"

extern char** environ;

namespace CommandLineLauncher {
namespace {

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

void closeQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

std::string decodeUTF8(const std::string& bytes) { return platform::repairedUTF8(bytes); }

Result runCommand(const std::string& filePath, const std::vector<std::string>& arguments, bool isWait) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(filePath.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (isWait && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw LaunchError(std::string("pipe: ") + std::strerror(errno), errno);
  }

  FileActions fa;
  posix_spawn_file_actions_addopen(&fa.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (isWait) {
    posix_spawn_file_actions_adddup2(&fa.actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa.actions, pipeFds[1], STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&fa.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa.actions, STDOUT_FILENO, STDERR_FILENO);
  }
  // Nothing else the parent holds (sockets, listening ports, pipes) reaches the child.
  posix_spawn_file_actions_addclosefrom_np(&fa.actions, STDERR_FILENO + 1);

  SpawnAttributes sa;
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&sa.attributes, &all);
  posix_spawnattr_setsigmask(&sa.attributes, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (!isWait) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&sa.attributes, flags);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, filePath.c_str(), &fa.actions, &sa.attributes, argv.data(), environ);
  closeQuietly(pipeFds[1]);
  if (rc != 0) {
    closeQuietly(pipeFds[0]);
    throw LaunchError("The file \"" + filePath + "\" couldn't be started: " + std::strerror(rc), rc);
  }

  if (!isWait) {
    // Reap the child when it ends, so no zombie is left behind.
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    return Result{0, std::nullopt, pid};
  }

  // Read until the pipe ends or the program has exited (a grandchild that
  // keeps the pipe open must not hold us), then decode once: a character
  // split across two reads stays whole.
  std::string raw;
  char buf[65536];
  int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  bool exited = false;
  for (;;) {
    pollfd fds[2] = {{pipeFds[0], POLLIN, 0}, {pidFd, POLLIN, 0}};
    int ready = ::poll(fds, pidFd >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (pidFd >= 0 && (fds[1].revents & POLLIN)) {
      exited = true;
      break;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      raw.append(buf, static_cast<std::size_t>(n));
    }
  }
  if (exited) {
    // What the program wrote before it ended is already in the pipe.
    ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);
    for (;;) {
      ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      raw.append(buf, static_cast<std::size_t>(n));
    }
  }
  closeQuietly(pidFd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (::close(pipeFds[0]) != 0) throw LaunchError(std::string("close: ") + std::strerror(errno), errno);

  std::int32_t code = 0;
  if (WIFEXITED(status)) code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) code = 128 + WTERMSIG(status);
  logDebug("filePath=" + filePath + ", retCode=" + std::to_string(code));
  return Result{code, decodeUTF8(raw), pid};
}

}  // namespace CommandLineLauncher
