// The patch engine's readers on arbitrary bytes: the header, live, local and
// diff texts of a manifest, the comparison walk over them, the local edits,
// and the delta command reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDDeltaStream.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestDiffIterator.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Engine failures are logged: keep the log away from the real home folder.
  const std::string home = (std::filesystem::temp_directory_path() / "jorvu-fuzz-manifest").string();
  std::filesystem::create_directories(home);
  ::setenv("HOME", home.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Four texts separated by NUL bytes: header, live contents, local contents, diffs.
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (parts.size() < 3) {
    const std::size_t nul = input.find('\0', start);
    if (nul == std::string_view::npos) break;
    parts.emplace_back(input.substr(start, nul - start));
    start = nul + 1;
  }
  parts.emplace_back(input.substr(start));
  parts.resize(4);

  OBDManifest live;
  OBDManifest local;
  local.SetHeaderRaw(parts[0]);
  local.ParseHeader();
  (void)local.GetHeaderRaw();
  live.SetContentRaw(parts[1]);
  live.ParseContents();
  local.SetContentRaw(parts[2]);
  local.ParseContents();
  live.ParseDiffs(parts[3]);

  OBDManifestDiffIterator it(live, local);
  for (int files = 0; files < 10000; ++files) {
    std::string key, source, path;
    std::int64_t count = 0;
    bool error = false;
    if (!it.GetUpdatedFile("/nonexistent-fuzz-target", key, count, source, path, error)) break;
    if (!key.empty()) {
      if (path.rfind("/nonexistent-fuzz-target/", 0) != 0) std::abort();  // never outside the target
      local.FileInitialize(key, false);
      std::string hash;
      std::int64_t index = -1;
      while (it.GetUpdatedObject(hash, index)) {
        if (index >= 0) local.AddObject(key, index, hash, 1);
        hash.clear();
        index = -1;
      }
      local.FileFinalize(key);
    }
    it.SetNext();
  }
  for (const std::string& key : it.GetNotExistFilesInLocal()) {
    (void)obd::utils::GetDecodedTargetFullPath("/t", key);
    local.MarkOriginFileBroken(key);
    local.RemoveFile(key);
  }
  OBDManifest::Contents back;
  (void)OBDManifest::ParseContentsCore(local.GetContentRaw(), back);

  std::size_t pos = 0;
  obd::delta::Command cmd;
  while (obd::delta::ParseCommand(data, size, pos, cmd)) {
  }
  return 0;
}
