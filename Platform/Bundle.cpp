#include "Platform/Bundle.hpp"

#include <unistd.h>

#include <climits>
#include <filesystem>

namespace platform {

Bundle::Bundle(std::string bundlePath) : path_(std::move(bundlePath)) {
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
}

std::string currentExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::optional<Bundle> Bundle::containing(const std::string& executablePath) {
  std::filesystem::path exe(executablePath);
  std::filesystem::path macos = exe.parent_path();
  std::filesystem::path contents = macos.parent_path();
  std::filesystem::path app = contents.parent_path();
  if (macos.filename() != "MacOS" || contents.filename() != "Contents" || app.extension() != ".app") {
    return std::nullopt;
  }
  return Bundle(app.string());
}

std::optional<Bundle> Bundle::main() { return containing(currentExecutablePath()); }

std::optional<PlistValue> Bundle::infoDictionary() const {
  auto plist = readPropertyList(infoPlistPath());
  if (!plist || plist->dict() == nullptr) return std::nullopt;
  return plist;
}

std::optional<std::string> Bundle::stringForKey(const std::string& key) const {
  auto info = infoDictionary();
  if (!info) return std::nullopt;
  const PlistValue* v = info->find(key);
  if (v == nullptr || v->string() == nullptr) return std::nullopt;
  return *v->string();
}

std::optional<bool> Bundle::boolForKey(const std::string& key) const {
  auto info = infoDictionary();
  if (!info) return std::nullopt;
  const PlistValue* v = info->find(key);
  if (v == nullptr || v->boolean() == nullptr) return std::nullopt;
  return *v->boolean();
}

std::optional<std::string> Bundle::executablePath() const {
  auto name = stringForKey("CFBundleExecutable");
  if (!name || name->empty() || *name == "." || *name == ".." || name->find('/') != std::string::npos) {
    return std::nullopt;
  }
  return macOSPath() + "/" + *name;
}

}  // namespace platform
