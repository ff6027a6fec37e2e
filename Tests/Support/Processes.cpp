#include "Tests/Support/Processes.hpp"

#include <poll.h>
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
