#include "Platform/launchctl/Launchctl.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>

#include "Platform/Paths.hpp"
#include "Platform/XPC/XPCListener.hpp"
#include "Platform/launchctl/LaunchJob.hpp"

extern char** environ;

namespace launchctl {
namespace {

// How long a job has to end after SIGTERM, and then after SIGKILL.
constexpr std::chrono::milliseconds stopGrace{3000};
constexpr std::chrono::milliseconds killGrace{5000};

constexpr int firstHandedFD = 3;

void say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

std::string errnoText(const std::string& what, int e) { return what + ": " + std::strerror(e); }

// The state folder's lock, held for a whole command so that two launchctl
// runs never load or unload at the same time.
class StateLock {
 public:
  StateLock() = default;
  ~StateLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

  bool acquire(std::string* error) {
    const std::filesystem::path folder = stateFolder();
    if (!platform::prepareRuntimeDirectory(error) || !platform::preparePrivateFolder(folder.string(), error)) {
      return false;
    }
    const std::string path = (folder / ".lock").string();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
      *error = errnoText("cannot open " + path, errno);
      return false;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        *error = errnoText("cannot lock " + path, errno);
        return false;
      }
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// Removes the socket files of a job that no longer runs. A socket that
// answers belongs to someone else by now and stays.
void removeSockets(const std::vector<std::string>& services) {
  for (const auto& name : services) {
    const std::string path = platform::xpc::servicePath(name);
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    if (!platform::xpc::isAnswering(path)) ::unlink(path.c_str());
  }
}

// Drops every record whose process has ended, with its sockets.
void cleanStale() {
  for (const auto& label : recordedLabels()) {
    auto record = readRecord(label);
    if (record && isRunning(*record)) continue;
    if (record) removeSockets(record->machServices);
    removeRecord(label);
  }
}

// Waits until the process behind `pidfd` has ended.
bool waitEnded(int pidfd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{pidfd, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

// SIGTERM, then SIGKILL when the job has not ended in time. The signals go
// through a process descriptor checked against the record, so a process
// that reused the pid is never hit.
bool stopJob(const JobRecord& record) {
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, record.pid, 0));
  if (pidfd < 0) return errno == ESRCH;
  bool ended = !isRunning(record);
  if (!ended) {
    ::syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0);
    ended = waitEnded(pidfd, stopGrace);
  }
  if (!ended) {
    ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    ended = waitEnded(pidfd, killGrace);
  }
  ::close(pidfd);
  return ended;
}

// Everything the child needs, prepared before fork: after fork it makes only
// async-signal-safe calls.
struct ChildPlan {
  const char* program = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* workingDirectory = nullptr;
  int devNull = -1;
  std::vector<int> sockets;  // to become 3, 4, ...
  int errorFD = -1;          // the write end of the exec report pipe
  char* pidDigits = nullptr;  // room after "LISTEN_PID=" (nullptr: no sockets)
  long maxFD = 1024;
};

void closeRange(unsigned first, unsigned last, long maxFD) {
  if (first > last) return;
  if (::syscall(SYS_close_range, first, last, 0) == 0) return;
  for (long fd = first; fd <= static_cast<long>(last) && fd < maxFD; ++fd) ::close(static_cast<int>(fd));
}

[[noreturn]] void childFailed(int errorFD) {
  int e = errno;
  ssize_t ignored = ::write(errorFD, &e, sizeof e);
  (void)ignored;
  ::_exit(127);
}

[[noreturn]] void runChild(const ChildPlan& plan) {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  ::sigemptyset(&defaults.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &defaults, nullptr);

  if (::setsid() < 0) childFailed(plan.errorFD);
  if (::chdir(plan.workingDirectory) != 0) childFailed(plan.errorFD);
  for (int fd = 0; fd <= 2; ++fd) {
    if (::dup2(plan.devNull, fd) < 0) childFailed(plan.errorFD);
  }
  const int count = static_cast<int>(plan.sockets.size());
  for (int i = 0; i < count; ++i) {
    if (::dup2(plan.sockets[static_cast<std::size_t>(i)], firstHandedFD + i) < 0) childFailed(plan.errorFD);
  }
  // Every other descriptor goes; the report pipe closes itself at exec.
  const unsigned keep = static_cast<unsigned>(plan.errorFD);
  closeRange(static_cast<unsigned>(firstHandedFD + count), keep - 1, plan.maxFD);
  closeRange(keep + 1, ~0U, plan.maxFD);

  if (plan.pidDigits != nullptr) {
    char digits[16];
    int n = 0;
    for (unsigned long v = static_cast<unsigned long>(::getpid()); v != 0 || n == 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
    for (int i = 0; i < n; ++i) plan.pidDigits[i] = digits[n - 1 - i];
    plan.pidDigits[n] = '\0';
  }
  ::execve(plan.program, plan.argv, plan.envp);
  childFailed(plan.errorFD);
}

// A descriptor moved to `minimum` or above (close-on-exec); the old one closed.
int moveAbove(int fd, int minimum) {
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, minimum);
  ::close(fd);
  return moved;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Starts the job in a session of its own with its sockets handed over.
std::optional<pid_t> startJob(const JobSpec& spec, const std::vector<int>& sockets, std::string* error) {
  std::set<std::string> overridden;
  for (const auto& [name, value] : spec.environment) overridden.insert(name);
  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (!startsWith(name, "LISTEN_") && overridden.count(name) == 0) environment.push_back(entry);
  }
  for (const auto& [name, value] : spec.environment) {
    if (!startsWith(name, "LISTEN_")) environment.push_back(name + "=" + value);
  }
  char pidVariable[32] = "LISTEN_PID=";
  if (!sockets.empty()) {
    environment.push_back("LISTEN_FDS=" + std::to_string(sockets.size()));
    std::string names;
    for (const auto& service : spec.machServices) names += (names.empty() ? "" : ":") + service;
    environment.push_back("LISTEN_FDNAMES=" + names);
  }
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  if (!sockets.empty()) envp.push_back(pidVariable);
  envp.push_back(nullptr);
  std::vector<std::string> arguments = spec.arguments;
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The job's working folder is the root of the file system (of JORVU_ROOT).
  const std::string workingDirectory = platform::resolvePath("/");

  ChildPlan plan;
  plan.program = spec.program.c_str();
  plan.argv = argv.data();
  plan.envp = envp.data();
  plan.workingDirectory = workingDirectory.c_str();
  plan.pidDigits = sockets.empty() ? nullptr : pidVariable + std::strlen(pidVariable);
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    plan.maxFD = static_cast<long>(limit.rlim_cur);
  }

  // Every descriptor the child moves into place comes from above its final
  // range, so no dup2 overwrites another source.
  const int above = firstHandedFD + static_cast<int>(sockets.size());
  auto closeAll = [&] {
    for (int fd : plan.sockets) ::close(fd);
    if (plan.devNull >= 0) ::close(plan.devNull);
  };
  for (int fd : sockets) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, above);
    if (copy < 0) {
      *error = errnoText("cannot hand over a socket", errno);
      closeAll();
      return std::nullopt;
    }
    plan.sockets.push_back(copy);
  }
  int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  plan.devNull = devNull < 0 ? -1 : moveAbove(devNull, above);
  int report[2] = {-1, -1};
  if (plan.devNull < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
    *error = errnoText("cannot prepare the job", errno);
    closeAll();
    return std::nullopt;
  }
  plan.errorFD = moveAbove(report[1], above);
  if (plan.errorFD < 0) {
    *error = errnoText("cannot prepare the job", errno);
    ::close(report[0]);
    closeAll();
    return std::nullopt;
  }

  const pid_t pid = ::fork();
  if (pid == 0) runChild(plan);
  const int forkError = errno;
  ::close(plan.errorFD);
  closeAll();
  if (pid < 0) {
    ::close(report[0]);
    *error = errnoText("cannot start " + spec.program, forkError);
    return std::nullopt;
  }
  // The report pipe closes at exec: nothing to read means the job runs.
  int childError = 0;
  ssize_t n = 0;
  do {
    n = ::read(report[0], &childError, sizeof childError);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof childError)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    *error = errnoText("cannot start " + spec.program, childError);
    return std::nullopt;
  }
  return pid;
}

void unlinkSockets(const std::vector<std::string>& services) {
  for (const auto& name : services) ::unlink(platform::xpc::servicePath(name).c_str());
}

int list() {
  std::printf("PID\tStatus\tLabel\n");
  struct stat st {};
  if (::lstat(stateFolder().c_str(), &st) != 0) return 0;  // nothing was ever loaded
  StateLock lock;
  std::string error;
  if (!lock.acquire(&error)) {
    say("list failed: " + error);
    return 1;
  }
  cleanStale();
  for (const auto& label : recordedLabels()) {
    if (auto record = readRecord(label)) std::printf("%d\t0\t%s\n", static_cast<int>(record->pid), label.c_str());
  }
  return 0;
}

int load(const std::string& plistPath) {
  std::string error;
  auto spec = readJobSpec(plistPath, &error);
  if (!spec) {
    say("Load failed: " + error);
    return 1;
  }
  StateLock lock;
  if (!lock.acquire(&error)) {
    say("Load failed: " + error);
    return 1;
  }
  cleanStale();
  if (auto record = readRecord(spec->label); record && isRunning(*record)) {
    say(spec->label + ": service already loaded");
    return 0;
  }

  std::vector<int> sockets;
  std::vector<std::string> bound;
  auto release = [&] {
    for (int fd : sockets) ::close(fd);
    sockets.clear();
  };
  for (const auto& name : spec->machServices) {
    int fd = platform::xpc::bindServiceSocket(name, &error);
    if (fd < 0) {
      release();
      unlinkSockets(bound);
      say("Load failed: " + error);
      return 1;
    }
    sockets.push_back(fd);
    bound.push_back(name);
  }

  auto pid = startJob(*spec, sockets, &error);
  release();
  if (!pid) {
    unlinkSockets(bound);
    say("Load failed: " + error);
    return 1;
  }

  JobRecord record;
  record.label = spec->label;
  record.pid = *pid;
  // Our own child until we exit: its pid cannot be taken by another process
  // yet, even when it has already ended.
  record.startTime = processStartTime(*pid).value_or(0);
  std::error_code ec;
  record.plistPath = std::filesystem::absolute(plistPath, ec).string();
  record.program = spec->program;
  record.machServices = spec->machServices;
  for (const auto& name : spec->machServices) record.socketPaths.push_back(platform::xpc::servicePath(name));
  if (!writeRecord(record)) {
    ::kill(*pid, SIGKILL);
    while (::waitpid(*pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    unlinkSockets(bound);
    say("Load failed: cannot record the job " + spec->label);
    return 1;
  }
  return 0;
}

int unload(const std::string& plistPath) {
  std::string error;
  auto label = readJobLabel(plistPath, &error);
  if (!label) {
    say("Unload failed: " + error);
    return 1;
  }
  StateLock lock;
  if (!lock.acquire(&error)) {
    say("Unload failed: " + error);
    return 1;
  }
  cleanStale();
  auto record = readRecord(*label);
  if (!record) {
    say(*label + ": Could not find specified service");
    return 1;
  }
  if (!stopJob(*record)) {
    say("Unload failed: " + *label + " (pid " + std::to_string(record->pid) + ") did not end");
    return 1;
  }
  removeSockets(record->machServices);
  removeRecord(*label);
  return 0;
}

int usage() {
  say("usage: launchctl list\n       launchctl load [-w] PLIST\n       launchctl unload [-w] PLIST");
  return 64;
}

}  // namespace

int run(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return usage();
  const std::string& command = arguments.front();
  if (command == "list") return arguments.size() == 1 ? list() : usage();
  if (command != "load" && command != "unload") return usage();
  // -w only overrides a job's Disabled key, which we do not keep.
  std::vector<std::string> paths;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] != "-w") paths.push_back(arguments[i]);
  }
  if (paths.size() != 1 || paths.front().empty() || paths.front().front() == '-') return usage();
  return command == "load" ? load(paths.front()) : unload(paths.front());
}

}  // namespace launchctl
