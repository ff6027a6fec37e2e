#include "JorvuVornHelper/Common/Conditions.hpp"

#include <cctype>
#include <charconv>
#include <cmath>

#include "Common/Protocol/SubError.hpp"
#include "JorvuVornHelper/Common/StatusUtilities.hpp"

void checkAll(const Conditions& conditions, const GameInfo& gameInfo) {
  for (const auto& condition : conditions) condition->check(gameInfo);
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t skipDigits(std::string_view text, std::size_t at) {
  while (at < text.size() && isDigit(text[at])) ++at;
  return at;
}

}  // namespace

float OSVersionLimited::versionLimit(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  const std::size_t start = at;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  const std::size_t intStart = at;
  at = skipDigits(text, at);
  std::size_t digitCount = at - intStart;
  if (at < text.size() && text[at] == '.') {
    const std::size_t fracStart = at + 1;
    const std::size_t fracEnd = skipDigits(text, fracStart);
    // "12." reads as 12; the point belongs to the number only with digits after it.
    if (fracEnd > fracStart) {
      digitCount += fracEnd - fracStart;
      at = fracEnd;
    }
  }
  if (digitCount == 0) return 0;
  // An exponent belongs to the number only when digits follow it.
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    std::size_t exp = at + 1;
    if (exp < text.size() && (text[exp] == '+' || text[exp] == '-')) ++exp;
    const std::size_t expEnd = skipDigits(text, exp);
    if (expEnd > exp) at = expEnd;
  }
  // from_chars takes no leading "+" and always reads in the C locale.
  std::size_t from = start;
  if (text[from] == '+') ++from;
  float value = 0;
  auto [end, ec] = std::from_chars(text.data() + from, text.data() + at, value);
  if (ec != std::errc() || end != text.data() + at || !std::isfinite(value)) return 0;
  return value;
}

void OSVersionLimited::check(const GameInfo& gameInfo) const {
  const float current = getOSVersion();
  if (!gameInfo.mac_os_version) return;
  const float limit = versionLimit(*gameInfo.mac_os_version);
  if (limit != 0 && limit > current) {
    throw SubError(SubError::OSVersionLimit{current, limit});
  }
}

void MaintenanceCondition::check(const GameInfo& gameInfo) const {
  check(gameInfo, std::chrono::system_clock::now());
}

void MaintenanceCondition::check(const GameInfo& gameInfo, std::chrono::system_clock::time_point now) {
  if (!gameInfo.game_maintenance || gameInfo.game_maintenance->available) return;
  const auto& m = *gameInfo.game_maintenance;
  const auto start = toDate(m.start_time);
  const auto end = toDate(m.end_time);
  if (start && now < *start) return;
  if (end && !(now < *end)) return;
  throw SubError(SubError::Maintenance{m.start_time, m.end_time, m.reason, m.related_link});
}
