#pragma once
#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Bundle.hpp"

enum class ApplicationLauncherError { openAppFailure, invalidBundle, terminateAppFailure };

class ApplicationLauncherException : public std::runtime_error {
 public:
  explicit ApplicationLauncherException(ApplicationLauncherError e);
  ApplicationLauncherError error;
};

// Opens an application bundle with arguments unless it already runs. Linux has
// no frontmost application: "running and active" means a process runs whose
// executable lies inside the bundle.
class ApplicationLauncher {
 public:
  ApplicationLauncher(std::optional<platform::Bundle> bundle, std::optional<std::vector<std::string>> arguments)
      : bundle_(std::move(bundle)), arguments_(std::move(arguments)) {}

  // Throws ApplicationLauncherException(invalidBundle) without a bundle or
  // without an executable, CommandLineLauncher::LaunchError when it cannot start.
  void launch();

  // The process found running or started by the last launch().
  std::optional<pid_t> runningApplication() const { return running_; }

  // The first running process whose executable lies inside `bundlePath`.
  static std::optional<pid_t> findRunning(const std::string& bundlePath);

 private:
  bool isActive(pid_t pid) const;

  std::optional<platform::Bundle> bundle_;
  std::optional<std::vector<std::string>> arguments_;
  std::optional<pid_t> running_;
};
