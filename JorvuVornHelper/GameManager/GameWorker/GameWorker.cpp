#include "JorvuVornHelper/GameManager/GameWorker/GameWorker.hpp"

#include <memory>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/FolderPermission.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/ShortcutScript.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDInstaller.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDPatcher.hpp"
#include "Platform/Paths.hpp"

namespace {

bool IsJobMode(GameWorkerWrapperWorkMode mode) {
  return mode == WorkMode::Install || mode == WorkMode::Patch || mode == WorkMode::Restore;
}

}  // namespace

GameWorker::GameWorker(std::uint32_t gameCode, std::string obdTag, std::string sourceURL,
                       std::string sourceManifestName, std::string targetPath, std::string targetExecutableName,
                       std::string shortcutTargetPath)
    : WorkInfo(gameCode, std::move(obdTag), std::move(sourceURL), std::move(sourceManifestName),
               platform::resolvePath(targetPath), std::move(targetExecutableName), std::move(shortcutTargetPath)) {
  SetWorkInfo();
  SetWorkMode();
}

bool GameWorker::IsTargetUsable() const {
  const std::string& name = target_executable_name;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return false;
  }
  return OBDInstaller::IsStrictlyBelow(target_path, platform::resolvePath(OBDInstaller::kInstallRoot));
}

void GameWorker::SetWorkMode() {
  if (!manifest_controller.IsAvailable()) return;
  if (!IsTargetUsable()) {
    OBD_LOG_ERROR("Invalid Install Target : %s, %s", target_path.c_str(), target_executable_name.c_str());
    return;
  }
  if (!IsGameInstalled() || manifest_controller.NeedToResume(game_code, target_path)) {
    work_mode_ = WorkMode::Install;
    OBD_LOG_INFO("Set Work Mode Install");
  } else if (manifest_controller.NeedToPatch(game_code, target_path)) {
    work_mode_ = WorkMode::Patch;
    OBD_LOG_INFO("Set Work Mode Patch");
  } else {
    work_mode_ = WorkMode::Ready;
    OBD_LOG_INFO("Set Work Mode Ready");
  }
}

bool GameWorker::NeedWork() {
  OBD_LOG_INFO("Set Work Mode");
  std::unique_lock job(job_mutex_, std::try_to_lock);
  if (!job.owns_lock()) return IsJobMode(work_mode_.load());  // the running job's decision stands
  {
    // A new request for work: a cancel from before it no longer applies.
    std::lock_guard lock(cancel_mutex_);
    cancel_pending_ = false;
  }
  SetWorkMode();
  return IsJobMode(work_mode_.load());
}

bool GameWorker::Work() {
  switch (work_mode_.load()) {
    case WorkMode::Install:
      OBD_LOG_INFO("WorkMode: Install");
      return Install();
    case WorkMode::Patch:
      OBD_LOG_INFO("WorkMode: Patch");
      return Patch();
    case WorkMode::Restore:
      OBD_LOG_INFO("WorkMode: Restore");
      return Patch();
    case WorkMode::Ready: {
      OBD_LOG_INFO("WorkMode: Ready");
      std::lock_guard lock(cancel_mutex_);
      cancel_pending_ = false;  // nothing left to cancel
      return true;
    }
    default: {
      OBD_LOG_ERROR("Undefined Work Mode");
      work_mode_ = WorkMode::Error;
      std::lock_guard lock(cancel_mutex_);
      cancel_pending_ = false;
      return false;
    }
  }
}

bool GameWorker::BeginJob() {
  std::lock_guard lock(cancel_mutex_);
  job_running_ = true;
  progress_info_manager.SetProgress(true);
  progress_info_manager.SetLastErrorCode(0, 0, 0);
  if (!cancel_pending_) return true;
  cancel_pending_ = false;
  progress_info_manager.Cancel();
  return false;
}

void GameWorker::EndJob() {
  std::lock_guard lock(cancel_mutex_);
  job_running_ = false;
}

void GameWorker::SendReport(std::uint32_t code) { OBD_LOG_REPORT("gc=%u&tp=%u", game_code, code); }

// What each job records, logs and reports at its end: success, failure
// (where the engine's -70 becomes the job's own error code) and cancel.
struct GameWorker::JobOutcomes {
  const char* successLine;  // nothing when the job logs none
  std::uint32_t completedOperation;
  std::uint32_t errorOperation;
  std::int32_t errorCode;
  const char* errorLine;
  const char* abortLine;
  std::uint32_t successReport;
  std::uint32_t errorReport;
  std::uint32_t abortReport;
};

const GameWorker::JobOutcomes GameWorker::kInstallOutcomes = {
    "Install Complete!",           OperationType::InstallCompleted, OperationType::InstallError, -40,
    "Install End With Error!",     "Install End With User Abort!", kReportInstallSuccess,        kReportInstallError,
    kReportInstallAbort,
};

const GameWorker::JobOutcomes GameWorker::kPatchOutcomes = {
    nullptr,                     OperationType::PatchCompleted,  OperationType::PatchError, -50,
    "Patch End With Error!",     "Patch End With User Abort!",   kReportPatchSuccess,       kReportPatchError,
    kReportPatchAbort,
};

bool GameWorker::Install() {
  std::lock_guard job(job_mutex_);
  OBD_LOG_INFO("Install Game");
  const bool start = BeginJob();
  OBD_LOG_DEBUG("Set Last Error Code");

  bool installed = false;
  if (start) {
    std::shared_ptr<KTZInstaller> installer(KTZInstallerCreator::Create(this));
    if (installer) {
      if (auto* obd = dynamic_cast<OBDInstaller*>(installer.get()); obd != nullptr && waits_) obd->SetWaits(*waits_);
      installed = installer->Install();
    }
  }
  return FinishJob(installed, kInstallOutcomes);
}

bool GameWorker::Patch() {
  std::lock_guard job(job_mutex_);
  OBD_LOG_INFO("Patch Game");
  const bool start = BeginJob();

  bool patched = false;
  if (start) {
    OBDPatcher patcher(this);
    if (waits_) patcher.SetWaits(*waits_);
    patched = patcher.Patch();
  }
  return FinishJob(patched, kPatchOutcomes);
}

bool GameWorker::FinishJob(bool engineSucceeded, const JobOutcomes& outcomes) {
  ProgressInfoManager& progress = progress_info_manager;
  std::uint32_t report = 0;
  bool result = false;
  if (engineSucceeded && WorkSuccess()) {
    if (outcomes.successLine != nullptr) OBD_LOG_INFO("%s", outcomes.successLine);
    progress.SetOperationType(outcomes.completedOperation);
    SetPermission();
    if (!shortcut_target_path.empty()) MakeShortcut();
    work_mode_ = WorkMode::Ready;  // only now may the game be started
    report = outcomes.successReport;
    result = true;
  } else if (progress.GetProgress()) {
    progress.SetOperationType(outcomes.errorOperation);
    if (progress.GetErrorCode() == EngineErrors::kEngineFailureCode) progress.SetErrorCode(outcomes.errorCode);
    work_mode_ = WorkMode::Error;
    OBD_LOG_ERROR("%s", outcomes.errorLine);
    report = outcomes.errorReport;
  } else {
    progress.SetOperationType(OperationType::UserAbort);
    work_mode_ = WorkMode::UserAbort;
    OBD_LOG_INFO("%s", outcomes.abortLine);
    report = outcomes.abortReport;
  }
  EndJob();
  SendReport(report);
  return result;
}

bool GameWorker::WorkSuccess() {
  if (IsGameInstalled()) return true;
  const GameWorkerWrapperWorkMode mode = work_mode_.load();
  progress_info_manager.SetLastError(mode == WorkMode::Install ? EngineErrors::InstalledExecutableMissing
                                     : mode == WorkMode::Patch ? EngineErrors::PatchedExecutableMissing
                                                               : EngineErrors::RestoredExecutableMissing);
  return false;
}

void GameWorker::SetPermission() {
  OBD_LOG_INFO("%s", target_path.c_str());
  if (!Util::IsPathExists(target_path)) return;
  if (!FolderPermission::isRealFolder(target_path)) {
    // chmod would follow it, out of the games folder.
    OBD_LOG_ERROR("chmod Failed : %s is not a folder", target_path.c_str());
    return;
  }
  try {
    const CommandLineLauncher::Result r =
        CommandLineLauncher::runCommand(FolderPermission::kChmodPath, FolderPermission::arguments(target_path), true);
    if (r.status != 0) {
      OBD_LOG_ERROR("chmod Failed %d : %s", static_cast<int>(r.status), r.output.value_or("").c_str());
    }
  } catch (const CommandLineLauncher::LaunchError& e) {
    OBD_LOG_ERROR("chmod Failed : %s", e.what());
  }
}

void GameWorker::MakeShortcut() {
  const std::optional<std::string> script = shortcut_script_path_ ? shortcut_script_path_ : ShortcutScript::scriptPath();
  if (!script) {
    OBD_LOG_ERROR("Shortcut Script Not Found");
    return;
  }
  const std::string argument = ShortcutScript::gameArgument(game_code, obd_tag);
  const std::string shown =
      *script + " \"" + target_path + "\" \"" + target_executable_name + "\" " + argument;
  OBD_LOG_DEBUG("Shortcut: %s", shown.c_str());
  try {
    const CommandLineLauncher::Result r =
        ShortcutScript::run(*script, target_path, target_executable_name, game_code, obd_tag);
    if (r.status != 0) {
      OBD_LOG_ERROR("Shortcut Failed %d : %s", static_cast<int>(r.status), r.output.value_or("").c_str());
    }
  } catch (const CommandLineLauncher::LaunchError& e) {
    OBD_LOG_ERROR("Shortcut Failed : %s", e.what());
  }
}

void GameWorker::Cancel() {
  OBD_LOG_INFO("Cancel Progress");
  std::lock_guard lock(cancel_mutex_);
  progress_info_manager.Cancel();
  if (!job_running_) cancel_pending_ = true;
}

std::string GameWorker::GetProgressInfoJson() const {
  ProgressInfoManager::ProgressInfo info;
  progress_info_manager.GetProgressInfo(&info);
  return MakeProgressInfoJson(info);
}

std::string GameWorker::GetErrorInfoJson() const {
  ProgressInfoManager::ErrorInfo info;
  progress_info_manager.GetErrorInfo(&info);
  return MakeErrorInfoJson(info);
}
