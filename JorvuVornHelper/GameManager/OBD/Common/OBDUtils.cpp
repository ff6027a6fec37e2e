#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"

#include <array>
#include <cstdint>

namespace obd::utils {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Built once, at compile time; -1 marks characters outside the alphabet.
constexpr std::array<std::int8_t, 256> kDecodeTable = [] {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}();

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (static_cast<std::uint8_t>(bytes[i]) << 16) | (static_cast<std::uint8_t>(bytes[i + 1]) << 8) |
                      static_cast<std::uint8_t>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    std::uint32_t v = (static_cast<std::uint8_t>(bytes[i]) << 16) | (static_cast<std::uint8_t>(bytes[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const std::int8_t v = kDecodeTable[static_cast<unsigned char>(c)];
    if (v < 0) break;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

bool IsSafeRelativePath(std::string_view relative) {
  if (relative.empty()) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < relative.size() && relative[end] != '/' && relative[end] != '\\') {
      if (relative[end] == '\0') return false;
      ++end;
    }
    const std::string_view segment = relative.substr(start, end - start);
    // An empty first segment is an absolute path; any other is "a//b" or "a/".
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (end == relative.size()) return true;
    start = end + 1;
  }
}

std::string GetDecodedTargetFullPath(const std::string& target, std::string_view key) {
  std::string relative = Base64Decode(key);
  if (!IsSafeRelativePath(relative)) return {};
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::string full = target;
  if (full.empty() || full.back() != '/') full += '/';
  return full + relative;
}

}  // namespace obd::utils
