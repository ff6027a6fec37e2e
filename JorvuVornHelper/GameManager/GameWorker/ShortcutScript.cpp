#include "JorvuVornHelper/GameManager/GameWorker/ShortcutScript.hpp"

#include <filesystem>
#include <system_error>

#include "Platform/Bundle.hpp"

namespace fs = std::filesystem;

namespace ShortcutScript {

std::optional<std::string> scriptPath(const std::string& executablePath) {
  if (executablePath.empty()) return std::nullopt;
  const fs::path folder = fs::path(executablePath).parent_path();
  for (const fs::path& candidate : {folder.parent_path() / "Resources" / "Shortcut.sh", folder / "Shortcut.sh"}) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  return std::nullopt;
}

std::optional<std::string> scriptPath() { return scriptPath(platform::currentExecutablePath()); }

std::string gameArgument(std::uint32_t gameCode, const std::string& obdTag) {
  std::string argument = std::to_string(gameCode);
  if (!obdTag.empty()) argument += "@" + obdTag;
  return argument;
}

CommandLineLauncher::Result run(const std::string& scriptPath, const std::string& targetPath,
                                const std::string& executableName, std::uint32_t gameCode,
                                const std::string& obdTag) {
  return CommandLineLauncher::runCommand(
      "/bin/sh", {scriptPath, targetPath, executableName, gameArgument(gameCode, obdTag)}, true);
}

}  // namespace ShortcutScript
