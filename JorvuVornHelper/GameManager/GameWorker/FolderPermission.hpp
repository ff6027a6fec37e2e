#pragma once
// The permissions a game's folder and everything in it get once a job has
// put them in place: the manifest worker's SetPermission() and the
// setup-archive worker's unpacking both run chmod with arguments().
//
// The rule: every folder and file gets one mode. The owner reads, writes and
// executes; group and others read and execute; nobody but the owner may
// write, so no other user of the machine can change a program that the
// player runs. Files are all kept executable, as they always were after a
// job: the engine stores no file modes (it writes every file 0644) and a
// setup archive need not carry them, yet the game's programs, the app's own
// and the scripts in its bundle must stay startable; execute without write
// gives others nothing that a copy would not.
// The player's umask is applied, never loosened: group and others get at
// most what it leaves them (umask 022 gives 0755, 027 gives 0750, 077
// gives 0700). Setuid and setgid bits of files are cleared (a folder's
// setgid bit, which only hands its group on, stays as chmod keeps it).
//
// chmod -R leaves every symbolic link it meets alone (neither the link nor
// its target changes) and never descends through one; a link given as the
// folder itself would be followed, so callers hand over only a real folder.
//
// Stateless and safe from any thread: the umask is read from /proc, never
// set (setting it to read it would race with every other thread's files).
#include <sys/types.h>

#include <string>
#include <vector>

namespace FolderPermission {

inline constexpr const char* kChmodPath = "/bin/chmod";
// What is assumed when the umask cannot be read: the strictest, so that
// nothing is ever opened beyond the owner by mistake.
inline constexpr mode_t kUnknownUmask = 077;

// This process's umask (the player's, inherited through the app).
mode_t processUmask();
// The one mode of the rule under `umask`.
mode_t modeFor(mode_t umask);
// The chmod arguments that apply the rule to `folder` and everything below it.
std::vector<std::string> arguments(const std::string& folder, mode_t umask = processUmask());
// The mode as chmod takes it, four octal digits ("0755").
std::string modeText(mode_t mode);
// True when `path` is a folder itself, not a symbolic link to one.
bool isRealFolder(const std::string& path);

}  // namespace FolderPermission
