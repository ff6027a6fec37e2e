#include "JorvuVornHelper/Common/GameInfo.hpp"

#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/SubError.hpp"
#include "Common/Url/Url.hpp"

std::vector<ShortcutInfo> ShortcutInfo::decodeList(std::string_view text) {
  rapidjson::Document doc = jsoncoding::parseDocument(text);
  return jsoncoding::readArray<ShortcutInfo>(doc, "shortcut_install_list", [](const jsoncoding::Value& v) {
    ShortcutInfo entry;
    payload::Coder<ShortcutInfo>::read(v, "ShortcutInfo", entry);
    return entry;
  });
}

GameInfo GameInfo::decode(std::string_view text) { return payload::decode<GameInfo>(text, "GameInfo"); }

std::optional<GameInfo> GameInfo::tryDecode(std::string_view text, std::string* error) {
  return payload::tryDecode<GameInfo>(text, "GameInfo", error);
}

bool isPlainFolderName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

void GameInfo::transformURLDownloadModeInfo() {
  logInfo("url download Mode");
  if (!mac_executable_file_name) {
    logError("mac_executable_file_name nil");
    throw SubError(SubError::JsonDataEncodeFailed{});
  }
  const std::string archive = *mac_executable_file_name;
  setup_file_url = urlkit::percentEncode(archive, urlkit::CharacterSet::urlQueryAllowed());

  const auto url = urlkit::URL::parse(archive);
  // The name comes from a decoded path component, so "%2F" or ".." could
  // otherwise make the install target the games folder itself or leave it.
  const std::string baseName = url ? urlkit::deletingPathExtension(url->lastPathComponent()) : std::string();
  if (!url || !isPlainFolderName(baseName)) {
    logError("make fileName failed");
    throw SubError(SubError::JsonDataEncodeFailed{});
  }
  mac_executable_file_name = baseName + ".app";
  install_folder_name = baseName;
}
