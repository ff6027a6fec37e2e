#include "Tests/EndToEnd/EndToEndSupport.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "Platform/PropertyList.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace fs = std::filesystem;

namespace e2e {

// ---- Record ----

Record::Record(std::uint32_t code) : members_(testsupport::requiredCatalogueMembers(code)) {}

Record& Record::set(const std::string& key, const std::string& rawJson) {
  members_[key] = rawJson;
  return *this;
}

Record& Record::text(const std::string& key, const std::string& value) { return set(key, jsonQuoted(value)); }

std::string Record::json() const { return testsupport::objectJson(members_); }

// ---- files and programs ----

void makeFakeGameBundle(const std::string& folder, const std::string& name) {
  const std::string bundle = folder + "/" + name + ".app";
  fs::create_directories(bundle + "/Contents/MacOS");
  ASSERT_TRUE(platform::writePropertyList(
      bundle + "/Contents/Info.plist",
      platform::PlistValue(
          platform::PlistDict{{"CFBundleExecutable", std::string(name)}, {"CFBundleIdentifier", "test.e2e." + name}})));
  const std::string exe = bundle + "/Contents/MacOS/" + name;
  fs::copy_file(testsupport::binDir() + "/jorvu-fakegame", exe, fs::copy_options::overwrite_existing);
  ::chmod(exe.c_str(), 0755);
}

std::string base64(const std::string& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace e2e
