#include "Platform/Utf8.hpp"

namespace platform {
namespace {
bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }
}  // namespace

std::size_t utf8SequenceLength(const unsigned char* p, std::size_t left, std::size_t& consumed) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    consumed = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= left) break;
    const unsigned char b = p[i];
    if (i == 1 ? (b < lo || b > hi) : !isContinuation(b)) break;
  }
  if (i == need + 1) return need + 1;
  consumed = i;
  return 0;
}

bool isValidUTF8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t consumed = 0;
    const std::size_t len = utf8SequenceLength(p + i, text.size() - i, consumed);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string repairedUTF8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t consumed = 0;
    const std::size_t len = utf8SequenceLength(p + i, bytes.size() - i, consumed);
    if (len > 0) {
      out.append(bytes.data() + i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += consumed;
    }
  }
  return out;
}

}  // namespace platform
