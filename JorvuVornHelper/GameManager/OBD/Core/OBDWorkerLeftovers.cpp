// The sweep after a successful job: temp files of the engine's own naming
// that no later step takes (beside a file the release dropped or a file a
// run found unchanged, or of a file no record names), and folders left
// empty by their removal. (A clean-up killed midway leaves the records of
// what it still had to delete, so the next clean-up finishes it, folders
// included.)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"

namespace {

bool IsTempName(std::string_view name) {
  return name.ends_with(OBDWorker::kTempExtension) || name.ends_with(OBDWorker::kDeltaExtension);
}

// The kind of a folder's entry, from the listing when it tells.
unsigned char KindOf(DIR* dir, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type;
  struct stat st {};
  if (::fstatat(::dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  return S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
}

}  // namespace

void OBDWorker::RemoveLeftovers(const std::string& targetPathIn) {
  std::string root = targetPathIn;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const OBDLivePaths& live = LivePaths();
  // The local manifest's path is the save's own, whatever lies there.
  const std::string manifestName = OBDManifestController::LocalManifestPath(controller_.GetGameCode(), "").substr(1);
  // The folders that held a temp file the sweep removed, and those above them.
  std::set<std::string> swept;
  std::vector<std::string> pending{""};
  while (!pending.empty() && InProgress()) {
    const std::string relative = std::move(pending.back());
    pending.pop_back();
    const std::string path = relative.empty() ? root : root + "/" + relative;
    // Never through a link: only real folders of the game's folder are swept.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      ::close(fd);
      continue;
    }
    std::vector<std::string> temps;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name(entry->d_name);
      if (name == "." || name == ".." || (relative.empty() && name == manifestName)) continue;
      const unsigned char kind = KindOf(dir, *entry);
      std::string child = relative.empty() ? std::string(name) : relative + "/" + std::string(name);
      if (kind == DT_DIR) {
        pending.push_back(std::move(child));
      } else if (kind == DT_REG && IsTempName(name) && !live.Holds(child)) {
        // A file the release names with such a name is its own file.
        temps.emplace_back(name);
      }
    }
    for (const std::string& name : temps) {
      if (::unlinkat(::dirfd(dir), name.c_str(), 0) == 0) Util::GetParentFolders(root, path + "/" + name, swept);
    }
    ::closedir(dir);
  }
  // A folder that only the temp file kept (a new file's, of a release the
  // game went back from) goes with it; the game's own empty folders stay.
  if (InProgress()) RemoveEmptyFolders(root, swept);
}
