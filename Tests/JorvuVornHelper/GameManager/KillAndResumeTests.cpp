// Jobs cut short and run again: a resumed job reads back what its record
// counts as written, and a job killed (SIGKILL) at chosen moments never ends
// a later run in success over a wrong file or tree, nor leaves a save's
// temporary file or a delta temp file behind. The kills use jorvu-obd-stops,
// which stops itself right after a chosen system call.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>

#include "JorvuVornHelper/GameManager/GameWorker/GameWorker.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/JorvuVornHelper/GameManager/JobTestSupport.hpp"
#include "Tests/Support/WaitUntil.hpp"

namespace fs = std::filesystem;
using jobtest::kBlock;
using jobtest::kCode;
using testsupport::readFileOrEmpty;

namespace {

const std::string kExecutable = "Game.app/Contents/MacOS/Game";

class ResumeTest : public jobtest::JobTest {
 protected:
  // The object file of object `index` of `relative` in release `name`.
  std::string objectOf(const std::string& name, const std::string& relative, int index) {
    OBDManifest::Contents contents;
    EXPECT_TRUE(OBDManifest::ParseContentsCore(readFileOrEmpty(srcDir() + "/" + name), contents));
    const std::string key = obd::utils::Base64Encode(relative);
    const rapidjson::Value* entry = contents.FindFile(key);
    if (entry == nullptr) return {};
    const std::string hash = (*entry)["objects"][std::to_string(index).c_str()].GetString();
    return "/src/" + key + "." + std::to_string(index) + "." + hash + ".zqgz";
  }

  // The objects the saved local manifest counts as written for the
  // unfinished executable; 0 when it is finished or not recorded.
  std::size_t savedUnfinishedObjects() {
    std::string header;
    std::string contents;
    if (!OBDManifestController::ReadLocalContents(kCode, target, header, contents)) return 0;
    OBDManifest::Contents local;
    if (!OBDManifest::ParseContentsCore(contents, local)) return 0;
    const rapidjson::Value* entry = local.FindFile(obd::utils::Base64Encode(kExecutable));
    if (entry == nullptr || (*entry)["hash"].GetStringLength() != 0) return 0;
    return (*entry)["objects"].MemberCount();
  }

  std::vector<std::string> saveLeftovers() {
    std::vector<std::string> found;
    const std::string prefix = "obd-manifest-" + std::to_string(kCode) + ".tmp";
    for (const auto& entry : fs::directory_iterator(target)) {
      if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path().filename());
    }
    return found;
  }
};

TEST_F(ResumeTest, ObjectsTheRecordCountsAreReadBackAndABadOneIsFetchedAgain) {
  std::map<std::string, std::string> files{{kExecutable, enginetest::repeatBytes(3 * kBlock + 10, 5)}};
  publish("r1", files);
  const std::string last = objectOf("r1", kExecutable, 3);
  pub->setFault(last, publisher::Fault::stall());

  // The first install is cancelled once the temp file holds the first
  // three objects; its saved record counts them.
  auto first = work("r1");
  auto job = std::async(std::launch::async, [&] { return install(*first); });
  const std::string temp = target + "/" + kExecutable + ".zqgz";
  const std::string expected = files[kExecutable].substr(0, 3 * kBlock);
  ASSERT_TRUE(testsupport::waitUntil([&] { return readFileOrEmpty(temp).substr(0, 3 * kBlock) == expected; },
                                     std::chrono::seconds(120)));
  first->progress_info_manager.Cancel();
  EXPECT_FALSE(job.get());
  ASSERT_EQ(savedUnfinishedObjects(), 3u);

  // Object 1's bytes in the temp file are lost.
  {
    std::fstream file(temp, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(kBlock + 100));
    file.write("lost", 4);
  }
  pub->clearFaults();
  auto second = work("r1");
  ASSERT_TRUE(install(*second)) << jobtest::triple(second->progress_info_manager);
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  EXPECT_EQ(pub->requestCount(objectOf("r1", kExecutable, 0)), 1u);
  EXPECT_EQ(pub->requestCount(objectOf("r1", kExecutable, 1)), 2u);
  EXPECT_EQ(pub->requestCount(objectOf("r1", kExecutable, 2)), 1u);
}

// Runs of jorvu-obd against the local publisher, some of them killed
// (SIGKILL) at a chosen moment.
class ObdRunTest : public ResumeTest {
 protected:
  std::vector<std::string> args(const std::string& mode, const std::string& release) const {
    return {mode,     "--source", sourceURL(), "--manifest", release, "--target", target,
            "--code", std::to_string(kCode), "--exe", "Game.app"};
  }

  // Runs the job until it stops after `stop` (JORVU_STOP_AFTER), doing
  // `meanwhile` first, then kills it.
  void killAt(const std::string& mode, const std::string& release, const std::string& stop,
              const std::function<void()>& meanwhile = {}) {
    const std::string out = root.path() + "/run" + std::to_string(++runs_) + ".txt";
    const jobtest::Child child =
        jobtest::spawnObd(args(mode, release), out, {{"JORVU_STOP_AFTER", stop}}, "jorvu-obd-stops");
    ASSERT_GT(child.pid, 0);
    if (meanwhile) meanwhile();
    siginfo_t info{};
    const bool ended = testsupport::waitUntil(
        [&] {
          info = {};
          return ::waitid(P_PID, child.pid, &info, WSTOPPED | WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
        },
        std::chrono::seconds(120));
    ::kill(child.pid, SIGKILL);
    jobtest::waitExit(child.pid);
    ASSERT_TRUE(ended && info.si_code == CLD_STOPPED) << "never stopped after " << stop << "\n" << readFileOrEmpty(out);
  }

  // Runs the job until `ready` holds, then kills it.
  void killWhen(const std::string& mode, const std::string& release, const std::function<bool()>& ready) {
    const std::string out = root.path() + "/run" + std::to_string(++runs_) + ".txt";
    const jobtest::Child child = jobtest::spawnObd(args(mode, release), out);
    ASSERT_GT(child.pid, 0);
    const bool reached = testsupport::waitUntil(ready, std::chrono::seconds(120));
    ::kill(child.pid, SIGKILL);
    jobtest::waitExit(child.pid);
    ASSERT_TRUE(reached) << readFileOrEmpty(out);
  }

  GameWorkerWrapperWorkMode decision(const std::string& release) {
    GameWorker worker(kCode, "", sourceURL(), release, target, "Game.app", "");
    return worker.GetWorkMode();
  }

  // Runs the job to its end: its exit code; its output in `out`.
  int run(const std::string& mode, const std::string& release, std::string& out) {
    const std::string file = root.path() + "/run" + std::to_string(++runs_) + ".txt";
    const jobtest::Child child = jobtest::spawnObd(args(mode, release), file);
    const int code = jobtest::waitExit(child.pid);
    out = readFileOrEmpty(child.out);
    return code;
  }

  int runs_ = 0;
};

// Install or patch, killed in turn: after the executable was moved into
// place but before a save recorded it finished; after the next run created
// its temp file afresh; in the middle of a save. The run after them must
// end in failure or in the release byte for byte.
class KillTest : public ObdRunTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(KillTest, ALaterRunNeverSucceedsOverAFileItHasNotChecked) {
  const bool patch = GetParam() == "patch";
  publish("r1", {{kExecutable, enginetest::repeatBytes(2 * kBlock + 1000, 1)}});
  std::string release = "r1";
  if (patch) {
    auto w = work("r1");
    ASSERT_TRUE(install(*w));
    publish("r2", {{kExecutable, enginetest::repeatBytes(2 * kBlock + 2000, 2)}});
    release = "r2";
  }

  // Killed once the executable is in place, while the saved record still
  // has it unfinished with objects written.
  pub->setFault(objectOf(release, kExecutable, 2), publisher::Fault::stall());
  killAt(GetParam(), release, "renameat Game", [&] {
    ASSERT_TRUE(testsupport::waitUntil([&] { return savedUnfinishedObjects() > 0; }, std::chrono::seconds(120)));
    pub->clearFaults();
  });
  ASSERT_GT(savedUnfinishedObjects(), 0u);
  ASSERT_FALSE(fs::exists(target + "/" + kExecutable + ".zqgz"));

  // The next run starts the file afresh and is killed as its temp file appears.
  killAt(GetParam(), release, "openat Game.zqgz");
  ASSERT_TRUE(fs::exists(target + "/" + kExecutable + ".zqgz"));

  // The next is killed in the middle of its first save.
  killAt(GetParam(), release, "mkostemp obd-manifest-" + std::to_string(kCode) + ".tmp");
  ASSERT_EQ(saveLeftovers().size(), 1u);
  // Another game's leftover and a name of another shape are not this save's.
  testsupport::writeFile(target + "/obd-manifest-77.tmpAbC123", "x");
  testsupport::writeFile(target + "/obd-manifest-" + std::to_string(kCode) + ".tmp-keep", "x");

  std::string out;
  const int code = run(GetParam(), release, out);
  if (code == 0) {
    EXPECT_EQ(jobtest::diffTrees(tree(release), target), "") << out;
  }
  EXPECT_EQ(code, 0) << out;  // the engine recovers from all of this
  EXPECT_EQ(saveLeftovers(), std::vector<std::string>{"obd-manifest-" + std::to_string(kCode) + ".tmp-keep"});
  EXPECT_TRUE(fs::exists(target + "/obd-manifest-77.tmpAbC123"));
}

INSTANTIATE_TEST_SUITE_P(Jobs, KillTest, ::testing::Values("install", "patch"));

// A patch killed once its delta temp file is whole and its first piece is
// recorded; the temp file then gets zeros past its end, as a crash can leave
// a length whose bytes never reached the disk. The zeros do not make a
// command stream: the next run drops the delta and still ends in the release.
TEST_F(ObdRunTest, ADeltaTempFileWithZerosPastItsEndIsDroppedAndTheNextRunSucceeds) {
  const std::string game = enginetest::repeatBytes(kBlock + 100, 1);
  publish("r1", {{kExecutable, game}, {"readme.txt", "one\n"}});
  auto w = work("r1");
  ASSERT_TRUE(install(*w));
  // A block of new bytes: a delta of two pieces.
  publish("r2", {{kExecutable, game + enginetest::repeatBytes(kBlock, 9)}, {"readme.txt", "one\n"}}, "r1", "r1");
  const std::string piecePrefix = obd::utils::Base64Encode(kExecutable) + ".1.";
  std::string lastPiece;
  for (const std::string& object : jobtest::objectFiles(srcDir(), ".zqdelta")) {
    if (object.starts_with(piecePrefix)) lastPiece = "/src/" + object;
  }
  ASSERT_FALSE(lastPiece.empty());
  pub->setFault(lastPiece, publisher::Fault::stall());
  killAt("patch", "r2", "openat Game.zqgz", [&] {
    ASSERT_TRUE(testsupport::waitUntil([&] { return savedUnfinishedObjects() > 0; }, std::chrono::seconds(120)));
    pub->clearFaults();
  });
  const std::string delta = target + "/" + kExecutable + ".zqdelta";
  ASSERT_TRUE(fs::exists(delta));
  fs::resize_file(delta, fs::file_size(delta) + 4096);

  std::string out;
  EXPECT_EQ(run("patch", "r2", out), 0) << out;
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "") << out;
}

// Patches killed as they start a temp file: a temp file of a new file in a
// folder of its own, then a delta temp file beside the executable. The
// live release then goes back to release 1 without one of its files, and
// the patch is killed in its clean-up, once the file's folder is emptied:
// after the next success none of it stays, but for an empty folder of the
// game's own.
TEST_F(ObdRunTest, NoTempFileOrEmptiedFolderStaysAfterASuccess) {
  const std::map<std::string, std::string> one = jobtest::releaseOne();
  publish("r1", one);
  auto w = work("r1");
  ASSERT_TRUE(install(*w));

  // The new file first: a run that fetched the executable again would take
  // its delta temp file with it.
  std::map<std::string, std::string> twoB = one;
  twoB["maps/one/map.bin"] = enginetest::repeatBytes(5000, 3);
  publish("r2b", twoB);
  killAt("patch", "r2b", "openat map.bin.zqgz");
  std::map<std::string, std::string> two = one;
  two[kExecutable] += "a longer end";
  publish("r2", two, "r1", "r1");
  killAt("patch", "r2", "openat Game.zqdelta");
  ASSERT_TRUE(fs::exists(target + "/" + kExecutable + ".zqdelta"));
  ASSERT_TRUE(fs::exists(target + "/maps/one/map.bin.zqgz"));

  std::map<std::string, std::string> three = one;
  three.erase("docs/old/notes.txt");
  publish("r3", three);
  killAt("patch", "r3", "remove notes.txt");
  ASSERT_TRUE(fs::is_empty(target + "/docs/old"));
  fs::create_directories(target + "/saves/empty");  // the game's own: it stays
  std::string out;
  EXPECT_EQ(run("patch", "r3", out), 0) << out;
  EXPECT_TRUE(fs::remove(target + "/saves/empty"));
  fs::remove(target + "/saves");
  EXPECT_EQ(jobtest::diffTrees(tree("r3"), target), "") << out;
}

// An install of release 1 killed once its executable and a.txt are in place
// and saved as finished, with z.bin still to come; then release 2, which
// changes a.txt and drops z.bin, resumed and killed right after it moves
// a.txt into place, before any save of its own; then release 1 live again.
// The run back must not take release 2's a.txt for release 1's. Release 2
// is another release, or release 1's name published anew.
class ResumedInstallTest : public ObdRunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ResumedInstallTest, AFileReplacedByAnInstallOfAnotherReleaseIsNeverLeftCalledFinished) {
  const std::map<std::string, std::string> one{{kExecutable, enginetest::repeatBytes(3000, 1)},
                                               {"a.txt", "one\n"},
                                               {"z.bin", enginetest::repeatBytes(5000, 2)}};
  publish("r1", one);
  // a.txt comes once the save after the executable's is due.
  pub->setFault(objectOf("r1", "a.txt", 0), publisher::Fault::stall(std::chrono::milliseconds(1500)));
  pub->setFault(objectOf("r1", "z.bin", 0), publisher::Fault::stall());
  killWhen("install", "r1", [&] { return jobtest::savedFinished(target, kExecutable) && jobtest::savedFinished(target, "a.txt"); });
  pub->clearFaults();

  const bool sameName = GetParam();
  const std::string release = sameName ? "r1" : "r2";
  fs::remove_all(tree(release));
  publish(release, {{kExecutable, one.at(kExecutable)}, {"a.txt", "two\n"}});
  EXPECT_EQ(decision(release), WorkMode::Install);
  killAt("install", release, "renameat a.txt");
  ASSERT_EQ(readFileOrEmpty(target + "/a.txt"), "two\n");

  fs::remove_all(tree("r1"));
  publish("r1", one);
  // Install, unless the install of release 2 started afresh and was killed
  // before any save of its own: then a patch rebuilds the records.
  const GameWorkerWrapperWorkMode mode = decision("r1");
  EXPECT_TRUE(mode == WorkMode::Install || (!sameName && mode == WorkMode::Patch)) << mode;
  std::string out;
  const int code = run(mode == WorkMode::Patch ? "patch" : "install", "r1", out);
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "") << out;
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(decision("r1"), WorkMode::Ready);
}

INSTANTIATE_TEST_SUITE_P(Releases, ResumedInstallTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "SameNamePublishedAnew" : "AnotherRelease"; });

// An install of release 1 killed with its files partly on disk, some of
// them not yet saved in the local manifest; release 2 drops their folder.
// The install of release 2 that the worker decides leaves release 2 alone.
TEST_F(ObdRunTest, AnInstallOverAnUnfinishedInstallOfAnotherReleaseLeavesNothingOfIt) {
  const std::map<std::string, std::string> one{{kExecutable, enginetest::repeatBytes(3000, 1)},
                                               {"keep.txt", "kept\n"},
                                               {"old/a.txt", "a\n"},
                                               {"old/b.txt", "b\n"},
                                               {"z.bin", enginetest::repeatBytes(5000, 2)}};
  publish("r1", one);
  pub->setFault(objectOf("r1", "z.bin", 0), publisher::Fault::stall());
  killWhen("install", "r1", [&] {
    return fs::exists(target + "/" + kExecutable) && fs::exists(target + "/old/a.txt") &&
           fs::exists(target + "/old/b.txt") && fs::exists(OBDManifestController::LocalManifestPath(kCode, target));
  });
  pub->clearFaults();

  publish("r2", {{kExecutable, one.at(kExecutable)}, {"keep.txt", "kept\n"}, {"z.bin", one.at("z.bin")}});
  EXPECT_EQ(decision("r2"), WorkMode::Install);
  std::string out;
  EXPECT_EQ(run("install", "r2", out), 0) << out;
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "") << out;
  EXPECT_EQ(decision("r2"), WorkMode::Ready);
}

// The same with no local manifest left to tell which release the files
// are of: the executable's bundle folder is there, the executable not yet.
TEST_F(ObdRunTest, AnInstallOverFilesThatNoLocalManifestDescribesStartsAfresh) {
  const std::map<std::string, std::string> one{{kExecutable, enginetest::repeatBytes(kBlock + 100, 1)},
                                               {"keep.txt", "kept\n"},
                                               {"old/a.txt", "a\n"}};
  publish("r1", one);
  pub->setFault(objectOf("r1", kExecutable, 1), publisher::Fault::stall());
  killWhen("install", "r1", [&] {
    return fs::exists(target + "/" + kExecutable + ".zqgz") && fs::exists(target + "/old/a.txt");
  });
  pub->clearFaults();
  fs::remove(OBDManifestController::LocalManifestPath(kCode, target));

  publish("r2", {{kExecutable, one.at(kExecutable)}, {"keep.txt", "kept\n"}});
  EXPECT_EQ(decision("r2"), WorkMode::Install);
  std::string out;
  EXPECT_EQ(run("install", "r2", out), 0) << out;
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "") << out;
}

// Release 1 names x and x.zqgz; release 2 changes x and drops x.zqgz. The
// patch to release 2, killed once x is in place, never took the installed
// x.zqgz for x's temp file: the patch back to release 1 finds it whole.
TEST_F(ObdRunTest, AnInstalledFileNamedLikeATempFileIsNoTempFileOfAReleaseThatDropsIt) {
  const std::map<std::string, std::string> one{{kExecutable, "game"}, {"x", "x one"}, {"x.zqgz", "installed"}};
  publish("r1", one);
  auto w = work("r1");
  ASSERT_TRUE(install(*w));
  publish("r2", {{kExecutable, "game"}, {"x", "x two"}});
  killAt("patch", "r2", "renameat x");
  ASSERT_EQ(readFileOrEmpty(target + "/x"), "x two");

  std::string out;
  EXPECT_EQ(run("patch", "r1", out), 0) << out;
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "") << out;
}

// A source whose keys spell the paths of its Data folder with "\" between
// the names (and, in the second case, every key without the Base64
// padding), installed by a run that is killed as its last step has removed
// the old local manifest file: the next runs patch, rebuilding the local
// manifest from the installed files, which the release names under other
// keys than the Base64 of their paths.
class SpelledKeysTest : public ObdRunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SpelledKeysTest, ALostLocalManifestIsRebuiltWithoutDeletingWhatTheReleaseHolds) {
  publish("r1", {{kExecutable, enginetest::repeatBytes(kBlock + 100, 1)},
                 {"Data/x.bin", enginetest::repeatBytes(5000, 2)},
                 {"Data/sub/y.bin", enginetest::repeatBytes(3000, 3)},
                 {"readme.txt", "read me\n"}});
  const bool unpadded = GetParam();
  jobtest::respellKeys(srcDir(), "r1", [&](std::string relative) {
    if (relative.starts_with("Data/")) std::replace(relative.begin(), relative.end(), '/', '\\');
    std::string key = obd::utils::Base64Encode(relative);
    if (unpadded) key.erase(key.find_last_not_of('=') + 1);
    return key;
  });
  const std::string manifest = OBDManifestController::LocalManifestPath(kCode, target);
  killAt("install", "r1", "unlink " + fs::path(manifest).filename().string());
  ASSERT_TRUE(fs::exists(target + "/" + kExecutable));
  ASSERT_FALSE(fs::exists(manifest));

  // Every later patch too: the first saves the rebuilt local manifest.
  for (int n = 0; n < 2; ++n) {
    std::string out;
    EXPECT_EQ(run("patch", "r1", out), 0) << out;
    EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "") << out;
  }
  // The installed files were recognised from their bytes: nothing fetched twice.
  EXPECT_EQ(jobtest::objectRequests(*pub, "/src", srcDir()), jobtest::objectFiles(srcDir()).size());
}

INSTANTIATE_TEST_SUITE_P(Keys, SpelledKeysTest, ::testing::Bool());

// A patch to release 2 killed as it changes the game's folder, then
// release 1 live again (a withdrawn release): the worker decides to patch,
// and the patch back gives release 1 byte for byte. Killed right after the
// changed file is renamed into place, or in the clean-up as the dropped file
// goes; and with release 1's keys spelt with "\" and release 2's with "/".
struct ReturnCase {
  const char* name;
  bool backslashKeys;
  const char* stop;
};

void PrintTo(const ReturnCase& c, std::ostream* os) { *os << c.name; }

class ReturnTest : public ObdRunTest, public ::testing::WithParamInterface<ReturnCase> {};

TEST_P(ReturnTest, APatchKilledMidwayIsPatchedBackToTheEarlierRelease) {
  const std::map<std::string, std::string> one{{kExecutable, enginetest::repeatBytes(kBlock + 100, 1)},
                                               {"Data/a.txt", "one\n"},
                                               {"Data/sub/gone.txt", "dropped by two\n"},
                                               {"readme.txt", "read me\n"}};
  publish("r1", one);
  if (GetParam().backslashKeys) {
    jobtest::respellKeys(srcDir(), "r1", [](std::string relative) {
      std::replace(relative.begin(), relative.end(), '/', '\\');
      return obd::utils::Base64Encode(relative);
    });
  }
  auto w = work("r1");
  ASSERT_TRUE(install(*w));
  auto two = one;
  two["Data/a.txt"] = "two\n";
  two.erase("Data/sub/gone.txt");
  publish("r2", two);
  killAt("patch", "r2", GetParam().stop);

  GameWorker worker(kCode, "", sourceURL(), "r1", target, "Game.app", "");
  EXPECT_EQ(worker.GetWorkMode(), WorkMode::Patch);
  std::string out;
  EXPECT_EQ(run("patch", "r1", out), 0) << out;
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "") << out;
}

INSTANTIATE_TEST_SUITE_P(Kills, ReturnTest,
                         ::testing::Values(ReturnCase{"Renamed", false, "renameat a.txt"},
                                           ReturnCase{"CleanUp", false, "remove gone.txt"},
                                           ReturnCase{"SpeltKeys", true, "renameat a.txt"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A patch killed as it starts a delta temp file; the next run's diff
// document is not there, so it fetches the file whole: the delta temp file
// goes with the file's success.
TEST_F(ObdRunTest, AFileFetchedWholeAfterAKilledDeltaLeavesNoDeltaTempFile) {
  publish("r1", jobtest::releaseOne());
  auto w = work("r1");
  ASSERT_TRUE(install(*w));
  publish("r2", jobtest::releaseTwo(), "r1", "r1");
  killAt("patch", "r2", "openat Game.zqdelta");
  ASSERT_TRUE(fs::exists(target + "/" + kExecutable + ".zqdelta"));

  pub->setFault("/src/r2-r1", publisher::Fault::respond(404));
  std::string out;
  EXPECT_EQ(run("patch", "r2", out), 0) << out;
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "") << out;
}

}  // namespace
