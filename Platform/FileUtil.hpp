#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Reads a whole regular file; nothing when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

// Writes `bytes` to a temporary file beside `path`, flushes it and renames it
// into place, so that a reader never sees a half-written file.
bool writeFileAtomically(const std::string& path, std::string_view bytes, int mode = 0644);

}  // namespace platform
