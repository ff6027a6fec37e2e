#include "Common/Launcher/ApplicationLauncher.hpp"

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Logger/VornLogger.hpp"

namespace {

std::string exeOf(pid_t pid) {
  char buf[PATH_MAX];
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

bool liesInside(const std::string& exe, const std::string& bundlePath) {
  return !bundlePath.empty() && exe.size() > bundlePath.size() + 1 &&
         exe.compare(0, bundlePath.size(), bundlePath) == 0 && exe[bundlePath.size()] == '/';
}

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) != nullptr) return buf;
  return path;
}

const char* errorName(ApplicationLauncherError e) {
  switch (e) {
    case ApplicationLauncherError::openAppFailure: return "openAppFailure";
    case ApplicationLauncherError::invalidBundle: return "invalidBundle";
    case ApplicationLauncherError::terminateAppFailure: return "terminateAppFailure";
  }
  return "unknown";
}

}  // namespace

ApplicationLauncherException::ApplicationLauncherException(ApplicationLauncherError e)
    : std::runtime_error(std::string("ApplicationLauncherError.") + errorName(e)), error(e) {}

std::optional<pid_t> ApplicationLauncher::findRunning(const std::string& bundlePath) {
  const std::string bundle = canonical(bundlePath);
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return std::nullopt;
  std::optional<pid_t> found;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
    if (liesInside(exeOf(static_cast<pid_t>(pid)), bundle)) {
      found = static_cast<pid_t>(pid);
      break;
    }
  }
  ::closedir(proc);
  return found;
}

bool ApplicationLauncher::isActive(pid_t pid) const {
  return bundle_ && liesInside(exeOf(pid), canonical(bundle_->bundlePath()));
}

void ApplicationLauncher::launch() {
  if (!bundle_) throw ApplicationLauncherException(ApplicationLauncherError::invalidBundle);
  if (!(running_ && isActive(*running_))) {
    running_ = findRunning(bundle_->bundlePath());
    if (running_) {
      logDebug("already running=" + bundle_->bundlePath());
      return;
    }
  } else {
    return;
  }
  auto executable = bundle_->executablePath();
  if (!executable) throw ApplicationLauncherException(ApplicationLauncherError::invalidBundle);
  logDebug("bundlePath=" + bundle_->bundlePath() + ", identifier=" + bundle_->identifier().value_or(""));
  auto started = CommandLineLauncher::runCommand(*executable, arguments_.value_or(std::vector<std::string>{}), false);
  running_ = started.pid;
}
