#pragma once
// The work parameters of one manifest-based game worker: what the registered
// game handed over, the game's manifests and its progress records. The
// engine's jobs borrow them through a pointer; the worker owns them.
#include <cstdint>
#include <string>

#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestController.hpp"
#include "JorvuVornHelper/GameManager/ProgressInfoManager/ProgressInfoManager.hpp"

class WorkInfo {
 public:
  WorkInfo() = default;
  WorkInfo(std::uint32_t gameCode, std::string obdTag, std::string sourceURL, std::string sourceManifestName,
           std::string targetPath, std::string targetExecutableName, std::string shortcutTargetPath);
  virtual ~WorkInfo() = default;

  // Enables the manifest controller; false (engine stays off) when there is
  // no live manifest name.
  bool SetWorkInfo();
  // Something exists where the game's executable should be.
  bool IsGameInstalled() const;
  // The path IsGameInstalled looks at.
  std::string GetExecutablePath() const;

  std::uint32_t game_code = 0;
  std::string obd_tag;
  bool clean_install = true;
  std::string source_url;
  std::string source_manifest_name;
  std::string target_path;
  std::string target_executable_name;
  std::string shortcut_target_path;
  OBDManifestController manifest_controller;
  ProgressInfoManager progress_info_manager;
};
