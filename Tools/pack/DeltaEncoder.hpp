#pragma once
// A simple delta encoder: the new file is scanned with a rolling hash for
// blocks of the old file (indexed by digest at block boundaries); matches
// become copy commands, the rest inserts. Operand widths rotate through
// 1, 2, 4 and 8 bytes (never below what a value needs), so every source
// exercises every integer width of the command stream reader.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pack {

// Receives the command stream in order, in pieces; false stops the encoding.
using DeltaSink = std::function<bool(std::string_view bytes)>;

struct DeltaStats {
  std::uint64_t copies = 0;
  std::uint64_t inserts = 0;
  std::uint64_t copiedBytes = 0;
  std::uint64_t insertedBytes = 0;
  std::uint64_t streamBytes = 0;
};

// False when the sink refused bytes.
bool EncodeDelta(std::string_view oldData, std::string_view newData, const DeltaSink& sink, DeltaStats* stats = nullptr);

// Applies a whole in-memory command stream to `oldData` (a plain reference
// reader for checks); false for a malformed stream or a copy past the end.
bool ApplyDeltaInMemory(std::string_view oldData, std::string_view stream, std::string& out);

}  // namespace pack
