#include "Platform/SystemInfo.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <sstream>

#include "Platform/Bundle.hpp"
#include "Platform/FileUtil.hpp"
#include "Platform/Paths.hpp"
#include "Platform/PropertyList.hpp"

namespace platform {
namespace {

void splitVersion(OSVersion& v) {
  int* parts[3] = {&v.major, &v.minor, &v.patch};
  const char* p = v.version.data();
  const char* end = p + v.version.size();
  for (int i = 0; i < 3 && p < end; ++i) {
    int value = 0;
    auto [next, ec] = std::from_chars(p, end, value);
    if (ec != std::errc()) break;
    *parts[i] = value;
    p = next;
    if (p < end && *p == '.') ++p;
    else break;
  }
}

std::string unquote(std::string s) {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
    s = s.substr(1, s.size() - 2);
  }
  return s;
}

}  // namespace

pid_t processID() { return ::getpid(); }

std::string processName() {
  std::string exe = currentExecutablePath();
  if (!exe.empty()) {
    auto slash = exe.rfind('/');
    std::string name = slash == std::string::npos ? exe : exe.substr(slash + 1);
    // A replaced executable reads as "name (deleted)".
    const std::string deleted = " (deleted)";
    if (name.size() > deleted.size() && name.compare(name.size() - deleted.size(), deleted.size(), deleted) == 0) {
      name.resize(name.size() - deleted.size());
    }
    if (!name.empty()) return name;
  }
  return program_invocation_short_name;
}

std::string architecture() {
  utsname u{};
  if (::uname(&u) != 0) return "unknown";
  return u.machine;
}

OSVersion operatingSystemVersion() {
  OSVersion v;
  if (auto plist = readPropertyList(resolvePath("/System/Library/CoreServices/SystemVersion.plist"))) {
    if (const PlistValue* pv = plist->find("ProductVersion"); pv && pv->string()) {
      v.name = "macOS";
      v.version = *pv->string();
      splitVersion(v);
      return v;
    }
  }
  if (auto text = readFile("/etc/os-release")) {
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
      auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = line.substr(0, eq);
      if (key == "NAME") v.name = unquote(line.substr(eq + 1));
      if (key == "VERSION_ID") v.version = unquote(line.substr(eq + 1));
    }
  }
  if (v.name.empty()) v.name = "Linux";
  splitVersion(v);
  return v;
}

}  // namespace platform
