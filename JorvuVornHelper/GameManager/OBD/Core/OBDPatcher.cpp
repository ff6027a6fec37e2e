#include "JorvuVornHelper/GameManager/OBD/Core/OBDPatcher.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/WorkInfo.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDDeltaStream.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDGameFolder.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDSize.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"

namespace {

constexpr std::size_t kBlock = OBDWorker::kBlockSize;

// Sequential reads of the delta through a buffer of its own.
class StreamReader {
 public:
  explicit StreamReader(int fd) : fd_(fd), buffer_(1 << 20) {}

  // 1: a byte, 0: the end, -1: an error.
  int ReadByte(std::uint8_t& byte) {
    if (pos_ == end_ && !Fill()) return failed_ ? -1 : 0;
    byte = buffer_[pos_++];
    return 1;
  }

  // Exactly `size` bytes; false at an early end or an error.
  bool Read(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
      if (pos_ == end_ && !Fill()) return false;
      const std::size_t take = std::min(size, end_ - pos_);
      std::copy(buffer_.data() + pos_, buffer_.data() + pos_ + take, out);
      pos_ += take;
      out += take;
      size -= take;
    }
    return true;
  }

  // Whether a read of the delta failed (rather than met its end).
  bool Failed() const { return failed_; }

 private:
  bool Fill() {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed_ = true;
      if (n <= 0) return false;
      pos_ = 0;
      end_ = static_cast<std::size_t>(n);
      return true;
    }
  }

  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool failed_ = false;
};

// Reads `size` bytes of the origin from `offset` into `out`, which the caller
// has zero-filled: what lies past the origin's end stays zero (the block
// check then fails, which marks the origin broken). False only on a read
// error.
bool ReadOrigin(int fd, std::uint8_t* out, std::size_t size, std::uint64_t offset) {
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  while (size > 0 && offset < kMaxOffset) {
    const std::size_t ask = static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxOffset - offset));
    const ssize_t n = ::pread(fd, out, ask, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;  // the origin ends here
    out += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool OBDPatcher::ApplyDelta(ProgressInfoManager* progress, const std::string& originPath,
                            const std::string& deltaPath, const std::string& outputPath, const BlockCheck& check) {
  OBDFd delta(::open(deltaPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!delta.ok()) return false;
  OBDFd origin(::open(originPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!origin.ok()) return false;
  OBDFd output(::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!output.ok()) return false;
  return ApplyDelta(progress, origin.get(), delta.get(), output.get(), check) == DeltaResult::Applied;
}

OBDPatcher::DeltaResult OBDPatcher::ApplyDelta(ProgressInfoManager* progress, int originFd, int deltaFd,
                                               int outputFd, const BlockCheck& check) {
  StreamReader reader(deltaFd);
  std::vector<std::uint8_t> block(kBlock);
  std::size_t pending = 0;
  std::int64_t blockNumber = 0;
  // A command cut short by the end of the delta: a broken stream, unless
  // the read itself failed.
  auto cutShort = [&reader] { return reader.Failed() ? DeltaResult::IoFailed : DeltaResult::BrokenStream; };

  for (;;) {
    std::uint8_t command = 0;
    const int got = reader.ReadByte(command);
    if (got < 0) return DeltaResult::IoFailed;
    if (got == 0) break;

    std::uint8_t operand[8];
    std::uint64_t offset = 0;
    const bool copy = obd::delta::IsCopy(command);
    if (copy) {
      const unsigned width = obd::delta::OffsetWidth(command);
      if (!reader.Read(operand, width)) return cutShort();
      offset = obd::delta::ReadUint(operand, width);
    }
    const unsigned lengthWidth = obd::delta::LengthWidth(command);
    if (!reader.Read(operand, lengthWidth)) return cutShort();
    std::uint64_t remaining = obd::delta::ReadUint(operand, lengthWidth);

    // The command's bytes go straight into the block being formed, never
    // more than what fills it.
    while (remaining > 0) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kBlock - pending));
      std::uint8_t* at = block.data() + pending;
      if (copy) {
        std::fill(at, at + take, std::uint8_t{0});
        if (!ReadOrigin(originFd, at, take, offset)) return DeltaResult::IoFailed;
        offset = obd::size::Add(offset, take);
      } else if (!reader.Read(at, take)) {
        return cutShort();
      }
      pending += take;
      remaining -= take;
      if (progress != nullptr) progress->AddCurrentSize(take);
      if (pending == kBlock) {
        if (!check(blockNumber, block.data(), kBlock)) return DeltaResult::CheckFailed;
        if (!WriteAll(outputFd, block.data(), kBlock)) return DeltaResult::IoFailed;
        ++blockNumber;
        pending = 0;
      }
    }
  }
  if (pending > 0) {
    if (!check(blockNumber, block.data(), pending)) return DeltaResult::CheckFailed;
    if (!WriteAll(outputFd, block.data(), pending)) return DeltaResult::IoFailed;
  }
  return DeltaResult::Applied;
}

OBDPatcher::OBDPatcher(WorkInfo* workInfo) : workInfo_(workInfo) {}

OBDPatcher::~OBDPatcher() = default;

DownloadMonitor OBDPatcher::GetDownloadMonitor() const {
  return worker_ ? worker_->GetDownloadMonitor() : DownloadMonitor();
}

bool OBDPatcher::Patch() {
  if (workInfo_ == nullptr) return false;
  WorkInfo& info = *workInfo_;
  OBDManifestController& controller = info.manifest_controller;
  ProgressInfoManager& progress = info.progress_info_manager;

  auto cancelled = [&progress] { return !progress.GetProgress(); };
  if (!controller.LoadLiveContents(info.source_url, cancelled)) {
    if (cancelled()) return false;  // no failure of its own
    progress.SetLastError(EngineErrors::PatchManifest);
    OBD_LOG_ERROR("%s", controller.GetErrorLog().c_str());
    return false;
  }
  controller.SetPatchReady(info.game_code);
  // Deltas are only ever those of this patch's pair of releases.
  controller.GetLiveManifest().ClearDiffs();
  controller.LoadDiffs(info.source_url, cancelled);

  OBDManifestController::RemoveSaveLeftovers(info.game_code, info.target_path);
  // Opened before the job writes anything: every save of the job, the last
  // one included, syncs through it.
  sync_ = std::make_unique<OBDSyncFolder>(info.target_path);
  worker_ = std::make_unique<OBDWorker>(controller, progress);
  worker_->SetWaits(waits_);
  worker_->SetSyncFolder(sync_.get());
  bool ok = worker_->Patch(info.source_url, info.target_path);
  if (ok) worker_->RemoveLeftovers(info.target_path);
  if (ok) controller.FinalizeForPatchSuccess();
  if (!controller.SaveResult(info.game_code, info.target_path, sync_.get()) && ok) {
    // Without its record on the disk the patch is not done.
    progress.SetLastError(EngineErrors::Write, static_cast<std::uint32_t>(errno));
    ok = false;
  }
  worker_->SetSyncFolder(nullptr);
  sync_.reset();
  return ok;
}
