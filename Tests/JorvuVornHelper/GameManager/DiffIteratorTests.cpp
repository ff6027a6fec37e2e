#include <gtest/gtest.h>

#include <filesystem>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestController.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestDiffIterator.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"

using obd::utils::Base64Encode;
using testsupport::TempRoot;

namespace {

std::string H(char c) { return std::string(40, c); }

// One file's entry text.
std::string entry(const std::vector<std::string>& objects, const std::string& hash, std::uint64_t size,
                  bool broken = false) {
  std::string o = "{";
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (i) o += ",";
    o += "\"" + std::to_string(i) + "\":\"" + objects[i] + "\"";
  }
  o += "}";
  return R"({"objects":)" + o + R"(,"hash":")" + hash + R"(","uncompressed_size":)" + std::to_string(size) +
         R"(,"origin_file_broken":)" + (broken ? "true" : "false") + "}";
}

std::string contents(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string f = "{";
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i) f += ",";
    f += "\"" + files[i].first + "\":" + files[i].second;
  }
  return R"({"files":)" + f + R"(},"version":"1.0"})";
}

void load(OBDManifest& m, const std::string& text) {
  m.SetContentRaw(text);
  ASSERT_TRUE(m.ParseContents()) << text;
}

struct Item {
  std::string key;
  std::int64_t count = 0;
  std::string source;
  std::string path;
  std::vector<std::pair<std::string, std::int64_t>> objects;  // ("", -1) = already present
};

// Walks the whole live manifest like the differentiate step does.
std::vector<Item> walk(OBDManifestController& c, const std::string& target, bool& error) {
  OBDManifestDiffIterator it(c.GetLiveManifest(), c.GetLocalManifest());
  std::vector<Item> items;
  error = false;
  for (int guard = 0; guard < 1000; ++guard) {
    Item item;
    if (!it.GetUpdatedFile(target, item.key, item.count, item.source, item.path, error)) break;
    if (item.key.empty()) {
      it.SetNext();
      continue;
    }
    const std::string temp = item.path + (item.source.empty() ? ".zqgz" : ".zqdelta");
    c.FileInitializeInLocal(item.key, std::filesystem::exists(temp));
    std::string hash;
    std::int64_t index = -1;
    while (it.GetUpdatedObject(hash, index)) {
      item.objects.emplace_back(hash, index);
      hash.clear();
      index = -1;
    }
    items.push_back(item);
    it.SetNext();
  }
  return items;
}

const std::string kA = Base64Encode("a.bin");
const std::string kB = Base64Encode("dir/b.bin");

}  // namespace

TEST(OBDManifestDiffIterator, SkipsUnchangedAndFetchesChangedFiles) {
  TempRoot root;
  OBDManifestController c;
  load(c.GetLiveManifest(), contents({{kA, entry({H('1')}, "fa", 10)}, {kB, entry({H('2'), H('3')}, "fb", 20)}}));
  // a.bin: same hash and size; b.bin: same hash, other size.
  load(c.GetLocalManifest(), contents({{kA, entry({H('1')}, "fa", 10)}, {kB, entry({H('2'), H('3')}, "fb", 21)}}));
  bool error = true;
  auto items = walk(c, root.path() + "/G", error);
  EXPECT_FALSE(error);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].key, kB);
  EXPECT_EQ(items[0].path, root.path() + "/G/dir/b.bin");
  EXPECT_EQ(items[0].count, 2);
  EXPECT_EQ(items[0].source, "");
  // The local record was made new, so both objects are wanted.
  EXPECT_EQ(items[0].objects, (std::vector<std::pair<std::string, std::int64_t>>{{H('2'), 0}, {H('3'), 1}}));

  // An empty local hash never counts as equal, even with equal size.
  load(c.GetLocalManifest(), contents({{kA, entry({}, "", 0)}, {kB, entry({H('2'), H('3')}, "fb", 20)}}));
  load(c.GetLiveManifest(), contents({{kA, entry({}, "", 0)}, {kB, entry({H('2'), H('3')}, "fb", 20)}}));
  items = walk(c, root.path() + "/G", error);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].key, kA);
  EXPECT_EQ(items[0].count, 0);
}

TEST(OBDManifestDiffIterator, ResumedFileFetchesOnlyMissingObjects) {
  TempRoot root;
  const std::string target = root.path() + "/G";
  testsupport::writeFile(target + "/a.bin.zqgz", "partial");
  OBDManifestController c;
  load(c.GetLiveManifest(), contents({{kA, entry({H('1'), H('2'), H('3')}, "fa", 9000000)}}));
  load(c.GetLocalManifest(), contents({{kA, entry({H('1'), H('2')}, "", 8388608)}}));
  bool error = false;
  auto items = walk(c, target, error);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].objects,
            (std::vector<std::pair<std::string, std::int64_t>>{{"", -1}, {"", -1}, {H('3'), 2}}));
  EXPECT_EQ(c.GetDifferentUncompressedFileSize(kA), 9000000u - 8388608u);

  // Without its temp file the same record starts again from object 0.
  std::filesystem::remove(target + "/a.bin.zqgz");
  load(c.GetLocalManifest(), contents({{kA, entry({H('1'), H('2')}, "", 8388608)}}));
  items = walk(c, target, error);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].objects.size(), 3u);
  EXPECT_EQ(items[0].objects[0].second, 0);
}

TEST(OBDManifestDiffIterator, DeltasOnlyForInstalledUnbrokenFilesTheDiffsDescribe) {
  TempRoot root;
  const std::string target = root.path() + "/G";
  const std::string diffs = contents({{kA, entry({H('d'), H('e')}, "src1", 5)}, {kB, entry({H('f')}, "src2", 5)}});
  struct Case {
    const char* what;
    bool installed;
    bool broken;
    std::string diffText;
    std::string wantSource;
  } cases[] = {
      {"installed, described", true, false, diffs, "src1"},
      {"missing from the folder", false, false, diffs, ""},
      {"origin broken", true, true, diffs, ""},
      {"diffs lack the file", true, false, contents({{kB, entry({H('f')}, "src2", 5)}}), ""},
      {"diff without a source", true, false, contents({{kA, entry({H('d')}, "", 5)}}), ""},
      {"diff objects with a gap", true, false,
       contents({{kA, R"({"objects":{"0":")" + H('d') + R"(","2":")" + H('e') + R"("},"hash":"s"})"}}), ""},
  };
  for (const auto& cs : cases) {
    std::filesystem::remove_all(target);
    if (cs.installed) testsupport::writeFile(target + "/a.bin", "old");
    OBDManifestController c;
    load(c.GetLiveManifest(), contents({{kA, entry({H('1')}, "new", 3)}}));
    load(c.GetLocalManifest(), contents({{kA, entry({H('0')}, "old", 3, cs.broken)}}));
    ASSERT_TRUE(c.GetLiveManifest().ParseDiffs(cs.diffText));
    bool error = false;
    auto items = walk(c, target, error);
    EXPECT_FALSE(error) << cs.what;
    ASSERT_EQ(items.size(), 1u) << cs.what;
    EXPECT_EQ(items[0].source, cs.wantSource) << cs.what;
    if (cs.wantSource.empty()) {
      EXPECT_EQ(items[0].objects, (std::vector<std::pair<std::string, std::int64_t>>{{H('1'), 0}})) << cs.what;
    } else {
      EXPECT_EQ(items[0].count, 2);
      EXPECT_EQ(items[0].objects,
                (std::vector<std::pair<std::string, std::int64_t>>{{H('d'), 0}, {H('e'), 1}}));
    }
  }
}

TEST(OBDManifestDiffIterator, MalformedEntriesEndTheWalkWithTheError) {
  TempRoot root;
  struct Case {
    std::string live;
    std::string local;
    std::string line;
  } cases[] = {
      {R"({"hash":"h","uncompressed_size":1})", "", "live iterator hasn't objects, File Update Failed"},
      {R"(7)", "", "live iterator hasn't objects, File Update Failed"},
      {R"({"objects":[],"hash":"h"})", "", "live object is not objects, File Update Failed"},
      {R"({"objects":{"0":")" + H('1') + R"(","2":")" + H('2') + R"("}})", "",
       "live objects are not consecutive, File Update Failed"},
      {R"({"objects":{"0":"../../x"}})", "", "live objects are not consecutive, File Update Failed"},
      {R"({"objects":{},"uncompressed_size":1})", entry({}, "h", 1), "live object hasn't hash, File Update Failed"},
      {R"({"objects":{},"hash":1,"uncompressed_size":1})", entry({}, "h", 1),
       "live hash is not string, File Update Failed"},
      {entry({}, "h", 1), R"({"objects":{},"uncompressed_size":1})", "local object hasn't hash, File Update Failed"},
      {entry({}, "h", 1), R"({"hash":[],"uncompressed_size":1})", "local hash is not string, File Update Failed"},
      {R"({"objects":{},"hash":"h"})", entry({}, "h", 1), "live iterator hasn't kUncompressedSize, File Update Failed"},
      {R"({"objects":{},"hash":"h","uncompressed_size":-1})", entry({}, "h", 1),
       "Live Not Uncompressed Size Uint64, File Update Failed"},
      {entry({}, "h", 1), R"({"objects":{},"hash":"h"})", "local hasn't kUncompressedSize, File Update Failed"},
      {entry({}, "h", 1), R"({"objects":{},"hash":"h","uncompressed_size":1.5})",
       "Local Not Uncompressed Size Uint64, File Update Failed"},
  };
  for (const auto& cs : cases) {
    OBDManifestController c;
    load(c.GetLiveManifest(), contents({{kA, cs.live}}));
    if (!cs.local.empty()) load(c.GetLocalManifest(), contents({{kA, cs.local}}));
    const int before = enginetest::logCount("[OBD] " + cs.line);
    bool error = false;
    auto items = walk(c, root.path(), error);
    EXPECT_TRUE(error) << cs.line;
    EXPECT_TRUE(items.empty()) << cs.line;
    EXPECT_EQ(enginetest::logCount("[OBD] " + cs.line), before + 1) << cs.line;
  }
}

TEST(OBDManifestDiffIterator, KeysThatEscapeTheFolderAreRefused) {
  TempRoot root;
  for (const char* path : {"../escape", "/etc/passwd", "a/../../b", "..\\..\\b", "", "x/./y"}) {
    OBDManifestController c;
    load(c.GetLiveManifest(), contents({{kA, entry({H('1')}, "f", 1)}, {Base64Encode(path), entry({H('2')}, "g", 1)}}));
    bool error = false;
    auto items = walk(c, root.path() + "/G", error);
    EXPECT_TRUE(error) << path;
    ASSERT_EQ(items.size(), 1u) << path;  // the walk stops at the bad key
    EXPECT_EQ(items[0].key, kA);
    for (const auto& item : items) EXPECT_EQ(item.path.rfind(root.path() + "/G/", 0), 0u);
  }
}

TEST(OBDManifestDiffIterator, ListsLocalFilesTheLiveReleaseDropped) {
  OBDManifestController c;
  load(c.GetLiveManifest(), contents({{kA, entry({}, "", 0)}}));
  load(c.GetLocalManifest(), contents({{"eA==", entry({}, "", 0)}, {kA, entry({}, "", 0)}, {"eQ==", entry({}, "", 0)}}));
  OBDManifestDiffIterator it(c.GetLiveManifest(), c.GetLocalManifest());
  EXPECT_EQ(it.GetNotExistFilesInLocal(), (std::vector<std::string>{"eA==", "eQ=="}));
}
