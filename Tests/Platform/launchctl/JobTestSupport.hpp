#pragma once
// Shared by the tests of launchctl and of the app's helper launcher: our
// launchctl run as a real program and the helper installed in a temporary
// root (Tests/Support/HelperProcess.hpp has a client for it).
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace jobtest {

using namespace std::chrono_literals;

// Where the installed app keeps the helper program.
inline constexpr const char* installedHelper =
    "/Library/Application Support/Jorvu/Vorn/JorvuVorn.app/Contents/MacOS/JorvuVornHelper.app/Contents/MacOS/"
    "JorvuVornHelper";

// A program of build/bin linked at a system path inside the root.
inline void linkProgram(const testsupport::TempRoot& root, const std::string& systemPath, const std::string& target) {
  const std::filesystem::path link = root / systemPath;
  std::filesystem::create_directories(link.parent_path());
  std::filesystem::remove(link);
  std::filesystem::create_symlink(target, link);
}

inline CommandLineLauncher::Result launchctl(const std::vector<std::string>& arguments) {
  return CommandLineLauncher::runCommand(testsupport::binDir() + "/launchctl", arguments, true);
}

// The pid that `launchctl list` shows for a label.
inline std::optional<pid_t> listedPid(const std::string& label) {
  std::istringstream in(launchctl({"list"}).output.value_or(""));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string pid, status, name;
    if (fields >> pid >> status >> name && name == label) return static_cast<pid_t>(std::stol(pid));
  }
  return std::nullopt;
}

// Whether a process (not necessarily our child) ends within the time-out.
inline bool waitEnded(pid_t pid, std::chrono::milliseconds timeout) {
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return true;
  pollfd p{pidfd, POLLIN, 0};
  const bool ended = ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
  ::close(pidfd);
  return ended;
}

// Kills the job of a label at the end of a test, so a failing test leaves
// no process behind.
struct JobReaper {
  std::string label;
  ~JobReaper() {
    if (auto pid = listedPid(label)) {
      ::kill(*pid, SIGKILL);
      waitEnded(*pid, std::chrono::seconds(5));
    }
  }
};


}  // namespace jobtest
