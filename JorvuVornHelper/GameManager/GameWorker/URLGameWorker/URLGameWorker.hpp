#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "JorvuVornHelper/GameManager/GameWorker/URLGameWorker/URLDownloader.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/GameWorkerable.hpp"

// The setup-archive worker's failures.
class URLGameWorkerError {
 public:
  enum class Kind { downloadFailure, unzipFailure, permissionFailure, shortcutFailure, other };

  static URLGameWorkerError downloadFailure(std::string error);
  static URLGameWorkerError unzipFailure(std::int32_t status, std::optional<std::string> output);
  static URLGameWorkerError permissionFailure(std::int32_t status, std::optional<std::string> output);
  // Removing or moving folders, starting a program, a folder outside the games folder.
  static URLGameWorkerError other(std::string message);

  Kind kind() const { return kind_; }
  std::int32_t status() const { return status_; }
  const std::optional<std::string>& output() const { return output_; }
  std::string description() const;
  // The numbers of the error record: -60/917 download, -40/301 unzip, -40/0 the rest.
  std::int32_t errorCode() const;
  std::uint32_t mainErrorCode() const;

 private:
  URLGameWorkerError(Kind kind, std::string message, std::int32_t status, std::optional<std::string> output)
      : kind_(kind), message_(std::move(message)), status_(status), output_(std::move(output)) {}
  Kind kind_;
  std::string message_;
  std::int32_t status_ = 0;
  std::optional<std::string> output_;
};

// Installs a game delivered as one setup archive (a zip file): `work` starts
// the download and returns at once; the check, download and unpacking then
// run on the downloader's thread. The archive is unpacked into a staging
// folder beside the game's folder, which takes the old folder's place only
// when unzip and chmod succeeded.
//
// Every operation may be called from any thread: the mode is atomic and the
// rest of the state sits behind one mutex.
class URLGameWorker : public GameWorkerable {
 public:
  // `installDirectoryPath` is "/Library/Application Support/Jorvu/<folder>"
  // (resolved through platform::resolvePath when used); `executableFileName`
  // the application bundle's name, ending in ".app".
  URLGameWorker(std::uint32_t gameCode, std::string url, std::string installDirectoryPath,
                std::string executableFileName, URLDownloaderSettings settings = {});
  ~URLGameWorker() override;
  URLGameWorker(const URLGameWorker&) = delete;
  URLGameWorker& operator=(const URLGameWorker&) = delete;

  GameWorkerWrapperWorkMode getWorkMode() override;
  bool needWork() override;
  bool work() override;
  void cancel() override;
  std::string getErrorInfo() override;
  std::string getProgressInfo() override;

  // The games root, "/Library/Application Support/Jorvu", resolved.
  static std::string gamesRootPath();
  // True when `path` lies strictly below the games root (the root itself,
  // paths outside it and paths through ".." are not).
  static bool isStrictlyBelowGamesRoot(const std::string& path);

  // The operation type that goes with a work mode in both records.
  static std::uint32_t operationType(GameWorkerWrapperWorkMode mode);

 private:
  void resultHandler(std::uint64_t task, const URLDownloader::Result& result);
  // Unzips the archive into a new staging folder beside `folder` and gives it
  // the permissions of FolderPermission; returns the staging folder. Throws
  // URLGameWorkerError.
  std::string unzip(const std::string& archive, const std::string& folder);
  // Puts `staging` in the place of `folder`; returns the old folder, moved aside
  // (empty when there was none). Throws URLGameWorkerError.
  std::string replaceFolder(const std::string& staging, const std::string& folder);
  bool isCurrentJob(std::uint64_t task) const;  // with mutex_ held
  void setWorkError(const URLGameWorkerError& error);  // with mutex_ held

  const std::uint32_t gameCode_;
  const std::string url_;
  const std::string installDirectoryPath_;
  const std::string executableFileName_;
  const URLDownloaderSettings settings_;

  std::atomic<GameWorkerWrapperWorkMode> workMode_{WorkMode::Install};
  mutable std::mutex mutex_;
  std::optional<URLGameWorkerError> workError_;
  std::uint64_t currentTask_ = 0;  // the download that the running job waits for
  std::mutex unpackMutex_;         // one unpacking at a time
  std::unique_ptr<URLDownloader> urlDownloader_;
};
