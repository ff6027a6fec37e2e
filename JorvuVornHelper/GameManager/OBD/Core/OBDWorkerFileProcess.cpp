// The file step of a job: turns downloaded objects into game files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDGameFolder.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDPatcher.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"

namespace {

// Writes all bytes at `offset` (or at the current position when offset is
// negative); false with errno set on a failure.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = offset < 0 ? ::write(fd, data + done, size - done)
                                 : ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One inflate buffer per file-step thread, reused for every object.
thread_local std::unique_ptr<std::uint8_t[]> tInflateBuffer;

std::uint8_t* InflateBuffer() {
  // One byte more than a block, so that an object that inflates past 4 MiB
  // is told apart from one that ends exactly there.
  if (!tInflateBuffer) tInflateBuffer.reset(new std::uint8_t[OBDWorker::kBlockSize + 1]);
  return tInflateBuffer.get();
}

}  // namespace

// One file being written, found by the file's key: the folder it lies in
// (checked to be inside the game's folder), its name there, and its open
// temp file.
struct OBDWorker::FileStreamState {
  std::shared_ptr<OBDFd> folder;
  std::string name;
  OBDFd temp;
  std::int64_t seen = 0;
  std::int64_t count = 0;
};

// The folders the file step writes into. The game's folder is an item's
// full path without the relative path its key names; the last folder is
// kept open, since a file's neighbours tend to follow it.
class OBDWorker::FolderCache {
 public:
  // The item's folder, made when missing; null with errno set when it cannot
  // be had or lies outside the game's folder. `name` receives the file's name.
  std::shared_ptr<OBDFd> Open(const OBDBuffer::Element& element, std::string& name) {
    const std::string& fullPath = element.full_path;
    const std::size_t relativeSize = obd::utils::Base64Decode(element.key).size();
    const std::string root =
        relativeSize < fullPath.size() ? fullPath.substr(0, fullPath.size() - relativeSize - 1) : std::string();
    if (!gameFolder_ || gameFolder_->Root() != root) {
      // The game's folder itself is made as configured (links above it followed).
      if (!root.empty() && !Util::IsPathExists(root)) Util::MakeSureDirExist(root + "/");
      gameFolder_ = std::make_unique<OBDGameFolder>(root);
      last_.reset();
    }
    const std::size_t slash = fullPath.rfind('/');
    const std::string folder = fullPath.substr(0, slash == std::string::npos ? 0 : slash);
    if (last_ && folder == lastPath_) {
      name = fullPath.substr(slash + 1);
      return last_;
    }
    last_ = gameFolder_->OpenFolderOf(fullPath, true, name);
    lastPath_ = folder;
    return last_;
  }

 private:
  std::unique_ptr<OBDGameFolder> gameFolder_;
  std::string lastPath_;
  std::shared_ptr<OBDFd> last_;
};

bool OBDWorker::Extract(std::int64_t index, const std::vector<std::uint8_t>& data, const std::string& objectHash,
                        bool noSeek, std::uint64_t& uncompressedSize, int fd) {
  std::uint8_t* buffer = InflateBuffer();
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = buffer;
  stream.avail_out = static_cast<uInt>(kBlockSize + 1);
  int code = inflateInit(&stream);
  if (code != Z_OK) {
    Record(EngineErrors::Inflate, 0, "%s : inflateInit fail(%d)", objectHash.c_str(), code);
    return false;
  }
  // An object is one stream of at most one block: anything longer, or a
  // stream that does not end, fails.
  code = data.size() > UINT32_MAX ? Z_BUF_ERROR : inflate(&stream, Z_FINISH);
  const std::size_t produced = kBlockSize + 1 - stream.avail_out;
  inflateEnd(&stream);
  if (code != Z_STREAM_END || produced > kBlockSize) {
    Record(EngineErrors::Inflate, 0, "%s : inflate fail(%d)", objectHash.c_str(),
           code == Z_STREAM_END ? Z_BUF_ERROR : code);
    return false;
  }

  const std::string hash = OBDManifest::GetHash(buffer, produced);
  if (hash != objectHash) {
    Record(EngineErrors::BrokenFile, 0, "Hash is different : local(%s), live(%s)", hash.c_str(), objectHash.c_str());
    return false;
  }

  const off_t offset = noSeek ? -1 : static_cast<off_t>(index) * static_cast<off_t>(kBlockSize);
  if (index < 0 || !WriteAll(fd, buffer, produced, offset)) {
    const int error = errno;
    Record(error == ENOSPC ? EngineErrors::DiskSpace : EngineErrors::Write, static_cast<std::uint32_t>(error),
           "%s write fail : %s", objectHash.c_str(), std::strerror(error));
    return false;
  }
  uncompressedSize = produced;
  return true;
}

bool OBDWorker::ApplyDeltaFor(OBDBuffer::Element& element, int folder, const std::string& name) {
  const std::string& path = element.full_path;
  const OBDManifest& live = controller_.GetLiveManifest();
  const std::uint64_t liveObjects = live.GetObjectsCount(element.key);
  std::uint64_t checked = 0;
  auto check = [&](std::int64_t block, const std::uint8_t* bytes, std::size_t size) {
    ++checked;
    if (OBDManifest::GetHash(bytes, size) != live.GetObjectHash(element.key, block)) {
      element.origin_broken = true;
      return false;
    }
    return true;
  };
  const std::string deltaName = TempNameOf(element.key, name, true);
  OBDFd delta(::openat(folder, deltaName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  OBDFd origin(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  OBDFd output(::openat(folder, TempNameOf(element.key, name, false).c_str(),
                        O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  using DeltaResult = OBDPatcher::DeltaResult;
  const DeltaResult result = delta.ok() && origin.ok() && output.ok()
                                 ? OBDPatcher::ApplyDelta(&progress_, origin.get(), delta.get(), output.get(), check)
                                 : DeltaResult::IoFailed;
  bool ok = result == DeltaResult::Applied;
  // Every block checked and none missing: a delta whose output stops short
  // of the live file (or runs past it) did not make the live file.
  if (ok && checked != liveObjects) {
    element.origin_broken = true;
    ok = false;
  }
  if (ok) {
    ::unlinkat(folder, deltaName.c_str(), 0);
    return HasLiveSize(element, output.get());
  }
  if (result == DeltaResult::BrokenStream) {
    // The delta temp file is no command stream: a crash can leave bytes past
    // its end that no piece written again overwrites. It is dropped and the
    // record marked as for a broken origin, so that the next comparison
    // fetches the whole file, instead of every later try failing on it.
    ::unlinkat(folder, deltaName.c_str(), 0);
    element.origin_broken = true;
    Record(EngineErrors::Delta, 0, "%s ApplyDelta fail", path.c_str());
    return true;
  }
  if (element.origin_broken) {
    ::unlinkat(folder, deltaName.c_str(), 0);
    Record(EngineErrors::BrokenFile, 0, "ApplyDelta - origin file broken : %s", path.c_str());
    return true;  // the job goes on; the next comparison fetches the whole file
  }
  Fail(EngineErrors::Delta, 0, "%s ApplyDelta fail", path.c_str());
  return false;
}

bool OBDWorker::HasLiveSize(const OBDBuffer::Element& element, int fd) {
  const std::uint64_t liveSize = controller_.GetLiveManifest().GetUncompressedFileSize(element.key);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return WriteFailed(element);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size == liveSize) return true;
  return BrokenFile(element, size, liveSize);
}

bool OBDWorker::WriteFailed(const OBDBuffer::Element& element) {
  const int error = errno;
  Fail(EngineErrors::Write, static_cast<std::uint32_t>(error), "%s write fail : %s", element.key.c_str(),
       std::strerror(error));
  return false;
}

bool OBDWorker::BrokenFile(const OBDBuffer::Element& element, std::uint64_t size, std::uint64_t expected) {
  Fail(EngineErrors::BrokenFile, 0, "%s size mismatch : local(%llu), live(%llu)", element.full_path.c_str(),
       static_cast<unsigned long long>(size), static_cast<unsigned long long>(expected));
  return false;
}

std::optional<std::uint64_t> OBDWorker::FullObjectSize(std::int64_t index, std::int64_t count,
                                                       std::uint64_t fileSize) {
  if (count <= 0 || index < 0 || index >= count) return std::nullopt;
  if (index < count - 1) return kBlockSize;
  const auto before = static_cast<std::uint64_t>(count - 1);
  if (before > fileSize / kBlockSize) return std::nullopt;
  const std::uint64_t rest = fileSize - before * kBlockSize;
  if (rest > kBlockSize) return std::nullopt;
  return rest;
}

bool OBDWorker::OpenFileState(const OBDBuffer::Element& element, FolderCache& folders,
                              std::unique_ptr<FileStreamState>& state) {
  auto made = std::make_unique<FileStreamState>();
  made->folder = folders.Open(element, made->name);
  const bool delta = !element.source.empty();
  const std::string temp = TempNameOf(element.key, element.full_path, delta);
  if (made->folder) {
    const std::string tempName = TempNameOf(element.key, made->name, delta);
    // Never through a link: the temp file is ours, beside the game file.
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (element.fresh_file ? O_TRUNC : 0);
    made->temp = OBDFd(::openat(made->folder->get(), tempName.c_str(), flags, 0644));
  }
  if (!made->temp.ok()) {
    const int error = errno;
    Fail(EngineErrors::Open, static_cast<std::uint32_t>(error), "%s open fail : %s", temp.c_str(),
         std::strerror(error));
    return false;
  }
  made->count = element.object_count;
  state = std::move(made);
  return true;
}

bool OBDWorker::FinishFullFile(const OBDBuffer::Element& element, FileStreamState& state) {
  // A resumed temp file may hold more than the new file: cut to the live
  // size. Anything shorter than it is a broken file.
  const std::uint64_t liveSize = controller_.GetLiveManifest().GetUncompressedFileSize(element.key);
  struct stat st {};
  if (::fstat(state.temp.get(), &st) != 0) return WriteFailed(element);
  auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > liveSize) {
    if (::ftruncate(state.temp.get(), static_cast<off_t>(liveSize)) != 0) return WriteFailed(element);
    size = liveSize;
  }
  return size == liveSize || BrokenFile(element, size, liveSize);
}

bool OBDWorker::MoveIntoPlace(const OBDBuffer::Element& element, int folder, const std::string& name) {
  const std::string temp = TempNameOf(element.key, name, false);
  int error = 0;
  const bool moved = RetryWithWaits(kFileTries, waits_.file_retry, [&] {
    if (::renameat(folder, temp.c_str(), folder, name.c_str()) == 0) return Try::Done;
    error = errno;
    OBD_LOG_ERROR("%s rename failed : %u", element.full_path.c_str(), static_cast<unsigned>(error));
    return Try::Again;
  });
  if (moved) {
    // A delta applied goes with its own success; a file fetched whole may
    // have one left from a try cut short before its diffs went missing.
    if (element.source.empty()) RemoveDeltaLeftover(element, folder, name);
    return true;
  }
  if (InProgress()) Fail(EngineErrors::Rename, static_cast<std::uint32_t>(error));
  return false;
}

void OBDWorker::RemoveDeltaLeftover(const OBDBuffer::Element& element, int folder, const std::string& name) {
  const std::string deltaName = TempNameOf(element.key, name, true);
  struct stat st {};
  if (::fstatat(folder, deltaName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;  // none: nearly always
  ::unlinkat(folder, deltaName.c_str(), 0);
}

void OBDWorker::FileProcess(OBDBuffer& in, OBDBuffer& out) {
  std::unordered_map<std::string, std::unique_ptr<FileStreamState>> states;
  FolderCache folders;
  const OBDManifest& live = controller_.GetLiveManifest();

  while (!IsErrorOccured() && InProgress()) {
    OBDBuffer::Element element;
    OBDBuffer::Take take = in.TryGetElement(element);
    if (take == OBDBuffer::Take::Empty) {
      out.Wake();  // the record step gets what is done before this step waits
      take = in.GetElement(element) ? OBDBuffer::Take::Taken : OBDBuffer::Take::Ended;
    }
    if (take == OBDBuffer::Take::Ended) break;

    auto found = states.find(element.key);
    if (found == states.end()) {
      std::unique_ptr<FileStreamState> state;
      if (!OpenFileState(element, folders, state)) break;
      found = states.emplace(element.key, std::move(state)).first;
    }
    FileStreamState& state = *found->second;

    if (!element.already_present) {
      const bool extracted = RetryWithWaits(kFileTries, waits_.file_retry, [&] {
        return Extract(element.object_index, element.data, element.object_hash, false, element.uncompressed_size,
                       state.temp.get())
                   ? Try::Done
                   : Try::Again;
      });
      if (!extracted) {
        if (!InProgress()) break;  // cancelled while waiting to try again
        if (progress_.GetErrorCode() == 0) progress_.SetLastError(EngineErrors::ExtractFailed);
        OBD_LOG_ERROR("%s Extract Failed", element.key.c_str());
        SetErrorOccured();
        break;
      }
      if (element.source.empty()) {
        const std::uint64_t liveSize = live.GetUncompressedFileSize(element.key);
        const auto expected = FullObjectSize(element.object_index, element.object_count, liveSize);
        if (expected != element.uncompressed_size) {
          BrokenFile(element, element.uncompressed_size, expected.value_or(liveSize));
          break;
        }
        progress_.AddCurrentSize(element.uncompressed_size);
      }
    }
    // Written: nothing downstream needs the bytes. (Assigning {} would only
    // empty the vector and keep its memory while the item waits for the
    // record step.)
    std::vector<std::uint8_t>().swap(element.data);

    if (++state.seen >= state.count) {
      element.last_object = true;
      if (element.source.empty() && !FinishFullFile(element, state)) break;
      const std::shared_ptr<OBDFd> folder = state.folder;
      const std::string name = state.name;
      states.erase(found);  // closes the temp file
      if (!element.source.empty() && !ApplyDeltaFor(element, folder->get(), name)) break;
      if (!element.origin_broken && !MoveIntoPlace(element, folder->get(), name)) break;
    }
    out.AddElement(std::move(element));
  }

  out.AddElement(OBDBuffer::Element{});
  if (IsErrorOccured() || !InProgress()) in.Quit();
}
