#pragma once
// Size arithmetic of the engine. Sizes come from manifests, that is from the
// network: a sum or a product that does not fit in 64 bits saturates at the
// largest value instead of wrapping, so that a size that cannot be stored
// fails every check it meets (free space, the size of a finished file) and
// never passes as a small one.
#include <cstdint>
#include <limits>

namespace obd::size {

inline constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t Add(std::uint64_t a, std::uint64_t b) { return b > kMax - a ? kMax : a + b; }

// x times factor (factor >= 0), computed in double precision and truncated;
// a result of 2^64 or more saturates (its conversion would be undefined).
inline std::uint64_t Scale(std::uint64_t x, double factor) {
  const double product = static_cast<double>(x) * factor;
  if (!(product < 18446744073709551616.0)) return kMax;
  return static_cast<std::uint64_t>(product);
}

}  // namespace obd::size
