#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestController.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>

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
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
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

bool OBDManifestController::SaveResult(std::uint32_t gameCode, const std::string& target) {
  return WriteLocalManifestFile(gameCode, target, local_.GetHeaderRaw(), local_.GetContentRaw());
}

bool OBDManifestController::WriteLocalManifestFile(std::uint32_t gameCode, const std::string& target,
                                                   const std::string& headerText, const std::string& contents) {
  const std::string path = LocalManifestPath(gameCode, target);
  const std::string header = headerText + "\n";

  std::string temp = path + ".tmpXXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const int syncFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  gzFile file = gzdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    if (syncFd >= 0) ::close(syncFd);
    ::unlink(temp.c_str());
    return false;
  }
  auto writeAll = [&](const std::string& text) {
    return text.empty() || gzwrite(file, text.data(), static_cast<unsigned>(text.size())) == static_cast<int>(text.size());
  };
  bool ok = writeAll(header) && writeAll(contents);
  ok = (gzclose(file) == Z_OK) && ok;
  ok = ok && syncFd >= 0 && ::fchmod(syncFd, 0644) == 0 && ::fsync(syncFd) == 0;
  if (syncFd >= 0) ::close(syncFd);
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
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
