#include "Platform/Base64.hpp"

#include <array>
#include <cstdint>

namespace platform {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// -1 marks characters outside the alphabet.
constexpr std::array<std::int8_t, 256> kDecodeTable = [] {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}();

}  // namespace

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  // At most two "=" at the end; one anywhere else fails below.
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = 1;
    if (text.size() >= 2 && text[text.size() - 2] == '=') padding = 2;
  }
  const std::size_t body = text.size() - padding;

  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (std::size_t i = 0; i < body; ++i) {
    const std::int8_t v = kDecodeTable[static_cast<unsigned char>(text[i])];
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

}  // namespace platform
