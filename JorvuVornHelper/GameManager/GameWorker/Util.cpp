#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>

#include "JorvuVornHelper/GameManager/GameWorker/CURLGuard.hpp"
#include "Platform/Paths.hpp"

namespace fs = std::filesystem;

std::uint64_t Util::GetAvailableDiskSize() {
  std::error_code ec;
  const fs::space_info info = fs::space(platform::resolvePath("/"), ec);
  if (ec) return 0;
  return info.available;
}

std::vector<std::uint8_t> Util::DownloadData(const std::string& url, bool& ok, std::size_t maxBodySize,
                                             const CURLGuard::AbortCheck& abort) {
  CURLGuard guard;
  guard.SetMaxBodySize(maxBodySize);
  if (abort) guard.SetAbortCheck(abort);
  const bool done = guard.Download(url);
  CURLGuard::DownloadInfo info = guard.GetDownloadInfo();
  if (!done || info.data.empty()) return {};
  ok = info.code == 0;
  return std::move(info.data);
}

bool Util::IsPathExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  return st.type() != fs::file_type::not_found && st.type() != fs::file_type::none;
}

bool Util::IsFileExists(const std::string& path) { return IsPathExists(path); }

bool Util::DeletePath(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(path, ec);
  if (ec || st.type() == fs::file_type::not_found || st.type() == fs::file_type::none) return false;
  const std::uintmax_t removed = fs::remove_all(path, ec);
  return !ec && removed != static_cast<std::uintmax_t>(-1) && removed > 0;
}

bool Util::IsPathEmpty(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  const bool empty = fs::is_empty(path, ec);
  return !ec && empty;
}

bool Util::MakeSureDirExist(const std::string& path) {
  for (std::size_t pos = path.find('/'); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    if (pos == 0) continue;
    const std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0755) == 0) continue;
    if (errno != EEXIST) return false;
    struct stat st {};
    if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

bool Util::MakeFileDir(const std::string& path) { return MakeSureDirExist(path); }

void Util::GetParentFolders(const std::string& rootIn, const std::string& path, std::set<std::string>& folders) {
  std::string root = rootIn;
  if (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  const std::string prefix = root + "/";
  auto parentOf = [](const std::string& p) {
    const std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
  };
  for (std::string parent = parentOf(path); !parent.empty() && parent != root; parent = parentOf(parent)) {
    // Nothing at or above the root is ever collected, so a clean-up that
    // deletes these folders stays inside the game's folder.
    if (parent.compare(0, prefix.size(), prefix) != 0) break;
    if (!folders.insert(parent).second) break;
  }
}

bool Util::GetFileData(const std::string& path, UtilFileInfo& info) {
  if (!IsPathExists(path)) return false;
  std::error_code ec;
  info.type = fs::status(path, ec).type();
  info.name = fs::path(path).filename().string();
  return !ec;
}

std::uint64_t Util::GetFileSize(const std::string& path) {
  if (path.empty()) return 0;
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

bool Util::MoveFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::string Util::GetHostName(const std::string&) { return {}; }

std::string Util::GetIPAddress(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) return {};
  std::string out;
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr) out += text;
  }
  ::freeaddrinfo(result);
  return out;
}

std::string Util::BoolToString(bool flag) { return flag ? "true" : "false"; }
