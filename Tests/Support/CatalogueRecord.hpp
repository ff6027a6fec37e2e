#pragma once
// Catalogue records for tests: the required members, JSON texts made from
// members, and the catalogue's time text.
#include <chrono>
#include <cstdint>
#include <cstdio>
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

// `value` as a JSON string (quotes and backslashes escaped; tests use no
// control characters).
inline std::string jsonQuoted(const std::string& value) {
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

// A JSON object of members whose values are raw JSON texts.
inline std::string objectJson(const std::map<std::string, std::string>& members) {
  std::string out = "{";
  for (const auto& [k, v] : members) {
    if (out.size() > 1) out += ",";
    out += "\"" + k + "\":" + v;
  }
  return out + "}";
}

// "yyyy-MM-dd HH:mm" in Korea Standard Time, as the catalogue writes times.
inline std::string kstText(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto local = floor<minutes>(t + hours(9));
  const auto day = floor<days>(local);
  const year_month_day ymd{day};
  const hh_mm_ss hms{local - day};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02ld:%02ld", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()));
  return buf;
}

}  // namespace testsupport
