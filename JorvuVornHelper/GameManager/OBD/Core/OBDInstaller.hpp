#pragma once
// The install of one game: loads the live manifest, checks the free space,
// prepares the local manifest (resuming an unfinished install of the live
// release, or starting afresh: also over an unfinished install of another
// release or one that left no local manifest, whose files the folder may
// hold unrecorded), clears the target
// folder for a fresh start, runs the job and saves the local manifest file
// whatever the outcome.
#include <memory>
#include <string>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDGameFolder.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/KTZInstaller.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"

class OBDInstaller : public KTZInstaller {
 public:
  // Games live in folders below this one; a fresh install deletes its
  // target only when the target lies strictly below it.
  static constexpr const char* kInstallRoot = "/Library/Application Support/Jorvu";

  explicit OBDInstaller(WorkInfo* workInfo);
  ~OBDInstaller() override;

  bool Setup() override;
  bool Install() override;
  DownloadMonitor GetDownloadMonitor() const override;

  void SetWaits(const OBDWaits& waits) { waits_ = waits; }
  // The folder the target must lie strictly below to be deleted (resolved
  // kInstallRoot unless set).
  void SetInstallRoot(const std::string& root) { installRoot_ = root; }
  const std::string& GetInstallRoot() const { return installRoot_; }

  // `path` is an absolute path strictly below `root`, with no "." or ".."
  // segment in either.
  static bool IsStrictlyBelow(const std::string& path, const std::string& root);

 private:
  // Reads the local manifest file for a resumed install; false when there
  // is none to read or it names another release than the live one (or
  // none), which the install does not resume.
  bool ReadLocalManifestForResume();

  std::unique_ptr<OBDWorker> worker_;
  std::unique_ptr<OBDSyncFolder> sync_;  // of the running job
  OBDWaits waits_;
  std::string installRoot_;
};
