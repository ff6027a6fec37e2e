#pragma once
// The publisher's catalogue record for one game, as the catalogue service
// returns it. Every key is decoded with its kind, also those the helper
// never acts on; a record that breaks any of them fails as a whole.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Protocol/PayloadCoding.hpp"

// One element of the array held as text in `shortcut_install_list`.
struct ShortcutInfo {
  using record_tag = void;
  std::string Path;  // the platform of the entry; the helper looks for "Mac"
  std::string Target;
  std::uint32_t Index = 0;
  std::string Arg;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("Path", s.Path);
    f("Target", s.Target);
    f("Index", s.Index);
    f("Arg", s.Arg);
  }
  bool operator==(const ShortcutInfo&) const = default;

  std::string encode() const { return payload::encode(*this); }
  // A JSON array of records; throws jsoncoding::DecodingError.
  static std::vector<ShortcutInfo> decodeList(std::string_view text);
};

struct GameInfo {
  using record_tag = void;

  // The value of `game_maintenance`; all keys required when it is there.
  struct GameMaintenanceInfo {
    using record_tag = void;
    std::uint32_t gamecode = 0;
    bool available = false;   // false: under maintenance within the window
    std::string start_time;   // "yyyy-MM-dd HH:mm"
    std::string end_time;
    std::string reason;
    std::string related_link;

    template <class S, class F>
    static void fields(S& s, F&& f) {
      f("gamecode", s.gamecode);
      f("available", s.available);
      f("start_time", s.start_time);
      f("end_time", s.end_time);
      f("reason", s.reason);
      f("related_link", s.related_link);
    }
    bool operator==(const GameMaintenanceInfo&) const = default;
  };

  std::uint32_t game_code = 0;
  std::optional<std::string> game_id;
  std::string game_name;
  std::string install_folder_name;
  std::uint32_t channel = 0;
  std::optional<std::string> shortcut_default_target;
  bool use_stipulation = false;
  bool get_user_install_path = false;
  bool install_jorvu_vorn = false;
  bool install_main_shortcut = false;
  bool minimize_all_window = false;
  bool use_ktz_uninstall = false;
  bool execute_after_localinstall = false;
  bool use_griddownload = false;
  bool use_griddownload_patch = false;
  bool install_launcher_only = false;
  bool not_delete_target_path = false;
  bool duplicate_game_execution = false;
  bool auto_architecture_mode = false;
  bool use_vantix_token = false;
  std::string registry_root_key;
  std::optional<std::string> registry_uninstall_key;
  std::optional<std::string> registry_executable_key;
  std::optional<std::string> registry_legacy_executable_key;
  std::string executable_file_name;
  std::optional<std::string> executable_file_name_x64;
  std::optional<std::string> mac_executable_file_name;
  std::optional<std::string> setup_file_url;
  std::optional<std::string> install_panel_image_url;
  std::uint32_t install_panel_image_width = 0;
  std::uint32_t install_panel_image_height = 0;
  std::optional<std::string> patch_panel_image_url;
  std::uint32_t patch_panel_image_width = 0;
  std::uint32_t patch_panel_image_height = 0;
  std::optional<std::string> command_line_info;
  std::optional<std::string> default_install_root_path;
  std::uint64_t os_version = 0;
  bool x64_only = false;
  std::uint32_t dx_version = 0;
  std::optional<std::string> mac_os_version;
  std::uint32_t emergency_patch_version = 0;
  std::optional<std::string> emergency_patch_url;
  std::uint32_t reinstall_version = 0;
  std::uint32_t service_status = 0;
  std::optional<std::string> thirdparty_install_list;
  std::optional<std::string> shortcut_install_list;  // JSON text: an array of ShortcutInfo
  std::optional<std::string> additional_uninstall_list;
  std::optional<std::string> extra_registry_list;
  std::optional<std::string> manifest_name;
  std::optional<GameMaintenanceInfo> game_maintenance;
  std::optional<std::string> execution_info;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("game_code", s.game_code);
    f("game_id", s.game_id);
    f("game_name", s.game_name);
    f("install_folder_name", s.install_folder_name);
    f("channel", s.channel);
    f("shortcut_default_target", s.shortcut_default_target);
    f("use_stipulation", s.use_stipulation);
    f("get_user_install_path", s.get_user_install_path);
    f("install_jorvu_vorn", s.install_jorvu_vorn);
    f("install_main_shortcut", s.install_main_shortcut);
    f("minimize_all_window", s.minimize_all_window);
    f("use_ktz_uninstall", s.use_ktz_uninstall);
    f("execute_after_localinstall", s.execute_after_localinstall);
    f("use_griddownload", s.use_griddownload);
    f("use_griddownload_patch", s.use_griddownload_patch);
    f("install_launcher_only", s.install_launcher_only);
    f("not_delete_target_path", s.not_delete_target_path);
    f("duplicate_game_execution", s.duplicate_game_execution);
    f("auto_architecture_mode", s.auto_architecture_mode);
    f("use_vantix_token", s.use_vantix_token);
    f("registry_root_key", s.registry_root_key);
    f("registry_uninstall_key", s.registry_uninstall_key);
    f("registry_executable_key", s.registry_executable_key);
    f("registry_legacy_executable_key", s.registry_legacy_executable_key);
    f("executable_file_name", s.executable_file_name);
    f("executable_file_name_x64", s.executable_file_name_x64);
    f("mac_executable_file_name", s.mac_executable_file_name);
    f("setup_file_url", s.setup_file_url);
    f("install_panel_image_url", s.install_panel_image_url);
    f("install_panel_image_width", s.install_panel_image_width);
    f("install_panel_image_height", s.install_panel_image_height);
    f("patch_panel_image_url", s.patch_panel_image_url);
    f("patch_panel_image_width", s.patch_panel_image_width);
    f("patch_panel_image_height", s.patch_panel_image_height);
    f("command_line_info", s.command_line_info);
    f("default_install_root_path", s.default_install_root_path);
    f("os_version", s.os_version);
    f("x64_only", s.x64_only);
    f("dx_version", s.dx_version);
    f("mac_os_version", s.mac_os_version);
    f("emergency_patch_version", s.emergency_patch_version);
    f("emergency_patch_url", s.emergency_patch_url);
    f("reinstall_version", s.reinstall_version);
    f("service_status", s.service_status);
    f("thirdparty_install_list", s.thirdparty_install_list);
    f("shortcut_install_list", s.shortcut_install_list);
    f("additional_uninstall_list", s.additional_uninstall_list);
    f("extra_registry_list", s.extra_registry_list);
    f("manifest_name", s.manifest_name);
    f("game_maintenance", s.game_maintenance);
    f("execution_info", s.execution_info);
  }
  bool operator==(const GameInfo&) const = default;

  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError naming the first key that failed.
  static GameInfo decode(std::string_view text);
  // Nothing on failure, with the reason in `error` when given.
  static std::optional<GameInfo> tryDecode(std::string_view text, std::string* error = nullptr);

  // A record whose mac_executable_file_name is a setup archive's http(s)
  // URL: setup_file_url becomes that URL (percent-encoded for a query), and
  // the executable and folder are named after the archive ("/a/b/Game.zip"
  // gives "Game.app" in the folder "Game"). Throws
  // SubError::JsonDataEncodeFailed when there is no name, when it is no URL,
  // or when the folder name would not be one plain name inside the games
  // folder ("", ".", "..", or holding "/" or NUL after decoding).
  void transformURLDownloadModeInfo();
};

// A folder name that stays inside the folder it is joined to.
bool isPlainFolderName(std::string_view name);

JORVU_PAYLOAD_HASH(ShortcutInfo);
JORVU_PAYLOAD_HASH(GameInfo::GameMaintenanceInfo);
JORVU_PAYLOAD_HASH(GameInfo);
