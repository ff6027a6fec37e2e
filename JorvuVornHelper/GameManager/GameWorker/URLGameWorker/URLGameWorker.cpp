#include "JorvuVornHelper/GameManager/GameWorker/URLGameWorker/URLGameWorker.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Logger/Printed.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/ErrorInfo.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/FolderPermission.hpp"
#include "JorvuVornHelper/GameManager/ProgressInfoManager/EngineErrors.hpp"
#include "Platform/Paths.hpp"

namespace fs = std::filesystem;

namespace {

constexpr const char* kGamesRoot = "/Library/Application Support/Jorvu";
constexpr const char* kUnzipPath = "/usr/bin/unzip";
// A failing unzip lists every entry; the log line and the report keep the end.
constexpr std::size_t kMaxOutputInDescription = 1000;

std::string quoted(const std::string& text) { return printedString(text); }

std::string describeOutput(const std::optional<std::string>& output) {
  if (!output) return "nil";
  if (output->size() <= kMaxOutputInDescription) return quoted(*output);
  return quoted("..." + output->substr(output->size() - kMaxOutputInDescription));
}

std::string strip(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// Makes a new folder from a mkdtemp pattern; nothing on failure (errno set).
std::optional<std::string> makeUniqueFolder(std::string pattern) {
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  return pattern;
}

// Removes a folder this worker made, but never one outside the games root.
bool removeBelowGamesRoot(const std::string& path, std::string* error = nullptr) {
  if (!URLGameWorker::isStrictlyBelowGamesRoot(path)) {
    if (error) *error = "refusing to remove " + path + ": not inside " + URLGameWorker::gamesRootPath();
    return false;
  }
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) {
    if (error) *error = "cannot remove " + path + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

// MARK: - URLGameWorkerError

URLGameWorkerError URLGameWorkerError::downloadFailure(std::string error) {
  return URLGameWorkerError(Kind::downloadFailure, std::move(error), 0, std::nullopt);
}
URLGameWorkerError URLGameWorkerError::unzipFailure(std::int32_t status, std::optional<std::string> output) {
  return URLGameWorkerError(Kind::unzipFailure, {}, status, std::move(output));
}
URLGameWorkerError URLGameWorkerError::permissionFailure(std::int32_t status, std::optional<std::string> output) {
  return URLGameWorkerError(Kind::permissionFailure, {}, status, std::move(output));
}
URLGameWorkerError URLGameWorkerError::other(std::string message) {
  return URLGameWorkerError(Kind::other, std::move(message), 0, std::nullopt);
}

std::string URLGameWorkerError::description() const {
  switch (kind_) {
    case Kind::downloadFailure:
      return "downloadFailure(" + message_ + ")";
    case Kind::unzipFailure:
      return "unzipFailure(status: " + std::to_string(status_) + ", output: " + describeOutput(output_) + ")";
    case Kind::permissionFailure:
      return "permissionFailure(status: " + std::to_string(status_) + ", output: " + describeOutput(output_) + ")";
    case Kind::shortcutFailure:
      return "shortcutFailure(status: " + std::to_string(status_) + ", output: " + describeOutput(output_) + ")";
    case Kind::other:
      return message_;
  }
  return message_;
}

namespace {

EngineError ErrorOf(URLGameWorkerError::Kind kind) {
  switch (kind) {
    case URLGameWorkerError::Kind::downloadFailure:
      return EngineErrors::SetupDownload;
    case URLGameWorkerError::Kind::unzipFailure:
      return EngineErrors::SetupUnpack;
    default:
      return EngineErrors::SetupOther;
  }
}

}  // namespace

std::int32_t URLGameWorkerError::errorCode() const { return ErrorOf(kind_).code; }

std::uint32_t URLGameWorkerError::mainErrorCode() const { return ErrorOf(kind_).main; }

// MARK: - URLGameWorker

URLGameWorker::URLGameWorker(std::uint32_t gameCode, std::string url, std::string installDirectoryPath,
                             std::string executableFileName, URLDownloaderSettings settings)
    : gameCode_(gameCode),
      url_(std::move(url)),
      installDirectoryPath_(std::move(installDirectoryPath)),
      executableFileName_(std::move(executableFileName)),
      settings_(settings) {}

URLGameWorker::~URLGameWorker() {
  // A job still running is abandoned: its result is dropped and the old folder stays.
  std::unique_ptr<URLDownloader> downloader;
  {
    std::lock_guard lock(mutex_);
    workMode_ = WorkMode::UserAbort;
    downloader = std::move(urlDownloader_);
  }
  downloader.reset();  // cancels and waits for the download's thread
}

std::string URLGameWorker::gamesRootPath() { return strip(platform::resolvePath(kGamesRoot)); }

bool URLGameWorker::isStrictlyBelowGamesRoot(const std::string& path) {
  const std::string resolved = platform::resolvePath(path);
  if (resolved.empty() || resolved.front() != '/') return false;
  const fs::path root = fs::path(gamesRootPath()).lexically_normal();
  fs::path target = fs::path(resolved).lexically_normal();
  if (target.filename().empty()) target = target.parent_path();  // a trailing "/"
  const fs::path relative = target.lexically_relative(root);
  if (relative.empty() || relative == ".") return false;
  for (const auto& part : relative) {
    if (part == "..") return false;
  }
  // The folder that holds it, with links resolved, must lie in the root too.
  std::error_code ec;
  const fs::path realRoot = fs::weakly_canonical(root, ec);
  if (ec) return false;
  const fs::path realParent = fs::weakly_canonical(target.parent_path(), ec);
  if (ec) return false;
  const fs::path parentRelative = realParent.lexically_relative(realRoot);
  if (parentRelative.empty()) return false;
  for (const auto& part : parentRelative) {
    if (part == "..") return false;
  }
  return true;
}

std::uint32_t URLGameWorker::operationType(GameWorkerWrapperWorkMode mode) {
  switch (mode) {
    case WorkMode::None:
      return 10000;
    case WorkMode::Install:
      return 11000;
    case WorkMode::Ready:
      return 12000;
    case WorkMode::UserAbort:
      return 42000;
    case WorkMode::Error:
      return 13000;
    default:
      return 0;
  }
}

GameWorkerWrapperWorkMode URLGameWorker::getWorkMode() { return workMode_.load(); }

bool URLGameWorker::needWork() {
  const std::string name = fs::path(executableFileName_).stem().string();
  const std::string executableFilePath =
      platform::resolvePath(installDirectoryPath_) + "/" + executableFileName_ + "/Contents/MacOS/" + name;
  std::error_code ec;
  const bool exists = fs::exists(executableFilePath, ec);
  logInfo(std::string(exists ? "already install" : "need work") + ", checked executableFilePath=" +
          executableFilePath);
  return !exists;
}

bool URLGameWorker::work() {
  std::lock_guard lock(mutex_);
  workMode_ = WorkMode::Install;
  workError_.reset();
  const std::string folder = platform::resolvePath(installDirectoryPath_);
  if (!isStrictlyBelowGamesRoot(folder)) {
    setWorkError(URLGameWorkerError::other("install folder " + folder + " is not inside " + gamesRootPath()));
    return false;
  }
  if (!urlDownloader_) {
    urlDownloader_ = std::make_unique<URLDownloader>(
        url_, gamesRootPath(),
        [this](std::uint64_t task, const URLDownloader::Result& result) { resultHandler(task, result); }, settings_);
  }
  try {
    currentTask_ = urlDownloader_->resume();
  } catch (const std::system_error& e) {
    setWorkError(URLGameWorkerError::other(std::string("cannot start the download: ") + e.what()));
    return false;
  }
  return true;
}

void URLGameWorker::cancel() {
  std::lock_guard lock(mutex_);
  workMode_ = WorkMode::UserAbort;
  if (urlDownloader_) urlDownloader_->cancel();
}

std::string URLGameWorker::getProgressInfo() {
  GameStatus::ProgressInfo info;
  info.operationType = operationType(workMode_.load());
  {
    std::lock_guard lock(mutex_);
    if (urlDownloader_) {
      const URLDownloader::Progress progress = urlDownloader_->progress();
      info.totalSize = progress.totalSize;
      info.currentSize = progress.currentSize;
    }
  }
  info.isRetry = false;
  try {
    return info.encode();
  } catch (const std::exception&) {
    return {};
  }
}

std::string URLGameWorker::getErrorInfo() {
  std::lock_guard lock(mutex_);
  ErrorInfo info;
  info.errorCode = workError_ ? workError_->errorCode() : 0;
  info.mainErrorCode = workError_ ? workError_->mainErrorCode() : 0;
  info.errorOperation = operationType(workMode_.load());
  info.subErrorCode = 0;
  try {
    return info.encode();
  } catch (const std::exception&) {
    return {};
  }
}

bool URLGameWorker::isCurrentJob(std::uint64_t task) const {
  return task == currentTask_ && workMode_.load() == WorkMode::Install;
}

void URLGameWorker::setWorkError(const URLGameWorkerError& error) {
  workError_ = error;
  workMode_ = WorkMode::Error;
  const std::string description = error.description();
  const std::string code = std::to_string(gameCode_);
  logError("gameCode=" + code + ", err=" + description);
  logReport("gc=" + code + "&tp=14", TavloCookies{{"errorCode", std::to_string(error.errorCode())},
                                                  {"mainErrorCode", std::to_string(error.mainErrorCode())},
                                                  {"errorLog", description}});
}

void URLGameWorker::resultHandler(std::uint64_t task, const URLDownloader::Result& result) {
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentJob(task)) return;  // cancelled, or a newer job runs
    if (!result.success) {
      setWorkError(URLGameWorkerError::downloadFailure(result.error));
      return;
    }
  }

  std::lock_guard unpacking(unpackMutex_);
  const std::string folder = strip(platform::resolvePath(installDirectoryPath_));
  std::string staging;
  std::string previous;
  try {
    {
      std::lock_guard lock(mutex_);
      if (!isCurrentJob(task)) return;
    }
    staging = unzip(result.path, folder);
    std::lock_guard lock(mutex_);
    if (isCurrentJob(task)) {
      previous = replaceFolder(staging, folder);
      staging.clear();
      workMode_ = WorkMode::Ready;  // only now may the game be started
    }
  } catch (const URLGameWorkerError& error) {
    std::lock_guard lock(mutex_);
    if (isCurrentJob(task)) setWorkError(error);
  }
  if (!staging.empty()) removeBelowGamesRoot(staging);  // a cancelled job's unpacked files
  if (!previous.empty()) {
    std::string error;
    if (!removeBelowGamesRoot(previous, &error)) logError(error);
  }
}

std::string URLGameWorker::unzip(const std::string& archive, const std::string& folder) {
  if (!isStrictlyBelowGamesRoot(folder)) {
    throw URLGameWorkerError::other("install folder " + folder + " is not inside " + gamesRootPath());
  }
  const fs::path target(folder);
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (ec) throw URLGameWorkerError::other("cannot make " + target.parent_path().string() + ": " + ec.message());
  const auto made = makeUniqueFolder(target.parent_path().string() + "/." + target.filename().string() + ".staging-XXXXXX");
  if (!made) {
    throw URLGameWorkerError::other("cannot make a staging folder beside " + folder + ": " + std::strerror(errno));
  }
  const std::string staging = *made;
  try {
    logDebug("unzip " + archive + " to " + staging);
    CommandLineLauncher::Result unzipped;
    try {
      unzipped = CommandLineLauncher::runCommand(kUnzipPath, {archive, "-d", staging}, true);
    } catch (const CommandLineLauncher::LaunchError& e) {
      throw URLGameWorkerError::other(std::string("cannot run ") + kUnzipPath + ": " + e.what());
    }
    if (unzipped.status != 0) throw URLGameWorkerError::unzipFailure(unzipped.status, unzipped.output);

    // The staging folder is our own mkdtemp folder, never a link.
    const mode_t umask = FolderPermission::processUmask();
    logDebug(" chmod -R " + FolderPermission::modeText(FolderPermission::modeFor(umask)) + " " + staging);
    CommandLineLauncher::Result chmodded;
    try {
      chmodded = CommandLineLauncher::runCommand(FolderPermission::kChmodPath,
                                                 FolderPermission::arguments(staging, umask), true);
    } catch (const CommandLineLauncher::LaunchError& e) {
      throw URLGameWorkerError::other(std::string("cannot run ") + FolderPermission::kChmodPath + ": " + e.what());
    }
    if (chmodded.status != 0) throw URLGameWorkerError::permissionFailure(chmodded.status, chmodded.output);
  } catch (...) {
    removeBelowGamesRoot(staging);
    throw;
  }
  return staging;
}

std::string URLGameWorker::replaceFolder(const std::string& staging, const std::string& folder) {
  const fs::path target(folder);
  std::error_code ec;
  std::string aside;
  std::string previous;
  if (fs::symlink_status(target, ec).type() != fs::file_type::not_found) {
    const auto made = makeUniqueFolder(target.parent_path().string() + "/." + target.filename().string() + ".old-XXXXXX");
    if (!made) throw URLGameWorkerError::other("cannot move " + folder + " aside: " + std::strerror(errno));
    aside = *made;
    previous = aside + "/previous";
    if (::rename(folder.c_str(), previous.c_str()) != 0) {
      const int error = errno;
      ::rmdir(aside.c_str());
      throw URLGameWorkerError::other("cannot move " + folder + " aside: " + std::strerror(error));
    }
  }
  if (::rename(staging.c_str(), folder.c_str()) != 0) {
    const int error = errno;
    if (!aside.empty()) {
      ::rename(previous.c_str(), folder.c_str());  // the old folder goes back
      ::rmdir(aside.c_str());
    }
    throw URLGameWorkerError::other("cannot move the unpacked game to " + folder + ": " + std::strerror(error));
  }
  return aside;
}
