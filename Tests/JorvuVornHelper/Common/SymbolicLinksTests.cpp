#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "JorvuVornHelper/Common/QuillmereSymbolicLinkFiles.hpp"
#include "Tests/Infra/HttpClient/TestNetwork.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

namespace fs = std::filesystem;
using Q = QuillmereSymbolicLinkFiles;

const bool processReady = testnet::setUpProcess();
const std::string C = std::string(Q::bundlePath) + "/Contents";
const std::string G = C + "/SharedSupport/quillmeretest";

TEST(SymbolicLinkTable, HasTheFixedRowsInOrder) {
  const auto& t = Q::symbolic();
  ASSERT_EQ(t.size(), 122u);
  std::set<std::string> links;
  for (const auto& [target, link] : t) {
    EXPECT_EQ(link.rfind(std::string(Q::bundlePath) + "/", 0), 0u) << link;
    EXPECT_EQ(target.rfind(std::string(Q::bundlePath) + "/", 0), 0u) << target;
    links.insert(link);
  }
  EXPECT_EQ(links.size(), 122u);  // no link path twice
  const std::vector<std::pair<std::size_t, Q::Row>> spots = {
      {0, {G + "/lib64/libgmodule-2.0.0.dylib", G + "/lib64/libgmodule-2.0.dylib"}},
      {16, {G + "/lib64/libcxfreetype.6.dylib", G + "/lib64/libcxfreetype.so"}},
      {44, {G + "/lib64/libgstapp-1.0.0.dylib", G + "/lib64/libgstapp-1.0.dylib"}},
      {45, {G + "/support/quillmere", G + "/support/default"}},
      {46, {G + "/lib/libgmodule-2.0.0.dylib", G + "/lib/libgmodule-2.0.dylib"}},
      {65, {G + "/lib/libglib-2.0.0.dylib", G + "/lib/libglib-2.0.dylib"}},
      {66, {G + "/lib/wine/x86_64-unix/libwine.1.0.dylib", G + "/lib/wine/x86_64-unix/libwine.1.dylib"}},
      {67, {G + "/lib/wine/i386-unix/libwine.1.0.dylib", G + "/lib/wine/i386-unix/libwine.1.dylib"}},
      {68, {G + "/lib/wine/i386-windows/cxdummy.exe", G + "/lib/wine/i386-windows/findfast.exe"}},
      {87, {G + "/lib/wine/x86_64-windows/cxdummy.exe", G + "/lib/wine/x86_64-windows/pstores.exe"}},
      {88, {G + "/lib/libintl.8.dylib", G + "/lib/libintl.dylib"}},
      {112, {G + "/lib/libgstapp-1.0.0.dylib", G + "/lib/libgstapp-1.0.dylib"}},
      {113, {G + "/QuillmereT/wine", G + "/QuillmereT/regsvr32"}},
      {116, {G + "/QuillmereT/wine", G + "/QuillmereT/autorun"}},
      {117, {C + "/Frameworks/Python.framework/Versions/3.10/Python", C + "/Frameworks/Python.framework/Python"}},
      {119, {C + "/Frameworks/Python.framework/Versions/3.10/Python",
             C + "/Frameworks/Python.framework/Versions/3.10/lib/libpython3.10.dylib"}},
      {120, {C + "/Frameworks/Python.framework/Versions/3.10", C + "/Frameworks/Python.framework/Versions/Current"}},
      {121, {G + "/QuillmereT", G + "/bin"}},
  };
  for (const auto& [index, row] : spots) EXPECT_EQ(t[index], row) << index;
}

class SymbolicLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(processReady); }
  // Makes every folder that holds a link.
  void installBundle() {
    for (const auto& [target, link] : Q::symbolic()) fs::create_directories(fs::path(root / link).parent_path());
  }
  testsupport::TempRoot root;
};

TEST_F(SymbolicLinkTest, MakesEveryLinkToItsAbsoluteTargetReplacingWhatIsThere) {
  installBundle();
  const auto& t = Q::symbolic();
  // A regular file, a dangling link and a stale link at three link paths.
  testsupport::writeFile(root / t[0].second, "old file");
  fs::create_symlink(root / "/nowhere", root / t[1].second);
  fs::create_symlink(root / t[5].first, root / t[2].second);
  testnet::LogMark mark;
  Q::make();
  EXPECT_TRUE(mark.errors().empty()) << mark.errors().front();
  for (const auto& [target, link] : t) {
    ASSERT_TRUE(fs::is_symlink(root / link)) << link;
    EXPECT_EQ(fs::read_symlink(root / link).string(), root / target) << link;
  }
  // The targets need not exist: most links above are dangling.
  EXPECT_FALSE(fs::exists(root / t[0].second));
  auto lines = mark.since();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("[INFO] make symbolicLink files"), std::string::npos);
}

TEST_F(SymbolicLinkTest, ABinLinkThatLeadsSomewhereMeansAllIsDone) {
  installBundle();
  const auto& t = Q::symbolic();
  fs::create_directories(root / t.back().first);
  fs::create_symlink(root / t.back().first, root / t.back().second);
  testsupport::writeFile(root / t[0].second, "left alone");
  testnet::LogMark mark;
  Q::make();
  auto lines = mark.since();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[INFO] already maked"), std::string::npos);
  EXPECT_FALSE(fs::is_symlink(root / t[0].second));
  // A dangling "bin" is no complete run: everything is made again.
  fs::remove_all(root / t.back().first);
  Q::make();
  EXPECT_TRUE(fs::is_symlink(root / t[0].second));
}

TEST_F(SymbolicLinkTest, WithoutTheBundleEveryRowFailsAlone) {
  testnet::LogMark mark;
  Q::make();
  EXPECT_EQ(mark.errors("An error occurred: ").size(), 122u);
  EXPECT_FALSE(fs::exists(root / Q::bundlePath));
}

TEST_F(SymbolicLinkTest, ARowThatCannotBeMadeSkipsOnlyItself) {
  installBundle();
  const auto& t = Q::symbolic();
  // The folder of row 46 is a file: that row fails, its neighbours do not.
  const fs::path folder = fs::path(root / t[45].second).parent_path();
  fs::remove_all(folder);
  testsupport::writeFile(folder.string(), "not a folder");
  testnet::LogMark mark;
  Q::make();
  EXPECT_EQ(mark.errors("An error occurred: ").size(), 1u);
  EXPECT_FALSE(fs::is_symlink(root / t[45].second));
  EXPECT_TRUE(fs::is_symlink(root / t[44].second));
  EXPECT_TRUE(fs::is_symlink(root / t[46].second));
}

}  // namespace
