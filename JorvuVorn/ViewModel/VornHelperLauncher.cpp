#include "JorvuVorn/ViewModel/VornHelperLauncher.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Logger/Printed.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Platform/Paths.hpp"

namespace fs = std::filesystem;

namespace {

constexpr const char* launchctlPath = "/bin/launchctl";
constexpr const char* vornHelperLabel = "com.jorvu.vorn.helper";

std::string quoted(const std::string& text) { return printedString(text); }

// "An error occurred: " with the error's two descriptions.
std::string errorText(const std::exception& error) {
  if (auto* e = dynamic_cast<const VornHelperLauncherError*>(&error)) {
    return e->description() + " " + e->localizedDescription();
  }
  return std::string(error.what()) + " " + error.what();
}

}  // namespace

const std::string& vornHelperPlistPath() {
  static const std::string path =
      "/Library/Application Support/Jorvu/Vorn/JorvuVorn.app/Contents/Resources/com.jorvu.vorn.helper.plist";
  return path;
}

VornHelperLauncherError::VornHelperLauncherError(Kind kind, std::string text)
    : kind_(kind), text_(std::move(text)), what_(description()) {}

std::string VornHelperLauncherError::description() const {
  switch (kind_) {
    case Kind::launchctlFailure:
      return "launchctlFailure(" + quoted(text_) + ")";
    case Kind::outputStringFailure:
      return "outputStringFailure";
    case Kind::notExistPlistFile:
      return "notExistPlistFile";
  }
  return {};
}

std::string VornHelperLauncherError::localizedDescription() const {
  return "The operation couldn\u2019t be completed. (JorvuVorn.VornHelperLauncherError error " +
         std::to_string(static_cast<int>(kind_)) + ".)";
}

bool VornHelperLauncher::isLoaded() {
  auto result = CommandLineLauncher::runCommand(platform::resolvePath(launchctlPath), {"list"}, true);
  if (!result.output) throw VornHelperLauncherError::launchctlFailure("Failed to read launchctl output");
  return result.output->find(vornHelperLabel) != std::string::npos;
}

void VornHelperLauncher::load() { run("load"); }

void VornHelperLauncher::unload() { run("unload"); }

void VornHelperLauncher::run(const char* subcommand) {
  copyPlistFile();
  std::exception_ptr failure;
  try {
    auto result = CommandLineLauncher::runCommand(platform::resolvePath(launchctlPath),
                                                  {subcommand, "-w", platform::resolvePath(copyVornHelperPlistPath)},
                                                  true);
    // The exit status says nothing; only the word "failed" does.
    if (result.output && result.output->find("failed") != std::string::npos) {
      failure = std::make_exception_ptr(VornHelperLauncherError::launchctlFailure(*result.output));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    removePlistFile();
  } catch (const std::exception& e) {
    logDebug("An error occurred: " + errorText(e));
  }
  if (failure) std::rethrow_exception(failure);
}

void VornHelperLauncher::copyPlistFile() {
  const std::string source = platform::resolvePath(vornHelperPlistPath());
  const std::string copy = platform::resolvePath(copyVornHelperPlistPath);
  std::error_code ec;
  if (!fs::exists(source, ec)) throw VornHelperLauncherError::notExistPlistFile();
  if (fs::symlink_status(copy, ec).type() != fs::file_type::not_found) removePlistFile();
  // Copied under a temporary name and renamed into place, so launchctl never
  // reads a half-written copy.
  std::string temporary = copy + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) throw fs::filesystem_error("cannot copy", source, copy, std::error_code(errno, std::generic_category()));
  ::close(fd);
  try {
    fs::copy_file(source, temporary, fs::copy_options::overwrite_existing);
    fs::permissions(temporary, static_cast<fs::perms>(0644), fs::perm_options::replace);
    fs::rename(temporary, copy);
  } catch (...) {
    fs::remove(temporary, ec);
    throw;
  }
}

void VornHelperLauncher::removePlistFile() {
  const std::string copy = platform::resolvePath(copyVornHelperPlistPath);
  if (::unlink(copy.c_str()) != 0) {
    throw fs::filesystem_error("cannot remove", copy, std::error_code(errno, std::generic_category()));
  }
}
