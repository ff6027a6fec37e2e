#include "Platform/Base64.hpp"

#include <array>
#include <cstdint>

namespace platform {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Built once, at compile time; -1 marks characters outside the alphabet.
constexpr std::array<std::int8_t, 256> kDecodeTable = [] {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}();

// Appends the bytes of the text's leading run of alphabet characters, whole
// bytes only; returns the length of that run.
std::size_t decodeRun(std::string_view text, std::string& out) {
  out.reserve(out.size() + text.size() / 4 * 3 + 3);
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    const std::int8_t v = kDecodeTable[static_cast<unsigned char>(text[i])];
    if (v < 0) break;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return i;
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
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

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  // At most two "=" at the end; one anywhere else ends the run early.
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = 1;
    if (text.size() >= 2 && text[text.size() - 2] == '=') padding = 2;
  }
  const std::string_view body = text.substr(0, text.size() - padding);
  std::string out;
  if (decodeRun(body, out) != body.size()) return std::nullopt;
  return out;
}

std::string base64DecodePrefix(std::string_view text) {
  std::string out;
  decodeRun(text, out);
  return out;
}

}  // namespace platform
