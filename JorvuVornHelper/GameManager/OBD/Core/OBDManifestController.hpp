#pragma once
// One game's pair of manifests: the live one (named by the catalogue,
// downloaded from the source) and the local one, kept in a gzip file in the
// game's folder, which records what is installed and what is unfinished.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"

class OBDSyncFolder;

class OBDManifestController {
 public:
  static constexpr const char* kLocalManifestPrefix = "obd-manifest";
  // A local manifest file larger than this (uncompressed) is not read.
  static constexpr std::size_t kMaxLocalManifestSize = std::size_t{1} << 30;

  void Enable(std::uint32_t gameCode, const std::string& liveName);
  bool IsAvailable() const { return live_.IsAvailable(); }

  bool NeedToResume(std::uint32_t gameCode, const std::string& target);
  bool NeedToPatch(std::uint32_t gameCode, const std::string& target);

  // target + "/obd-manifest-<game code>".
  static std::string LocalManifestPath(std::uint32_t gameCode, const std::string& target);
  // The file's two texts (header line, contents line); true when both are
  // non-empty. Anything at the path but a regular file is not read.
  static bool ReadLocalContents(std::uint32_t gameCode, const std::string& target, std::string& header,
                                std::string& contents);

  // `abort`, when given, ends a fetch in flight at once (a job's cancel).
  bool LoadLiveContents(const std::string& sourceURL, const std::function<bool()>& abort = {}) {
    return live_.LoadContents(sourceURL, abort);
  }
  bool LoadDiffs(const std::string& sourceURL, const std::function<bool()>& abort = {}) {
    return live_.LoadDiffs(sourceURL, local_, abort);
  }
  bool ParseLocalContents() { return local_.ParseContents(); }
  void ClearLocalManifest() { local_.Clear(); }
  void SetInstallReady(const std::string& target);
  void SetPatchReady(std::uint32_t gameCode);
  void FinalizeForInstallSuccess(std::uint32_t gameCode, const std::string& target);
  void FinalizeForPatchSuccess() { local_.ClearOrigin(); }
  // Writes the local manifest file: a temporary file beside it, renamed into
  // place, so a crash never leaves a half-written file. False, logged and
  // with errno set, when it could not be written (the old file then stays
  // as it was). `sync`: the job's, see WriteLocalManifestFile.
  bool SaveResult(std::uint32_t gameCode, const std::string& target, OBDSyncFolder* sync = nullptr);
  // The same write for a job that saves its progress while it runs: `local`
  // is read under `guard`, when given, and the file is synced and renamed
  // into place after the lock is let go. Every save first syncs the file
  // system of the game's folder (under `guard`; through `sync`, the job's
  // descriptor of the folder, when given), so that the files `local`
  // records as finished are on the disk before the record is; a sync that
  // fails fails the save. The text is compressed as it is written, never
  // held whole.
  static bool WriteLocalManifestFile(std::uint32_t gameCode, const std::string& target, const OBDManifest& local,
                                     std::mutex* guard = nullptr, OBDSyncFolder* sync = nullptr);
  bool DeleteLocalManifestFile(std::uint32_t gameCode, const std::string& target);
  // Deletes what saves cut short left in the game's folder: this game's
  // temporary files (the file's name + ".tmp" + 6 letters or digits), no
  // other file.
  static void RemoveSaveLeftovers(std::uint32_t gameCode, const std::string& target);

  bool InsertEmptyFileInLocal(std::string_view key) { return local_.InsertEmptyFile(key); }
  bool FileInitializeInLocal(std::string_view key, bool tempExists) { return local_.FileInitialize(key, tempExists); }
  bool AddObjectInLocal(std::string_view key, std::int64_t index, const std::string& hash, std::uint64_t size) {
    return local_.AddObject(key, index, hash, size);
  }
  bool FileFinalizeInLocal(std::string_view key) { return local_.FileFinalize(key); }
  void RemoveFileInLocal(std::string_view key) { local_.RemoveFile(key); }
  void DiffFinalize(std::string_view key, bool originBroken);
  bool IsFileInLiveManifest(std::string_view key) const { return live_.HasFile(key); }
  bool IsExcludedLocalFile(const std::string& relativePath) const;

  OBDManifest& GetLiveManifest() { return live_; }
  OBDManifest& GetLocalManifest() { return local_; }
  const OBDManifest& GetLiveManifest() const { return live_; }
  const OBDManifest& GetLocalManifest() const { return local_; }
  std::uint32_t GetGameCode() const { return gameCode_; }
  std::uint64_t GetLiveTotalUncompressedSize() const { return live_.GetTotalUncompressedSize(); }
  std::uint64_t GetLocalTotalUncompressedSize() const { return local_.GetTotalUncompressedSize(); }
  // Live size minus local size of the file; 0 when the local one is larger.
  std::uint64_t GetDifferentUncompressedFileSize(std::string_view key) const;
  std::string GetErrorLog() const;

 private:
  std::uint32_t gameCode_ = 0;
  OBDManifest live_;
  OBDManifest local_;
};
