// The file step of a job: turns downloaded objects into game files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDPatcher.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"

namespace {

// A temp file of one file being written, found by the file's key.
struct FileStreamState {
  int fd = -1;
  std::int64_t seen = 0;
  std::int64_t count = 0;

  FileStreamState(int f, std::int64_t c) : fd(f), count(c) {}
  FileStreamState(const FileStreamState&) = delete;
  FileStreamState& operator=(const FileStreamState&) = delete;
  ~FileStreamState() {
    if (fd >= 0) ::close(fd);
  }
};

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
    progress_.SetLastErrorCode(-70, 301, 0);
    OBD_LOG_ERROR("%s : inflateInit fail(%d)", objectHash.c_str(), code);
    return false;
  }
  // An object is one stream of at most one block: anything longer, or a
  // stream that does not end, fails.
  code = data.size() > UINT32_MAX ? Z_BUF_ERROR : inflate(&stream, Z_FINISH);
  const std::size_t produced = kBlockSize + 1 - stream.avail_out;
  inflateEnd(&stream);
  if (code != Z_STREAM_END || produced > kBlockSize) {
    progress_.SetLastErrorCode(-70, 301, 0);
    OBD_LOG_ERROR("%s : inflate fail(%d)", objectHash.c_str(), code == Z_STREAM_END ? Z_BUF_ERROR : code);
    return false;
  }

  const std::string hash = OBDManifest::GetHash(buffer, produced);
  if (hash != objectHash) {
    progress_.SetLastErrorCode(-70, 931, 0);
    OBD_LOG_ERROR("Hash is different : local(%s), live(%s)", hash.c_str(), objectHash.c_str());
    return false;
  }

  const off_t offset = noSeek ? -1 : static_cast<off_t>(index) * static_cast<off_t>(kBlockSize);
  if (index < 0 || !WriteAll(fd, buffer, produced, offset)) {
    const int error = errno;
    if (error == ENOSPC) {
      progress_.SetLastErrorCode(-61, 933, static_cast<std::uint32_t>(error));
    } else {
      progress_.SetLastErrorCode(-70, 103, static_cast<std::uint32_t>(error));
    }
    OBD_LOG_ERROR("%s write fail : %s", objectHash.c_str(), std::strerror(error));
    return false;
  }
  uncompressedSize = produced;
  return true;
}

bool OBDWorker::ApplyDeltaFor(OBDBuffer::Element& element) {
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
  bool ok = OBDPatcher::ApplyDelta(&progress_, path, path + kDeltaExtension, path + kTempExtension, check);
  // Every block checked and none missing: a delta whose output stops short
  // of the live file (or runs past it) did not make the live file.
  if (ok && checked != liveObjects) {
    element.origin_broken = true;
    ok = false;
  }
  if (ok) {
    ::unlink((path + kDeltaExtension).c_str());
    return true;
  }
  if (element.origin_broken) {
    ::unlink((path + kDeltaExtension).c_str());
    OBD_LOG_ERROR("ApplyDelta - origin file broken : %s", path.c_str());
    progress_.SetLastErrorCode(-70, 931, 0);
    return true;  // the job goes on; the next comparison fetches the whole file
  }
  progress_.SetLastErrorCode(-70, 932, 0);
  OBD_LOG_ERROR("%s ApplyDelta fail", path.c_str());
  SetErrorOccured();
  return false;
}

void OBDWorker::FileProcess(OBDBuffer& in, OBDBuffer& out) {
  std::unordered_map<std::string, std::unique_ptr<FileStreamState>> states;
  std::unordered_set<std::string> madeFolders;  // folders this step already made sure of
  const OBDManifest& live = controller_.GetLiveManifest();

  while (!IsErrorOccured() && InProgress()) {
    OBDBuffer::Element element;
    if (!in.GetElement(element)) break;

    auto found = states.find(element.key);
    if (found == states.end()) {
      const std::string temp = element.full_path + (element.source.empty() ? kTempExtension : kDeltaExtension);
      const std::string folder = temp.substr(0, temp.rfind('/') + 1);
      if (madeFolders.count(folder) == 0 && Util::MakeFileDir(temp)) madeFolders.insert(folder);
      // Never through a link: the temp file is ours, beside the game file.
      const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (element.fresh_file ? O_TRUNC : 0);
      const int fd = ::open(temp.c_str(), flags, 0644);
      if (fd < 0) {
        const int error = errno;
        progress_.SetLastErrorCode(-70, 105, static_cast<std::uint32_t>(error));
        OBD_LOG_ERROR("%s open fail : %s", temp.c_str(), std::strerror(error));
        SetErrorOccured();
        break;
      }
      found = states.emplace(element.key, std::make_unique<FileStreamState>(fd, element.object_count)).first;
    }
    FileStreamState& state = *found->second;

    if (!element.already_present) {
      bool extracted = false;
      for (int attempt = 1; attempt <= kFileTries; ++attempt) {
        if (Extract(element.object_index, element.data, element.object_hash, false, element.uncompressed_size,
                    state.fd)) {
          extracted = true;
          break;
        }
        if (attempt < kFileTries && !RetryWait(waits_.file_retry)) break;
      }
      if (!extracted) {
        if (!InProgress()) break;  // cancelled while waiting to try again
        if (progress_.GetErrorCode() == 0) progress_.SetLastErrorCode(-70, 315, 0);
        OBD_LOG_ERROR("%s Extract Failed", element.key.c_str());
        SetErrorOccured();
        break;
      }
      if (element.source.empty()) progress_.AddCurrentSize(element.uncompressed_size);
    }
    element.data = {};  // written: nothing downstream needs the bytes

    if (++state.seen >= state.count) {
      element.last_object = true;
      const int fd = state.fd;
      bool ok = true;
      if (element.source.empty()) {
        // A resumed temp file may hold more than the new file.
        struct stat st {};
        const std::uint64_t liveSize = live.GetUncompressedFileSize(element.key);
        if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > liveSize) {
          ok = ::ftruncate(fd, static_cast<off_t>(liveSize)) == 0;
        }
      }
      states.erase(found);  // closes the temp file
      if (!ok) {
        const int error = errno;
        progress_.SetLastErrorCode(-70, 103, static_cast<std::uint32_t>(error));
        OBD_LOG_ERROR("%s write fail : %s", element.key.c_str(), std::strerror(error));
        SetErrorOccured();
        break;
      }
      if (!element.source.empty() && !ApplyDeltaFor(element)) break;
      if (!element.origin_broken) {
        const std::string temp = element.full_path + kTempExtension;
        bool moved = false;
        int error = 0;
        for (int attempt = 1; attempt <= kFileTries; ++attempt) {
          if (Util::MoveFile(temp, element.full_path)) {
            moved = true;
            break;
          }
          error = errno;
          OBD_LOG_ERROR("%s rename failed : %u", element.full_path.c_str(), static_cast<unsigned>(error));
          if (attempt < kFileTries && !RetryWait(waits_.file_retry)) break;
        }
        if (!moved) {
          if (!InProgress()) break;
          progress_.SetLastErrorCode(-70, 925, static_cast<std::uint32_t>(error));
          SetErrorOccured();
          break;
        }
      }
    }
    out.AddElement(std::move(element));
  }

  out.AddElement(OBDBuffer::Element{});
  if (IsErrorOccured() || !InProgress()) in.Quit();
}
