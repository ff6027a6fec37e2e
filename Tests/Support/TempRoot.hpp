#pragma once
#include <string>

namespace testsupport {

// A fresh temporary folder that becomes JORVU_ROOT and HOME for the test's
// lifetime (HOME is <root>/home). XDG_RUNTIME_DIR is unset meanwhile: the
// install's runtime folder lies inside the root whatever it says, and the
// session's own folder is no business of a test.
// Removed, with everything in it, at the end.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  std::string home() const { return path_ + "/home"; }
  // A path inside the root: "/Library/..." gives "<root>/Library/...".
  std::string operator/(const std::string& absolute) const { return path_ + absolute; }

 private:
  std::string path_;
  std::string oldRoot_;
  std::string oldHome_;
  std::string oldRuntime_;
  bool hadRoot_ = false;
  bool hadHome_ = false;
  bool hadRuntime_ = false;
};

// Writes a file, making its folders.
void writeFile(const std::string& path, const std::string& bytes);
std::string readFileOrEmpty(const std::string& path);
// build/bin, where the programs and tools are (JORVU_BIN_DIR, set by CTest).
std::string binDir();

}  // namespace testsupport
