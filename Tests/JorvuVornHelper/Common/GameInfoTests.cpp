#include <gtest/gtest.h>

#include <map>
#include <set>

#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/SubError.hpp"
#include "JorvuVornHelper/Common/GameInfo.hpp"
#include "Tests/Support/TempRoot.hpp"

using testsupport::TempRoot;

namespace {

using Members = std::vector<std::pair<std::string, std::string>>;  // key, JSON value

// A complete record as the catalogue service sends it: every key present.
Members fullRecord() {
  return {
      {"game_code", "128001"},
      {"game_id", R"("g1")"},
      {"game_name", R"("Game One")"},
      {"install_folder_name", R"("GameOne")"},
      {"channel", "3"},
      {"shortcut_default_target", R"("t")"},
      {"use_stipulation", "false"},
      {"get_user_install_path", "true"},
      {"install_jorvu_vorn", "false"},
      {"install_main_shortcut", "true"},
      {"minimize_all_window", "false"},
      {"use_ktz_uninstall", "false"},
      {"execute_after_localinstall", "true"},
      {"use_griddownload", "false"},
      {"use_griddownload_patch", "false"},
      {"install_launcher_only", "false"},
      {"not_delete_target_path", "false"},
      {"duplicate_game_execution", "false"},
      {"auto_architecture_mode", "true"},
      {"use_vantix_token", "true"},
      {"registry_root_key", R"("HKCU")"},
      {"registry_uninstall_key", R"("u")"},
      {"registry_executable_key", R"("e")"},
      {"registry_legacy_executable_key", R"("l")"},
      {"executable_file_name", R"("game.exe")"},
      {"executable_file_name_x64", R"("game64.exe")"},
      {"mac_executable_file_name", R"("GameOne.app")"},
      {"setup_file_url", R"("https:\/\/cdn.example\/g1")"},
      {"install_panel_image_url", R"("webview://url=https%3A%2F%2Fx%2Fi")"},
      {"install_panel_image_width", "800"},
      {"install_panel_image_height", "600"},
      {"patch_panel_image_url", R"("webview://url=https%3A%2F%2Fx%2Fp")"},
      {"patch_panel_image_width", "640"},
      {"patch_panel_image_height", "480"},
      {"command_line_info", R"("-a {execution_info}")"},
      {"default_install_root_path", R"("C:\\Games")"},
      {"os_version", "18446744073709551615"},
      {"x64_only", "false"},
      {"dx_version", "11"},
      {"mac_os_version", R"("10.15")"},
      {"emergency_patch_version", "0"},
      {"emergency_patch_url", R"("")"},
      {"reinstall_version", "2"},
      {"service_status", "1"},
      {"thirdparty_install_list", R"("[]")"},
      {"shortcut_install_list", R"("[{\"Path\":\"Win\",\"Target\":\"w\",\"Index\":0,\"Arg\":\"\"},{\"Path\":\"Mac\",\"Target\":\"https:\/\/x\/s\",\"Index\":1,\"Arg\":\"-x\"}]")"},
      {"additional_uninstall_list", R"("[]")"},
      {"extra_registry_list", R"("[]")"},
      {"manifest_name", R"("live.json")"},
      {"game_maintenance",
       R"({"gamecode":128001,"available":false,"start_time":"2024-03-01 09:00","end_time":"2024-03-01 10:00","reason":"r","related_link":"l"})"},
      {"execution_info", R"("info")"},
  };
}

std::string render(const Members& members) {
  std::string out = "{";
  for (const auto& [key, value] : members) {
    if (out.size() > 1) out += ",";
    out += "\"" + key + "\":" + value;
  }
  return out + "}";
}

Members with(Members members, const std::string& key, std::optional<std::string> value) {
  for (auto it = members.begin(); it != members.end(); ++it) {
    if (it->first != key) continue;
    if (value) {
      it->second = *value;
    } else {
      members.erase(it);
    }
    return members;
  }
  ADD_FAILURE() << "no key " << key;
  return members;
}

bool isOptionalKey(const GameInfo& info, const std::string& key) {
  bool optional = false;
  GameInfo::fields(info, [&](const char* k, const auto& field) {
    if (k == key) optional = payload::IsOptional<std::decay_t<decltype(field)>>::value;
  });
  return optional;
}

// The process logger's text, when its file lies in `root` (it does when the
// test runs in a process of its own, as CTest runs it).
std::optional<std::string> loggedText(const TempRoot& root) {
  VornLogger& logger = VornLogger::shared();
  logger.waitIdle();
  if (logger.filePath().rfind(root.path(), 0) != 0) return std::nullopt;
  return testsupport::readFileOrEmpty(logger.filePath());
}

}  // namespace

TEST(GameInfo, DecodesAFullRecord) {
  const GameInfo info = GameInfo::decode(render(fullRecord()));
  EXPECT_EQ(info.game_code, 128001u);
  EXPECT_EQ(info.game_id, "g1");
  EXPECT_TRUE(info.use_vantix_token);
  EXPECT_EQ(info.setup_file_url, "https://cdn.example/g1");
  EXPECT_EQ(info.os_version, 18446744073709551615ull);
  EXPECT_EQ(info.mac_os_version, "10.15");
  EXPECT_EQ(info.default_install_root_path, "C:\\Games");
  ASSERT_TRUE(info.game_maintenance);
  EXPECT_FALSE(info.game_maintenance->available);
  EXPECT_EQ(info.game_maintenance->related_link, "l");
  // It encodes back with the same keys and reads back equal.
  EXPECT_EQ(GameInfo::decode(info.encode()), info);
  EXPECT_EQ(std::hash<GameInfo>{}(GameInfo::decode(info.encode())), std::hash<GameInfo>{}(info));

  const auto shortcuts = ShortcutInfo::decodeList(*info.shortcut_install_list);
  ASSERT_EQ(shortcuts.size(), 2u);
  EXPECT_EQ(shortcuts[1], (ShortcutInfo{"Mac", "https://x/s", 1, "-x"}));
}

TEST(GameInfo, ThirtyRequiredAndTwentyOneOptionalKeys) {
  const Members full = fullRecord();
  ASSERT_EQ(full.size(), 51u);
  std::size_t required = 0;
  std::vector<std::string> order;
  const GameInfo empty;
  GameInfo::fields(empty, [&](const char* key, const auto&) { order.push_back(key); });
  for (std::size_t i = 0; i < full.size(); ++i) EXPECT_EQ(order.at(i), full[i].first);

  for (const auto& [key, value] : full) {
    const bool optional = isOptionalKey(GameInfo{}, key);
    std::string error;
    const auto missing = GameInfo::tryDecode(render(with(full, key, std::nullopt)), &error);
    const auto null = GameInfo::tryDecode(render(with(full, key, "null")));
    if (optional) {
      EXPECT_TRUE(missing) << key << ": " << error;
      EXPECT_TRUE(null) << key;
      EXPECT_EQ(missing, null) << key;
    } else {
      ++required;
      EXPECT_FALSE(missing) << key;
      EXPECT_NE(error.find(key), std::string::npos) << error;
      EXPECT_FALSE(null) << key;
    }
  }
  EXPECT_EQ(required, 30u);

  // Only the required keys: everything optional is absent.
  Members minimal;
  for (const auto& member : full) {
    if (!isOptionalKey(GameInfo{}, member.first)) minimal.push_back(member);
  }
  const auto info = GameInfo::tryDecode(render(minimal));
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->mac_executable_file_name);
  EXPECT_FALSE(info->game_maintenance);
  EXPECT_EQ(info->encode().find("null"), std::string::npos);
  EXPECT_EQ(GameInfo::decode(info->encode()), *info);
}

TEST(GameInfo, RejectsWrongKindsAndRanges) {
  const Members full = fullRecord();
  const std::pair<const char*, const char*> bad[] = {
      {"game_code", "-1"},
      {"game_code", "4294967296"},
      {"game_code", "\"128001\""},
      {"game_code", "1.5"},
      {"os_version", "18446744073709551616"},
      {"os_version", "-1"},
      {"os_version", "\"10.15\""},
      {"mac_os_version", "10.15"},
      {"use_stipulation", "0"},
      {"use_vantix_token", "\"true\""},
      {"game_name", "1"},
      {"shortcut_install_list", "[]"},
      {"game_maintenance", "\"x\""},
      {"game_maintenance", R"({"gamecode":1,"available":true,"start_time":"a","end_time":"b","related_link":"l"})"},
      {"game_maintenance", R"({"gamecode":1,"available":1,"start_time":"a","end_time":"b","reason":"r","related_link":"l"})"},
      {"install_panel_image_width", "true"},
      {"setup_file_url", "{}"},
  };
  for (const auto& [key, value] : bad) EXPECT_FALSE(GameInfo::tryDecode(render(with(full, key, value)))) << key << value;

  EXPECT_EQ(GameInfo::decode(render(with(full, "game_code", "4294967295"))).game_code, 4294967295u);
  EXPECT_EQ(GameInfo::decode(render(with(full, "channel", "3.0"))).channel, 3u);
  Members extra = full;
  extra.emplace_back("new_key", R"({"anything":[1,2,null]})");
  EXPECT_TRUE(GameInfo::tryDecode(render(extra)));
  EXPECT_FALSE(GameInfo::tryDecode(render(full) + "]"));
  EXPECT_FALSE(GameInfo::tryDecode("[" + render(full) + "]"));
}

TEST(GameInfo, ShortcutLists) {
  EXPECT_TRUE(ShortcutInfo::decodeList("[]").empty());
  EXPECT_EQ(ShortcutInfo::decodeList(R"([{"Arg":"","Index":2,"Target":"","Path":"Mac","x":1}])"),
            (std::vector<ShortcutInfo>{{"Mac", "", 2, ""}}));
  const char* bad[] = {"", "{}", R"([{"Path":"Mac","Target":"t","Index":1}])",
                       R"([{"path":"Mac","Target":"t","Index":1,"Arg":""}])",
                       R"([{"Path":"Mac","Target":"t","Index":-1,"Arg":""}])", "[null]", "[1]"};
  for (const char* text : bad) EXPECT_THROW(ShortcutInfo::decodeList(text), jsoncoding::DecodingError) << text;
}

TEST(GameInfo, SetupArchiveRewrite) {
  TempRoot root;
  struct Case {
    const char* archive;
    const char* setupURL;
    const char* baseName;
  };
  const Case cases[] = {
      {"https://cdn.example/a/b/Installer.zip", "https://cdn.example/a/b/Installer.zip", "Installer"},
      {"http://cdn.example/dl/Game.tar.gz?x=1", "http://cdn.example/dl/Game.tar.gz?x=1", "Game.tar"},
      {"https://cdn.example/dl/My%20Game.zip", "https://cdn.example/dl/My%2520Game.zip", "My Game"},
      {"https://cdn.example/dl/Game/", "https://cdn.example/dl/Game/", "Game"},
      {"https://cdn.example/dl/...zip", "https://cdn.example/dl/...zip", ".."},
  };
  for (const auto& c : cases) {
    GameInfo info = GameInfo::decode(render(with(fullRecord(), "mac_executable_file_name",
                                                 "\"" + std::string(c.archive) + "\"")));
    if (std::string(c.baseName) == "..") {
      EXPECT_THROW(info.transformURLDownloadModeInfo(), SubError) << c.archive;
      continue;
    }
    info.transformURLDownloadModeInfo();
    EXPECT_EQ(info.setup_file_url, c.setupURL);
    EXPECT_EQ(info.install_folder_name, c.baseName);
    EXPECT_EQ(info.mac_executable_file_name, std::string(c.baseName) + ".app");
  }
  if (auto text = loggedText(root)) {
    EXPECT_NE(text->find("url download Mode"), std::string::npos);
  }
}

TEST(GameInfo, SetupArchiveRewriteRefusesUnusableNames) {
  TempRoot root;
  const GameInfo original = GameInfo::decode(render(fullRecord()));

  GameInfo noName = original;
  noName.mac_executable_file_name.reset();
  try {
    noName.transformURLDownloadModeInfo();
    ADD_FAILURE() << "no throw";
  } catch (const SubError& e) {
    EXPECT_TRUE(e.is<SubError::JsonDataEncodeFailed>());
  }
  EXPECT_EQ(noName.setup_file_url, original.setup_file_url);  // unchanged

  const char* unusable[] = {
      "https://cdn.example",                 // no path: ""
      "https://cdn.example/",                // "/"
      "https://cdn.example/a/.",             // "."
      "https://cdn.example/a/..",            // ".."
      "https://cdn.example/a/..%2F..%2Fx",   // holds "/"
      "https://cdn.example/a%2F..%2F..",     // holds "/"
      "https://cdn.example/%2F.zip",         // "/"
      "https://cdn.example/x%00y.zip",       // NUL
      "https://cdn.example/%FF.zip",         // not UTF-8
      "https://cdn.example/a b.zip",         // not a URL
      "https://cdn.example/\xc3\xa9.zip",    // not a URL
  };
  for (const char* archive : unusable) {
    GameInfo info = original;
    info.mac_executable_file_name = archive;
    EXPECT_THROW(info.transformURLDownloadModeInfo(), SubError) << archive;
    EXPECT_EQ(info.install_folder_name, "GameOne") << archive;
    EXPECT_EQ(info.mac_executable_file_name, archive);
    EXPECT_TRUE(info.setup_file_url);  // already set, as the rewrite's steps go
  }
  GameInfo invalidUtf8 = original;
  invalidUtf8.mac_executable_file_name = "https://cdn.example/\xff.zip";
  EXPECT_THROW(invalidUtf8.transformURLDownloadModeInfo(), SubError);
  EXPECT_FALSE(invalidUtf8.setup_file_url);  // encoding failed: absent

  if (auto text = loggedText(root)) {
    EXPECT_NE(text->find("mac_executable_file_name nil"), std::string::npos);
    EXPECT_NE(text->find("make fileName failed"), std::string::npos);
  }
}
