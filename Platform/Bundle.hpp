#pragma once
#include <optional>
#include <string>

#include "Platform/PropertyList.hpp"

namespace platform {

// An application bundle in the macOS shape:
//   X.app/Contents/Info.plist, X.app/Contents/MacOS/<executable>,
//   X.app/Contents/Resources/
class Bundle {
 public:
  explicit Bundle(std::string bundlePath);

  // The bundle of the running program, found from /proc/self/exe: an
  // executable in X.app/Contents/MacOS/ belongs to X.app. Nothing otherwise.
  static std::optional<Bundle> main();
  // The bundle that holds the given executable path, if it lies in one.
  static std::optional<Bundle> containing(const std::string& executablePath);

  const std::string& bundlePath() const { return path_; }
  std::string infoPlistPath() const { return path_ + "/Contents/Info.plist"; }
  std::string resourcePath() const { return path_ + "/Contents/Resources"; }
  std::string macOSPath() const { return path_ + "/Contents/MacOS"; }

  // The Info.plist dictionary, read afresh; nothing when absent or unreadable.
  std::optional<PlistValue> infoDictionary() const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  std::optional<bool> boolForKey(const std::string& key) const;

  std::optional<std::string> identifier() const { return stringForKey("CFBundleIdentifier"); }
  std::optional<std::string> shortVersion() const { return stringForKey("CFBundleShortVersionString"); }
  // Contents/MacOS/<CFBundleExecutable>, when the key is a plain file name.
  std::optional<std::string> executablePath() const;

 private:
  std::string path_;
};

// The running program's own executable path (/proc/self/exe).
std::string currentExecutablePath();

}  // namespace platform
