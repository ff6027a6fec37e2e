#pragma once
// The engine's installer interface and its factory. The game worker makes
// its installer through the factory, runs Install() once and lets it go.
#include <memory>

#include "JorvuVornHelper/GameManager/GameWorker/DownloadMonitor.hpp"

class WorkInfo;

class KTZInstaller {
 public:
  explicit KTZInstaller(WorkInfo* workInfo) : workInfo_(workInfo) {}
  virtual ~KTZInstaller() {}
  // Runs the whole install job; true on success.
  virtual bool Install() = 0;
  // Prepares the job.
  virtual bool Setup() = 0;
  virtual DownloadMonitor GetDownloadMonitor() const { return DownloadMonitor(); }

 protected:
  WorkInfo* workInfo_;  // not owned
};

class KTZInstallerCreator {
 public:
  // No installer for a null pointer.
  static std::unique_ptr<KTZInstaller> Create(WorkInfo* workInfo);
};
