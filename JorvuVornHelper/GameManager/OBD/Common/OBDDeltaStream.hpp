#pragma once
// The delta command stream: a sequence of commands, each one command byte c
// followed by unsigned little-endian integers whose widths come from the
// table {1, 2, 4, 8}:
//   c 0...63   copy:   offset (width[(c >> 4) & 3]), length (width[(c >> 2) & 3]);
//                      length bytes of the origin file from offset
//   c 64...255 insert: length (width[(c >> 2) & 3]), then length literal bytes
// The two low bits of c are not used, nor, for an insert, bits 4 to 7 beyond
// the test against 63.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace obd::delta {

inline constexpr std::array<unsigned, 4> kWidths{1, 2, 4, 8};

inline bool IsCopy(std::uint8_t c) { return c <= 63; }
inline unsigned OffsetWidth(std::uint8_t c) { return kWidths[(c >> 4) & 3]; }
inline unsigned LengthWidth(std::uint8_t c) { return kWidths[(c >> 2) & 3]; }

// The smallest width index whose width holds v.
inline unsigned WidthIndexFor(std::uint64_t v) {
  if (v <= 0xFF) return 0;
  if (v <= 0xFFFF) return 1;
  if (v <= 0xFFFFFFFFull) return 2;
  return 3;
}

inline std::uint64_t ReadUint(const std::uint8_t* bytes, unsigned width) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  return v;
}

inline void AppendUint(std::string& out, std::uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Width indexes below what the value needs are raised to it.
inline void AppendCopy(std::string& out, std::uint64_t offset, std::uint64_t length, unsigned offsetWidthIndex,
                       unsigned lengthWidthIndex, unsigned unusedLowBits = 0) {
  const unsigned ow = std::max(offsetWidthIndex & 3, WidthIndexFor(offset));
  const unsigned lw = std::max(lengthWidthIndex & 3, WidthIndexFor(length));
  out += static_cast<char>((ow << 4) | (lw << 2) | (unusedLowBits & 3));
  AppendUint(out, offset, kWidths[ow]);
  AppendUint(out, length, kWidths[lw]);
}

// `base` is any command byte from 64 up; its bits 2 and 3 are replaced.
inline void AppendInsert(std::string& out, std::string_view literal, unsigned lengthWidthIndex,
                         std::uint8_t base = 0x40) {
  const unsigned lw = std::max(lengthWidthIndex & 3, WidthIndexFor(literal.size()));
  const std::uint8_t b = base < 64 ? 0x40 : base;
  out += static_cast<char>((b & ~0x0C) | (lw << 2));
  AppendUint(out, literal.size(), kWidths[lw]);
  out.append(literal);
}

struct Command {
  bool copy = false;
  std::uint64_t offset = 0;  // copy only
  std::uint64_t length = 0;
  std::size_t literalAt = 0;  // insert only: where the literal starts in the buffer
};

// Reads the command at `pos` of an in-memory stream and moves `pos` past it
// (and past an insert's literal). False when the stream ends inside it.
inline bool ParseCommand(const std::uint8_t* data, std::size_t size, std::size_t& pos, Command& cmd) {
  if (pos >= size) return false;
  const std::uint8_t c = data[pos];
  std::size_t p = pos + 1;
  cmd = Command{};
  cmd.copy = IsCopy(c);
  if (cmd.copy) {
    const unsigned ow = OffsetWidth(c);
    if (size - p < ow) return false;
    cmd.offset = ReadUint(data + p, ow);
    p += ow;
  }
  const unsigned lw = LengthWidth(c);
  if (size - p < lw) return false;
  cmd.length = ReadUint(data + p, lw);
  p += lw;
  if (!cmd.copy) {
    if (cmd.length > size - p) return false;
    cmd.literalAt = p;
    p += static_cast<std::size_t>(cmd.length);
  }
  pos = p;
  return true;
}

}  // namespace obd::delta
