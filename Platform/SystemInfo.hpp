#pragma once
#include <sys/types.h>

#include <string>

namespace platform {

struct OSVersion {
  std::string name;     // "macOS" when a SystemVersion.plist is present, else NAME of os-release
  std::string version;  // "14.2.1" / VERSION_ID of os-release ("12" on Debian 12)
  int major = 0;
  int minor = 0;
  int patch = 0;
};

pid_t processID();
// The executable's file name (not cut at 15 characters like /proc/self/comm).
std::string processName();
// The machine name that uname reports ("x86_64", "aarch64").
std::string architecture();
// Read from the root-prefixed /System/Library/CoreServices/SystemVersion.plist
// when it exists, else from /etc/os-release.
OSVersion operatingSystemVersion();

}  // namespace platform
