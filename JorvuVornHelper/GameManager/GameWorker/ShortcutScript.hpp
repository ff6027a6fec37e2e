#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "Common/Launcher/CommandLineLauncher.hpp"

// The shortcut script "Shortcut.sh", shipped in the helper's resources.
namespace ShortcutScript {

// Where the script lies, found from the helper's own executable (never from
// the working folder): <folder of the executable>/../Resources/Shortcut.sh
// (the bundle layout, and build/Resources beside build/bin), else
// Shortcut.sh beside the executable. Nothing when neither exists.
std::optional<std::string> scriptPath(const std::string& executablePath);
std::optional<std::string> scriptPath();  // from platform::currentExecutablePath()

// The script's third argument: the game code, with "@" and the tag when there is one.
std::string gameArgument(std::uint32_t gameCode, const std::string& obdTag);

// Runs the script through /bin/sh with an argument vector (no shell command
// line is ever built): the game's folder, its executable name and
// gameArgument(). Waits for it. Throws CommandLineLauncher::LaunchError when
// /bin/sh cannot be started.
CommandLineLauncher::Result run(const std::string& scriptPath, const std::string& targetPath,
                                const std::string& executableName, std::uint32_t gameCode,
                                const std::string& obdTag);

}  // namespace ShortcutScript
