#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <filesystem>
#include <set>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDDeltaStream.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestDiffIterator.hpp"
#include "Platform/Digest.hpp"
#include "Tests/Support/Processes.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/pack/DeltaEncoder.hpp"

namespace fs = std::filesystem;
using testsupport::readFileOrEmpty;
using testsupport::TempRoot;
using testsupport::writeFile;

namespace {

constexpr std::size_t kMiB4 = 4194304;

std::string bytes(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 7;
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x >> 24);
  }
  return out;
}

int runPack(std::vector<std::string> args) {
  args.insert(args.begin(), testsupport::binDir() + "/jorvu-pack");
  return testsupport::runProgram(args);
}

std::string inflateAll(const std::string& compressed) {
  std::string out(kMiB4 + 1, '\0');
  uLongf size = static_cast<uLongf>(out.size());
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(compressed.data()),
                 static_cast<uLong>(compressed.size())) != Z_OK) {
    return "<bad stream>";
  }
  out.resize(size);
  return out;
}

std::string sha1(std::string_view s) { return platform::Sha1::hexDigest(s.data(), s.size()); }

std::vector<std::string> blockHashes(const std::string& data) {
  std::vector<std::string> out;
  for (std::size_t off = 0; off < data.size(); off += kMiB4) out.push_back(sha1(std::string_view(data).substr(off, kMiB4)));
  return out;
}

std::string fileHash(const std::vector<std::string>& hashes) {
  std::string joined;
  for (const auto& h : hashes) joined += h;
  return sha1(joined);
}

OBDManifest::Contents readContents(const std::string& path) {
  OBDManifest::Contents contents;
  EXPECT_TRUE(OBDManifest::ParseContentsCore(readFileOrEmpty(path), contents)) << path;
  return contents;
}

}  // namespace

TEST(JorvuPack, ManifestDescribesTheSourceFolderExactly) {
  TempRoot root;
  const std::string src = root.path() + "/src";
  std::map<std::string, std::string> files = {
      {"empty", ""},
      {"small.txt", "hello"},
      {"Game.app/Contents/MacOS/Game", bytes(kMiB4, 1)},
      {"Game.app/Contents/Resources/data one.bin", bytes(kMiB4 + 1, 2)},
      {"deep/er/st/\xc3\xa9t\xc3\xa9.bin", bytes(2 * kMiB4 + 77, 3)},
  };
  for (const auto& [path, data] : files) writeFile(src + "/" + path, data);
  fs::create_directories(src + "/empty-folder");
  fs::create_symlink("/etc/passwd", src + "/link");
  const std::string out = root.path() + "/out";
  ASSERT_EQ(runPack({"--out", out, "--name", "live-1", "--jobs", "3", src}), 0);

  OBDManifest live;
  live.SetName("live-1");
  live.SetContentRaw(readFileOrEmpty(out + "/live-1"));
  ASSERT_TRUE(live.ParseContents());
  EXPECT_EQ(live.GetContents().FileCount(), files.size());  // no link, no folder
  std::uint64_t total = 0;
  for (const auto& [path, data] : files) {
    const std::string key = obd::utils::Base64Encode(path);
    ASSERT_TRUE(live.HasFile(key)) << path;
    EXPECT_EQ(live.GetUncompressedFileSize(key), data.size()) << path;
    const auto hashes = blockHashes(data);
    ASSERT_EQ(live.GetObjectsCount(key), hashes.size()) << path;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
      EXPECT_EQ(live.GetObjectHash(key, static_cast<std::int64_t>(i)), hashes[i]);
      const std::string object = readFileOrEmpty(out + "/" + key + "." + std::to_string(i) + "." + hashes[i] + ".zqgz");
      EXPECT_EQ(inflateAll(object), data.substr(i * kMiB4, kMiB4)) << path << " object " << i;
    }
    const rapidjson::Value* entry = live.GetContents().FindFile(key);
    EXPECT_EQ(std::string(entry->FindMember("hash")->value.GetString()), fileHash(hashes)) << path;
    total += data.size();
  }
  EXPECT_EQ(live.GetTotalUncompressedSize(), total);

  // The engine's comparison against an empty local manifest hands out
  // every object of every file, each with a path inside the target.
  OBDManifest local;
  OBDManifestDiffIterator it(live, local);
  std::size_t objects = 0;
  std::set<std::string> paths;
  for (;;) {
    std::string key, source, path;
    std::int64_t count = 0;
    bool error = false;
    if (!it.GetUpdatedFile("/T", key, count, source, path, error)) {
      EXPECT_FALSE(error);
      break;
    }
    paths.insert(path);
    std::string hash;
    std::int64_t index = -1;
    while (it.GetUpdatedObject(hash, index)) ++objects;
    it.SetNext();
  }
  EXPECT_EQ(paths.size(), files.size());
  EXPECT_TRUE(paths.count("/T/Game.app/Contents/MacOS/Game"));
  EXPECT_EQ(objects, 0u + 1 + 1 + 2 + 3);

  // Packing again writes nothing new and gives the same manifest.
  const std::string first = readFileOrEmpty(out + "/live-1");
  const auto count = std::distance(fs::directory_iterator(out), fs::directory_iterator());
  ASSERT_EQ(runPack({"--out", out, "--name", "live-1", src}), 0);
  EXPECT_EQ(readFileOrEmpty(out + "/live-1"), first);
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), count);
}

TEST(JorvuPack, DeltasTurnEachChangedOldFileIntoItsNewContent) {
  TempRoot root;
  const std::string oldDir = root.path() + "/old";
  const std::string newDir = root.path() + "/new";
  const std::string base = bytes(3 * kMiB4 + 1234, 10);
  std::string inserted = base;
  inserted.insert(1000, "a few new bytes in front shift everything");
  std::string patched = base;
  for (std::size_t at : {std::size_t{5}, std::size_t{70000}, kMiB4 + 3, 2 * kMiB4 + 999}) patched[at] ^= 0x5A;
  // Short matches between new bytes: copies of a length below 256.
  const std::string pieces = bytes(20000, 11);
  std::string mixed;
  for (std::size_t j = 0; j < 40; ++j) mixed += pieces.substr(j * 400, 100 + j) + bytes(50, static_cast<std::uint32_t>(j));
  const std::map<std::string, std::pair<std::string, std::string>> pairs = {
      {"mixed.bin", {pieces, mixed}},
      {"same.bin", {base, base}},
      {"shifted.bin", {base, inserted}},
      {"patched.bin", {base, patched}},
      {"appended.bin", {"tail", "tail and more"}},
      {"cut.bin", {base, base.substr(0, kMiB4 + 10)}},
      {"other.bin", {bytes(9000, 1), bytes(300000, 2)}},
      {"now-empty.bin", {"was here", ""}},
  };
  for (const auto& [path, p] : pairs) {
    writeFile(oldDir + "/" + path, p.first);
    writeFile(newDir + "/" + path, p.second);
  }
  writeFile(newDir + "/brand-new.bin", "new file");
  const std::string out = root.path() + "/out";
  ASSERT_EQ(runPack({"--out", out, "--name", "r1", oldDir}), 0);
  ASSERT_EQ(runPack({"--out", out, "--name", "r2", "--from", oldDir, "--from-name", "r1", newDir}), 0);

  const OBDManifest::Contents diffs = readContents(out + "/r2-r1");
  const OBDManifest::Contents live = readContents(out + "/r2");
  std::set<std::string> described;
  std::set<unsigned> copyOffsetWidths, copyLengthWidths, insertWidths;
  for (const auto& [path, p] : pairs) {
    const std::string key = obd::utils::Base64Encode(path);
    const rapidjson::Value* entry = diffs.FindFile(key);
    const bool changed = p.first != p.second && !p.second.empty();
    ASSERT_EQ(entry != nullptr, changed) << path;
    if (!entry) continue;
    described.insert(path);
    ASSERT_TRUE(OBDManifest::IsConsecutiveObjects(entry->FindMember("objects")->value));
    const std::string source = entry->FindMember("hash")->value.GetString();
    EXPECT_EQ(source, fileHash(blockHashes(p.first))) << path;

    std::string stream;
    const rapidjson::Value& objects = entry->FindMember("objects")->value;
    for (rapidjson::SizeType i = 0; i < objects.MemberCount(); ++i) {
      const std::string hash = OBDManifest::FindObject(objects, i)->GetString();
      const std::string piece =
          inflateAll(readFileOrEmpty(out + "/" + key + "." + std::to_string(i) + "." + hash + "." + source + ".zqdelta"));
      EXPECT_EQ(sha1(piece), hash);
      EXPECT_LE(piece.size(), kMiB4);
      stream += piece;
    }
    std::string rebuilt;
    ASSERT_TRUE(pack::ApplyDeltaInMemory(p.first, stream, rebuilt)) << path;
    EXPECT_TRUE(rebuilt == p.second) << path;
    EXPECT_EQ(blockHashes(rebuilt).size(), live.FindFile(key)->FindMember("objects")->value.MemberCount());

    const auto* data = reinterpret_cast<const std::uint8_t*>(stream.data());
    for (std::size_t pos = 0; pos < stream.size();) {
      const std::uint8_t c = data[pos];
      obd::delta::Command cmd;
      ASSERT_TRUE(obd::delta::ParseCommand(data, stream.size(), pos, cmd));
      if (cmd.copy) {
        copyOffsetWidths.insert(obd::delta::OffsetWidth(c));
        copyLengthWidths.insert(obd::delta::LengthWidth(c));
      } else {
        insertWidths.insert(obd::delta::LengthWidth(c));
      }
    }
  }
  EXPECT_EQ(described, (std::set<std::string>{"mixed.bin", "shifted.bin", "patched.bin", "appended.bin", "cut.bin", "other.bin"}));
  EXPECT_EQ(diffs.FindFile(obd::utils::Base64Encode("brand-new.bin")), nullptr);
  const std::set<unsigned> all{1, 2, 4, 8};
  EXPECT_EQ(copyOffsetWidths, all);
  EXPECT_EQ(copyLengthWidths, all);
  EXPECT_EQ(insertWidths, all);
}

TEST(JorvuPack, DeltaEncoderRoundTripsEdgeCases) {
  const std::string big = bytes(200000, 5);
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"", "abc"}, {"abc", ""}, {big, big}, {big, big.substr(100)}, {big.substr(100), big},
      {big, big + big}, {std::string(100000, 'z'), std::string(100001, 'z')}, {big, bytes(200000, 6)},
  };
  for (const auto& [from, to] : cases) {
    std::string stream;
    pack::DeltaStats stats;
    ASSERT_TRUE(pack::EncodeDelta(from, to, [&](std::string_view b) { stream.append(b); return true; }, &stats));
    std::string rebuilt;
    ASSERT_TRUE(pack::ApplyDeltaInMemory(from, stream, rebuilt));
    EXPECT_TRUE(rebuilt == to) << from.size() << " -> " << to.size();
    EXPECT_EQ(stats.copiedBytes + stats.insertedBytes, to.size());
    if (from == to && !to.empty()) {
      EXPECT_LT(stream.size(), 64u);
    }
  }
  // Every width of the reader, including values that need 8 bytes.
  std::string s;
  obd::delta::AppendCopy(s, 0x1122334455ull, 3, 0, 0);
  obd::delta::AppendInsert(s, "xy", 3, 0xFF);
  std::size_t pos = 0;
  obd::delta::Command cmd;
  ASSERT_TRUE(obd::delta::ParseCommand(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), pos, cmd));
  EXPECT_TRUE(cmd.copy);
  EXPECT_EQ(cmd.offset, 0x1122334455ull);
  EXPECT_EQ(obd::delta::OffsetWidth(static_cast<std::uint8_t>(s[0])), 8u);
  ASSERT_TRUE(obd::delta::ParseCommand(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), pos, cmd));
  EXPECT_FALSE(cmd.copy);
  EXPECT_EQ(cmd.length, 2u);
  EXPECT_EQ(pos, s.size());
  // A stream that ends inside a command, or copies past the origin's end, is refused.
  for (std::size_t cut = 1; cut <= s.size(); ++cut) {
    std::string rebuilt;
    EXPECT_FALSE(pack::ApplyDeltaInMemory("", s.substr(0, cut), rebuilt)) << cut;
  }
  std::string insertOnly;
  obd::delta::AppendInsert(insertOnly, "abc", 2);
  std::string rebuilt;
  EXPECT_FALSE(pack::ApplyDeltaInMemory("", insertOnly.substr(0, insertOnly.size() - 1), rebuilt));
  EXPECT_TRUE(pack::ApplyDeltaInMemory("", insertOnly, rebuilt));
  EXPECT_EQ(rebuilt, "abc");
}

TEST(JorvuPack, RefusesBadArguments) {
  TempRoot root;
  writeFile(root.path() + "/src/a", "a");
  const std::string out = root.path() + "/out";
  EXPECT_EQ(runPack({"--out", out, "--name", "../escape", root.path() + "/src"}), 1);
  EXPECT_EQ(runPack({"--out", out, "--name", "x/y", root.path() + "/src"}), 1);
  EXPECT_EQ(runPack({"--out", out, "--name", "ok", root.path() + "/missing"}), 1);
  EXPECT_EQ(runPack({"--out", out, "--name", "ok"}), 2);
  EXPECT_EQ(runPack({"--out", out, "--name", "ok", "--from", root.path() + "/src", root.path() + "/src"}), 2);
  EXPECT_FALSE(fs::exists(root.path() + "/escape"));
  EXPECT_FALSE(fs::exists(out + "/ok"));
}

TEST(JorvuPack, PacksMoreFilesThanItMayHaveOpenAtOnce) {
  TempRoot root;
  const std::string src = root.path() + "/many";
  for (int i = 0; i < 300; ++i) writeFile(src + "/f" + std::to_string(i), std::to_string(i));
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 64;  // inherited by the child
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const int rc = runPack({"--out", root.path() + "/out", "--name", "m", src});
  ::setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(readContents(root.path() + "/out/m").FileCount(), 300u);
}
