#include "JorvuVorn/Model/Popup/PopupFormatting.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixmounts.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/sysmacros.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The named versions of 10.x, by their exact float value.
const char* nameOfTen(float version) {
  struct Named {
    float version;
    const char* name;
  };
  static constexpr std::array<Named, 6> names = {{{10.1f, "Yosemite"},
                                                  {10.11f, "El Capitan"},
                                                  {10.12f, "Sierra"},
                                                  {10.13f, "High Sierra"},
                                                  {10.14f, "Mojave"},
                                                  {10.15f, "Catalina"}}};
  for (const auto& named : names) {
    if (named.version == version) return named.name;
  }
  return "Unknown";
}

const char* versionName(float version) {
  if (!std::isfinite(version) || version < 10.0f || version >= 15.0f) return "Unknown";
  switch (static_cast<int>(version)) {
    case 10:
      return nameOfTen(version);
    case 11:
      return "Big Sur";
    case 12:
      return "Monterey";
    case 13:
      return "Ventura";
    case 14:
      return "Sonoma";
    default:
      return "Unknown";
  }
}

// `value` with at most `digits` fraction digits, trailing zeros dropped.
std::string fixed(double value, int digits) {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(digits);
  out << value;
  std::string text = out.str();
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text;
}

}  // namespace

Color Color::fromHex(std::string_view hex) {
  if (!hex.empty() && hex.front() == '#') hex.remove_prefix(1);
  std::uint64_t n = 0;
  for (char c : hex) {
    const int digit = hexDigit(c);
    if (digit < 0) break;
    n = (n << 4) | static_cast<std::uint64_t>(digit);  // wraps like a fixed-width scan
  }
  return {static_cast<std::uint8_t>((n >> 16) & 255), static_cast<std::uint8_t>((n >> 8) & 255),
          static_cast<std::uint8_t>(n & 255)};
}

std::string floatText(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  std::array<char, 64> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  std::string text(buffer.data(), ec == std::errc() ? end : buffer.data());
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string getOSVersionName(float version) {
  return std::string("macOS ") + versionName(version) + " " + floatText(version);
}

std::string byteCountText(std::uint64_t bytes) {
  if (bytes == 0) return "ZeroKB";
  if (bytes == 1) return "1byte";
  if (bytes < 1000) return std::to_string(bytes) + "bytes";
  static constexpr std::array<const char*, 6> units = {"KB", "MB", "GB", "TB", "PB", "EB"};
  // Kilobytes whole, megabytes with one fraction digit, larger units with two.
  auto digitsOf = [](std::size_t unit) { return unit == 0 ? 0 : unit == 1 ? 1 : 2; };
  std::size_t unit = 0;
  double value = static_cast<double>(bytes) / 1000.0;
  while (unit + 1 < units.size() && value >= 1000.0) {
    value /= 1000.0;
    ++unit;
  }
  // Rounding may reach the next unit (999 999 bytes is 1MB, not 1000KB).
  const double scale = std::pow(10.0, digitsOf(unit));
  double rounded = std::round(value * scale) / scale;
  if (rounded >= 1000.0 && unit + 1 < units.size()) {
    ++unit;
    rounded = std::round(value / 1000.0 * std::pow(10.0, digitsOf(unit))) / std::pow(10.0, digitsOf(unit));
  }
  return fixed(rounded, digitsOf(unit)) + units[unit];
}

std::string capacityMessage(std::uint64_t total) { return byteCountText(total) + " left"; }

namespace {

// Whether `rest` starts with a character that the end of the text cut off:
// a lead byte followed by fewer continuation bytes than it announces.
bool isCutCharacter(std::string_view rest) {
  const auto lead = static_cast<unsigned char>(rest.front());
  const std::size_t length = lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
                             : lead >= 0xf0 && lead <= 0xf4                                 ? 4
                                                                                            : 0;
  if (length == 0 || rest.size() >= length) return false;
  for (std::size_t i = 1; i < rest.size(); ++i) {
    if ((static_cast<unsigned char>(rest[i]) & 0xc0) != 0x80) return false;
  }
  return true;
}

// The length of the valid UTF-8 that `text` starts with.
std::size_t validPrefix(std::string_view text) {
  const gchar* end = nullptr;
  g_utf8_validate_len(text.data(), text.size(), &end);
  return static_cast<std::size_t>(end - text.data());
}

bool breaksTheLine(gunichar c) { return g_unichar_iscntrl(c) || c == 0x2028 || c == 0x2029; }

}  // namespace

std::string validUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t valid = validPrefix(text);
    out.append(text.substr(0, valid));
    text.remove_prefix(valid);
    if (text.empty() || isCutCharacter(text)) break;
    out += "\uFFFD";
    // The rest of the run, up to the next character that reads.
    text.remove_prefix(1);
    while (!text.empty() && validPrefix(text.substr(0, 4)) == 0 && !isCutCharacter(text)) text.remove_prefix(1);
  }
  return out;
}

std::string oneLineText(std::string_view text) {
  const std::string valid = validUTF8(text);
  std::string out;
  out.reserve(valid.size());
  bool inBreak = false;
  for (const char* p = valid.c_str(); *p != '\0'; p = g_utf8_next_char(p)) {
    if (breaksTheLine(g_utf8_get_char(p))) {
      if (!inBreak) out += ' ';
      inBreak = true;
    } else {
      out.append(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
      inBreak = false;
    }
  }
  return out;
}

std::string decodeLabel(std::string_view linkName) {
  std::string out;
  for (std::size_t i = 0; i < linkName.size(); ++i) {
    if (linkName[i] == '\\' && i + 3 < linkName.size() && linkName[i + 1] == 'x') {
      const int high = hexDigit(linkName[i + 2]);
      const int low = hexDigit(linkName[i + 3]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 3;
        continue;
      }
    }
    out += linkName[i];
  }
  return out;
}

namespace {

std::optional<std::string> realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

// The source device of the mount that `device` numbers, as the kernel lists
// it in /proc/self/mountinfo ("/dev/sda2"); a file system without a block
// device of its own (btrfs subvolumes) is found this way.
std::optional<std::string> mountSourceOf(dev_t device) {
  std::ifstream in("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    if (!(fields >> id >> parent >> numbers) || numbers != wanted) continue;
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type, source;
    if (rest >> type >> source && !source.empty() && source.front() == '/') return source;
  }
  return std::nullopt;
}

// A name as it can be shown: valid UTF-8, and nothing when none of it can be
// seen (blanks only, or bytes that did not read).
std::optional<std::string> visibleName(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  std::string valid = validUTF8(*name);
  for (const char* p = valid.c_str(); *p != '\0'; p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    if (c != 0xfffd && g_unichar_isgraph(c)) return valid;
  }
  return std::nullopt;
}

// A text GLib hands over (freed here); nothing when it is empty.
std::optional<std::string> takeText(char* text) {
  std::unique_ptr<char, decltype(&g_free)> owned(text, &g_free);
  if (!owned || *owned == '\0') return std::nullopt;
  return std::string(owned.get());
}

// GIO's name for a mount the desktop shows (a removable disk, a mount in the
// home folder): what the file manager calls it.
std::optional<std::string> gioMountName(const std::string& path) {
  GFile* file = g_file_new_for_path(path.c_str());
  GMount* mount = g_file_find_enclosing_mount(file, nullptr, nullptr);
  g_object_unref(file);
  if (mount == nullptr) return std::nullopt;
  auto name = takeText(g_mount_get_name(mount));
  g_object_unref(mount);
  return name;
}

// GIO's name for the system mount that holds `path` ("Filesystem root" for
// "/", else the mount folder's name), in the user's language.
std::optional<std::string> gioSystemMountName(const std::string& path) {
  GUnixMountEntry* entry = g_unix_mount_for(path.c_str(), nullptr);
  if (entry == nullptr) return std::nullopt;
  auto name = takeText(g_unix_mount_guess_name(entry));
  g_unix_mount_free(entry);
  return name;
}

// The label the file system itself keeps (ext4, btrfs, xfs and others
// answer without privileges).
std::optional<std::string> fileSystemLabel(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::array<char, FSLABEL_MAX + 1> label{};
  const int result = ::ioctl(fd, FS_IOC_GETFSLABEL, label.data());
  ::close(fd);
  if (result != 0 || label[0] == '\0') return std::nullopt;
  return std::string(label.data());
}

// The label udev lists for the device that holds `path` (the file systems
// without the label request, such as FAT).
std::optional<std::string> udevLabel(const std::string& path, const std::string& labelFolder) {
  struct stat target {};
  if (::stat(path.c_str(), &target) != 0) return std::nullopt;
  struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, CloseDir> dir(::opendir(labelFolder.c_str()));
  if (!dir) return std::nullopt;
  const auto source = mountSourceOf(target.st_dev);
  const auto sourcePath = source ? realPath(*source) : std::nullopt;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string link = labelFolder + "/" + name;
    struct stat device {};
    if (::stat(link.c_str(), &device) != 0 || !S_ISBLK(device.st_mode)) continue;
    if (device.st_rdev == target.st_dev || (sourcePath && realPath(link) == sourcePath)) {
      std::string label = decodeLabel(name);
      if (label.empty()) return std::nullopt;
      return label;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string volumeNameOf(const std::string& path, const std::string& labelFolder) {
  // GIO finds mounts by absolute, resolved paths only.
  const auto resolved = realPath(path);
  if (!resolved) return "Unknown Volume";
  if (auto name = visibleName(gioMountName(*resolved))) return *name;
  if (auto label = visibleName(fileSystemLabel(*resolved))) return *label;
  if (auto label = visibleName(udevLabel(*resolved, labelFolder))) return *label;
  if (auto name = visibleName(gioSystemMountName(*resolved))) return *name;
  return "Unknown Volume";
}

std::string getRootVolumeName() {
  const char* home = std::getenv("HOME");
  return volumeNameOf(home != nullptr && *home != '\0' ? home : "/", "/dev/disk/by-label");
}
