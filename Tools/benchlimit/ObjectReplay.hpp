#pragma once
// Replays the full objects of a published source into a folder in one thread:
// every "<key>.<index>.<hash>.zqgz" below the source is read, inflated into one
// 4 MiB buffer, checked against its SHA-1 and written at index x 4 MiB into the
// file its key names. What an install does minus the network, the queues and
// the bookkeeping: the speed limit one thread can reach on this machine.
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace benchlimit {

inline constexpr std::uint64_t kObjectSize = 4194304;

struct ObjectName {
  std::string key;
  std::uint64_t index = 0;
  std::string hash;  // 40 lower-case hex digits
};

// Parses an object's path below the source folder ("/" may occur inside the
// key); nothing for manifests, diff documents, delta objects or anything else.
std::optional<ObjectName> ParseObjectName(std::string_view relative);

// Strict standard Base64 ("=" padding only at the end); nothing when invalid.
std::optional<std::string> DecodeBase64(std::string_view text);

// The relative path a file key stands for; nothing when it is empty, absolute,
// has an empty, "." or ".." segment, a backslash or a NUL.
std::optional<std::string> KeyToPath(std::string_view key);

struct Totals {
  std::uint64_t objects = 0;
  std::uint64_t files = 0;
  std::uint64_t compressedBytes = 0;
  std::uint64_t bytes = 0;
  double seconds = 0;
};

// Replays every full object below `source` into `out` (created when missing).
// False with a message on `err` at the first failure (unreadable object, bad
// stream, wrong hash, write error).
bool Replay(const std::string& source, const std::string& out, Totals& totals, std::ostream& err);

}  // namespace benchlimit
