#include "Tests/Support/Trees.hpp"

#include <filesystem>

#include "Tests/Support/TempRoot.hpp"

namespace fs = std::filesystem;

namespace testsupport {

void writeTree(const std::string& root, const std::map<std::string, std::string>& files) {
  for (const auto& [relative, bytes] : files) writeFile(root + "/" + relative, bytes);
}

namespace {

bool isLocalManifestFile(const fs::path& relative) {
  return relative.parent_path().empty() && relative.filename().string().starts_with("obd-manifest-");
}

std::map<std::string, std::string> listTree(const std::string& root) {
  std::map<std::string, std::string> out;  // relative -> kind
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path relative = it->path().lexically_relative(root);
    if (isLocalManifestFile(relative)) continue;
    const auto type = it->symlink_status().type();
    out[relative.string()] = type == fs::file_type::directory ? "dir"
                             : type == fs::file_type::regular ? "file"
                                                              : "other";
  }
  return out;
}

}  // namespace

std::string diffTrees(const std::string& expected, const std::string& actual) {
  const auto a = listTree(expected);
  const auto b = listTree(actual);
  if (a.empty()) return "nothing in " + expected;
  std::string out;
  for (const auto& [path, kind] : a) {
    auto it = b.find(path);
    if (it == b.end()) {
      out += "missing " + path + "\n";
    } else if (it->second != kind) {
      out += "kind differs " + path + "\n";
    } else if (kind == "file" && readFileOrEmpty(expected + "/" + path) != readFileOrEmpty(actual + "/" + path)) {
      out += "bytes differ " + path + "\n";
    }
  }
  for (const auto& [path, kind] : b) {
    if (!a.count(path)) out += "extra " + path + "\n";
  }
  return out;
}

std::vector<std::string> filesEndingWith(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = it->path().lexically_relative(folder).string();
    if (it->is_regular_file() && relative.ends_with(suffix)) out.push_back(relative);
  }
  return out;
}

}  // namespace testsupport
