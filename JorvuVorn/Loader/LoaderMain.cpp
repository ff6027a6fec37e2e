// JorvuVornLoader <start URL> <process id>
//
// Started by the app after it updated itself: waits until the app's process
// (the id given) has ended, at most 60 s, then starts the installed app with
// the start URL, in a session of its own with no descriptor inherited.
// Waiting matters: a URL handed over while the old app is still ending would
// reach that instance and be lost.
//
// Exit status: 0 when the app was started, 1 when it could not be, 2 for
// arguments that are not a start URL and a process id.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>

#include "Common/App/StartURL.hpp"
#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Platform/Bundle.hpp"
#include "Platform/Paths.hpp"

namespace {

constexpr const char* installedAppPath = "/Library/Application Support/Jorvu/Vorn/JorvuVorn.app";
constexpr int waitLimitMs = 60000;

// A positive decimal process id, digits only.
std::optional<pid_t> parsePid(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value <= 0 || value > 0x7fffffff) return std::nullopt;
  return static_cast<pid_t>(value);
}

// Waits until the process ends; false when it still runs after the limit.
bool waitForExit(pid_t pid) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    if (errno == ESRCH) return true;  // gone already
    logError("[loader] cannot watch pid=" + std::to_string(pid) + ": " + std::strerror(errno));
    return false;
  }
  pollfd watched{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&watched, 1, waitLimitMs);
  } while (ready < 0 && errno == EINTR);
  ::close(fd);
  return ready > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    logError("[loader] usage: JorvuVornLoader <start URL> <process id>");
    return 2;
  }
  const std::string url = argv[1];
  try {
    (void)starturl::parse(url);
  } catch (const URLParserError& e) {
    logError("[loader] not a start URL: " + e.description());
    return 2;
  }
  const auto pid = parsePid(argv[2]);
  if (!pid) {
    logError("[loader] not a process id: " + std::string(argv[2]));
    return 2;
  }

  logInfo("[loader] wait for pid=" + std::to_string(*pid));
  if (!waitForExit(*pid)) logError("[loader] pid=" + std::to_string(*pid) + " still runs; starting the app anyway");

  const platform::Bundle app(platform::resolvePath(installedAppPath));
  const auto executable = app.executablePath();
  if (!executable) {
    logError("[loader] no app at " + app.bundlePath());
    return 1;
  }
  try {
    CommandLineLauncher::runCommand(*executable, {url}, false);
  } catch (const CommandLineLauncher::LaunchError& e) {
    logError(std::string("[loader] cannot start the app: ") + e.what());
    return 1;
  }
  logInfo("[loader] started " + *executable);
  return 0;
}
