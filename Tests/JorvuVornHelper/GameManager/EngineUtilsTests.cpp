#include <gtest/gtest.h>

#include <filesystem>

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/WorkInfo.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace fs = std::filesystem;
using namespace obd::utils;
using testsupport::TempRoot;

TEST(EngineKeys, Base64RoundTripsAndPads) {
  EXPECT_EQ(Base64Encode("Contents/MacOS/Game"), "Q29udGVudHMvTWFjT1MvR2FtZQ==");
  EXPECT_EQ(Base64Decode("Q29udGVudHMvTWFjT1MvR2FtZQ=="), "Contents/MacOS/Game");
  const std::string all = enginetest::repeatBytes(1000, 7);
  for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 999u, 1000u}) {
    EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, n))), all.substr(0, n)) << n;
    EXPECT_EQ(Base64Encode(all.substr(0, n)).size() % 4, 0u);
  }
  EXPECT_EQ(Base64Encode("\xfb\xff"), "+/8=");
}

TEST(EngineKeys, DecodeStopsAtFirstForeignCharacter) {
  // "QUJD" is "ABC"; "REVG" is "DEF".
  EXPECT_EQ(Base64Decode("QUJD!REVG"), "ABC");
  EXPECT_EQ(Base64Decode("QUJDRA"), "ABCD");  // trailing bits dropped
  EXPECT_EQ(Base64Decode("Q"), "");
}

TEST(EngineKeys, FullPathJoinsAndTurnsBackslashes) {
  EXPECT_EQ(GetDecodedTargetFullPath("/G", Base64Encode("Data\\x.bin")), "/G/Data/x.bin");
  EXPECT_EQ(GetDecodedTargetFullPath("/G/", Base64Encode("a/b")), "/G/a/b");
  EXPECT_EQ(GetDecodedTargetFullPath("/G", Base64Encode("..a/b..c/.d")), "/G/..a/b..c/.d");
}

TEST(EngineKeys, KeysThatLeaveTheFolderAreRefused) {
  for (const char* path : {"", ".", "..", "../x", "a/../../x", "a/..", "/etc/passwd", "\\etc\\passwd", "..\\x",
                           "a\\..\\..\\x", "a//b", "a/", "a/./b", ".\\a", "a\\"}) {
    EXPECT_EQ(GetDecodedTargetFullPath("/G", Base64Encode(path)), "") << path;
  }
  EXPECT_EQ(GetDecodedTargetFullPath("/G", Base64Encode(std::string("a\0b", 3))), "");
}

TEST(EngineUtil, MakeSureDirExistCreatesOnlyFolders) {
  TempRoot root;
  const std::string base = root.path();
  EXPECT_TRUE(Util::MakeSureDirExist(base + "/a/b/c"));
  EXPECT_TRUE(fs::is_directory(base + "/a/b"));
  EXPECT_FALSE(fs::exists(base + "/a/b/c"));
  EXPECT_TRUE(Util::MakeSureDirExist(base + "/a/b/c/"));
  EXPECT_TRUE(fs::is_directory(base + "/a/b/c"));
  testsupport::writeFile(base + "/file", "x");
  EXPECT_FALSE(Util::MakeSureDirExist(base + "/file/sub/x"));
}

TEST(EngineUtil, ParentFoldersStopAtTheRoot) {
  std::set<std::string> folders;
  Util::GetParentFolders("/G", "/G/a/b/f", folders);
  EXPECT_EQ(folders, (std::set<std::string>{"/G/a/b", "/G/a"}));
  folders.clear();
  Util::GetParentFolders("/G/", "/G/a/f", folders);
  EXPECT_EQ(folders, (std::set<std::string>{"/G/a"}));
  folders.clear();
  Util::GetParentFolders("/G", "/X/y/f", folders);  // never above or beside the root
  EXPECT_TRUE(folders.empty());
  folders = {"/G/a"};
  Util::GetParentFolders("/G", "/G/a/b/c/f", folders);
  EXPECT_EQ(folders, (std::set<std::string>{"/G/a/b/c", "/G/a/b", "/G/a"}));
}

TEST(EngineUtil, FileHelpers) {
  TempRoot root;
  const std::string base = root.path();
  EXPECT_FALSE(Util::IsPathExists(""));
  EXPECT_FALSE(Util::IsPathEmpty(""));
  EXPECT_EQ(Util::GetFileSize(""), 0u);
  testsupport::writeFile(base + "/d/f", "12345");
  EXPECT_TRUE(Util::IsFileExists(base + "/d/f"));
  EXPECT_EQ(Util::GetFileSize(base + "/d/f"), 5u);
  EXPECT_FALSE(Util::IsPathEmpty(base + "/d"));
  UtilFileInfo info;
  ASSERT_TRUE(Util::GetFileData(base + "/d/f", info));
  EXPECT_EQ(info.type, fs::file_type::regular);
  EXPECT_EQ(info.name, "f");
  EXPECT_TRUE(Util::MoveFile(base + "/d/f", base + "/d/g"));
  EXPECT_FALSE(Util::MoveFile(base + "/d/missing", base + "/d/h"));
  EXPECT_EQ(testsupport::readFileOrEmpty(base + "/d/g"), "12345");

  // Deleting a link removes the link, never what it points at.
  testsupport::writeFile(base + "/outside/keep", "k");
  fs::create_directory_symlink(base + "/outside", base + "/d/link");
  EXPECT_TRUE(Util::DeletePath(base + "/d"));
  EXPECT_FALSE(fs::exists(base + "/d"));
  EXPECT_EQ(testsupport::readFileOrEmpty(base + "/outside/keep"), "k");
  EXPECT_FALSE(Util::DeletePath(base + "/d"));

  EXPECT_EQ(Util::BoolToString(true), "true");
  EXPECT_EQ(Util::GetHostName("http://x"), "");
  EXPECT_EQ(Util::GetIPAddress("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(Util::GetIPAddress("http://127.0.0.1:80/x"), "");
  EXPECT_GT(Util::GetAvailableDiskSize(), 0u);
}

TEST(EngineLogging, TagsLinesDropsDebugAndSendsReportsBare) {
  std::mutex m;
  std::vector<std::string> reports;
  VornLogger::setReportHandler([&](const std::string& query, const std::optional<TavloCookies>& cookies) {
    std::lock_guard lock(m);
    reports.push_back(query + (cookies ? "+cookies" : ""));
  });
  OBD_LOG_INFO("engine info %u %s", 42u, "x");
  OBD_LOG_ERROR("engine error");
  OBD_LOG_DEBUG("engine debug line");
  loggingWrapper(__FILE__, __func__, __LINE__, 7, "engine level seven");
  OBD_LOG_REPORT("gc=%u&tp=%u", 1234u, 12u);
  const std::string log = enginetest::logText();
  VornLogger::setReportHandler(nullptr);

  EXPECT_NE(log.find("[INFO] [OBD] engine info 42 x\n"), std::string::npos);
  EXPECT_NE(log.find("***["), std::string::npos);
  EXPECT_NE(log.find("[ERROR] [OBD] engine error\n"), std::string::npos);
  EXPECT_EQ(log.find("engine debug line"), std::string::npos);
  EXPECT_EQ(log.find("engine level seven"), std::string::npos);
  EXPECT_EQ(log.find("gc=1234"), std::string::npos);
  std::lock_guard lock(m);
  EXPECT_EQ(reports, std::vector<std::string>{"gc=1234&tp=12"});
}

TEST(WorkInfo, InstalledCheckLooksAtTheExecutable) {
  TempRoot root;
  const std::string target = root.path() + "/T";
  WorkInfo bundle(5, "", "http://x", "live", target, "Game.app", "");
  EXPECT_EQ(bundle.GetExecutablePath(), target + "/Game.app/Contents/MacOS/Game");
  EXPECT_FALSE(bundle.IsGameInstalled());
  testsupport::writeFile(target + "/Game.app/Contents/MacOS/Game", "x");
  EXPECT_TRUE(bundle.IsGameInstalled());
  EXPECT_GE(enginetest::logCount("check file exists, path=" + target + "/Game.app/Contents/MacOS/Game, result=true"), 1);

  WorkInfo plain(5, "", "http://x", "live", target, "run.bin", "");
  EXPECT_EQ(plain.GetExecutablePath(), target + "/run.bin");
  EXPECT_FALSE(plain.IsGameInstalled());
  fs::create_directories(target + "/run.bin");  // a folder counts too
  EXPECT_TRUE(plain.IsGameInstalled());

  const int before = enginetest::logCount("Check Game Installed Fail - Invalid Gamecode");
  WorkInfo invalid(0, "", "http://x", "live", target, "run.bin", "");
  EXPECT_FALSE(invalid.IsGameInstalled());
  EXPECT_EQ(enginetest::logCount("Check Game Installed Fail - Invalid Gamecode"), before + 1);
}

TEST(WorkInfo, EnabledOnlyWithALiveManifestName) {
  WorkInfo off(5, "", "http://x", "", "/T", "g", "");
  EXPECT_FALSE(off.SetWorkInfo());
  EXPECT_FALSE(off.manifest_controller.IsAvailable());
  WorkInfo on(5, "tag", "http://x", "live-1", "/T", "g", "");
  EXPECT_TRUE(on.SetWorkInfo());
  EXPECT_TRUE(on.manifest_controller.IsAvailable());
  EXPECT_EQ(on.manifest_controller.GetGameCode(), 5u);
  EXPECT_EQ(on.manifest_controller.GetLiveManifest().GetName(), "live-1");
  EXPECT_GE(enginetest::logCount("[OBD] OBD Set Enabled"), 1);
}
