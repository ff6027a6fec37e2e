#pragma once
// The manifest-based worker of one registered game: decides whether the game
// must be installed, patched or is ready, runs that job through the engine,
// checks the executable afterwards, sets the folder's permissions, makes the
// shortcut and sends one statistics report per job.
//
// Work() runs the whole job on the calling thread. Cancel(), GetWorkMode(),
// NeedWork() and the two record texts may come from any other thread at any
// time: the records live in the progress manager (behind its mutex), the mode
// is atomic, and a running job keeps NeedWork() away from the manifests.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "JorvuVornHelper/GameManager/GameWorker/GameWorkerable.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/WorkInfo.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"

class GameWorker : public WorkInfo {
 public:
  // The statistics report codes of the jobs.
  static constexpr std::uint32_t kReportInstallSuccess = 12;
  static constexpr std::uint32_t kReportInstallAbort = 13;
  static constexpr std::uint32_t kReportInstallError = 14;
  static constexpr std::uint32_t kReportPatchSuccess = 22;
  static constexpr std::uint32_t kReportPatchAbort = 23;
  static constexpr std::uint32_t kReportPatchError = 24;

  // `target_path` is "/Library/Application Support/Jorvu/<folder>"; it is
  // resolved here, so the engine works on the real folder. Decides the work
  // mode at once.
  GameWorker(std::uint32_t gameCode, std::string obdTag, std::string sourceURL, std::string sourceManifestName,
             std::string targetPath, std::string targetExecutableName, std::string shortcutTargetPath);
  ~GameWorker() override = default;
  GameWorker(const GameWorker&) = delete;
  GameWorker& operator=(const GameWorker&) = delete;

  // The work-mode decision from what is on disk. Leaves the mode alone when
  // the engine is off for this game (no live manifest name) or the game's
  // folder or executable name cannot be used.
  void SetWorkMode();
  // Decides afresh; true when the game needs an install or a patch. While a
  // job runs, the decision is that job's and the manifests are not touched.
  bool NeedWork();
  // Runs the job of the current mode; true when it succeeded.
  bool Work();
  bool Install();
  bool Patch();
  // The executable is there; otherwise records the error (main error 914).
  bool WorkSuccess();
  // Gives the game's folder and everything in it the modes of
  // FolderPermission (readable by all, writable by the owner alone); best
  // effort. A symbolic link in the folder's place is left alone.
  void SetPermission();
  // Runs the shortcut script for the game; best effort.
  void MakeShortcut();
  // Ends the running job. A cancel that comes after the work was asked for
  // (NeedWork) but before the job started is kept: that job ends at once as
  // cancelled.
  void Cancel();
  GameWorkerWrapperWorkMode GetWorkMode() const { return work_mode_.load(); }
  std::string GetProgressInfoJson() const;
  std::string GetErrorInfoJson() const;

  // The shortcut script to run (found beside the helper when not set).
  void SetShortcutScriptPath(std::string path) { shortcut_script_path_ = std::move(path); }
  // The engine's retry waits for the jobs (the engine's own when not set).
  void SetWaits(const OBDWaits& waits) { waits_ = waits; }

 private:
  // Starts a job: sets the in-progress flag and clears the error triple.
  // False when a cancel is pending, which the job then honours.
  bool BeginJob();
  struct JobOutcomes;
  static const JobOutcomes kInstallOutcomes;
  static const JobOutcomes kPatchOutcomes;
  // Ends a job whose engine part gave `engineSucceeded`: checks the
  // executable, sets the records and the mode, sends the one report.
  bool FinishJob(bool engineSucceeded, const JobOutcomes& outcomes);
  void EndJob();
  void SendReport(std::uint32_t code);
  // target_path lies strictly below the games folder and the executable name
  // is one plain path component.
  bool IsTargetUsable() const;

  std::atomic<GameWorkerWrapperWorkMode> work_mode_{WorkMode::None};

  // Held for a whole job, so that NeedWork() never reads the manifests while
  // the job writes them.
  std::mutex job_mutex_;
  // Guards the two flags below together with the in-progress flag's changes
  // at a job's start and by Cancel().
  std::mutex cancel_mutex_;
  bool job_running_ = false;
  bool cancel_pending_ = false;

  std::optional<std::string> shortcut_script_path_;
  std::optional<OBDWaits> waits_;
};
