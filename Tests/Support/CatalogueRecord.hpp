#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace testsupport {

// The required keys of a catalogue record with plain values, as raw JSON
// texts; tests add or change the keys their case is about.
inline std::map<std::string, std::string> requiredCatalogueMembers(std::uint32_t code) {
  return {
      {"game_code", std::to_string(code)},
      {"game_name", R"("Game")"},
      {"install_folder_name", R"("GameFolder")"},
      {"channel", "1"},
      {"use_stipulation", "false"},
      {"get_user_install_path", "false"},
      {"install_jorvu_vorn", "false"},
      {"install_main_shortcut", "false"},
      {"minimize_all_window", "false"},
      {"use_ktz_uninstall", "false"},
      {"execute_after_localinstall", "false"},
      {"use_griddownload", "false"},
      {"use_griddownload_patch", "false"},
      {"install_launcher_only", "false"},
      {"not_delete_target_path", "false"},
      {"duplicate_game_execution", "false"},
      {"auto_architecture_mode", "false"},
      {"use_vantix_token", "false"},
      {"registry_root_key", R"("HKLM")"},
      {"executable_file_name", R"("Game.exe")"},
      {"mac_executable_file_name", R"("Game.app")"},
      {"install_panel_image_width", "800"},
      {"install_panel_image_height", "600"},
      {"patch_panel_image_width", "800"},
      {"patch_panel_image_height", "600"},
      {"os_version", "10"},
      {"x64_only", "false"},
      {"dx_version", "11"},
      {"emergency_patch_version", "0"},
      {"reinstall_version", "0"},
      {"service_status", "1"},
  };
}

}  // namespace testsupport
