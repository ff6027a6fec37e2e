#pragma once
#include <string>
#include <string_view>

namespace platform {

// The system's paths are written as absolute macOS-style paths
// ("/Library/Application Support/Jorvu/..."). Every such path goes through
// resolvePath(), which puts the folder named by JORVU_ROOT in front of it when
// that variable is set: the folder a user's install lives in (the handler's
// launcher sets it), or a folder of a test or a demo of its own.
std::string resolvePath(std::string_view absolutePath);

// The value of JORVU_ROOT, or "" when it is unset.
std::string rootPrefix();

// The user's home folder, from HOME (falls back to the password database).
std::string homeDirectory();

// The log folder of both programs: "<home>/Library/Logs/JorvuLauncher", resolved.
std::string logDirectory();

// The user's runtime folder, which holds the app's lock and socket, the
// helper's service socket and launchctl's state: "$XDG_RUNTIME_DIR/jorvu"
// when XDG_RUNTIME_DIR names an absolute folder (the login session's folder
// for the user's sockets), otherwise "/var/run/jorvu/<uid>", resolved. Tests
// leave XDG_RUNTIME_DIR unset, so theirs lies inside their root.
std::string runtimeDirectory();

// Makes the runtime folder with mode 0700 (and the folders above it, but
// never the session's XDG_RUNTIME_DIR itself), or checks that it is a real
// folder of this user and sets its mode to 0700. False, with what failed in
// `error`, otherwise.
bool prepareRuntimeDirectory(std::string* error);

// The same for a folder inside the runtime folder, which must exist.
bool preparePrivateFolder(const std::string& folder, std::string* error);

}  // namespace platform
