#pragma once
// File-system, disk-space and host helpers of the patch engine. Stateless,
// safe from any thread; they report failure by their results and never throw.
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/CURLGuard.hpp"

struct UtilFileInfo {
  std::filesystem::file_type type = std::filesystem::file_type::none;
  std::string name;
};

class Util {
 public:
  // Bytes available to the process on the root volume.
  static std::uint64_t GetAvailableDiskSize();
  // One transfer (CURLGuard). Returns the body when the transfer succeeded
  // and the body is not empty, and then sets ok; otherwise returns nothing
  // and leaves ok untouched (callers set it to false first). A body beyond
  // `maxBodySize` fails the transfer; `abort`, when given, ends it at once
  // when it answers true.
  static std::vector<std::uint8_t> DownloadData(const std::string& url, bool& ok,
                                                std::size_t maxBodySize = CURLGuard::kDefaultMaxBodySize,
                                                const CURLGuard::AbortCheck& abort = {});

  static bool IsPathExists(const std::string& path);
  static bool IsFileExists(const std::string& path);
  // Removes the path and everything below it; symbolic links are removed,
  // never followed. True when something was removed.
  static bool DeletePath(const std::string& path);
  static bool IsPathEmpty(const std::string& path);
  // Creates every folder before a "/" of the path; the part after the last
  // "/" is not created.
  static bool MakeSureDirExist(const std::string& path);
  static bool MakeFileDir(const std::string& path);
  // Adds the parent folders of path, nearest first, up to but not including
  // root; only folders strictly below root are ever added.
  static void GetParentFolders(const std::string& root, const std::string& path, std::set<std::string>& folders);
  static bool GetFileData(const std::string& path, UtilFileInfo& info);
  static std::uint64_t GetFileSize(const std::string& path);
  static bool MoveFile(const std::string& from, const std::string& to);
  static std::string GetHostName(const std::string& text);
  static std::string GetIPAddress(const std::string& name);
  static std::string BoolToString(bool flag);
};
