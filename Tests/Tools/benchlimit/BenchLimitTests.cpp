#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>
#include <string>

#include "Platform/Digest.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/benchlimit/ObjectReplay.hpp"

namespace {

using benchlimit::kObjectSize;

std::string Deflate(const std::string& data) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &bound, reinterpret_cast<const Bytef*>(data.data()),
                      static_cast<uLong>(data.size()), 1),
            Z_OK);
  out.resize(bound);
  return out;
}

std::string Pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Publishes `data` under `key` the way the packer does.
void Publish(const std::string& dir, const std::string& key, const std::string& data) {
  for (std::uint64_t i = 0; i * kObjectSize < data.size(); ++i) {
    const std::string block = data.substr(i * kObjectSize, kObjectSize);
    const std::string hash = platform::Sha1::hexDigest(block.data(), block.size());
    testsupport::writeFile(dir + "/" + key + "." + std::to_string(i) + "." + hash + ".zqgz", Deflate(block));
  }
}

TEST(BenchLimitNames, ParsesOnlyFullObjects) {
  const std::string hash(40, 'a');
  struct Case {
    std::string name;
    bool ok;
    std::string key;
    std::uint64_t index;
  } cases[] = {
      {"YQ==.0." + hash + ".zqgz", true, "YQ==", 0},
      {"YS9i/Yw==.12." + hash + ".zqgz", true, "YS9i/Yw==", 12},  // "/" inside a key
      {"YQ==.0." + hash + ".src.zqdelta", false, "", 0},
      {"manifest-1", false, "", 0},
      {"manifest-1-manifest-0", false, "", 0},
      {"YQ==.0." + std::string(39, 'a') + ".zqgz", false, "", 0},
      {"YQ==.0." + std::string(40, 'A') + ".zqgz", false, "", 0},
      {"YQ==.x." + hash + ".zqgz", false, "", 0},
      {"YQ==.." + hash + ".zqgz", false, "", 0},
      {".0." + hash + ".zqgz", false, "", 0},
      {".zqgz", false, "", 0},
  };
  for (const auto& c : cases) {
    const auto name = benchlimit::ParseObjectName(c.name);
    ASSERT_EQ(name.has_value(), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(name->key, c.key);
    EXPECT_EQ(name->index, c.index);
    EXPECT_EQ(name->hash, hash);
  }
}

TEST(BenchLimitNames, KeysNeverLeaveTheFolder) {
  struct Case {
    const char* key;
    const char* path;  // nullptr: refused
  } cases[] = {
      {"YQ==", "a"},
      {"YS9iL2MudHh0", "a/b/c.txt"},
      {"Lg==", nullptr},          // "."
      {"Li4=", nullptr},          // ".."
      {"YS8uLi9i", nullptr},      // "a/../b"
      {"L2V0Yw==", nullptr},      // "/etc"
      {"YS8vYg==", nullptr},      // "a//b"
      {"YVxi", nullptr},          // "a\b"
      {"", nullptr},
      {"YQ", nullptr},            // no padding
      {"YQ==YQ==", nullptr},      // padding inside
      {"Y!==", nullptr},
  };
  for (const auto& c : cases) {
    const auto path = benchlimit::KeyToPath(c.key);
    ASSERT_EQ(path.has_value(), c.path != nullptr) << c.key;
    if (c.path != nullptr) {
      EXPECT_EQ(*path, c.path);
    }
  }
}

TEST(BenchLimitReplay, ReproducesThePublishedFiles) {
  testsupport::TempRoot root;
  const std::string source = root.path() + "/source";
  const std::string out = root.path() + "/out";
  const std::string big = Pattern(2 * kObjectSize + 123, 1);
  const std::string exact = Pattern(kObjectSize, 2);
  const std::string small = "hello";
  Publish(source, "ZGlyL2JpZy5iaW4=", big);  // dir/big.bin
  Publish(source, "ZXhhY3Q=", exact);        // exact
  Publish(source, "c21hbGw=", small);        // small
  testsupport::writeFile(source + "/release-1", "{}");

  benchlimit::Totals totals;
  std::ostringstream err;
  ASSERT_TRUE(benchlimit::Replay(source, out, totals, err)) << err.str();
  EXPECT_EQ(testsupport::readFileOrEmpty(out + "/dir/big.bin"), big);
  EXPECT_EQ(testsupport::readFileOrEmpty(out + "/exact"), exact);
  EXPECT_EQ(testsupport::readFileOrEmpty(out + "/small"), small);
  EXPECT_EQ(totals.objects, 5u);
  EXPECT_EQ(totals.files, 3u);
  EXPECT_EQ(totals.bytes, big.size() + exact.size() + small.size());
}

TEST(BenchLimitReplay, RefusesBadObjects) {
  const std::string block = Pattern(1000, 3);
  const std::string hash = platform::Sha1::hexDigest(block.data(), block.size());
  const std::string tooLong = Pattern(kObjectSize + 1, 4);
  struct Case {
    const char* what;
    std::string name;
    std::string bytes;
  } cases[] = {
      {"wrong hash", "YQ==.0." + std::string(40, '0') + ".zqgz", Deflate(block)},
      {"truncated stream", "YQ==.0." + hash + ".zqgz", Deflate(block).substr(0, 20)},
      {"not zlib", "YQ==.0." + hash + ".zqgz", block},
      {"more than 4 MiB", "YQ==.0." + platform::Sha1::hexDigest(tooLong.data(), tooLong.size()) + ".zqgz",
       Deflate(tooLong)},
      {"key outside", "Li4=.0." + hash + ".zqgz", Deflate(block)},
  };
  for (const auto& c : cases) {
    testsupport::TempRoot root;
    testsupport::writeFile(root.path() + "/source/" + c.name, c.bytes);
    benchlimit::Totals totals;
    std::ostringstream err;
    EXPECT_FALSE(benchlimit::Replay(root.path() + "/source", root.path() + "/out", totals, err)) << c.what;
    EXPECT_FALSE(err.str().empty()) << c.what;
  }
}

}  // namespace
