#include "Tools/pack/SourcePacker.hpp"

#include <fcntl.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"
#include "Platform/FileUtil.hpp"
#include "Tools/pack/DeltaEncoder.hpp"

namespace fs = std::filesystem;

namespace pack {
namespace {

constexpr std::uint64_t kObjectSize = OBDManifest::kObjectSize;

struct SourceFile {
  std::string relative;
  std::string path;
  std::string key;
  std::uint64_t size = 0;
  std::vector<std::string> hashes;  // object hashes
  std::vector<std::uint64_t> sizes;
};

// A read-only view of a whole file (the delta tasks' old and new file).
class MappedFile {
 public:
  // The descriptor is closed at once; the mapping stays valid.
  explicit MappedFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
      size_ = static_cast<std::size_t>(st.st_size);
      ok_ = true;
      if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) ok_ = false;
        else data_ = static_cast<const char*>(p);
      }
    }
    ::close(fd);
  }
  ~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  bool ok() const { return ok_; }
  std::string_view view() const { return {data_ == nullptr ? "" : data_, size_}; }

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  bool ok_ = false;
};

// Reads block `index` of a listed file into `block`; false when the file
// cannot be read or no longer has the size it was listed with.
bool ReadBlock(const SourceFile& file, std::uint64_t index, std::string& block) {
  const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::uint64_t offset = index * kObjectSize;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) == file.size && offset < file.size;
  if (ok) {
    block.resize(static_cast<std::size_t>(std::min(kObjectSize, file.size - offset)));
    std::size_t done = 0;
    while (ok && done < block.size()) {
      const ssize_t n = ::pread(fd, block.data() + done, block.size() - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  return ok;
}

std::string Compress(std::string_view data, int level) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &bound, reinterpret_cast<const Bytef*>(data.data()),
                static_cast<uLong>(data.size()), level) != Z_OK) {
    return {};
  }
  out.resize(bound);
  return out;
}

class ErrorSink {
 public:
  void Set(const std::string& message) {
    std::lock_guard lock(mutex_);
    if (message_.empty()) message_ = message;
    failed_ = true;
  }
  bool Failed() const { return failed_; }
  std::string Message() {
    std::lock_guard lock(mutex_);
    return message_;
  }

 private:
  std::mutex mutex_;
  std::string message_;
  std::atomic<bool> failed_{false};
};

// Writes an object unless a file of that name is already there.
bool WriteObject(const std::string& out, const std::string& name, std::string_view bytes, bool& written,
                 ErrorSink& errors) {
  const std::string path = out + "/" + name;
  written = false;
  std::error_code ec;
  if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) == bytes.size()) return true;
  if (!Util::MakeFileDir(path)) {
    errors.Set("cannot make the folder of " + path);
    return false;
  }
  if (!platform::writeFileAtomically(path, bytes)) {
    errors.Set("cannot write " + path);
    return false;
  }
  written = true;
  return true;
}

// Runs `work(i)` for i in [0, count) on `jobs` threads; stops early on an error.
template <typename F>
void Parallel(std::size_t count, unsigned jobs, ErrorSink& errors, F work) {
  std::atomic<std::size_t> next{0};
  auto loop = [&] {
    for (std::size_t i = next++; i < count && !errors.Failed(); i = next++) work(i);
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(loop);
  loop();
  for (auto& t : threads) t.join();
}

bool ListFiles(const std::string& root, std::vector<SourceFile>& files, std::ostream& err) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    err << "jorvu-pack: " << root << " is not a folder\n";
    return false;
  }
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  if (ec) {
    err << "jorvu-pack: cannot read " << root << ": " << ec.message() << "\n";
    return false;
  }
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) {
      err << "jorvu-pack: cannot read below " << root << ": " << ec.message() << "\n";
      return false;
    }
    const fs::file_status st = it->symlink_status(ec);
    const std::string relative = fs::relative(it->path(), root, ec).generic_string();
    if (fs::is_symlink(st)) {
      err << "jorvu-pack: skipping symbolic link " << relative << "\n";
      continue;
    }
    if (!fs::is_regular_file(st)) continue;
    // The engine reads "\" in a path as "/": such a name would land elsewhere.
    if (relative.find('\\') != std::string::npos || !obd::utils::IsSafeRelativePath(relative)) {
      err << "jorvu-pack: skipping " << relative << " (a name the engine cannot place)\n";
      continue;
    }
    SourceFile f;
    f.relative = relative;
    f.path = it->path().string();
    f.key = obd::utils::Base64Encode(relative);
    f.size = it->file_size(ec);
    files.push_back(std::move(f));
  }
  std::sort(files.begin(), files.end(), [](const SourceFile& a, const SourceFile& b) { return a.relative < b.relative; });
  return true;
}

std::string FileHash(const std::vector<std::string>& hashes) {
  std::string joined;
  for (const auto& h : hashes) joined += h;
  return OBDManifest::GetHash(joined.data(), joined.size());
}

std::string WriteContents(const rapidjson::Value& files, std::uint64_t total) {
  rapidjson::StringBuffer inner;
  rapidjson::Writer<rapidjson::StringBuffer> innerWriter(inner);
  files.Accept(innerWriter);
  rapidjson::StringBuffer outer;
  rapidjson::Writer<rapidjson::StringBuffer> w(outer);
  w.StartObject();
  w.Key("files");
  w.String(inner.GetString(), static_cast<rapidjson::SizeType>(inner.GetSize()));
  w.Key("version");
  w.String("1.0");
  w.Key("total_uncompressed_size");
  w.Uint64(total);
  w.EndObject();
  return std::string(outer.GetString(), outer.GetSize());
}

}  // namespace

bool IsValidManifestName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool Pack(const PackOptions& options, PackSummary& summary, std::ostream& err) {
  summary = PackSummary{};
  if (!IsValidManifestName(options.name) || (!options.from.empty() && !IsValidManifestName(options.fromName))) {
    err << "jorvu-pack: a manifest name must be a plain file name\n";
    return false;
  }
  const unsigned jobs = options.jobs != 0 ? options.jobs : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
  std::error_code ec;
  fs::create_directories(options.out, ec);
  if (!fs::is_directory(options.out, ec)) {
    err << "jorvu-pack: cannot make " << options.out << "\n";
    return false;
  }

  std::vector<SourceFile> files;
  if (!ListFiles(options.src, files, err)) return false;

  // Full objects: one task per 4 MiB block.
  struct Block {
    std::size_t file;
    std::uint64_t index;
  };
  std::vector<Block> blocks;
  for (std::size_t f = 0; f < files.size(); ++f) {
    const std::uint64_t count = (files[f].size + kObjectSize - 1) / kObjectSize;
    files[f].hashes.resize(count);
    files[f].sizes.resize(count);
    for (std::uint64_t i = 0; i < count; ++i) blocks.push_back({f, i});
  }
  ErrorSink errors;
  std::atomic<std::uint64_t> written{0};
  // Each task reads its own block: a source of any number of files needs one
  // open file per thread, never a mapping or a descriptor per file.
  Parallel(blocks.size(), jobs, errors, [&](std::size_t b) {
    SourceFile& file = files[blocks[b].file];
    const std::uint64_t index = blocks[b].index;
    std::string block;
    if (!ReadBlock(file, index, block)) {
      return errors.Set("cannot read " + file.path + " (or it changed while packing)");
    }
    const std::string_view data = block;
    const std::string hash = OBDManifest::GetHash(data.data(), data.size());
    const std::string compressed = Compress(data, options.level);
    if (compressed.empty()) return errors.Set("cannot compress " + file.path);
    bool didWrite = false;
    if (!WriteObject(options.out, file.key + "." + std::to_string(index) + "." + hash + ".zqgz", compressed, didWrite,
                     errors)) {
      return;
    }
    if (didWrite) ++written;
    file.hashes[index] = hash;
    file.sizes[index] = data.size();
  });
  if (errors.Failed()) {
    err << "jorvu-pack: " << errors.Message() << "\n";
    return false;
  }

  OBDManifest manifest;
  manifest.SetName(options.name);
  for (const SourceFile& f : files) {
    manifest.InsertEmptyFile(f.key);
    for (std::size_t i = 0; i < f.hashes.size(); ++i) manifest.AddObject(f.key, static_cast<std::int64_t>(i), f.hashes[i], f.sizes[i]);
    manifest.FileFinalize(f.key);
    summary.bytes += f.size;
  }
  summary.files = files.size();
  summary.objects = blocks.size();
  summary.objectsWritten = written;

  if (!options.from.empty()) {
    std::vector<SourceFile> oldFiles;
    if (!ListFiles(options.from, oldFiles, err)) return false;
    std::map<std::string, const SourceFile*> oldByPath;
    for (const auto& f : oldFiles) oldByPath[f.relative] = &f;

    struct DeltaTask {
      const SourceFile* now;
      const SourceFile* old;
      std::string source;
      std::vector<std::string> pieces;
      std::uint64_t streamSize = 0;
      bool used = false;
    };
    std::vector<DeltaTask> tasks;
    for (const SourceFile& f : files) {
      auto it = oldByPath.find(f.relative);
      if (it == oldByPath.end() || f.size == 0) continue;
      tasks.push_back({&f, it->second, {}, {}, 0, false});
    }
    std::atomic<std::uint64_t> deltaObjects{0};
    Parallel(tasks.size(), jobs, errors, [&](std::size_t t) {
      DeltaTask& task = tasks[t];
      MappedFile oldMap(task.old->path);
      MappedFile newMap(task.now->path);
      if (!oldMap.ok() || !newMap.ok()) return errors.Set("cannot read " + task.old->path + " or " + task.now->path);
      // The old file's hash: the name of the release of the file the delta applies to.
      std::vector<std::string> oldHashes;
      const std::string_view oldData = oldMap.view();
      for (std::uint64_t off = 0; off < oldData.size(); off += kObjectSize) {
        const std::string_view block = oldData.substr(off, kObjectSize);
        oldHashes.push_back(OBDManifest::GetHash(block.data(), block.size()));
      }
      task.source = FileHash(oldHashes);
      if (oldData.size() == task.now->size && task.source == FileHash(task.now->hashes)) return;  // unchanged

      std::string pending;
      auto emitPiece = [&](std::string_view piece) {
        const std::uint64_t index = task.pieces.size();
        const std::string hash = OBDManifest::GetHash(piece.data(), piece.size());
        const std::string compressed = Compress(piece, options.level);
        if (compressed.empty()) {
          errors.Set("cannot compress a delta of " + task.now->path);
          return false;
        }
        bool didWrite = false;
        if (!WriteObject(options.out,
                         task.now->key + "." + std::to_string(index) + "." + hash + "." + task.source + ".zqdelta",
                         compressed, didWrite, errors)) {
          return false;
        }
        task.pieces.push_back(hash);
        ++deltaObjects;
        return true;
      };
      auto sink = [&](std::string_view bytes) {
        task.streamSize += bytes.size();
        pending.append(bytes);
        while (pending.size() >= kObjectSize) {
          if (!emitPiece(std::string_view(pending).substr(0, kObjectSize))) return false;
          pending.erase(0, kObjectSize);
        }
        return true;
      };
      if (!EncodeDelta(oldData, newMap.view(), sink)) return;
      if (!pending.empty() && !emitPiece(pending)) return;
      task.used = true;
    });
    if (errors.Failed()) {
      err << "jorvu-pack: " << errors.Message() << "\n";
      return false;
    }

    rapidjson::Document diff;
    diff.SetObject();
    auto& a = diff.GetAllocator();
    std::uint64_t total = 0;
    for (const DeltaTask& task : tasks) {
      if (!task.used) continue;
      rapidjson::Value objects(rapidjson::kObjectType);
      for (std::size_t i = 0; i < task.pieces.size(); ++i) {
        objects.AddMember(rapidjson::Value(std::to_string(i).c_str(), a), rapidjson::Value(task.pieces[i].c_str(), a), a);
      }
      rapidjson::Value entry(rapidjson::kObjectType);
      entry.AddMember("objects", objects, a);
      entry.AddMember("hash", rapidjson::Value(task.source.c_str(), a), a);
      entry.AddMember("uncompressed_size", rapidjson::Value(task.streamSize), a);
      diff.AddMember(rapidjson::Value(task.now->key.c_str(), a), entry, a);
      total += task.streamSize;
      ++summary.deltaFiles;
    }
    summary.deltaObjects = deltaObjects;
    const std::string diffPath = options.out + "/" + options.name + "-" + options.fromName;
    if (!platform::writeFileAtomically(diffPath, WriteContents(diff, total))) {
      err << "jorvu-pack: cannot write " << diffPath << "\n";
      return false;
    }
  }

  const std::string manifestPath = options.out + "/" + options.name;
  if (!platform::writeFileAtomically(manifestPath, manifest.GetContentRaw())) {
    err << "jorvu-pack: cannot write " << manifestPath << "\n";
    return false;
  }
  return true;
}

}  // namespace pack
