#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestController.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDGameFolder.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"

namespace {
// mkostemp's pattern: the file's path plus this, the X's made unique.
constexpr const char* kSaveSuffix = ".tmpXXXXXX";
}  // namespace

void OBDManifestController::Enable(std::uint32_t gameCode, const std::string& liveName) {
  gameCode_ = gameCode;
  live_.SetName(liveName);
}

std::string OBDManifestController::LocalManifestPath(std::uint32_t gameCode, const std::string& target) {
  return target + "/" + kLocalManifestPrefix + "-" + std::to_string(gameCode);
}

bool OBDManifestController::ReadLocalContents(std::uint32_t gameCode, const std::string& target,
                                              std::string& header, std::string& contents) {
  const std::string path = LocalManifestPath(gameCode, target);
  // Never waited on: a plain open of a FIFO waits for a writer. Anything
  // but a regular file there (a folder, a FIFO, a device) counts as an
  // unreadable local manifest.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  gzFile file = gzdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return false;
  }
  std::string text;
  char buffer[65536];
  bool tooLarge = false;
  for (;;) {
    const int n = gzread(file, buffer, sizeof buffer);
    if (n < 1) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxLocalManifestSize) {
      tooLarge = true;
      break;
    }
    if (gzeof(file)) break;
  }
  gzclose(file);
  if (tooLarge) return false;

  header.clear();
  contents.clear();
  if (!text.empty()) {
    const std::size_t firstEnd = text.find('\n');
    header = text.substr(0, firstEnd);
    if (firstEnd != std::string::npos) {
      const std::size_t secondEnd = text.find('\n', firstEnd + 1);
      contents = text.substr(firstEnd + 1, secondEnd == std::string::npos ? std::string::npos : secondEnd - firstEnd - 1);
    }
  }
  return !header.empty() && !contents.empty();
}

bool OBDManifestController::NeedToResume(std::uint32_t gameCode, const std::string& target) {
  std::string header;
  std::string contents;
  if (!ReadLocalContents(gameCode, target, header, contents)) return false;
  local_.SetHeaderRaw(header);
  local_.SetContentRaw(contents);
  if (!local_.ParseHeader()) return true;
  return local_.NeedToResume();
}

bool OBDManifestController::NeedToPatch(std::uint32_t gameCode, const std::string& target) {
  std::string header;
  std::string contents;
  if (!ReadLocalContents(gameCode, target, header, contents)) return true;
  local_.SetHeaderRaw(header);
  local_.SetContentRaw(contents);
  if (!local_.ParseHeader()) return true;
  return local_.NeedToPatch(live_);
}

void OBDManifestController::SetInstallReady(const std::string& target) {
  local_.SetName(live_);
  local_.SetInstallingPath(target);
}

void OBDManifestController::SetPatchReady(std::uint32_t /*gameCode*/) {
  if (!local_.OriginExists()) {
    local_.SetOrigin();
  } else if (local_.IsDifferentName(live_)) {
    // The live release changed while a patch was unfinished: half-written
    // files belong to another release and are not resumed.
    local_.SetIgnoreResume();
  }
  local_.SetName(live_);
}

void OBDManifestController::FinalizeForInstallSuccess(std::uint32_t gameCode, const std::string& target) {
  local_.SetInstallingPath("");
  DeleteLocalManifestFile(gameCode, target);
}

bool OBDManifestController::SaveResult(std::uint32_t gameCode, const std::string& target, OBDSyncFolder* sync) {
  if (WriteLocalManifestFile(gameCode, target, local_, nullptr, sync)) return true;
  const int error = errno;
  OBD_LOG_ERROR("Save Local Manifest Failed : %s (%s)", LocalManifestPath(gameCode, target).c_str(),
                std::strerror(error));
  errno = error;
  return false;
}

bool OBDManifestController::WriteLocalManifestFile(std::uint32_t gameCode, const std::string& target,
                                                   const OBDManifest& local, std::mutex* guard,
                                                   OBDSyncFolder* sync) {
  const std::string path = LocalManifestPath(gameCode, target);
  std::string temp = path + kSaveSuffix;
  const OBDFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.ok()) return false;
  // The fastest compression: the file is rewritten while a job runs, under
  // the job's lock on the manifest, and any gzip reader takes every level.
  const int gzFd = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
  gzFile file = gzFd < 0 ? nullptr : gzdopen(gzFd, "wb1");
  if (file == nullptr && gzFd >= 0) ::close(gzFd);
  bool ok = file != nullptr;
  if (ok) {
    auto writePiece = [file](std::string_view piece) {
      return piece.empty() || gzwrite(file, piece.data(), static_cast<unsigned>(piece.size())) ==
                                  static_cast<int>(piece.size());
    };
    std::unique_lock<std::mutex> lock;
    if (guard != nullptr) lock = std::unique_lock(*guard);
    // What the manifest records as finished reaches the disk before the
    // record does: every file it names as finished was renamed into place
    // before the lock was taken, and one sync of the file system (the temp
    // file lies in the game's folder) takes them all, where a sync of each
    // file costs the small files of a release far more.
    ok = sync != nullptr ? sync->Sync(fd.get()) : ::syncfs(fd.get()) == 0;
    ok = ok && writePiece(local.GetHeaderRaw() + "\n") && local.WriteContent(writePiece);
    lock = {};
    ok = (gzclose(file) == Z_OK) && ok;
  }
  // Synced before the rename, so a crash leaves the old file or the new one.
  ok = ok && ::fchmod(fd.get(), 0644) == 0 && ::fsync(fd.get()) == 0;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  const int error = errno != 0 ? errno : EIO;  // the caller's to report
  ::unlink(temp.c_str());
  errno = error;
  return false;
}

void OBDManifestController::RemoveSaveLeftovers(std::uint32_t gameCode, const std::string& target) {
  const std::string prefix = std::string(kLocalManifestPrefix) + "-" + std::to_string(gameCode) + ".tmp";
  const std::size_t randomPart = std::strlen(kSaveSuffix) - std::strlen(".tmp");
  DIR* dir = ::opendir(target.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() != prefix.size() + randomPart || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string_view random = name.substr(prefix.size());
    if (std::all_of(random.begin(), random.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
      leftovers.emplace_back(name);
    }
  }
  for (const std::string& name : leftovers) {
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
  }
  ::closedir(dir);
}

bool OBDManifestController::DeleteLocalManifestFile(std::uint32_t gameCode, const std::string& target) {
  const std::string path = LocalManifestPath(gameCode, target);
  return ::unlink(path.c_str()) == 0;
}

void OBDManifestController::DiffFinalize(std::string_view key, bool originBroken) {
  if (originBroken) {
    local_.MarkOriginFileBroken(key);
  } else {
    local_.CopyFileContent(key, live_);
  }
}

bool OBDManifestController::IsExcludedLocalFile(const std::string& /*relativePath*/) const { return false; }

std::uint64_t OBDManifestController::GetDifferentUncompressedFileSize(std::string_view key) const {
  const std::uint64_t live = live_.GetUncompressedFileSize(key);
  const std::uint64_t local = local_.GetUncompressedFileSize(key);
  return live > local ? live - local : 0;
}

std::string OBDManifestController::GetErrorLog() const {
  std::string text;
  if (!live_.GetLastErrorLog().empty()) text = "(REMOTE)" + live_.GetLastErrorLog();
  if (!local_.GetLastErrorLog().empty()) {
    if (!text.empty()) text += " ";
    text += "(LOCAL)" + local_.GetLastErrorLog();
  }
  return text;
}
