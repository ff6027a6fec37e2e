#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"

#include "Platform/Base64.hpp"

namespace obd::utils {

std::string Base64Encode(std::string_view bytes) { return platform::base64Encode(bytes); }

std::string Base64Decode(std::string_view text) { return platform::base64DecodePrefix(text); }

bool IsSafeRelativePath(std::string_view relative) {
  if (relative.empty()) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < relative.size() && relative[end] != '/' && relative[end] != '\\') {
      if (relative[end] == '\0') return false;
      ++end;
    }
    const std::string_view segment = relative.substr(start, end - start);
    // An empty first segment is an absolute path; any other is "a//b" or "a/".
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (end == relative.size()) return true;
    start = end + 1;
  }
}

std::string GetDecodedRelativePath(std::string_view key) {
  std::string relative = Base64Decode(key);
  if (!IsSafeRelativePath(relative)) return {};
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  return relative;
}

std::string GetDecodedTargetFullPath(const std::string& target, std::string_view key) {
  const std::string relative = GetDecodedRelativePath(key);
  if (relative.empty()) return {};
  std::string full = target;
  if (full.empty() || full.back() != '/') full += '/';
  return full + relative;
}

}  // namespace obd::utils
