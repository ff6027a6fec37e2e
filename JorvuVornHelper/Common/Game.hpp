#pragma once
// The helper's record of one registered game: the catalogue record and the
// worker that installs or patches it, with the flags the service keeps. The
// record is a value: the registry stores it and requests work on copies;
// copies share one worker.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Common/Protocol/GamePanelInfo.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Protocol/VantixToken.hpp"
#include "JorvuVornHelper/Common/GameInfo.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/GameWorkerable.hpp"

// Makes the workers. The service program supplies the real ones (the
// setup-archive worker and the bridge to the manifest engine); tests supply
// their own.
struct GameWorkerFactory {
  // (game code, setup archive URL, install directory path, executable file name)
  using URLWorkerMaker = std::function<std::shared_ptr<GameWorkerable>(
      std::uint32_t gameCode, const std::string& url, const std::string& installDirectoryPath,
      const std::string& executableFileName)>;
  // The bridge's seven values: (game code, OBD tag, source URL, source
  // manifest name, target path, target executable name, shortcut target path).
  using ManifestWorkerMaker = std::function<std::shared_ptr<GameWorkerable>(
      std::uint32_t gameCode, const std::string& obdTag, const std::string& sourceURL,
      const std::optional<std::string>& sourceManifestName, const std::string& targetPath,
      const std::string& targetExecutableName, const std::string& shortcutTargetPath)>;

  URLWorkerMaker makeURLWorker;
  ManifestWorkerMaker makeManifestWorker;
};

struct Game {
  static constexpr std::uint32_t appGameCode = 128000;
  static constexpr std::uint32_t portedWindowsGames[] = {589825, 589826};
  static constexpr const char* gamesFolderPrefix = "/Library/Application Support/Jorvu/";

  static bool isPortedWindowsGame(std::uint32_t gameCode);
  static bool isExcludedFromMaintenanceCheckGame(std::uint32_t gameCode) { return isPortedWindowsGame(gameCode); }
  static bool isExcludedFromShortcutCreationGame(std::uint32_t gameCode);

  GameInfo gameInfo;
  std::shared_ptr<GameWorkerable> gameWorker;
  bool workingStatus = false;  // work started and not yet seen to end
  bool isWorked = false;       // work was started in this registration
  std::optional<VantixToken> vantixToken;
  bool isURLDownloadMode = false;

  // Registration: fetches the catalogue record and makes the game's worker.
  // Throws what the catalogue fetch throws, SubError::UnsupportedOS for a
  // record without a macOS executable, SubError::JsonDataDecodeFailed for an
  // unusable shortcut list, setup address, folder or executable name,
  // SubError::JsonDataEncodeFailed when a setup-archive record cannot be
  // rewritten.
  static Game make(std::uint32_t gameCode, const std::string& obdTag, std::optional<VantixToken> vantixToken,
                   const GameWorkerFactory& factory);

  // Starts work on the shared background queue and returns at once. Throws
  // SubError::NoWorkRequired or SubError::OSVersionLimit (an install on an
  // older system, unless ignored). The same as checkWork(), then startWork().
  void work(bool ignoreOSVersion);
  // The slow half of work(): asks the worker whether work is needed (which
  // may read and inflate the game's local manifest) and checks the
  // conditions. Throws as work() does; changes nothing in the record, so the
  // registry runs it on a copy without its lock.
  void checkWork(bool ignoreOSVersion) const;
  // The quick half: marks the record working and queues the job.
  void startWork();

  // The GameStatus JSON text. A worker in error gives SubError::WorkFailed
  // with its error record; the working flag is cleared first, so a caller
  // that stores the record back after that failure frees the service for
  // the next work. Throws SubError::JsonDataDecodeFailed for a record of the
  // worker that does not read, SubError::JsonDataEncodeFailed.
  std::string getGameStatusJson();

  // Clears the working flag, sends report 62 and cancels the worker.
  void cancel();

  // The GamePanelInfo JSON text; throws SubError::JsonDataEncodeFailed.
  std::string getGamePanelInfoJson() const;

  // Launches the installed game with its argument. Throws
  // SubError::WorkRequired, SubError::Maintenance, SubError::ExecuteFailed,
  // or the sign-in ticket's failure as thrown.
  void execute(const std::optional<std::string>& passarg) const;

  // The folder is one plain name and the executable a relative path without
  // "." or ".." components: the bundle path stays inside the games folder.
  bool namesStayInGamesFolder() const;
  // "/Library/Application Support/Jorvu/<install_folder_name>/<mac_executable_file_name>"
  std::string bundlePath() const;
  // The argument of a ported game: "ktz://launch/ " and the pass argument.
  static std::string makeWindowsGameArg(const std::optional<std::string>& passarg);
  // The catalogue's template with its placeholders filled.
  std::string makeGameArg(const std::optional<std::string>& passarg) const;
};

// A status from the worker's mode and texts: an error mode throws
// SubError::WorkFailed with the error record; otherwise the progress text
// (the text null: none) is read. Texts that do not read throw
// SubError::JsonDataDecodeFailed.
GameStatus makeGameStatus(std::uint32_t gameCode, GameStatus::Status status, const std::string& progress,
                          const std::string& error);

// The setup panel for a record in a given state: the record's install or
// patch panel when its address is a "webview://url=" address, otherwise the
// default page at 540 by 188.
GamePanelInfo makeGamePanelInfo(const GameInfo& gameInfo, GameStatus::Status workMode);

namespace gamepanel {
inline constexpr std::uint32_t defaultWidth = 540;
inline constexpr std::uint32_t defaultHeight = 188;
// The default panel page with the user's language code.
const std::string& defaultContentsURL();
}  // namespace gamepanel

// The publisher's games page, the shortcut target when the catalogue names none.
inline constexpr const char* defaultShortcutTarget = "https://www.jorvu.com/Home/Game";
