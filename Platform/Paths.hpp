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

// The install's runtime folder, which holds the app's lock and socket, the
// helper's service socket and launchctl's state: "/var/run/jorvu/<uid>",
// resolved under the root. It belongs to the install whatever the
// environment holds (XDG_RUNTIME_DIR is not looked at), so every start of
// one install, from a desktop session, a terminal through su or a cron job,
// finds the same app and the same helper.
std::string runtimeDirectory();

// Makes the runtime folder with mode 0700 (and the folders above it), or
// checks that it is a real folder of this user and sets its mode to 0700.
// False, with what failed in `error`, otherwise; `cause`, when given, gets
// the errno of the failure (EPERM for another user's folder, ENOTDIR
// for something else in its place).
bool prepareRuntimeDirectory(std::string* error, int* cause = nullptr);

// The same for another folder: made with the folders above it.
bool preparePrivateFolderTree(const std::string& folder, std::string* error, int* cause = nullptr);

// The same for a folder whose parent must exist.
bool preparePrivateFolder(const std::string& folder, std::string* error, int* cause = nullptr);

}  // namespace platform
