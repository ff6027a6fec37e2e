#pragma once
// Loads and unloads the helper's launchd job with launchctl, on a temporary
// copy of the job's property list that is removed after each command.
#include <exception>
#include <string>

// The property list inside the installed app (not the running bundle's).
const std::string& vornHelperPlistPath();
// The temporary copy that launchctl is given.
inline constexpr const char* copyVornHelperPlistPath =
    "/Library/Application Support/Jorvu/Vorn/com.jorvu.vorn.helper.plist";

class VornHelperLauncherError : public std::exception {
 public:
  enum class Kind { launchctlFailure, outputStringFailure, notExistPlistFile };

  static VornHelperLauncherError launchctlFailure(std::string text) {
    return VornHelperLauncherError(Kind::launchctlFailure, std::move(text));
  }
  static VornHelperLauncherError outputStringFailure() { return VornHelperLauncherError(Kind::outputStringFailure, {}); }
  static VornHelperLauncherError notExistPlistFile() { return VornHelperLauncherError(Kind::notExistPlistFile, {}); }

  Kind kind() const { return kind_; }
  // launchctl's text of a launchctlFailure ("" for the other cases).
  const std::string& text() const { return text_; }
  // The default description: `launchctlFailure("...")`, `notExistPlistFile`...
  std::string description() const;
  std::string localizedDescription() const;
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  VornHelperLauncherError(Kind kind, std::string text);
  Kind kind_;
  std::string text_;
  std::string what_;
};

// Every operation runs launchctl synchronously and may throw: a
// VornHelperLauncherError, CommandLineLauncher::LaunchError when launchctl
// cannot be started, or std::filesystem::filesystem_error from the copy.
class VornHelperLauncher {
 public:
  // Whether launchctl's listing mentions the job's label anywhere.
  static bool isLoaded();
  static void load();
  static void unload();

 private:
  static void run(const char* subcommand);
  static void copyPlistFile();
  static void removePlistFile();
};
