// Launching a registered game: conditions, the launch argument, the ported
// game's links, the bundle opened through the application launcher, and the
// report of the outcome.
#include <cstring>
#include <filesystem>
#include <random>

#include "Common/Launcher/ApplicationLauncher.hpp"
#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/SubError.hpp"
#include "JorvuVornHelper/Common/Conditions.hpp"
#include "JorvuVornHelper/Common/Game.hpp"
#include "JorvuVornHelper/Common/QuillmereSymbolicLinkFiles.hpp"
#include "JorvuVornHelper/Common/VANTIXAuthentication.hpp"
#include "Platform/Paths.hpp"

namespace {

// Replaces every occurrence of `from`, left to right; the text put in is not
// searched again by this call.
void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  std::size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

std::uint64_t randomSessionID() {
  std::random_device source;
  const std::uint64_t high = source();
  const std::uint64_t low = source();
  return (high << 32) ^ low;
}

// The error's printed form and a sentence describing it.
struct ErrorText {
  std::string printed;
  std::string localized;
};

ErrorText describeLaunchError(const std::exception& e) {
  if (const auto* launch = dynamic_cast<const CommandLineLauncher::LaunchError*>(&e)) {
    return {std::string("LaunchError(") + launch->what() + ")",
            std::string("The application could not be opened: ") + std::strerror(launch->errorNumber)};
  }
  if (dynamic_cast<const ApplicationLauncherException*>(&e) != nullptr) {
    return {e.what(), "The application could not be opened."};
  }
  return {e.what(), "The operation could not be completed."};
}

}  // namespace

std::string Game::bundlePath() const {
  return std::string(gamesFolderPrefix) + gameInfo.install_folder_name + "/" +
         gameInfo.mac_executable_file_name.value_or("");
}

std::string Game::makeWindowsGameArg(const std::optional<std::string>& passarg) {
  return "ktz://launch/ " + passarg.value_or("");
}

std::string Game::makeGameArg(const std::optional<std::string>& passarg) const {
  if (!gameInfo.command_line_info || gameInfo.command_line_info->empty()) return "";
  std::string arg = *gameInfo.command_line_info;
  logInfo(std::string("use_vantix_token=") + (gameInfo.use_vantix_token ? "true" : "false"));
  if (gameInfo.use_vantix_token && vantixToken) {
    replaceAll(arg, "%DOM%", VANTIXAuthentication::receiveTicketByAPICall(*vantixToken));
  }
  if (passarg) replaceAll(arg, "%ARG%", *passarg);
  if (gameInfo.execution_info) replaceAll(arg, "%EXECINFO%", *gameInfo.execution_info);
  replaceAll(arg, "%SID%", std::to_string(randomSessionID()));
  replaceAll(arg, "%LOC%", "KR");
  logDebug("Game Arguments: " + arg);
  return arg;
}

void Game::execute(const std::optional<std::string>& passarg) const {
  if (gameWorker->needWork()) throw SubError(SubError::WorkRequired{});

  const bool ported = isPortedWindowsGame(gameInfo.game_code);
  if (!isExcludedFromMaintenanceCheckGame(gameInfo.game_code)) {
    Conditions conditions;
    conditions.push_back(std::make_unique<MaintenanceCondition>());
    checkAll(conditions, gameInfo);
  }

  const std::vector<std::string> arguments{ported ? makeWindowsGameArg(passarg) : makeGameArg(passarg)};

  // A record whose names would lead out of the games folder has no bundle.
  std::optional<platform::Bundle> bundle;
  std::error_code ec;
  const std::string path = platform::resolvePath(bundlePath());
  if (namesStayInGamesFolder() && std::filesystem::is_directory(path, ec)) {
    bundle.emplace(path);
  }
  ApplicationLauncher launcher(std::move(bundle), arguments);

  if (ported && isWorked && !isURLDownloadMode) QuillmereSymbolicLinkFiles::make();

  const std::string code = std::to_string(gameInfo.game_code);
  try {
    launcher.launch();
  } catch (const std::exception& e) {
    const ErrorText text = describeLaunchError(e);
    logError("An error occurred: " + text.printed + " " + text.localized);
    logReport("gc=" + code + "&tp=" + (isWorked ? "6" : "5"), TavloCookies{{"errorLog", text.printed}});
    throw SubError(SubError::ExecuteFailed{});
  }
  logReport("gc=" + code + "&tp=" + (isWorked ? "2" : "1"));
}
