// jorvu-pack and jorvu-obd on a game of 100,000 small files, more than the
// system lets one process map at once (vm.max_map_count, 65,530 by
// default): packed and installed byte for byte by the real programs.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "Tests/Support/Processes.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/Trees.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace {

TEST(LargeTree, HundredThousandSmallFilesArePackedAndInstalledByteForByte) {
  testsupport::TempRoot root;
  const std::string src = root.path() + "/src";
  // Written straight to disk: one folder each thousand files.
  for (int folder = 0; folder < 100; ++folder) {
    const std::string dir = src + "/Data/d" + std::to_string(folder);
    std::filesystem::create_directories(dir);
    for (int file = 0; file < 1000; ++file) {
      const int n = folder * 1000 + file;
      const std::string bytes =
          "file " + std::to_string(n) + std::string(static_cast<std::size_t>(n % 97), static_cast<char>('a' + n % 26));
      std::FILE* out = std::fopen((dir + "/f" + std::to_string(file)).c_str(), "wb");
      ASSERT_NE(out, nullptr);
      ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
      ASSERT_EQ(std::fclose(out), 0);
    }
  }
  const std::string pubRoot = root.path() + "/pub";
  ASSERT_EQ(testsupport::runProgram({testsupport::binDir() + "/jorvu-pack", "--out", pubRoot + "/src", "--name", "r1",
                                     "--level", "1", src},
                                    std::chrono::minutes(15)),
            0);

  publisher::Publisher pub(pubRoot);
  pub.start();
  const std::string target = root.path() + "/Games/Game";
  EXPECT_EQ(testsupport::runProgram({testsupport::binDir() + "/jorvu-obd", "install", "--source",
                                     pub.origin() + "/src", "--manifest", "r1", "--target", target, "--code", "4242",
                                     "--exe", "Data"},
                                    std::chrono::minutes(15)),
            0);
  pub.stop();
  EXPECT_EQ(testsupport::diffTrees(src, target), "");
}

}  // namespace
