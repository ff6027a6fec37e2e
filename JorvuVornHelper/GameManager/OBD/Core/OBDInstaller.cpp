#include "JorvuVornHelper/GameManager/OBD/Core/OBDInstaller.hpp"

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/WorkInfo.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDSize.hpp"
#include "Platform/Paths.hpp"

std::unique_ptr<KTZInstaller> KTZInstallerCreator::Create(WorkInfo* workInfo) {
  if (workInfo == nullptr) return nullptr;
  return std::make_unique<OBDInstaller>(workInfo);
}

OBDInstaller::OBDInstaller(WorkInfo* workInfo)
    : KTZInstaller(workInfo), installRoot_(platform::resolvePath(kInstallRoot)) {}

OBDInstaller::~OBDInstaller() = default;

DownloadMonitor OBDInstaller::GetDownloadMonitor() const {
  return worker_ ? worker_->GetDownloadMonitor() : DownloadMonitor();
}

bool OBDInstaller::IsStrictlyBelow(const std::string& path, const std::string& root) {
  auto segments = [](const std::string& text, std::vector<std::string>& out) {
    if (text.empty() || text.front() != '/') return false;
    std::size_t start = 1;
    while (start <= text.size()) {
      std::size_t end = text.find('/', start);
      if (end == std::string::npos) end = text.size();
      const std::string segment = text.substr(start, end - start);
      if (segment == "." || segment == "..") return false;
      if (!segment.empty()) out.push_back(segment);
      start = end + 1;
    }
    return true;
  };
  std::vector<std::string> p;
  std::vector<std::string> r;
  if (!segments(path, p) || !segments(root, r)) return false;
  if (p.size() <= r.size()) return false;
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (p[i] != r[i]) return false;
  }
  return true;
}

bool OBDInstaller::ReadLocalManifestForResume() {
  WorkInfo& info = *workInfo_;
  OBDManifestController& controller = info.manifest_controller;
  // What the worker's decision may have read is not relied on: the file is
  // read here, so that the records of the unfinished install are used
  // whichever way the install was chosen.
  controller.ClearLocalManifest();
  std::string header;
  std::string contents;
  OBDManifest& local = controller.GetLocalManifest();
  // The folder holds what runs wrote for the release the file names, not
  // all of it recorded: without a file to tell, or over another release's
  // (or a file that names none), the install starts afresh. (Resumed with
  // no records, it would fetch every file again all the same.)
  if (!OBDManifestController::ReadLocalContents(info.game_code, info.target_path, header, contents)) {
    OBD_LOG_INFO("No Local Manifest To Resume");
    return false;
  }
  local.SetHeaderRaw(header);
  local.SetContentRaw(contents);
  if (!local.ParseHeader() || local.IsDifferentName(controller.GetLiveManifest())) {
    OBD_LOG_INFO("Local Manifest Of Another Release : %s", local.GetName().c_str());
    controller.ClearLocalManifest();
    return false;
  }
  // Only an unfinished install's records describe what is on disk; a
  // finished one's cannot explain a missing executable.
  if (!local.NeedToResume()) controller.ClearLocalManifest();
  controller.SetInstallReady(info.target_path);
  return true;
}

bool OBDInstaller::Setup() {
  if (workInfo_ == nullptr) return false;
  WorkInfo& info = *workInfo_;
  OBDManifestController& controller = info.manifest_controller;
  ProgressInfoManager& progress = info.progress_info_manager;

  OBD_LOG_INFO("Install Setup");
  // Deltas of an earlier patch have no place in an install.
  controller.GetLiveManifest().ClearDiffs();
  if (!controller.LoadLiveContents(info.source_url, [&progress] { return !progress.GetProgress(); })) {
    if (!progress.GetProgress()) return false;  // cancelled: no failure of its own
    progress.SetLastError(EngineErrors::InstallManifest);
    OBD_LOG_ERROR("Setup Error: Load Live Content Failed - %s", controller.GetErrorLog().c_str());
    return false;
  }

  const std::uint64_t required = obd::size::Scale(controller.GetLiveTotalUncompressedSize(), 1.1);
  if (!OBDWorker::HasCapacityFor(required, progress, 1)) return false;

  const std::string installingPath = info.target_path + "/" + info.target_executable_name;
  if (!info.target_path.empty() && Util::IsPathExists(installingPath)) {
    OBD_LOG_INFO("Resume Installing Path Not Empty ");
    if (ReadLocalManifestForResume()) {
      info.clean_install = false;
      return true;
    }
  } else {
    OBD_LOG_INFO("Resume Installing Path Empty ");
  }

  info.clean_install = true;
  controller.DeleteLocalManifestFile(info.game_code, info.target_path);
  controller.ClearLocalManifest();
  OBD_LOG_INFO("Clear Local Manifest ");
  OBD_LOG_INFO("Set Install Ready");
  controller.SetInstallReady(info.target_path);
  OBD_LOG_INFO("Install Setup Complete");
  return true;
}

bool OBDInstaller::Install() {
  if (!Setup()) return false;
  WorkInfo& info = *workInfo_;
  OBDManifestController& controller = info.manifest_controller;

  // A folder made afresh holds nothing of an earlier run to sweep up after.
  bool freshFolder = false;
  if (info.clean_install) {
    if (IsStrictlyBelow(info.target_path, installRoot_)) {
      Util::DeletePath(info.target_path);
      freshFolder = true;
    } else if (Util::IsPathExists(info.target_path)) {
      OBD_LOG_ERROR("Clean Install Skipped, not below %s : %s", installRoot_.c_str(), info.target_path.c_str());
    }
  }
  // The folder itself too, not only those above it.
  if (!Util::IsPathExists(info.target_path)) Util::MakeSureDirExist(info.target_path + "/");
  OBDManifestController::RemoveSaveLeftovers(info.game_code, info.target_path);

  // Opened before the job writes anything: every save of the job, the last
  // one included, syncs through it.
  sync_ = std::make_unique<OBDSyncFolder>(info.target_path);
  worker_ = std::make_unique<OBDWorker>(controller, info.progress_info_manager);
  worker_->SetWaits(waits_);
  worker_->SetSyncFolder(sync_.get());
  bool ok = worker_->Install(info.source_url, info.target_path);
  if (ok && !freshFolder) worker_->RemoveLeftovers(info.target_path);
  if (ok) controller.FinalizeForInstallSuccess(info.game_code, info.target_path);
  if (!controller.SaveResult(info.game_code, info.target_path, sync_.get()) && ok) {
    // Without its record on the disk the install is not done.
    info.progress_info_manager.SetLastError(EngineErrors::Write, static_cast<std::uint32_t>(errno));
    ok = false;
  }
  worker_->SetSyncFolder(nullptr);
  sync_.reset();
  return ok;
}
