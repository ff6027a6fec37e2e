#include "JorvuVornHelper/Common/Game.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "Common/Locale/LanguageCode.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/ErrorInfo.hpp"
#include "Common/Protocol/SubError.hpp"
#include "Common/Url/Url.hpp"
#include "JorvuVornHelper/Common/BackgroundQueue.hpp"
#include "JorvuVornHelper/Common/Conditions.hpp"
#include "JorvuVornHelper/Common/KTZAPI.hpp"
#include "JorvuVornHelper/Common/StatusUtilities.hpp"

namespace {

// The publisher's front-end host that serves the default setup panel.
constexpr const char* kDefaultPanelPage =
    "https://ktz-fe.jorvu.com/ktz-execution-layer-common-macos-skins/common-skins/index.html?language=";
constexpr const char* kWebViewMarker = "webview://url=";

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A name joined below the game's folder that stays inside it: relative,
// without "." or ".." components or NUL bytes.
bool staysInside(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return false;
  std::size_t at = 0;
  while (at <= name.size()) {
    std::size_t slash = name.find('/', at);
    if (slash == std::string::npos) slash = name.size();
    const std::string_view part(name.data() + at, slash - at);
    if (part == "." || part == "..") return false;
    at = slash + 1;
  }
  return true;
}

// The shortcut target of a game that gets a shortcut: the first "Mac" entry's
// target, the games page without one.
std::string shortcutTargetOf(const GameInfo& info) {
  if (!info.shortcut_install_list) throw SubError(SubError::JsonDataDecodeFailed{});
  std::vector<ShortcutInfo> list;
  try {
    list = ShortcutInfo::decodeList(*info.shortcut_install_list);
  } catch (const std::exception&) {
    throw SubError(SubError::JsonDataDecodeFailed{});
  }
  auto mac = std::find_if(list.begin(), list.end(), [](const ShortcutInfo& s) { return s.Path == "Mac"; });
  return mac == list.end() ? std::string(defaultShortcutTarget) : mac->Target;
}

// Lower-case ASCII copy, for a search without regard to case.
std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string printedOptional(const std::optional<std::string>& value) {
  return value ? "Optional(" + payload::describeString(*value) + ")" : std::string("nil");
}

void setGamePanelInfo(GamePanelInfo& panel, const std::optional<std::string>& contentsURL, std::uint32_t width,
                      std::uint32_t height) {
  std::optional<std::string> decoded;
  if (contentsURL && !contentsURL->empty()) {
    const auto at = lowered(*contentsURL).find(kWebViewMarker);
    if (at != std::string::npos) {
      decoded = urlkit::percentDecode(std::string_view(*contentsURL).substr(at + std::char_traits<char>::length(kWebViewMarker)));
    }
  }
  if (!decoded) {
    logError("invalid contentsURL=" + printedOptional(contentsURL));
    return;
  }
  panel.contentsURL = *decoded + "?language=" + currentLanguageCode();
  panel.panelWidth = width;
  panel.panelHeight = height;
}

}  // namespace

bool Game::isPortedWindowsGame(std::uint32_t gameCode) {
  return std::find(std::begin(portedWindowsGames), std::end(portedWindowsGames), gameCode) !=
         std::end(portedWindowsGames);
}

bool Game::namesStayInGamesFolder() const {
  return isPlainFolderName(gameInfo.install_folder_name) && gameInfo.mac_executable_file_name &&
         staysInside(*gameInfo.mac_executable_file_name);
}

bool Game::isExcludedFromShortcutCreationGame(std::uint32_t gameCode) {
  return gameCode == appGameCode || isPortedWindowsGame(gameCode);
}

Game Game::make(std::uint32_t gameCode, const std::string& obdTag, std::optional<VantixToken> vantixToken,
                const GameWorkerFactory& factory) {
  Game game;
  game.gameInfo = load(KTZAPI::gameInfoURL(gameCode, obdTag), vantixToken);
  game.vantixToken = std::move(vantixToken);
  GameInfo& info = game.gameInfo;

  if (!info.mac_executable_file_name || info.mac_executable_file_name->empty()) {
    throw SubError(SubError::UnsupportedOS{});
  }
  // Case-sensitive on purpose: "HTTPS://..." is not a setup archive.
  game.isURLDownloadMode =
      startsWith(*info.mac_executable_file_name, "http://") || startsWith(*info.mac_executable_file_name, "https://");
  if (game.isURLDownloadMode) info.transformURLDownloadModeInfo();

  const std::string shortcutTarget =
      isExcludedFromShortcutCreationGame(gameCode) ? std::string() : shortcutTargetOf(info);

  // Both names become paths below the games folder; neither may leave it.
  if (!isPlainFolderName(info.install_folder_name)) {
    logError("invalid install_folder_name=" + payload::describeString(info.install_folder_name));
    throw SubError(SubError::JsonDataDecodeFailed{});
  }
  if (!game.namesStayInGamesFolder()) {
    logError("invalid mac_executable_file_name=" + printedOptional(info.mac_executable_file_name));
    throw SubError(SubError::JsonDataDecodeFailed{});
  }
  const std::string targetPath = std::string(gamesFolderPrefix) + info.install_folder_name;

  if (!info.setup_file_url || info.setup_file_url->empty()) {
    logError("setupFileURL invalid");
    throw SubError(SubError::JsonDataDecodeFailed{});
  }

  if (game.isURLDownloadMode) {
    auto url = urlkit::URL::parse(*info.setup_file_url);
    if (!url) {
      logError("invalid setupFileURL");
      throw SubError(SubError::JsonDataDecodeFailed{});
    }
    if (!factory.makeURLWorker) throw std::logic_error("no setup-archive worker in this build");
    game.gameWorker =
        factory.makeURLWorker(info.game_code, url->absoluteString(), targetPath, *info.mac_executable_file_name);
  } else {
    if (!factory.makeManifestWorker) throw std::logic_error("no manifest worker in this build");
    game.gameWorker = factory.makeManifestWorker(info.game_code, obdTag, *info.setup_file_url, info.manifest_name,
                                                 targetPath, *info.mac_executable_file_name, shortcutTarget);
  }
  if (!game.gameWorker) throw std::logic_error("the worker factory made no worker");
  return game;
}

void Game::work(bool ignoreOSVersion) {
  checkWork(ignoreOSVersion);
  startWork();
}

void Game::checkWork(bool ignoreOSVersion) const {
  if (!gameWorker->needWork()) throw SubError(SubError::NoWorkRequired{});

  Conditions conditions;
  conditions.push_back(std::make_unique<OSVersionLimited>());
  for (const auto& condition : conditions) {
    try {
      condition->check(gameInfo);
    } catch (const SubError& e) {
      const auto* limit = e.get<SubError::OSVersionLimit>();
      if (limit == nullptr) throw;
      // Only a fresh install is held back by the limit; a patch of a game
      // already installed goes on, and the user may choose to ignore it.
      if (toStatus(gameWorker->getWorkMode()) == GameStatus::Status::install && !ignoreOSVersion) {
        throw SubError(*limit);
      }
    }
  }
}

void Game::startWork() {
  workingStatus = true;
  isWorked = true;
  BackgroundQueue::shared().async([job = *this] { job.gameWorker->work(); });
}

GameStatus makeGameStatus(std::uint32_t gameCode, GameStatus::Status status, const std::string& progress,
                          const std::string& error) {
  if (status == GameStatus::Status::error) {
    const ErrorInfo info = load<ErrorInfo>(error);
    throw SubError(SubError::WorkFailed{info, info.errorMessage});
  }
  GameStatus out;
  out.gameCode = gameCode;
  out.status = status;
  try {
    out.progress = GameStatus::ProgressInfo::decodeOptional(progress);
  } catch (const std::exception&) {
    throw SubError(SubError::JsonDataDecodeFailed{});
  }
  return out;
}

std::string Game::getGameStatusJson() {
  const GameStatus::Status status = toStatus(gameWorker->getWorkMode());
  const std::string progress = gameWorker->getProgressInfo();
  const std::string error = gameWorker->getErrorInfo();
  // A job that ended in error is over as well: without this the game would
  // count as working (and block every other work) until it is cancelled or
  // cleared.
  if (status == GameStatus::Status::error) workingStatus = false;
  const GameStatus gameStatus = makeGameStatus(gameInfo.game_code, status, progress, error);
  if (workingStatus && (status == GameStatus::Status::ready || status == GameStatus::Status::cancel)) {
    workingStatus = false;
  }
  try {
    return gameStatus.encode();
  } catch (const std::exception&) {
    throw SubError(SubError::JsonDataEncodeFailed{});
  }
}

void Game::cancel() {
  workingStatus = false;
  logReport("gc=" + std::to_string(gameInfo.game_code) + "&tp=62");
  gameWorker->cancel();
}

std::string Game::getGamePanelInfoJson() const {
  const GamePanelInfo panel = makeGamePanelInfo(gameInfo, toStatus(gameWorker->getWorkMode()));
  try {
    return panel.encode();
  } catch (const std::exception&) {
    throw SubError(SubError::JsonDataEncodeFailed{});
  }
}

GamePanelInfo makeGamePanelInfo(const GameInfo& gameInfo, GameStatus::Status workMode) {
  GamePanelInfo panel;
  panel.gameCode = gameInfo.game_code;
  panel.contentsURL = gamepanel::defaultContentsURL();
  panel.panelWidth = gamepanel::defaultWidth;
  panel.panelHeight = gamepanel::defaultHeight;
  if (workMode == GameStatus::Status::patch) {
    setGamePanelInfo(panel, gameInfo.patch_panel_image_url, gameInfo.patch_panel_image_width,
                     gameInfo.patch_panel_image_height);
  } else if (workMode == GameStatus::Status::install) {
    setGamePanelInfo(panel, gameInfo.install_panel_image_url, gameInfo.install_panel_image_width,
                     gameInfo.install_panel_image_height);
  }
  logInfo("gameCode=" + std::to_string(panel.gameCode) + ", setupURL=" + panel.contentsURL + ", size=(" +
          std::to_string(panel.panelWidth) + ", " + std::to_string(panel.panelHeight) + ")");
  return panel;
}

namespace gamepanel {

const std::string& defaultContentsURL() {
  static const std::string url = std::string(kDefaultPanelPage) + currentLanguageCode();
  return url;
}

}  // namespace gamepanel
