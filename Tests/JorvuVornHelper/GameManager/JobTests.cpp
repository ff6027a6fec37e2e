// Whole jobs against the local publisher on 127.0.0.1: installs and patches
// of sources made by the source packer, with faults on the way.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDInstaller.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDPatcher.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/JorvuVornHelper/GameManager/JobTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/WaitUntil.hpp"

namespace fs = std::filesystem;
using jobtest::kBlock;
using testsupport::readFileOrEmpty;
using testsupport::writeFile;

namespace {

using jobtest::Child;
using jobtest::JobTest;
using jobtest::kCode;
using jobtest::releaseOne;
using jobtest::releaseTwo;
using jobtest::spawnObd;
using jobtest::waitExit;

TEST_F(JobTest, FreshInstallReproducesTheSourceByteForByte) {
  publish("r1", releaseOne());
  writeFile(target + "/stray/left-over.txt", "from before");  // a fresh install clears the folder first
  auto w = work("r1");
  w->clean_install = false;  // as an earlier resumed setup left it: a fresh start sets it again
  ASSERT_TRUE(install(*w)) << jobtest::triple(w->progress_info_manager);

  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  // Every object fetched exactly once.
  const auto objects = jobtest::objectFiles(srcDir());
  for (const std::string& object : objects) EXPECT_EQ(pub->requestCount("/src/" + object), 1u) << object;

  ProgressInfoManager::ProgressInfo progress;
  w->progress_info_manager.GetProgressInfo(&progress);
  EXPECT_EQ(progress.operationType, 11000u);
  EXPECT_EQ(progress.currentSize, progress.totalSize);
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "0/0/0");

  // The finished install's local manifest: the release, no resume path, and
  // the empty file recorded with the hash of no objects.
  OBDManifestController check;
  check.Enable(kCode, "r1");
  EXPECT_FALSE(check.NeedToResume(kCode, target));
  EXPECT_FALSE(check.NeedToPatch(kCode, target));
  ASSERT_TRUE(check.ParseLocalContents());
  const std::string emptyKey = obd::utils::Base64Encode("empty.dat");
  ASSERT_TRUE(check.GetLocalManifest().HasFile(emptyKey));
  const rapidjson::Value* entry = check.GetLocalManifest().GetContents().FindFile(emptyKey);
  EXPECT_STREQ((*entry)["hash"].GetString(), OBDManifest::GetHash("", 0).c_str());
}

TEST_F(JobTest, PatchWithDeltasReproducesTheNewReleaseAndDropsRemovedFiles) {
  publish("r1", releaseOne());
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  publish("r2", releaseTwo(), "r1", "r1");
  ASSERT_FALSE(jobtest::objectFiles(srcDir(), ".zqdelta").empty());

  const std::string gameKey = obd::utils::Base64Encode("Game.app/Contents/MacOS/Game");
  auto gameFullObjectRequests = [&] {
    std::size_t n = 0;
    for (const std::string& object : jobtest::objectFiles(srcDir(), ".zqgz")) {
      if (object.rfind(gameKey + ".", 0) == 0) n += pub->requestCount("/src/" + object);
    }
    return n;
  };
  const std::size_t gameBefore = gameFullObjectRequests();

  auto w = work("r2");
  ASSERT_TRUE(patch(*w)) << jobtest::triple(w->progress_info_manager);
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "");
  EXPECT_FALSE(fs::exists(target + "/docs/old"));  // emptied folder removed too

  // The changed game file came as deltas, none of its full objects.
  EXPECT_GT(jobtest::objectRequests(*pub, "/src", srcDir(), ".zqdelta"), 0u);
  EXPECT_EQ(gameFullObjectRequests(), gameBefore);

  ProgressInfoManager::ErrorInfo error;
  w->progress_info_manager.GetErrorInfo(&error);
  EXPECT_EQ(error.errorCode, 0);
  EXPECT_EQ(error.errorOperation, 10000u);

  // Nothing left to fetch: done at once, nothing requested.
  const std::size_t before = jobtest::objectRequests(*pub, "/src", srcDir());
  auto again = work("r2");
  EXPECT_TRUE(patch(*again));
  EXPECT_EQ(jobtest::objectRequests(*pub, "/src", srcDir()), before);

  // An install after the patch does not use the patch's deltas.
  OBDInstaller installer(w.get());
  EXPECT_TRUE(installer.Setup());
  EXPECT_EQ(w->manifest_controller.GetLiveManifest().GetDiffs().FileCount(), 0u);
}

// A release that names "x" and "x.zqgz", "y", "y.zqdelta" and "y.zqgz": the
// temp files of x and y take other names, in an install and in a patch
// with deltas, and the release's own files stay byte for byte; a temp file
// left under x's other name by a try cut short is x's, and goes with its
// next change.
TEST_F(JobTest, FilesNamedLikeAnotherFilesTempFileAreTheReleasesOwn) {
  const std::string y = enginetest::repeatBytes(kBlock + 100, 4);
  std::map<std::string, std::string> one{{"Game.app/Contents/MacOS/Game", "game"},
                                         {"x", "x one"},
                                         {"x.zqgz", "the release's x.zqgz"},
                                         {"y", y},
                                         {"y.zqdelta", "the release's y.zqdelta"},
                                         {"y.zqgz", "the release's y.zqgz"}};
  publish("r1", one);
  // Both installs: the order in which x and x.zqgz are written varies.
  for (int n = 0; n < 2; ++n) {
    if (n > 0) fs::remove_all(target);
    auto w = work("r1");
    ASSERT_TRUE(install(*w)) << jobtest::triple(w->progress_info_manager);
    EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  }

  auto two = one;
  two["x"] = "x two";
  two["y"] = y + "more";
  publish("r2", two, "r1", "r1");
  auto w = work("r2");
  ASSERT_TRUE(patch(*w)) << jobtest::triple(w->progress_info_manager);
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "");
  EXPECT_GT(jobtest::objectRequests(*pub, "/src", srcDir(), ".zqdelta"), 0u);

  // The temp file of x under its other name, as a try cut short leaves it.
  testsupport::writeFile(target + "/x.~.zqgz", "left");
  auto three = two;
  three["x"] = "x three";
  publish("r3", three);
  auto w3 = work("r3");
  ASSERT_TRUE(patch(*w3)) << jobtest::triple(w3->progress_info_manager);
  EXPECT_EQ(jobtest::diffTrees(tree("r3"), target), "");
}

TEST_F(JobTest, DownloadThreadsShareAHandfulOfConnections) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 60; ++i) {
    files["Game.app/Contents/Resources/f" + std::to_string(i)] = enginetest::repeatBytes(1000 + i, i);
  }
  publish("many", files);
  enginetest::FileServer server(pubRoot);
  server.server().set_keep_alive_max_count(1000);
  auto w = jobtest::makeWork(kCode, server.url() + "/src", "many", target, "Game.app");
  ASSERT_TRUE(install(*w)) << jobtest::triple(w->progress_info_manager);
  EXPECT_EQ(jobtest::diffTrees(tree("many"), target), "");
  // One for the manifest, and one for each transfer a download thread keeps in flight.
  EXPECT_LE(server.connections(), 1u + 2u * OBDWorker::kTransfersPerThread);
}

TEST_F(JobTest, PatchThatOnlyDropsFilesRemovesThem) {
  publish("r1", releaseOne());
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  auto files = releaseOne();
  files.erase("docs/old/notes.txt");
  publish("r3", files, "r1", "r1");
  const std::size_t before = jobtest::objectRequests(*pub, "/src", srcDir());

  auto w = work("r3");
  ASSERT_TRUE(patch(*w)) << jobtest::triple(w->progress_info_manager);
  EXPECT_EQ(jobtest::objectRequests(*pub, "/src", srcDir()), before);  // nothing to fetch
  EXPECT_EQ(jobtest::diffTrees(tree("r3"), target), "");
  EXPECT_FALSE(fs::exists(target + "/docs/old"));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "0/0/0");

  // The local manifest no longer lists the dropped file.
  OBDManifestController check;
  check.Enable(kCode, "r3");
  EXPECT_FALSE(check.NeedToPatch(kCode, target));
  ASSERT_TRUE(check.ParseLocalContents());
  EXPECT_FALSE(check.GetLocalManifest().HasFile(obd::utils::Base64Encode("docs/old/notes.txt")));
}

TEST_F(JobTest, PatchRebuildsALostLocalManifestAndCleansUpUnknownFiles) {
  publish("r1", releaseOne());
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  publish("r2", releaseTwo());
  fs::remove(OBDManifestController::LocalManifestPath(kCode, target));
  writeFile(target + "/junk/deep/x.txt", "unknown to every release");
  // Links are neither walked nor deleted through.
  writeFile(root.path() + "/outside/keep.txt", "not the game's");
  fs::create_symlink(root.path() + "/outside", target + "/linkdir");

  auto w = work("r2");
  ASSERT_TRUE(patch(*w)) << jobtest::triple(w->progress_info_manager);
  EXPECT_FALSE(fs::exists(target + "/junk"));
  EXPECT_EQ(readFileOrEmpty(root.path() + "/outside/keep.txt"), "not the game's");
  fs::remove(target + "/linkdir");
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "");
  // The unchanged files were recognised from their bytes.
  EXPECT_EQ(pub->requestCount(objectPath("docs/readme.txt", 0)), 1u);
}

// A FIFO or a folder where the local manifest file belongs is an
// unreadable local manifest: the patch rebuilds it from the installed
// files, never waits on the path, and says so when it cannot save there.
TEST_F(JobTest, ALocalManifestPathThatIsNoFileIsAnUnreadableManifest) {
  publish("r1", releaseOne());
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  const std::string manifest = OBDManifestController::LocalManifestPath(kCode, target);

  fs::remove(manifest);
  ASSERT_EQ(::mkfifo(manifest.c_str(), 0644), 0);
  auto w = work("r1");
  auto job = std::async(std::launch::async, [&] { return patch(*w); });
  const bool ended = job.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!ended) ::close(::open(manifest.c_str(), O_WRONLY | O_NONBLOCK));  // lets a reader that waits go
  ASSERT_TRUE(ended) << "the patch waited on the FIFO";
  EXPECT_TRUE(job.get()) << jobtest::triple(w->progress_info_manager);
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  EXPECT_TRUE(fs::is_regular_file(manifest));  // the save took the FIFO's place

  // A folder there: the patch does its work, but its record cannot be
  // saved, so it is not done.
  fs::remove(manifest);
  fs::create_directory(manifest);
  auto again = work("r1");
  EXPECT_FALSE(patch(*again));
  EXPECT_EQ(jobtest::triple(again->progress_info_manager), "-70/103/" + std::to_string(EISDIR));
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  EXPECT_TRUE(fs::is_directory(manifest));
  EXPECT_EQ(enginetest::logCount("Save Local Manifest Failed : " + manifest), 1);
}

TEST_F(JobTest, CleanUpNeverDeletesThroughALink) {
  auto w = work("r1");
  OBDManifestController& c = w->manifest_controller;
  writeFile(root.path() + "/outside/victim.txt", "keep");
  fs::create_directories(target);
  fs::create_symlink(root.path() + "/outside", target + "/linkdir");
  writeFile(target + "/a/b/stray.txt", "gone");
  c.InsertEmptyFileInLocal(obd::utils::Base64Encode("linkdir/victim.txt"));
  c.InsertEmptyFileInLocal(obd::utils::Base64Encode("a/b/stray.txt"));
  OBDWorker worker(c, w->progress_info_manager);
  worker.DeleteDisappearedLocal(target);
  EXPECT_EQ(readFileOrEmpty(root.path() + "/outside/victim.txt"), "keep");
  EXPECT_FALSE(fs::exists(target + "/a"));
  EXPECT_FALSE(c.GetLocalManifest().HasFile(obd::utils::Base64Encode("a/b/stray.txt")));
}

TEST_F(JobTest, CleanUpKeepsEveryPathTheReleaseNamesUnderAnotherKey) {
  auto w = work("r1");
  OBDManifestController& c = w->manifest_controller;
  c.GetLiveManifest().InsertEmptyFile(obd::utils::Base64Encode("Data\\x.bin"));
  writeFile(target + "/Data/x.bin", "the release's");
  writeFile(target + "/stray.txt", "gone");
  for (const char* relative : {"Data/x.bin", "Data", "stray.txt"}) {
    c.InsertEmptyFileInLocal(obd::utils::Base64Encode(relative));
  }
  OBDWorker worker(c, w->progress_info_manager);
  worker.DeleteDisappearedLocal(target);
  EXPECT_EQ(readFileOrEmpty(target + "/Data/x.bin"), "the release's");
  EXPECT_FALSE(fs::exists(target + "/stray.txt"));
  EXPECT_EQ(c.GetLocalManifest().GetContents().FileCount(), 0u);  // the old keys go all the same
}

// The sweep after a success takes temp files of the engine's naming and the
// folders only they kept; a file the release names with such a name, any
// other file, an empty folder of the game's own and whatever lies behind a
// link stay.
TEST_F(JobTest, LeftoverSweepTakesOnlyTempFilesAndTheFoldersTheyKept) {
  auto w = work("r1");
  OBDManifestController& c = w->manifest_controller;
  c.GetLiveManifest().InsertEmptyFile(obd::utils::Base64Encode("Data/pack.zqdelta"));
  writeFile(target + "/Data/pack.zqdelta", "the release's");
  writeFile(target + "/Data/x.bin.zqgz", "left");
  writeFile(target + "/old/a/b/y.bin.zqdelta", "left");
  writeFile(target + "/keep.txt", "kept");
  fs::create_directories(target + "/empty/deeper");
  writeFile(root.path() + "/outside/z.zqgz", "outside");
  fs::create_directory_symlink(root.path() + "/outside", target + "/linked");
  OBDWorker worker(c, w->progress_info_manager);
  worker.RemoveLeftovers(target);
  EXPECT_EQ(readFileOrEmpty(target + "/Data/pack.zqdelta"), "the release's");
  EXPECT_FALSE(fs::exists(target + "/Data/x.bin.zqgz"));
  EXPECT_FALSE(fs::exists(target + "/old"));
  EXPECT_TRUE(fs::is_directory(target + "/empty/deeper"));  // not the sweep's to judge
  EXPECT_EQ(readFileOrEmpty(target + "/keep.txt"), "kept");
  EXPECT_EQ(readFileOrEmpty(root.path() + "/outside/z.zqgz"), "outside");
  EXPECT_TRUE(fs::is_symlink(target + "/linked"));
}

TEST_F(JobTest, ComparisonFailureIsNotDone) {
  const std::string key = obd::utils::Base64Encode("f");
  writeFile(srcDir() + "/bad", "{\"files\":{\"" + key +
                                   "\":{\"hash\":\"\",\"uncompressed_size\":0}},\"version\":\"1.0\","
                                   "\"total_uncompressed_size\":0}");
  fs::create_directories(target);
  auto w = work("bad", "run.bin");
  EXPECT_FALSE(patch(*w));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-70/935/0");
}

TEST_F(JobTest, CorruptObjectEndsInItsErrorAndLeavesNoCorruptFile) {
  publish("r1", releaseOne());
  const std::string pristine = root.path() + "/pristine";
  fs::copy(srcDir(), pristine, fs::copy_options::recursive);
  const std::string relative = "Game.app/Contents/MacOS/Game";
  const std::string object = jobtest::objectFileOf(srcDir(), relative, 1);
  const std::string block = releaseOne()[relative].substr(kBlock, kBlock);
  const std::string good = readFileOrEmpty(pristine + "/" + object);

  struct Case {
    const char* name;
    std::string bytes;
    const char* triple;
  };
  const std::vector<Case> cases = {
      {"bad hash", jobtest::zlibCompress(enginetest::repeatBytes(kBlock, 99)), "-70/931/0"},
      {"truncated stream", good.substr(0, good.size() - 10), "-70/301/0"},
      {"one byte too long", jobtest::zlibCompress(block + "x"), "-70/301/0"},
  };
  for (const Case& c : cases) {
    fs::remove_all(target);
    writeFile(srcDir() + "/" + object, c.bytes);
    auto w = work("r1");
    EXPECT_FALSE(install(*w)) << c.name;
    EXPECT_EQ(jobtest::triple(w->progress_info_manager), c.triple) << c.name;
    EXPECT_FALSE(fs::exists(target + "/" + relative)) << c.name;
  }

  // A patch whose delta is corrupt leaves the installed file as it was.
  writeFile(srcDir() + "/" + object, good);
  fs::remove_all(target);
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  publish("r2", releaseTwo(), "r1", "r1");
  for (const std::string& delta : jobtest::objectFiles(srcDir(), ".zqdelta")) {
    writeFile(srcDir() + "/" + delta, jobtest::zlibCompress("not the delta"));
  }
  auto w = work("r2");
  EXPECT_FALSE(patch(*w));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-70/931/0");
  EXPECT_TRUE(readFileOrEmpty(target + "/" + relative) == releaseOne()[relative]);
}

TEST_F(JobTest, ObjectThatFailsFourTimesIsDeliveredOnceAndFiveFailuresStopTheJob) {
  publish("r1", releaseOne());
  const std::string path = objectPath("Game.app/Contents/MacOS/Game", 1);
  const std::string name = path.substr(5);
  pub->setFault(path, publisher::Fault::failTimes(4, 503, ""));
  const int logged = enginetest::logCount(name + " download fail : ");
  auto w = work("r1");
  ASSERT_TRUE(install(*w)) << jobtest::triple(w->progress_info_manager);
  EXPECT_EQ(pub->requestCount(path), 5u);
  EXPECT_EQ(enginetest::logCount(name + " download fail : "), logged + 4);
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");

  fs::remove_all(target);
  pub->setFault(path, publisher::Fault::failTimes(5, 404, ""));
  auto w2 = work("r1");
  EXPECT_FALSE(install(*w2));
  EXPECT_EQ(jobtest::triple(w2->progress_info_manager), "-60/917/0");
  EXPECT_EQ(pub->requestCount(path), 10u);
  EXPECT_FALSE(fs::exists(target + "/Game.app/Contents/MacOS/Game"));
}

TEST_F(JobTest, CancelEndsAStalledTransferAndARetryWaitPromptly) {
  publish("r1", releaseOne());
  const std::string stalled = objectPath("Game.app/Contents/MacOS/Game", 1);
  pub->setFault(stalled, publisher::Fault::stall(std::chrono::milliseconds(0), 1000));
  const std::string failing = objectPath("Game.app/Contents/MacOS/Game", 2);
  pub->setFault(failing, publisher::Fault::respond(500, ""));

  auto w = work("r1");
  OBDWaits waits;  // the real three seconds between tries
  auto job = std::async(std::launch::async, [&] { return install(*w, waits); });
  ASSERT_TRUE(pub->waitForRequests(stalled, 1, std::chrono::seconds(20)));
  ASSERT_TRUE(pub->waitForRequests(failing, 1, std::chrono::seconds(20)));
  const auto start = std::chrono::steady_clock::now();
  w->progress_info_manager.Cancel();
  ASSERT_EQ(job.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(job.get());
  EXPECT_LT(took, std::chrono::milliseconds(2500));
  EXPECT_EQ(pub->requestCount(failing), 1u);  // no further try after the cancel
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "0/0/0");  // a cancel is no download failure
}

TEST_F(JobTest, FullDiskIsALackOfSpace) {
  jobtest::TmpfsMount disk(root / "/Library/Application Support/Jorvu", 2 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  publish("r1", releaseOne());
  auto w = work("r1");
  EXPECT_FALSE(install(*w));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-61/933/28");
  EXPECT_FALSE(fs::exists(target + "/Game.app/Contents/MacOS/Game"));
}

// The save a patch makes before it changes the game's folder fails on a
// full disk: the patch stops there, and the older local manifest file,
// whose claims still hold, stays.
// A patch that fetches files, or one that only drops files, on a full disk.
class FullDiskPatchTest : public JobTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FullDiskPatchTest, APatchThatCannotSaveBeforeItChangesFilesChangesNone) {
  jobtest::TmpfsMount disk(root / "/Library/Application Support/Jorvu", 16 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  publish("r1", releaseOne());
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  auto dropping = releaseOne();
  dropping.erase("docs/old/notes.txt");
  publish("r2", GetParam() ? dropping : releaseTwo());
  const std::string manifest = OBDManifestController::LocalManifestPath(kCode, target);
  const std::string saved = readFileOrEmpty(manifest);
  {
    std::ofstream filler(root / "/Library/Application Support/Jorvu/filler", std::ios::binary);
    const std::string chunk(65536, 'f');
    while (filler.write(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
      filler.flush();
    }
  }
  auto w = work("r2");
  EXPECT_FALSE(patch(*w));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-70/103/28");
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  EXPECT_EQ(readFileOrEmpty(manifest), saved);
}

INSTANTIATE_TEST_SUITE_P(Releases, FullDiskPatchTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OnlyDropsFiles" : "FetchesFiles"; });

TEST_F(JobTest, FreeSpaceOneByteShortGivesTheCapacityText) {
  const std::string volume = root.path() + "/vol";
  jobtest::TmpfsMount disk(volume, 8 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  jobtest::ScopedEnv env("JORVU_ROOT", volume);
  auto manifest = [&](std::uint64_t total) {
    writeFile(srcDir() + "/cap", "{\"files\":{\"ZQ==\":{\"objects\":{},\"hash\":\"\",\"uncompressed_size\":0}},"
                                 "\"version\":\"1.0\",\"total_uncompressed_size\":" + std::to_string(total) + "}");
  };
  // A live total whose 1.1 times, truncated, is one byte above the free space.
  std::uint64_t free = 0;
  std::uint64_t total = 0;
  for (int attempt = 0; attempt < 8 && total == 0; ++attempt) {
    writeFile(volume + "/filler" + std::to_string(attempt), std::string(4096, 'f'));
    free = Util::GetAvailableDiskSize();
    const auto guess = static_cast<std::uint64_t>(static_cast<double>(free + 1) / 1.1);
    for (std::uint64_t t = guess - 3; t <= guess + 3; ++t) {
      if (static_cast<std::uint64_t>(static_cast<double>(t) * 1.1) == free + 1) total = t;
    }
  }
  ASSERT_NE(total, 0u);
  manifest(total);
  auto w = jobtest::makeWork(kCode, sourceURL(), "cap", volume + "/Game", "run.bin");
  OBDInstaller installer(w.get());
  EXPECT_FALSE(installer.Setup());
  ProgressInfoManager::ErrorInfo error;
  w->progress_info_manager.GetErrorInfo(&error);
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-61/933/0");
  const std::string text = "{\\\"total\\\": " + std::to_string(free) + ", \\\"require\\\": " +
                           std::to_string(free + 1) + ", \\\"status\\\": 1}";
  EXPECT_NE(MakeErrorInfoJson(error).find("\"errorMessage\": \"" + text + "\"}"), std::string::npos)
      << MakeErrorInfoJson(error);
  EXPECT_EQ(enginetest::logCount("Need More Capacity, {\"total\": " + std::to_string(free) + ", \"require\": " +
                                 std::to_string(free + 1) + ", \"status\": 1}"),
            1);

  // Exactly enough is enough.
  std::uint64_t fits = total;
  while (static_cast<std::uint64_t>(static_cast<double>(fits) * 1.1) > free) --fits;
  manifest(fits);
  auto w2 = jobtest::makeWork(kCode, sourceURL(), "cap", volume + "/Game", "run.bin");
  OBDInstaller installer2(w2.get());
  EXPECT_TRUE(installer2.Setup());
}

TEST_F(JobTest, FreshInstallNeverClearsATargetThatIsNotBelowTheInstallRoot) {
  publish("r1", releaseOne());
  writeFile(target + "/keep.txt", "not the engine's to delete");
  auto w = work("r1");
  OBDInstaller installer(w.get());
  installer.SetWaits(jobtest::fastWaits());
  installer.SetInstallRoot(target);
  ASSERT_TRUE(installer.Install());
  EXPECT_EQ(readFileOrEmpty(target + "/keep.txt"), "not the engine's to delete");
  fs::remove(target + "/keep.txt");
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
}

TEST_F(JobTest, PatchLackingSpaceGivesTheCapacityTextOfAPatch) {
  publish("r1", releaseOne());
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  publish("r2", releaseTwo());
  const std::string volume = root.path() + "/vol";
  jobtest::TmpfsMount disk(volume, 1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  jobtest::ScopedEnv env("JORVU_ROOT", volume);
  const std::uint64_t free = Util::GetAvailableDiskSize();
  auto two = releaseTwo();
  const std::uint64_t require =
      two["Game.app/Contents/MacOS/Game"].size() + two["Game.app/Contents/Resources/data.pak"].size() +
      two["docs/new.txt"].size();
  auto w = work("r2");
  EXPECT_FALSE(patch(*w));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-61/933/0");
  ProgressInfoManager::ErrorInfo error;
  w->progress_info_manager.GetErrorInfo(&error);
  EXPECT_EQ(error.errorMessage, MakeCapacityMessage(free, require, 2));
  // Nothing was touched, and the next decision is a patch again.
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  OBDManifestController check;
  check.Enable(kCode, "r2");
  EXPECT_TRUE(check.NeedToPatch(kCode, target));
}

TEST(OBDInstallerTest, OnlyATargetStrictlyBelowTheRootIsEverCleared) {
  struct Case {
    const char* path;
    const char* root;
    bool below;
  };
  const Case cases[] = {
      {"/L/Jorvu/Game", "/L/Jorvu", true},     {"/L/Jorvu/Game/", "/L/Jorvu/", true},
      {"/L/Jorvu", "/L/Jorvu", false},         {"/L/Jorvu/", "/L/Jorvu", false},
      {"/L/Jorvu/..", "/L/Jorvu", false},      {"/L/Jorvu/../etc", "/L/Jorvu", false},
      {"/L/Jorvu/./Game", "/L/Jorvu", false},  {"/L/JorvuX/Game", "/L/Jorvu", false},
      {"/L", "/L/Jorvu", false},               {"", "/L/Jorvu", false},
      {"L/Jorvu/Game", "L/Jorvu", false},      {"/Game", "/", true},
  };
  for (const Case& c : cases) EXPECT_EQ(OBDInstaller::IsStrictlyBelow(c.path, c.root), c.below) << c.path;
}

// ---- jorvu-obd as a real process ----

TEST_F(JobTest, ObdKilledMidInstallResumesAndFetchesOnlyWhatWasMissing) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 56; ++i) {
    files["Game.app/Contents/Resources/part" + std::to_string(100 + i)] = enginetest::repeatBytes(50000 + i, i);
  }
  files["Game.app/Contents/MacOS/Game"] = enginetest::repeatBytes(kBlock + 10, 77);
  publish("r1", files);
  const std::size_t objects = jobtest::objectFiles(srcDir()).size();
  ASSERT_EQ(objects, 58u);
  pub->setFault("/src/", publisher::Fault::stall(std::chrono::milliseconds(300)));

  const std::vector<std::string> args = {"install", "--source", sourceURL(), "--manifest", "r1", "--target", target,
                                         "--code", std::to_string(kCode), "--exe", "Game.app"};
  Child first = spawnObd(args, root.path() + "/first.txt");
  ASSERT_GT(first.pid, 0);
  // Killed once its saved progress records a good part, with objects still to go.
  auto recordedObjects = [&] {
    std::string header;
    std::string contents;
    OBDManifest::Contents saved;
    if (!OBDManifestController::ReadLocalContents(kCode, target, header, contents) ||
        !OBDManifest::ParseContentsCore(contents, saved)) {
      return std::size_t{0};
    }
    std::size_t n = 0;
    for (auto m = saved.Files().MemberBegin(); m != saved.Files().MemberEnd(); ++m) n += m->value["objects"].MemberCount();
    return n;
  };
  testsupport::waitUntil([&] { return recordedObjects() > 10; }, std::chrono::seconds(60));
  ::kill(first.pid, SIGKILL);
  EXPECT_EQ(waitExit(first.pid), 128 + SIGKILL);
  const std::size_t firstRequests = jobtest::objectRequests(*pub, "/src", srcDir());
  ASSERT_LT(firstRequests, objects);

  // What the saved progress says is still missing.
  std::string header;
  std::string contents;
  ASSERT_TRUE(OBDManifestController::ReadLocalContents(kCode, target, header, contents));
  OBDManifest::Contents local;
  ASSERT_TRUE(OBDManifest::ParseContentsCore(contents, local));
  OBDManifest::Contents live;
  ASSERT_TRUE(OBDManifest::ParseContentsCore(readFileOrEmpty(srcDir() + "/r1"), live));
  std::size_t missing = 0;
  for (const auto& [relative, bytes] : files) {
    const std::string key = obd::utils::Base64Encode(relative);
    const rapidjson::Value* liveEntry = live.FindFile(key);
    const rapidjson::Value* localEntry = local.FindFile(key);
    const rapidjson::Value& liveObjects = (*liveEntry)["objects"];
    std::size_t want = liveObjects.MemberCount();
    if (localEntry != nullptr) {
      const std::string hash = (*localEntry)["hash"].GetString();
      if (!hash.empty() && hash == (*liveEntry)["hash"].GetString()) {
        want = 0;
      } else if (hash.empty() && fs::exists(target + "/" + relative + ".zqgz")) {
        for (auto m = liveObjects.MemberBegin(); m != liveObjects.MemberEnd(); ++m) {
          const rapidjson::Value& recorded = (*localEntry)["objects"];
          auto r = recorded.FindMember(m->name);
          if (r != recorded.MemberEnd() && r->value == m->value) --want;
        }
      }
    }
    missing += want;
  }
  EXPECT_GT(objects - missing, 10u) << "the saved progress records little";
  EXPECT_GT(missing, 0u);

  pub->clearFaults();
  Child second = spawnObd(args, root.path() + "/second.txt");
  ASSERT_GT(second.pid, 0);
  EXPECT_EQ(waitExit(second.pid), 0) << readFileOrEmpty(second.out);
  const std::string out = readFileOrEmpty(second.out);
  EXPECT_NE(out.find("work mode: 4\n"), std::string::npos) << out;
  EXPECT_NE(out.find("error: 0/0/0\n"), std::string::npos) << out;
  EXPECT_EQ(jobtest::objectRequests(*pub, "/src", srcDir()) - firstRequests, missing);
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  // Ready now: neither a resume nor a patch is asked for.
  OBDManifestController check;
  check.Enable(kCode, "r1");
  EXPECT_FALSE(check.NeedToResume(kCode, target));
  EXPECT_FALSE(check.NeedToPatch(kCode, target));
}

TEST_F(JobTest, ObdReportsFailureAndItsErrorTriple) {
  publish("r1", releaseOne());
  pub->setFault("/src/", publisher::Fault::respond(404, ""));
  Child child = spawnObd({"install", "--source", sourceURL(), "--manifest", "r1", "--target", target, "--code", "7",
                          "--exe", "Game.app"},
                         root.path() + "/out.txt");
  EXPECT_EQ(waitExit(child.pid), 1);
  const std::string out = readFileOrEmpty(child.out);
  EXPECT_NE(out.find("work mode: 6\n"), std::string::npos) << out;
  EXPECT_NE(out.find("error: -40/930/0\n"), std::string::npos) << out;
  Child bad = spawnObd({"install", "--source", sourceURL()}, root.path() + "/bad.txt");
  EXPECT_EQ(waitExit(bad.pid), 2);
}

}  // namespace
