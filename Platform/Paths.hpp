#pragma once
#include <string>
#include <string_view>

namespace platform {

// The system's paths are written as absolute macOS-style paths
// ("/Library/Application Support/Jorvu/..."). Every such path goes through
// resolvePath(), which puts the folder named by JORVU_ROOT in front of it when
// that variable is set, so that a test or a demo runs in a folder of its own.
std::string resolvePath(std::string_view absolutePath);

// The value of JORVU_ROOT, or "" when it is unset.
std::string rootPrefix();

// The user's home folder, from HOME (falls back to the password database).
std::string homeDirectory();

// The log folder of both programs: "<home>/Library/Logs/JorvuLauncher", resolved.
std::string logDirectory();

}  // namespace platform
