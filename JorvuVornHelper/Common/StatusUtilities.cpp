#include "JorvuVornHelper/Common/StatusUtilities.hpp"

#include <cctype>
#include <charconv>
#include <string>

#include "Platform/SystemInfo.hpp"

GameStatus::Status toStatus(std::uint32_t workMode) {
  using S = GameStatus::Status;
  switch (workMode) {
    case 0: return S::registered;
    case 1: return S::install;
    case 2: return S::patch;
    case 3: return S::restore;
    case 4: return S::ready;
    case 5: return S::cancel;
    default: return S::error;
  }
}

float osVersionNumber(int major, int minor) {
  const std::string text = std::to_string(major) + "." + std::to_string(minor);
  float value = 0;
  // from_chars reads in the C locale whatever the process's locale is.
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

float getOSVersion() {
  const platform::OSVersion os = platform::operatingSystemVersion();
  return osVersionNumber(os.major, os.minor);
}

namespace {

// Reads exactly `width` digits at `pos`.
bool digits(std::string_view text, std::size_t pos, std::size_t width, int& out) {
  out = 0;
  for (std::size_t i = pos; i < pos + width; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::optional<std::chrono::system_clock::time_point> toDate(std::string_view text) {
  using namespace std::chrono;
  // yyyy-MM-dd HH:mm
  if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':') return std::nullopt;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  if (!digits(text, 0, 4, y) || !digits(text, 5, 2, mo) || !digits(text, 8, 2, d) || !digits(text, 11, 2, h) ||
      !digits(text, 14, 2, mi)) {
    return std::nullopt;
  }
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!date.ok() || h > 23 || mi > 59) return std::nullopt;
  // Korea Standard Time is a fixed nine hours ahead of UTC.
  return time_point_cast<system_clock::duration>(sys_days{date} + hours{h} + minutes{mi} - hours{9});
}
