#include "JorvuVornHelper/GameManager/OBD/Core/OBDLivePaths.hpp"

#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"

OBDLivePaths::OBDLivePaths(const OBDManifest& live) {
  const rapidjson::Value& files = live.GetContents().Files();
  if (!files.IsObject()) return;
  for (auto m = files.MemberBegin(); m != files.MemberEnd(); ++m) {
    if (!m->name.IsString()) continue;
    std::string key(m->name.GetString(), m->name.GetStringLength());
    std::string relative = obd::utils::GetDecodedRelativePath(key);
    // A key that would leave the folder names nothing in it (the comparison refuses it).
    if (!relative.empty()) keys_.emplace(std::move(relative), std::move(key));
  }
}

const std::string* OBDLivePaths::KeyOf(const std::string& relative) const {
  const auto found = keys_.find(relative);
  return found == keys_.end() ? nullptr : &found->second;
}

bool OBDLivePaths::Holds(const std::string& relative) const {
  if (keys_.contains(relative)) return true;
  // Paths below it sort together, right from its name and a "/".
  const std::string folder = relative + "/";
  const auto below = keys_.lower_bound(folder);
  return below != keys_.end() && below->first.starts_with(folder);
}

std::string OBDLivePaths::TempSuffixOf(const std::string& relative, std::string_view suffix,
                                       const std::function<bool(const std::string&)>& alsoTaken) const {
  auto taken = [&](const std::string& path) { return Holds(path) || (alsoTaken && alsoTaken(path)); };
  std::string tail(suffix);
  if (!taken(relative + tail)) return tail;  // nearly always
  // Marks of one "." and tildes only: a path plus one mark is never another
  // path plus another mark, so two files never meet at one temp file.
  for (std::string mark = ".~";; mark += '~') {
    tail = mark + std::string(suffix);
    if (!taken(relative + mark) && !taken(relative + tail)) return tail;
  }
}
