#pragma once
// The patch of one installed game: loads the live manifest, marks the patch
// as started in the local manifest, loads the deltas for the release the
// patch starts from, runs the job and saves the local manifest file.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "JorvuVornHelper/GameManager/GameWorker/DownloadMonitor.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"

class WorkInfo;
class ProgressInfoManager;

class OBDPatcher {
 public:
  // Asked with each block of a delta's output (its number and bytes); false
  // stops the delta.
  using BlockCheck = std::function<bool(std::int64_t block, const std::uint8_t* bytes, std::size_t size)>;

  explicit OBDPatcher(WorkInfo* workInfo);
  virtual ~OBDPatcher();

  bool Patch();
  DownloadMonitor GetDownloadMonitor() const;
  void SetWaits(const OBDWaits& waits) { waits_ = waits; }

  // Runs the delta command stream in `delta` against `origin` into
  // `output`, in pieces of at most 4 MiB: every complete 4 MiB block of the
  // output is checked as soon as it is there, and the last, shorter one at
  // the end (an output of whole blocks has no such last check). A copy that
  // reads past the end of the origin reads zeros, so that a shortened origin
  // fails the block check; a command that runs past the end of the delta
  // fails.
  static bool ApplyDelta(ProgressInfoManager* progress, const std::string& origin, const std::string& delta,
                         const std::string& output, const BlockCheck& check);
  // How a delta over open files ended: applied; stopped by the block check;
  // a delta that is no command stream (it ends inside a command, as a delta
  // temp file with bytes past its end can); or a read or write that failed.
  enum class DeltaResult { Applied, CheckFailed, BrokenStream, IoFailed };
  // The same over files already open (the output open for writing, empty).
  static DeltaResult ApplyDelta(ProgressInfoManager* progress, int originFd, int deltaFd, int outputFd,
                                const BlockCheck& check);

 private:
  WorkInfo* workInfo_;
  std::unique_ptr<OBDWorker> worker_;
  std::unique_ptr<OBDSyncFolder> sync_;  // of the running job
  OBDWaits waits_;
};
