#include "Tests/Support/Processes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

std::vector<std::string> childEnvironment(const Environment& env) {
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name.starts_with("LISTEN_") || env.count(name) > 0) continue;
    vars.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (!value.empty()) vars.push_back(name + "=" + value);
  }
  return vars;
}

std::vector<char*> execPointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds limit) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return std::nullopt;
  pollfd p{pidfd, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(limit.count()));
  ::close(pidfd);
  if (ready != 1) return std::nullopt;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return std::nullopt;
  return status;
}

int runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  const auto status = waitExit(pid, limit);
  if (!status) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

void writeDecimal(char* out, long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
}

}  // namespace testsupport
