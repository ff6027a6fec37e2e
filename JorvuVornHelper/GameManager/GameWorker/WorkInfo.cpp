#include "JorvuVornHelper/GameManager/GameWorker/WorkInfo.hpp"

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"

namespace {

bool EndsWithApp(const std::string& name) {
  return name.size() >= 4 && name.compare(name.size() - 4, 4, ".app") == 0;
}

}  // namespace

WorkInfo::WorkInfo(std::uint32_t gameCode, std::string obdTag, std::string sourceURL, std::string sourceManifestName,
                   std::string targetPath, std::string targetExecutableName, std::string shortcutTargetPath)
    : game_code(gameCode),
      obd_tag(std::move(obdTag)),
      source_url(std::move(sourceURL)),
      source_manifest_name(std::move(sourceManifestName)),
      target_path(std::move(targetPath)),
      target_executable_name(std::move(targetExecutableName)),
      shortcut_target_path(std::move(shortcutTargetPath)) {}

bool WorkInfo::SetWorkInfo() {
  if (source_manifest_name.empty()) return false;
  manifest_controller.Enable(game_code, source_manifest_name);
  OBD_LOG_INFO("OBD Set Enabled");
  return true;
}

std::string WorkInfo::GetExecutablePath() const {
  const std::string& name = target_executable_name;
  if (EndsWithApp(name)) {
    return target_path + "/" + name + "/Contents/MacOS/" + name.substr(0, name.size() - 4);
  }
  return target_path + "/" + name;
}

bool WorkInfo::IsGameInstalled() const {
  if (game_code == 0) {
    OBD_LOG_ERROR("Check Game Installed Fail - Invalid Gamecode");
    return false;
  }
  const std::string path = GetExecutablePath();
  const bool exists = Util::IsPathExists(path);
  if (EndsWithApp(target_executable_name)) {
    OBD_LOG_INFO("check file exists, path=%s, result=%s", path.c_str(), Util::BoolToString(exists).c_str());
  }
  return exists;
}
