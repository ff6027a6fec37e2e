#include "Tools/pack/DeltaEncoder.hpp"

#include <cstring>
#include <unordered_map>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDDeltaStream.hpp"

namespace pack {
namespace {

constexpr std::uint64_t kPrime = 0x100000001B3ull;
constexpr std::size_t kMaxInsert = 1 << 20;
constexpr std::size_t kFlushAt = 1 << 20;
constexpr std::size_t kMaxIndexEntries = std::size_t{4} << 20;

std::uint64_t Power(std::uint64_t base, std::size_t exp) {
  std::uint64_t r = 1;
  for (std::size_t i = 0; i < exp; ++i) r *= base;
  return r;
}

std::uint64_t HashOf(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 0;
  for (std::size_t i = 0; i < n; ++i) h = h * kPrime + p[i];
  return h;
}

class Emitter {
 public:
  Emitter(const DeltaSink& sink, DeltaStats& stats) : sink_(sink), stats_(stats) {}

  bool Copy(std::uint64_t offset, std::uint64_t length) {
    const unsigned k = copies_++;
    obd::delta::AppendCopy(buffer_, offset, length, k % 4, (k + 1) % 4, k % 3);
    ++stats_.copies;
    stats_.copiedBytes += length;
    return MaybeFlush();
  }

  bool Insert(std::string_view literal) {
    static constexpr std::uint8_t kBases[] = {0x40, 0x80, 0xC0, 0xF3, 0x71};
    while (!literal.empty()) {
      const std::string_view piece = literal.substr(0, kMaxInsert);
      const unsigned k = inserts_++;
      obd::delta::AppendInsert(buffer_, piece, k % 4, kBases[k % 5]);
      ++stats_.inserts;
      stats_.insertedBytes += piece.size();
      literal.remove_prefix(piece.size());
      if (!MaybeFlush()) return false;
    }
    return true;
  }

  bool Finish() { return Flush(); }

 private:
  bool MaybeFlush() { return buffer_.size() < kFlushAt || Flush(); }
  bool Flush() {
    if (buffer_.empty()) return true;
    stats_.streamBytes += buffer_.size();
    const bool ok = sink_(buffer_);
    buffer_.clear();
    return ok;
  }

  const DeltaSink& sink_;
  DeltaStats& stats_;
  std::string buffer_;
  // Separate turns for the two kinds, so each runs through every width.
  unsigned copies_ = 0;
  unsigned inserts_ = 0;
};

}  // namespace

bool EncodeDelta(std::string_view oldData, std::string_view newData, const DeltaSink& sink, DeltaStats* statsOut) {
  DeltaStats stats;
  Emitter emit(sink, stats);
  const auto* o = reinterpret_cast<const unsigned char*>(oldData.data());
  const auto* n = reinterpret_cast<const unsigned char*>(newData.data());
  const std::size_t oldSize = oldData.size();
  const std::size_t newSize = newData.size();

  std::size_t block = 64;
  while (oldSize / block > kMaxIndexEntries) block *= 2;

  std::unordered_map<std::uint64_t, std::size_t> index;
  if (oldSize >= block) {
    index.reserve(oldSize / block + 1);
    for (std::size_t off = 0; off + block <= oldSize; off += block) index.emplace(HashOf(o + off, block), off);
  }

  const std::uint64_t top = Power(kPrime, block - 1);
  std::size_t literalStart = 0;
  std::size_t i = 0;
  bool ok = true;
  if (!index.empty() && newSize >= block) {
    std::uint64_t h = HashOf(n, block);
    while (ok && i + block <= newSize) {
      auto it = index.find(h);
      if (it != index.end() && std::memcmp(o + it->second, n + i, block) == 0) {
        std::size_t from = it->second;
        std::size_t at = i;
        while (at > literalStart && from > 0 && o[from - 1] == n[at - 1]) {
          --at;
          --from;
        }
        std::size_t length = (i - at) + block;
        while (from + length < oldSize && at + length < newSize && o[from + length] == n[at + length]) ++length;
        ok = emit.Insert(newData.substr(literalStart, at - literalStart)) && emit.Copy(from, length);
        i = at + length;
        literalStart = i;
        if (i + block <= newSize) h = HashOf(n + i, block);
        continue;
      }
      if (i + block < newSize) h = (h - n[i] * top) * kPrime + n[i + block];
      ++i;
    }
  }
  ok = ok && emit.Insert(newData.substr(literalStart)) && emit.Finish();
  if (statsOut) *statsOut = stats;
  return ok;
}

bool ApplyDeltaInMemory(std::string_view oldData, std::string_view stream, std::string& out) {
  out.clear();
  const auto* data = reinterpret_cast<const std::uint8_t*>(stream.data());
  std::size_t pos = 0;
  while (pos < stream.size()) {
    obd::delta::Command cmd;
    if (!obd::delta::ParseCommand(data, stream.size(), pos, cmd)) return false;
    if (cmd.copy) {
      if (cmd.offset > oldData.size() || cmd.length > oldData.size() - cmd.offset) return false;
      out.append(oldData.substr(static_cast<std::size_t>(cmd.offset), static_cast<std::size_t>(cmd.length)));
    } else {
      out.append(stream.substr(cmd.literalAt, static_cast<std::size_t>(cmd.length)));
    }
  }
  return true;
}

}  // namespace pack
