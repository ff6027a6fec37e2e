#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDGameFolder.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDSize.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestDiffIterator.hpp"

namespace fs = std::filesystem;

namespace {

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Every folder between `root` and the last component of `path` is a real
// folder, not a symbolic link: a link there could lead a deletion out of
// the game's folder.
bool NoLinkBelow(const std::string& root, const std::string& path) {
  const std::string prefix = WithoutTrailingSlash(root) + "/";
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  for (std::size_t slash = path.find('/', prefix.size()); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    struct stat st {};
    if (::lstat(path.substr(0, slash).c_str(), &st) != 0) return true;  // nothing there: nothing to follow
    if (!S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

bool IsRealFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads up to `size` bytes at `offset` (or from the current position when
// offset is negative), retrying short reads; -1 on an error.
ssize_t ReadFull(int fd, std::uint8_t* buffer, std::size_t size, off_t offset = -1) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = offset < 0 ? ::read(fd, buffer + done, size - done)
                                 : ::pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// The temp files of resumed files, read back by the differentiate step
// before the objects their records count as written are counted: one temp
// file open at a time, opened as the file step opens it.
class ResumedTemps {
 public:
  // `tempName` gives the name of a file's temp file, as the file step names it.
  using TempName = std::function<std::string(const std::string& key, const std::string& name, bool delta)>;
  ResumedTemps(const std::string& targetPath, TempName tempName)
      : targetPath_(targetPath), tempName_(std::move(tempName)) {}

  // Whether the item's temp file holds its object: the bytes at the
  // object's offset hash to the object's hash.
  bool Holds(const OBDBuffer::Element& element, const OBDManifest& live) {
    if (element.key != key_) Open(element);
    if (!temp_.ok() || element.object_index < 0) return false;
    const std::uint64_t offset = static_cast<std::uint64_t>(element.object_index) * OBDWorker::kBlockSize;
    std::optional<std::uint64_t> size;
    if (element.source.empty()) {
      size = OBDWorker::FullObjectSize(element.object_index, element.object_count,
                                       live.GetUncompressedFileSize(element.key));
    } else if (element.object_index + 1 < element.object_count) {
      size = OBDWorker::kBlockSize;
    } else {
      // The last piece of a delta ends where its temp file ends.
      struct stat st {};
      if (::fstat(temp_.get(), &st) != 0) return false;
      const auto fileSize = static_cast<std::uint64_t>(st.st_size);
      size = fileSize > offset ? std::min<std::uint64_t>(fileSize - offset, OBDWorker::kBlockSize) : 0;
    }
    if (!size) return false;
    if (!buffer_) buffer_.reset(new std::uint8_t[OBDWorker::kBlockSize]);
    const auto wanted = static_cast<std::size_t>(*size);
    return ReadFull(temp_.get(), buffer_.get(), wanted, static_cast<off_t>(offset)) == static_cast<ssize_t>(wanted) &&
           OBDManifest::GetHash(buffer_.get(), wanted) == element.object_hash;
  }

 private:
  void Open(const OBDBuffer::Element& element) {
    key_ = element.key;
    temp_ = OBDFd();
    if (!folder_) folder_ = std::make_unique<OBDGameFolder>(targetPath_);
    std::string name;
    const std::shared_ptr<OBDFd> parent = folder_->OpenFolderOf(element.full_path, false, name);
    if (!parent) return;  // nothing readable: every object is fetched again
    name = tempName_(element.key, name, !element.source.empty());
    temp_ = OBDFd(::openat(parent->get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  }

  std::string targetPath_;
  TempName tempName_;
  std::unique_ptr<OBDGameFolder> folder_;
  std::string key_;
  OBDFd temp_;
  std::unique_ptr<std::uint8_t[]> buffer_;
};

}  // namespace

OBDWorker::OBDWorker(OBDManifestController& controller, ProgressInfoManager& progress)
    : controller_(controller), progress_(progress) {}

bool OBDWorker::HasCapacityFor(std::uint64_t required, ProgressInfoManager& progress, std::uint32_t status) {
  const std::uint64_t available = Util::GetAvailableDiskSize();
  if (available < required) {
    const std::string message = MakeCapacityMessage(available, required, status);
    progress.SetLastError(EngineErrors::DiskSpace);
    progress.SetLastErrorMessage(message);
    OBD_LOG_ERROR("Need More Capacity, %s", message.c_str());
    return false;
  }
  OBD_LOG_INFO("Enough Capacity");
  return true;
}

void OBDWorker::SetErrorOccured() {
  std::lock_guard lock(errorMutex_);
  errorOccured_ = true;
}

bool OBDWorker::IsErrorOccured() {
  std::lock_guard lock(errorMutex_);
  return errorOccured_;
}

void OBDWorker::ClearErrorOccured() {
  std::lock_guard lock(errorMutex_);
  errorOccured_ = false;
}

bool OBDWorker::RetryWait(std::chrono::milliseconds wait) {
  if (wait.count() <= 0) return InProgress();
  return !progress_.WaitForCancel(wait);
}

bool OBDWorker::RetryWithWaits(int tries, std::chrono::milliseconds wait, const std::function<Try()>& attempt) {
  for (int n = 1; n <= tries; ++n) {
    const Try result = attempt();
    if (result == Try::Done) return true;
    if (result == Try::Stop) return false;
    if (n < tries && !RetryWait(wait)) return false;
  }
  return false;
}

void OBDWorker::RecordV(EngineError error, std::uint32_t subCode, const char* format, va_list args) {
  progress_.SetLastError(error, subCode);
  if (format == nullptr) return;
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(needed > 0 ? static_cast<std::size_t>(needed) + 1 : 1, '\0');
  std::vsnprintf(message.data(), message.size(), format, args);
  message.resize(needed > 0 ? static_cast<std::size_t>(needed) : 0);
  OBD_LOG_ERROR("%s", message.c_str());
}

void OBDWorker::Record(EngineError error, std::uint32_t subCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  RecordV(error, subCode, format, args);
  va_end(args);
}

void OBDWorker::Fail(EngineError error, std::uint32_t subCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  RecordV(error, subCode, format, args);
  va_end(args);
  SetErrorOccured();
}

// ---- Steps ----

void OBDWorker::ObjectDifferentiate(const std::string& targetPath, OBDBuffer& out, std::int32_t downloadThreadCount,
                                    std::uint64_t* bytesToFetch, std::uint64_t* itemsQueued) {
  // Beside a running pipeline (an install), the file step may replace a file
  // as soon as its items are queued, and an earlier file of this comparison
  // may already be in place: a record that the comparison moves, drops or
  // resets and that the saved file still calls finished is saved first, as
  // the patch saves before its pipeline starts.
  // (A save that fails sets the error flag, which ends the loop below.)
  const bool saveEachClaim = besidePipeline_;
  if (MatchRecordsToLivePaths() && saveEachClaim) SaveBeforeChanges(targetPath);
  OBDManifestDiffIterator iterator(controller_.GetLiveManifest(), controller_.GetLocalManifest());
  // Made before the first item is queued: the file step only reads them.
  LivePaths();
  {
    std::lock_guard lock(manifestMutex_);
    recordedPaths_.clear();
    const rapidjson::Value& files = controller_.GetLocalManifest().GetContents().Files();
    if (files.IsObject()) {
      for (auto m = files.MemberBegin(); m != files.MemberEnd(); ++m) {
        std::string relative =
            obd::utils::GetDecodedRelativePath(std::string_view(m->name.GetString(), m->name.GetStringLength()));
        if (!relative.empty()) recordedPaths_.insert(std::move(relative));
      }
    }
  }
  ResumedTemps resumed(targetPath, [this](const std::string& key, const std::string& name, bool delta) {
    return TempNameOf(key, name, delta);
  });
  std::uint64_t queued = 0;
  while (!IsErrorOccured() && InProgress()) {
    std::string key;
    std::string source;
    std::string fullPath;
    std::int64_t objectCount = 0;
    bool iteratorError = false;
    if (!iterator.GetUpdatedFile(targetPath, key, objectCount, source, fullPath, iteratorError)) {
      if (iteratorError) Fail(EngineErrors::Compare, 0);
      break;
    }
    if (key.empty()) {  // unchanged
      iterator.SetNext();
      continue;
    }

    bool fresh = false;
    bool dropsRecords = false;
    bool dropsFinished = false;
    {
      std::lock_guard lock(manifestMutex_);
      const bool tempExists = Util::IsFileExists(TempNameOf(key, fullPath, !source.empty()));
      const OBDManifest& local = controller_.GetLocalManifest();
      const bool hadRecords = local.GetUnfinishedObjectsCount(key) > 0;
      const bool wasFinished = local.IsFileFinished(key);
      fresh = controller_.FileInitializeInLocal(key, tempExists);
      dropsRecords = fresh && hadRecords;
      dropsFinished = fresh && wasFinished;
      if (bytesToFetch != nullptr) {
        *bytesToFetch = obd::size::Add(*bytesToFetch, controller_.GetDifferentUncompressedFileSize(key));
      }
    }
    // The file step creates or truncates the temp file when the file's first
    // item reaches it. A saved record that still lists written objects of
    // the file must be gone by then: beside the new temp file it would claim
    // objects that the file does not hold.
    if (dropsFinished && saveEachClaim) {
      if (!SaveBeforeChanges(targetPath)) break;
    } else if (dropsRecords) {
      Checkpoint(true);
    }

    bool anyObject = false;
    while (!IsErrorOccured() && InProgress()) {
      OBDBuffer::Element element;
      element.full_path = fullPath;
      element.key = key;
      element.object_count = objectCount;
      element.source = source;
      element.fresh_file = fresh;
      bool recorded = false;
      if (!iterator.GetUpdatedObject(element.object_hash, element.object_index, recorded)) break;
      if (recorded) {
        // The record and the temp file reach the disk apart, so a crash can
        // leave the record ahead of the file: an object it counts is read
        // back and counted only when its bytes match.
        if (resumed.Holds(element, controller_.GetLiveManifest())) {
          element.already_present = true;
          element.object_hash.clear();
          element.object_index = -1;
        } else if (bytesToFetch != nullptr) {
          *bytesToFetch = obd::size::Add(*bytesToFetch, kBlockSize);
        }
      }
      out.AddElement(std::move(element));
      anyObject = true;
      ++queued;
    }
    // A file without objects is still a file: it is created empty and
    // recorded like any other.
    if (!anyObject && objectCount == 0 && !IsErrorOccured() && InProgress()) {
      OBDBuffer::Element element;
      element.full_path = fullPath;
      element.key = key;
      element.object_count = 0;
      element.source = source;
      element.fresh_file = fresh;
      element.already_present = true;
      out.AddElement(std::move(element));
      ++queued;
    }
    iterator.SetNext();
  }
  for (std::int32_t i = 0; i < downloadThreadCount; ++i) out.AddElement(OBDBuffer::Element{});
  if (itemsQueued != nullptr) *itemsQueued = queued;
  if (IsErrorOccured() || !InProgress()) out.Quit();
}

void OBDWorker::ResultRecord(OBDBuffer& in) {
  OBDBuffer::Element element;
  while (in.GetElement(element)) {
    {
      std::lock_guard lock(manifestMutex_);
      if (!element.already_present) {
        controller_.AddObjectInLocal(element.key, element.object_index, element.object_hash,
                                     element.uncompressed_size);
      }
      if (element.last_object) {
        if (!element.source.empty()) {
          controller_.DiffFinalize(element.key, element.origin_broken);
        } else {
          controller_.FileFinalizeInLocal(element.key);
        }
      }
    }
    element = OBDBuffer::Element{};
    Checkpoint(false);
  }
}

bool OBDWorker::MatchRecordsToLivePaths() {
  std::lock_guard lock(manifestMutex_);
  OBDManifest& local = controller_.GetLocalManifest();
  const OBDManifest& live = controller_.GetLiveManifest();
  std::vector<std::string> unknown;
  const rapidjson::Value& files = local.GetContents().Files();
  if (!files.IsObject()) return false;
  for (auto m = files.MemberBegin(); m != files.MemberEnd(); ++m) {
    std::string key(m->name.GetString(), m->name.GetStringLength());
    if (!live.HasFile(key)) unknown.push_back(std::move(key));
  }
  if (unknown.empty()) return false;  // nearly always: nothing to look up
  const OBDLivePaths& paths = LivePaths();
  bool moved = false;
  for (const std::string& key : unknown) {
    if (const std::string* liveKey = paths.KeyOf(obd::utils::GetDecodedRelativePath(key))) {
      local.MoveFileRecord(key, *liveKey);
      moved = true;
    }
  }
  return moved;
}

const OBDLivePaths& OBDWorker::LivePaths() {
  if (!livePaths_) livePaths_ = std::make_unique<OBDLivePaths>(controller_.GetLiveManifest());
  return *livePaths_;
}

std::string OBDWorker::TempNameOf(const std::string& key, const std::string& name, bool delta) {
  return name + LivePaths().TempSuffixOf(obd::utils::GetDecodedRelativePath(key),
                                         delta ? kDeltaExtension : kTempExtension,
                                         [this](const std::string& path) { return IsRecordedPath(path); });
}

bool OBDWorker::IsRecordedPath(const std::string& relative) const {
  if (recordedPaths_.contains(relative)) return true;
  const std::string folder = relative + "/";
  const auto below = recordedPaths_.lower_bound(folder);
  return below != recordedPaths_.end() && below->starts_with(folder);
}

void OBDWorker::Checkpoint(bool force) {
  std::lock_guard lock(checkpointMutex_);
  if (targetPath_.empty()) return;
  const auto started = std::chrono::steady_clock::now();
  if (!force && (waits_.checkpoint.count() <= 0 || started < nextCheckpoint_)) return;
  // A failure is left to a later save: a failed sync fails every later
  // save of the job too, the last one included.
  OBDManifestController::WriteLocalManifestFile(controller_.GetGameCode(), targetPath_,
                                                controller_.GetLocalManifest(), &manifestMutex_, sync_);
  // The write of a large manifest takes its time, under the lock the
  // differentiate step needs too: it may take a tenth of the job at most.
  const auto took = std::chrono::steady_clock::now() - started;
  nextCheckpoint_ = started + std::max<std::chrono::steady_clock::duration>(waits_.checkpoint, took * 10);
}

bool OBDWorker::SaveBeforeChanges(const std::string& targetPath) {
  std::lock_guard lock(checkpointMutex_);
  const std::uint32_t code = controller_.GetGameCode();
  if (OBDManifestController::WriteLocalManifestFile(code, targetPath, controller_.GetLocalManifest(),
                                                    &manifestMutex_, sync_)) {
    return true;
  }
  const int error = errno;
  const std::string path = OBDManifestController::LocalManifestPath(code, targetPath);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    // No local manifest file there to claim anything: every later decision
    // is a patch, which rebuilds the records from the files' bytes.
    OBD_LOG_ERROR("Save Local Manifest Failed : %s (%s)", path.c_str(), std::strerror(error));
    return true;
  }
  Fail(EngineErrors::Write, static_cast<std::uint32_t>(error), "Save Local Manifest Failed : %s (%s)", path.c_str(),
       std::strerror(error));
  return false;
}

void OBDWorker::RunPipeline(const std::string& sourceURL, const std::string& targetPath, OBDBuffer& first,
                            OBDBuffer& second, OBDBuffer& third, bool differentiate) {
  {
    std::lock_guard lock(threadCountMutex_);
    downloadThreadCount_ = kDownloadThreads;
    downloadDuration_ = 0;
    downloadedBytes_ = 0;
    endPointNoted_ = false;
  }
  const std::int32_t threadsAtStart = kDownloadThreads;
  besidePipeline_ = differentiate;
  SetStartTime();
  // The record step is quick and would otherwise be woken for every item.
  third.SetWakeBatch(kRecordWakeBatch);
  CURLShare share;  // outlives the threads, and with them every transfer
  share_ = &share;
  {
    std::vector<std::jthread> threads;
    for (std::int32_t i = 0; i < threadsAtStart; ++i) {
      threads.emplace_back([&] { Download(sourceURL, first, second); });
    }
    threads.emplace_back([&] { FileProcess(second, third); });
    threads.emplace_back([&] { ResultRecord(third); });
    if (differentiate) {
      threads.emplace_back([&] { ObjectDifferentiate(targetPath, first, threadsAtStart, nullptr); });
    }
  }  // joined here
  share_ = nullptr;
  besidePipeline_ = false;
  std::uint64_t duration = 0;
  std::uint64_t bytes = 0;
  {
    std::lock_guard lock(threadCountMutex_);
    duration = downloadDuration_;
    bytes = downloadedBytes_;
  }
  SetDuration(duration / static_cast<std::uint64_t>(threadsAtStart));
  SetEndTime();
  SetEndState(!IsErrorOccured() && InProgress() ? Completed : FailedOrCancelled);
  SetTotalSize(bytes);
  FillExtraData();
}

// ---- Jobs ----

bool OBDWorker::Install(const std::string& sourceURL, const std::string& targetPathIn) {
  const std::string targetPath = WithoutTrailingSlash(targetPathIn);
  progress_.SetOperationTypeAndSizeReset(OperationType::Install);
  controller_.ParseLocalContents();
  progress_.SetTotalSize(controller_.GetLiveTotalUncompressedSize());
  progress_.SetCurrentSize(controller_.GetLocalTotalUncompressedSize());
  ClearErrorOccured();
  targetPath_ = targetPath;
  nextCheckpoint_ = {};
  livePaths_.reset();

  OBDBuffer first;
  OBDBuffer second(secondQueueCapacity_);
  OBDBuffer third;
  RunPipeline(sourceURL, targetPath, first, second, third, true);
  targetPath_.clear();
  return !IsErrorOccured() && InProgress();
}

bool OBDWorker::Patch(const std::string& sourceURL, const std::string& targetPathIn) {
  const std::string targetPath = WithoutTrailingSlash(targetPathIn);
  progress_.SetOperationType(OperationType::PatchPrepare);
  ClearErrorOccured();
  livePaths_.reset();

  if (!controller_.ParseLocalContents()) {
    progress_.SetOperationTypeAndSizeReset(OperationType::PatchRestore);
    progress_.SetTotalSize(GetRestoreTargetsSize(targetPath));
    if (!RestoreManifest(targetPath) || !InProgress()) {
      controller_.ClearLocalManifest();
      return false;
    }
  }

  // Saves from here on: a comparison saves the records it drops.
  targetPath_ = targetPath;
  bool done = false;
  for (int pass = 0; pass < kComparePasses; ++pass) {
    if (!InProgress()) break;
    ClearErrorOccured();
    OBDBuffer first;
    OBDBuffer second(secondQueueCapacity_);
    OBDBuffer third;
    std::uint64_t bytesToFetch = 0;
    std::uint64_t itemsQueued = 0;
    ObjectDifferentiate(targetPath, first, kDownloadThreads, &bytesToFetch, &itemsQueued);

    // A comparison that failed found nothing because it stopped, not
    // because nothing differs: its error stands and the patch fails.
    if (IsErrorOccured() || !InProgress()) break;
    if (itemsQueued == 0) {
      // Nothing to fetch: a release that only dropped files still has them
      // removed here, or they would stay for good (the names now agree, so
      // no later patch would look at them again).
      DeleteDisappearedLocal(targetPath);
      done = !IsErrorOccured();  // a save before the clean-up that failed keeps its error
      break;
    }
    if (pass == kComparePasses - 1) break;

    if (!HasCapacityFor(bytesToFetch, progress_, 2)) {
      targetPath_.clear();
      return false;
    }
    // Files change from here on: the saved local manifest first takes the
    // origin and the new name, and the records this comparison reset.
    if (!SaveBeforeChanges(targetPath)) break;
    progress_.SetOperationTypeAndSizeReset(OperationType::PatchDownload);
    progress_.SetTotalSize(bytesToFetch);

    nextCheckpoint_ = {};
    RunPipeline(sourceURL, targetPath, first, second, third, false);
    if (!IsErrorOccured() && InProgress()) DeleteDisappearedLocal(targetPath);
  }

  targetPath_.clear();
  if (!done) {
    SetErrorOccured();
    return false;
  }
  progress_.ResetLastErrorCode();
  return !IsErrorOccured() && InProgress();
}

// ---- Restore, clean-up, walk ----

bool OBDWorker::IterateLocalFiles(const std::string& root, const std::function<bool(const std::string&)>& callback) {
  std::vector<std::string> stack{WithoutTrailingSlash(root)};
  while (!stack.empty() && InProgress()) {
    const std::string folder = std::move(stack.back());
    stack.pop_back();
    if (!IsRealFolder(folder)) return false;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (!InProgress()) break;
      const fs::directory_entry& entry = *it;
      const fs::file_type type = entry.symlink_status(ec).type();
      if (ec) return false;
      const std::string path = entry.path().string();
      if (type == fs::file_type::directory) {
        stack.push_back(path);
      } else if (type == fs::file_type::regular) {
        if (!callback(path)) return false;
      }
      // Links, sockets and the like are not game files: skipped.
    }
    if (ec) return false;
  }
  return true;
}

std::uint64_t OBDWorker::GetRestoreTargetsSize(const std::string& targetPath) {
  std::uint64_t total = 0;
  IterateLocalFiles(targetPath, [&](const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) total = obd::size::Add(total, static_cast<std::uint64_t>(st.st_size));
    return true;
  });
  return total;
}

bool OBDWorker::RestoreManifest(const std::string& targetPathIn) {
  const std::string targetPath = WithoutTrailingSlash(targetPathIn);
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kBlockSize]);
  return IterateLocalFiles(targetPath, [&](const std::string& path) {
    const std::string relative = path.substr(targetPath.size() + 1);
    if (controller_.IsExcludedLocalFile(relative)) return true;
    // The release may spell the key of a file otherwise than the Base64 of
    // its path ("\" between the names, no padding): a file whose path it
    // names is that file, under the release's own key.
    const std::string* liveKey = LivePaths().KeyOf(relative);
    std::lock_guard lock(manifestMutex_);
    if (liveKey == nullptr) {
      controller_.InsertEmptyFileInLocal(obd::utils::Base64Encode(relative));
      return true;
    }
    const std::string& key = *liveKey;
    if (!controller_.FileInitializeInLocal(key, false)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    std::int64_t index = 0;
    bool ok = true;
    while (InProgress()) {
      const ssize_t n = ReadFull(fd, buffer.get(), kBlockSize);
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      const auto size = static_cast<std::uint64_t>(n);
      const std::string hash = OBDManifest::GetHash(buffer.get(), static_cast<std::size_t>(n));
      if (!controller_.AddObjectInLocal(key, index++, hash, size)) {
        ok = false;
        break;
      }
      progress_.AddCurrentSize(size);
      if (size < kBlockSize) break;
    }
    ::close(fd);
    if (!ok) return false;
    return controller_.FileFinalizeInLocal(key);
  });
}

void OBDWorker::DeleteDisappearedLocal(const std::string& targetPathIn) {
  const std::string targetPath = WithoutTrailingSlash(targetPathIn);
  std::vector<std::string> keys;
  {
    std::lock_guard lock(manifestMutex_);
    OBDManifestDiffIterator iterator(controller_.GetLiveManifest(), controller_.GetLocalManifest());
    keys = iterator.GetNotExistFilesInLocal();
    // Emptied and saved before the files go, the records claim no file
    // that may be gone, and a kill among the deletions leaves the next
    // clean-up the list of what is still to go. They leave when it is done.
    for (const std::string& key : keys) controller_.InsertEmptyFileInLocal(key);
  }
  if (keys.empty() || !SaveBeforeChanges(targetPath)) return;
  std::set<std::string> folders;
  for (const std::string& key : keys) {
    // Whatever key named it, a path that the release names (the same file
    // spelled otherwise, or a folder of its files) is never deleted.
    const std::string relative = obd::utils::GetDecodedRelativePath(key);
    if (relative.empty() || LivePaths().Holds(relative)) continue;
    const std::string path = obd::utils::GetDecodedTargetFullPath(targetPath, key);
    if (path.empty() || !NoLinkBelow(targetPath, path)) continue;
    Util::DeletePath(path);
    Util::GetParentFolders(targetPath, path, folders);
  }
  {
    std::lock_guard lock(manifestMutex_);
    for (const std::string& key : keys) controller_.RemoveFileInLocal(key);
  }
  RemoveEmptyFolders(targetPath, folders);
}

void OBDWorker::RemoveEmptyFolders(const std::string& targetPath, const std::set<std::string>& folders) {
  // Longest first, so a folder that held only emptied folders goes too.
  std::vector<std::string> ordered(folders.begin(), folders.end());
  std::sort(ordered.begin(), ordered.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& folder : ordered) {
    if (!IsRealFolder(folder) || !NoLinkBelow(targetPath, folder)) continue;
    if (Util::IsPathEmpty(folder)) ::rmdir(folder.c_str());
  }
}
