#pragma once
// One install or patch job of one game: compares the live and local
// manifests, fetches every wanted object, writes the game's files and records
// each written object in the local manifest. The work is a pipeline of
// threads joined by queues:
//
//   differentiate -> [first] -> 2 x download -> [second, 128 MiB] -> file step -> [third] -> record
//
// A patch repeats the comparison until nothing differs, removes the files
// the live release dropped, and first rebuilds a lost local manifest from the
// installed files.
//
// Nothing is moved into place unchecked: every object written is checked
// against its hash, and the objects a resumed file's record counts as
// written are read back from its temp file by the differentiate step (only
// partly written files are read). A record reset that drops written objects
// is saved before the file step creates or truncates the temp file; an
// install saves a reset of a finished record before it queues the file, and
// a patch saves the local manifest before it changes the game's folder, so
// the saved file never calls a file finished that the job may have replaced
// or deleted.
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "JorvuVornHelper/GameManager/GameWorker/CURLShare.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/DownloadMonitor.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDBuffer.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDLivePaths.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestController.hpp"
#include "JorvuVornHelper/GameManager/ProgressInfoManager/ProgressInfoManager.hpp"

// The pauses between tries. A cancel ends them at once; tests shorten them.
struct OBDWaits {
  std::chrono::milliseconds download_retry{3000};
  std::chrono::milliseconds file_retry{1000};
  // How often, at most, the record step saves the local manifest file while
  // the job runs, so that a crashed job resumes where it was. 0: never.
  std::chrono::milliseconds checkpoint{1000};
};

class OBDWorker : public DownloadMonitor {
 public:
  static constexpr std::int32_t kDownloadThreads = 2;
  // The most transfers of small objects a download thread keeps in flight.
  static constexpr std::int32_t kTransfersPerThread = 4;
  // The record step is woken once this many finished items wait for it (or
  // the file step waits, or ends).
  static constexpr std::size_t kRecordWakeBatch = 32;
  static constexpr std::int64_t kSecondQueueCapacity = 134217728;  // 128 MiB of compressed data
  static constexpr int kDownloadTries = 5;
  static constexpr int kFileTries = 3;
  static constexpr int kComparePasses = 4;
  static constexpr std::size_t kBlockSize = 4194304;
  // The largest body an object may have: what zlib's deflate makes of one
  // block at worst (its compressBound), plus an eighth of a block for
  // encoders less thrifty than zlib (fixed codes spend 9 bits on some bytes).
  static constexpr std::size_t kMaxObjectBodySize =
      kBlockSize + (kBlockSize >> 12) + (kBlockSize >> 14) + (kBlockSize >> 25) + 13 + kBlockSize / 8;
  static constexpr const char* kTempExtension = ".zqgz";
  static constexpr const char* kDeltaExtension = ".zqdelta";

  OBDWorker(OBDManifestController& controller, ProgressInfoManager& progress);
  OBDWorker(const OBDWorker&) = delete;
  OBDWorker& operator=(const OBDWorker&) = delete;

  void SetWaits(const OBDWaits& waits) { waits_ = waits; }
  // The job's descriptor of the game's folder, through which every save
  // syncs (see OBDSyncFolder); not owned. Without one, a save syncs through
  // its own temp file.
  void SetSyncFolder(OBDSyncFolder* sync) { sync_ = sync; }

  bool Install(const std::string& sourceURL, const std::string& targetPath);
  bool Patch(const std::string& sourceURL, const std::string& targetPath);

  // The differentiate step. `bytesToFetch` and `itemsQueued`, when given,
  // receive the bytes the queued files still lack and the number of work
  // items queued (end markers not counted).
  void ObjectDifferentiate(const std::string& targetPath, OBDBuffer& out, std::int32_t downloadThreadCount,
                           std::uint64_t* bytesToFetch, std::uint64_t* itemsQueued = nullptr);
  void Download(const std::string& sourceURL, OBDBuffer& in, OBDBuffer& out);
  void FileProcess(OBDBuffer& in, OBDBuffer& out);
  void ResultRecord(OBDBuffer& in);

  // The bytes full object `index` of a file of `count` objects and
  // `fileSize` bytes inflates to: a whole block for all but the last, the
  // rest of the file for the last. Nothing when no such object can exist.
  static std::optional<std::uint64_t> FullObjectSize(std::int64_t index, std::int64_t count, std::uint64_t fileSize);

  // Inflates one object, checks it against its hash and writes it at
  // index x 4 MiB of the file `fd` (or at the current position with
  // `noSeek`). Records the error triple on failure.
  bool Extract(std::int64_t index, const std::vector<std::uint8_t>& data, const std::string& objectHash, bool noSeek,
               std::uint64_t& uncompressedSize, int fd);

  std::uint64_t GetRestoreTargetsSize(const std::string& targetPath);
  bool RestoreManifest(const std::string& targetPath);
  void DeleteDisappearedLocal(const std::string& targetPath);
  // After a success: removes the temp files of the engine's naming that the
  // release does not name as its own files, wherever a run cut short left
  // them, and the folders below the target that only they kept.
  void RemoveLeftovers(const std::string& targetPath);
  // Walks every folder below root; hands each regular file to the callback.
  // Symbolic links are neither followed nor handed over.
  bool IterateLocalFiles(const std::string& root, const std::function<bool(const std::string&)>& callback);

  // The free-space check of a job that needs `required` bytes: false, with
  // the lack of space and its capacity text recorded (status 1 install,
  // 2 patch) and logged, when the root volume has less.
  static bool HasCapacityFor(std::uint64_t required, ProgressInfoManager& progress, std::uint32_t status);

  void SetErrorOccured();
  bool IsErrorOccured();
  // The failure step of the job's threads: records the error (with the
  // system's error number or 0), writes the log line at error level when a
  // format is given, and sets the error flag, so every loop stops.
  void Fail(EngineError error, std::uint32_t subCode, const char* format = nullptr, ...)
      __attribute__((format(printf, 4, 5)));
  // Records and logs as Fail does, without setting the error flag: for a
  // failure that the caller may still retry or live with.
  void Record(EngineError error, std::uint32_t subCode, const char* format = nullptr, ...)
      __attribute__((format(printf, 4, 5)));
  DownloadMonitor GetDownloadMonitor() const { return *this; }

 private:
  struct PipelineQueues;
  void ClearErrorOccured();
  bool InProgress() const { return progress_.GetProgress(); }
  // Waits up to `wait`; false when the job was cancelled meanwhile.
  bool RetryWait(std::chrono::milliseconds wait);
  // One try of a retried step: done, worth another try, or given up.
  enum class Try { Done, Again, Stop };
  // Makes up to `tries` tries, waiting `wait` between two; a cancel ends a
  // wait at once and with it the tries. True when a try was done.
  bool RetryWithWaits(int tries, std::chrono::milliseconds wait, const std::function<Try()>& attempt);
  void RecordV(EngineError error, std::uint32_t subCode, const char* format, va_list args);
  // Runs the download, file and record steps (and the differentiate step,
  // when `differentiate` is set) over fresh queues and notes the statistics.
  void RunPipeline(const std::string& sourceURL, const std::string& targetPath, OBDBuffer& first, OBDBuffer& second,
                   OBDBuffer& third, bool differentiate);
  // The paths the live release names, made when the job first asks: by the
  // job's own thread outside its pipelines, or by the differentiate step
  // before it queues anything.
  const OBDLivePaths& LivePaths();
  // The name of the temp file (".zqgz", or ".zqdelta" with `delta`) of the
  // file of `key` whose name is `name`: see OBDLivePaths::TempSuffixOf; the
  // paths the local manifest records are taken too.
  std::string TempNameOf(const std::string& key, const std::string& name, bool delta);
  // Whether the local manifest recorded `relative`, or a path below it,
  // when the comparison began.
  bool IsRecordedPath(const std::string& relative) const;
  // Moves each record of the local manifest whose key the live release
  // lacks, but whose path it names under another key, to that key: so the
  // comparison matches records to the release by path, and an old record
  // under another spelling never passes for the file. The differentiate
  // step's first act, before it queues any item (so before the file step
  // can ask for the live paths). True when it moved a record.
  bool MatchRecordsToLivePaths();
  // Saves the local manifest file: when due (at most once per checkpoint
  // wait), or at once with `force`. Any thread of the job.
  void Checkpoint(bool force);
  // Saves the local manifest file before the job changes the game's folder
  // (files renamed into place, files deleted), so that a kill from then on
  // leaves a file that tells a patch under way and claims no file the job
  // may change. When it cannot be written over an older file, false with
  // the job failed: the older file still holds, since nothing has changed
  // that it claims. While a pipeline runs, only by the differentiate step,
  // before it queues the items of the file whose claim the save drops.
  bool SaveBeforeChanges(const std::string& targetPath);
  // Removes each of `folders` (below the target) that is empty, deepest
  // first; never through a link.
  void RemoveEmptyFolders(const std::string& targetPath, const std::set<std::string>& folders);

  // The file step's parts.
  struct FileStreamState;
  class FolderCache;
  bool OpenFileState(const OBDBuffer::Element& element, FolderCache& folders, std::unique_ptr<FileStreamState>& state);
  bool FinishFullFile(const OBDBuffer::Element& element, FileStreamState& state);
  bool ApplyDeltaFor(OBDBuffer::Element& element, int folder, const std::string& name);
  bool MoveIntoPlace(const OBDBuffer::Element& element, int folder, const std::string& name);
  // Deletes the delta temp file an earlier try left beside a file now
  // fetched whole.
  void RemoveDeltaLeftover(const OBDBuffer::Element& element, int folder, const std::string& name);
  // Whether the finished file open at `fd` has the live manifest's size;
  // a file of another size is broken.
  bool HasLiveSize(const OBDBuffer::Element& element, int fd);
  bool BrokenFile(const OBDBuffer::Element& element, std::uint64_t size, std::uint64_t expected);
  // Fails the job with the write error of errno.
  bool WriteFailed(const OBDBuffer::Element& element);

  OBDManifestController& controller_;
  ProgressInfoManager& progress_;
  std::mutex manifestMutex_;
  std::mutex errorMutex_;
  std::mutex threadCountMutex_;
  std::mutex checkpointMutex_;  // one save at a time; guards nextCheckpoint_
  bool errorOccured_ = false;
  std::int32_t downloadThreadCount_ = kDownloadThreads;
  std::uint64_t downloadDuration_ = 0;  // milliseconds with transfers going, summed over the download threads
  std::uint64_t downloadedBytes_ = 0;
  // The host names and TLS sessions the download threads of the running
  // pipeline share; null outside a pipeline.
  CURLShare* share_ = nullptr;
  std::int64_t secondQueueCapacity_ = kSecondQueueCapacity;
  bool endPointNoted_ = false;
  // The differentiate step runs beside the pipeline's other steps (an
  // install), not before them (a patch). Set before the threads start.
  bool besidePipeline_ = false;
  OBDSyncFolder* sync_ = nullptr;
  // The paths the local manifest records (files installed for whatever
  // release), noted by the differentiate step before it queues anything,
  // so that no temp name takes one of them; then only read.
  std::set<std::string> recordedPaths_;

  OBDWaits waits_;
  std::string targetPath_;  // of the running job, for the checkpoints
  std::unique_ptr<OBDLivePaths> livePaths_;  // of the running job, see LivePaths()
  std::chrono::steady_clock::time_point nextCheckpoint_{};
};
