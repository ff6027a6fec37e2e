#include "Tools/benchlimit/ObjectReplay.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <tuple>
#include <vector>

#include "Platform/Base64.hpp"
#include "Platform/Digest.hpp"

namespace fs = std::filesystem;

namespace benchlimit {
namespace {

constexpr std::string_view kFullSuffix = ".zqgz";
bool IsLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

struct Entry {
  ObjectName name;
  std::string path;
};

std::string ErrnoText(int err) { return std::strerror(err); }

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int Get() const { return fd_; }

 private:
  int fd_ = -1;
};

bool ReadAll(const std::string& path, std::vector<unsigned char>& buffer, std::size_t& length, std::string& error) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.Get() < 0) {
    error = "cannot open " + path + ": " + ErrnoText(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
    return false;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  if (buffer.size() < size) buffer.resize(size);
  length = 0;
  while (length < size) {
    const ssize_t n = ::read(fd.Get(), buffer.data() + length, size - length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path + ": " + ErrnoText(errno);
      return false;
    }
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAt(int fd, const unsigned char* data, std::size_t length, std::uint64_t offset) {
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool ListObjects(const std::string& source, std::vector<Entry>& entries, std::ostream& err) {
  std::error_code ec;
  if (!fs::is_directory(source, ec)) {
    err << "jorvu-benchlimit: " << source << " is not a folder\n";
    return false;
  }
  fs::recursive_directory_iterator it(source, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    const std::string relative = fs::relative(it->path(), source, ec).generic_string();
    auto name = ParseObjectName(relative);
    if (!name) continue;
    entries.push_back({std::move(*name), it->path().string()});
  }
  if (ec) {
    err << "jorvu-benchlimit: cannot read below " << source << ": " << ec.message() << "\n";
    return false;
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.name.key, a.name.index) < std::tie(b.name.key, b.name.index);
  });
  return true;
}

}  // namespace

std::optional<ObjectName> ParseObjectName(std::string_view relative) {
  if (relative.size() <= kFullSuffix.size() || relative.substr(relative.size() - kFullSuffix.size()) != kFullSuffix) {
    return std::nullopt;
  }
  std::string_view rest = relative.substr(0, relative.size() - kFullSuffix.size());
  const auto hashDot = rest.rfind('.');
  if (hashDot == std::string_view::npos) return std::nullopt;
  const std::string_view hash = rest.substr(hashDot + 1);
  rest = rest.substr(0, hashDot);
  const auto indexDot = rest.rfind('.');
  if (indexDot == std::string_view::npos || indexDot == 0) return std::nullopt;
  const std::string_view index = rest.substr(indexDot + 1);
  if (hash.size() != 40 || !IsLowerHex(hash) || index.empty() || index.size() > 9 ||
      !std::all_of(index.begin(), index.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  ObjectName name;
  name.key = std::string(rest.substr(0, indexDot));
  name.hash = std::string(hash);
  for (char c : index) name.index = name.index * 10 + static_cast<std::uint64_t>(c - '0');
  return name;
}

std::optional<std::string> KeyToPath(std::string_view key) {
  auto path = platform::base64Decode(key);
  if (!path || path->empty() || path->front() == '/' || path->find('\\') != std::string::npos ||
      path->find('\0') != std::string::npos) {
    return std::nullopt;
  }
  std::string_view rest = *path;
  while (true) {
    const auto slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    if (segment.empty() || segment == "." || segment == "..") return std::nullopt;
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
  return path;
}

bool Replay(const std::string& source, const std::string& out, Totals& totals, std::ostream& err) {
  totals = Totals{};
  const auto start = std::chrono::steady_clock::now();
  std::vector<Entry> entries;
  if (!ListObjects(source, entries, err)) return false;
  std::error_code ec;
  fs::create_directories(out, ec);
  if (!fs::is_directory(out, ec)) {
    err << "jorvu-benchlimit: cannot make " << out << "\n";
    return false;
  }

  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    err << "jorvu-benchlimit: inflateInit failed\n";
    return false;
  }
  std::vector<unsigned char> input;
  std::vector<unsigned char> output(kObjectSize);
  platform::Sha1 sha;
  Fd file;
  std::string openKey;
  std::string error;
  bool ok = true;
  for (const Entry& entry : entries) {
    if (entry.name.key != openKey) {
      file.Reset();
      openKey = entry.name.key;
      const auto relative = KeyToPath(entry.name.key);
      if (!relative) {
        error = "key " + entry.name.key + " names no path inside the folder";
        ok = false;
        break;
      }
      const fs::path target = fs::path(out) / *relative;
      fs::create_directories(target.parent_path(), ec);
      file.Reset(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
      if (file.Get() < 0) {
        error = "cannot open " + target.string() + ": " + ErrnoText(errno);
        ok = false;
        break;
      }
      ++totals.files;
    }
    std::size_t length = 0;
    if (!ReadAll(entry.path, input, length, error)) {
      ok = false;
      break;
    }
    inflateReset(&zs);
    zs.next_in = input.data();
    zs.avail_in = static_cast<uInt>(length);
    zs.next_out = output.data();
    zs.avail_out = static_cast<uInt>(output.size());
    const int rc = inflate(&zs, Z_FINISH);
    if (rc != Z_STREAM_END || zs.avail_in != 0) {
      error = entry.path + ": inflate failed (" + std::to_string(rc) + ")";
      ok = false;
      break;
    }
    const std::size_t size = output.size() - zs.avail_out;
    sha.update(output.data(), size);
    const auto digest = sha.finish();
    if (platform::toHex(digest.data(), digest.size()) != entry.name.hash) {
      error = entry.path + ": SHA-1 differs from its name";
      ok = false;
      break;
    }
    if (!WriteAt(file.Get(), output.data(), size, entry.name.index * kObjectSize)) {
      const int writeError = errno;
      error = "cannot write " + KeyToPath(entry.name.key).value_or(entry.name.key) + ": " + ErrnoText(writeError);
      ok = false;
      break;
    }
    ++totals.objects;
    totals.compressedBytes += length;
    totals.bytes += size;
  }
  inflateEnd(&zs);
  file.Reset();
  totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) err << "jorvu-benchlimit: " << error << "\n";
  return ok;
}

}  // namespace benchlimit
