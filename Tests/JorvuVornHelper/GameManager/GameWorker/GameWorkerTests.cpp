// The game worker against the local publisher on 127.0.0.1 serving small
// sources made by the source packer, with a stand-in shortcut script that
// records its arguments.
#include "JorvuVornHelper/GameManager/GameWorker/GameWorker.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/FolderPermission.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "Tests/JorvuVornHelper/GameManager/JobTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace fs = std::filesystem;
using testsupport::readFileOrEmpty;
using testsupport::writeFile;

namespace {

constexpr std::uint32_t kCode = 123;
constexpr const char* kGameFolder = "/Library/Application Support/Jorvu/Game";

std::map<std::string, std::string> releaseOne() {
  return {
      {"Game.app/Contents/MacOS/Game", "#!/bin/sh\necho one\n"},
      {"Game.app/Contents/Info.plist", "<plist>one</plist>\n"},
      {"docs/readme.txt", "read me\n"},
  };
}

std::map<std::string, std::string> releaseTwo() {
  auto files = releaseOne();
  files["Game.app/Contents/MacOS/Game"] = "#!/bin/sh\necho two, a little longer\n";
  files["docs/new.txt"] = "new in two\n";
  return files;
}

struct Report {
  std::string query;
  TavloCookies cookies;
};

ProgressInfoManager::ProgressInfo progressOf(const GameWorker& worker) {
  ProgressInfoManager::ProgressInfo info;
  worker.progress_info_manager.GetProgressInfo(&info);
  return info;
}

ProgressInfoManager::ErrorInfo errorOf(const GameWorker& worker) {
  ProgressInfoManager::ErrorInfo info;
  worker.progress_info_manager.GetErrorInfo(&info);
  return info;
}

std::string tripleOf(const GameWorker& worker) { return jobtest::triple(worker.progress_info_manager); }

fs::perms permsOf(const std::string& path) { return fs::status(path).permissions() & fs::perms::mask; }
mode_t modeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}
// What the worker leaves a game's files with under this process's umask.
fs::perms jobPerms() { return static_cast<fs::perms>(FolderPermission::modeFor(FolderPermission::processUmask())); }

// Sets the process's umask for a scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

class GameWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pubRoot = root.path() + "/pub";
    fs::create_directories(pubRoot + "/src");
    pub = std::make_unique<publisher::Publisher>(pubRoot);
    pub->start();
    target = root / kGameFolder;
    recorder = root.path() + "/record.sh";
    record = root.path() + "/arguments";
    // One line per argument, and a separator after each run.
    writeFile(recorder, "printf '%s\\n' \"$@\" >> \"" + record + "\"\necho --- >> \"" + record + "\"\n");
    VornLogger::setReportHandler([this](const std::string& query, const std::optional<TavloCookies>& cookies) {
      std::lock_guard lock(reportsMutex);
      reports.push_back({query, cookies.value_or(TavloCookies{})});
    });
  }
  void TearDown() override {
    VornLogger::shared().waitIdle();
    VornLogger::setReportHandler(nullptr);
    pub->stop();
  }

  std::string sourceURL() const { return pub->origin() + "/src"; }
  std::string srcDir() const { return pubRoot + "/src"; }
  std::string tree(const std::string& name) const { return root.path() + "/trees/" + name; }

  void publish(const std::string& name, const std::map<std::string, std::string>& files, const std::string& from = "") {
    jobtest::writeTree(tree(name), files);
    jobtest::pack(srcDir(), name, tree(name), from.empty() ? "" : tree(from), from);
  }

  std::unique_ptr<GameWorker> makeWorker(const std::string& manifest, const std::string& tag = "beta",
                                         const std::string& folder = kGameFolder,
                                         const std::string& shortcutTarget = "https://games.example/Home/Game") {
    auto worker = std::make_unique<GameWorker>(kCode, tag, sourceURL(), manifest, folder, "Game.app", shortcutTarget);
    worker->SetShortcutScriptPath(recorder);
    worker->SetWaits(jobtest::fastWaits());
    return worker;
  }

  std::vector<Report> takeReports() {
    VornLogger::shared().waitIdle();
    std::lock_guard lock(reportsMutex);
    std::vector<Report> out;
    out.swap(reports);
    return out;
  }
  // The queries of the reports sent since the last call.
  std::vector<std::string> reportQueries() {
    std::vector<std::string> out;
    for (const Report& r : takeReports()) out.push_back(r.query);
    return out;
  }
  std::size_t objectRequests() const { return jobtest::objectRequests(*pub, "/src", srcDir()); }

  testsupport::TempRoot root;
  std::string pubRoot;
  std::unique_ptr<publisher::Publisher> pub;
  std::string target;
  std::string recorder;
  std::string record;
  std::mutex reportsMutex;
  std::vector<Report> reports;
};

using Queries = std::vector<std::string>;

}  // namespace

TEST_F(GameWorkerTest, NoManifestNameLeavesTheEngineOffAndWorkEndsInError) {
  GameWorker worker(kCode, "", sourceURL(), "", kGameFolder, "Game.app", "");
  EXPECT_EQ(worker.GetWorkMode(), 0u);
  EXPECT_FALSE(worker.NeedWork());
  EXPECT_EQ(worker.GetWorkMode(), 0u);
  EXPECT_EQ(worker.GetProgressInfoJson(),
            "{\"operationType\": 10000, \"totalSize\": 0, \"currentSize\": 0, \"isRetry\":false}");
  EXPECT_EQ(worker.GetErrorInfoJson(),
            "{\"errorCode\": 0 , \"errorOperation\": 0, \"mainErrorCode\": 0, \"subErrorCode\": 0, "
            "\"errorMessage\": \"\"}");
  EXPECT_FALSE(worker.Work());
  EXPECT_EQ(worker.GetWorkMode(), 6u);
  EXPECT_EQ(reportQueries(), Queries{});  // no job, no report
}

TEST_F(GameWorkerTest, TargetOutsideTheGamesFolderOrAPathAsExecutableLeavesTheEngineOff) {
  publish("r1", releaseOne());
  struct Case {
    std::string folder;
    std::string executable;
  };
  const std::vector<Case> cases = {
      {"/Library/Application Support/Jorvu/../../../etc", "Game.app"},
      {"/Library/Application Support/Jorvu", "Game.app"},
      {"/tmp/elsewhere", "Game.app"},
      {kGameFolder, "../Other.app"},
      {kGameFolder, ""},
  };
  for (const Case& c : cases) {
    GameWorker worker(kCode, "", sourceURL(), "r1", c.folder, c.executable, "");
    EXPECT_EQ(worker.GetWorkMode(), 0u) << c.folder << " " << c.executable;
    EXPECT_FALSE(worker.NeedWork()) << c.folder << " " << c.executable;
    EXPECT_FALSE(worker.Work());
  }
  EXPECT_EQ(objectRequests(), 0u);
  EXPECT_EQ(reportQueries(), Queries{});
}

TEST_F(GameWorkerTest, InstallOpensPermissionsMakesTheShortcutAndOnlyThenIsReady) {
  publish("r1", releaseOne());
  // The stand-in script tells the test its arguments through one pipe and
  // waits for the test's word on another, so the test sees the worker's
  // state while the shortcut is being made.
  const std::string said = root.path() + "/said";
  const std::string go = root.path() + "/go";
  ASSERT_EQ(::mkfifo(said.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
  const std::string pausing = root.path() + "/pausing.sh";
  writeFile(pausing, "printf '%s\\n' \"$@\" > \"" + said + "\"\ncat \"" + go + "\" > /dev/null\n");
  const int saidFd = ::open(said.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(saidFd, 0);

  auto worker = makeWorker("r1");
  worker->SetShortcutScriptPath(pausing);
  EXPECT_EQ(worker->GetWorkMode(), 1u);
  ASSERT_TRUE(worker->NeedWork());
  auto job = std::async(std::launch::async, [&] { return worker->Work(); });

  std::string arguments;
  for (;;) {
    pollfd p{saidFd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 30000), 1) << "the shortcut script did not run";
    char buffer[512];
    const ssize_t n = ::read(saidFd, buffer, sizeof buffer);
    if (n <= 0) break;
    arguments.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(saidFd);
  EXPECT_EQ(arguments, target + "\nGame.app\n123@beta\n");
  // While the shortcut is made: the permissions are already set, the
  // record says completed, and the game is not yet ready to start.
  EXPECT_EQ(permsOf(target), jobPerms());
  EXPECT_EQ(permsOf(target + "/Game.app/Contents/MacOS/Game"), jobPerms());
  EXPECT_EQ(progressOf(*worker).operationType, 12000u);
  EXPECT_EQ(worker->GetWorkMode(), 1u);
  EXPECT_TRUE(worker->NeedWork());  // a running job's decision stands
  {
    const int goFd = ::open(go.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(goFd, 0);
    ::close(goFd);
  }
  ASSERT_EQ(job.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(job.get());

  EXPECT_EQ(worker->GetWorkMode(), 4u);
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
  EXPECT_TRUE(fs::exists(target + "/Game.app/Contents/MacOS/Game"));
  const auto progress = progressOf(*worker);
  EXPECT_EQ(progress.operationType, 12000u);
  EXPECT_EQ(progress.currentSize, progress.totalSize);
  EXPECT_EQ(tripleOf(*worker), "0/0/0");
  const auto sent = takeReports();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].query, "gc=123&tp=12");
  EXPECT_TRUE(sent[0].cookies.empty());

  // Installed and up to date: ready, and work is nothing to do.
  EXPECT_FALSE(worker->NeedWork());
  EXPECT_EQ(worker->GetWorkMode(), 4u);
  EXPECT_TRUE(worker->Work());
  EXPECT_EQ(reportQueries(), Queries{});
}

TEST_F(GameWorkerTest, PermissionsLetOnlyTheOwnerWriteKeepTheUmaskAndFollowNoLink) {
  // Outside the game's folder, reached through links inside it.
  const std::string outside = root.path() + "/outside";
  writeFile(outside + "/secret", "mine");
  ::chmod((outside + "/secret").c_str(), 0600);
  ::chmod(outside.c_str(), 0700);
  // Every kind of mode a job or an archive may leave behind, parents first.
  struct Entry {
    std::string name;
    bool folder;
    mode_t mode;
  };
  const std::vector<Entry> entries = {
      {"open", true, 0777},          {"open/file", false, 0777},    {"open/shared", false, 0666},
      {"private", true, 0700},       {"private/file", false, 0600}, {"private/deep", true, 0700},
      {"private/deep/run", false, 0700}, {"setuid", false, 04755},
  };
  for (const Entry& e : entries) {
    if (e.folder) fs::create_directories(target + "/" + e.name);
    else writeFile(target + "/" + e.name, e.name);
  }
  for (auto e = entries.rbegin(); e != entries.rend(); ++e) ::chmod((target + "/" + e->name).c_str(), e->mode);
  ::chmod(target.c_str(), 0777);
  fs::create_symlink(outside + "/secret", target + "/open/link");
  fs::create_symlink(outside, target + "/private/folder-link");
  fs::create_symlink(root.path() + "/nothing-here", target + "/dangling");

  GameWorker worker(kCode, "", sourceURL(), "", kGameFolder, "Game.app", "");
  {
    // Group may read, others nothing: a stricter umask than the usual one.
    ScopedUmask strict(027);
    worker.SetPermission();
  }
  EXPECT_EQ(modeOf(target), 0750u);
  for (const Entry& e : entries) EXPECT_EQ(modeOf(target + "/" + e.name), 0750u) << e.name;
  // Neither the links nor what they point at changed.
  EXPECT_EQ(modeOf(outside), 0700u);
  EXPECT_EQ(modeOf(outside + "/secret"), 0600u);
  EXPECT_TRUE(fs::is_symlink(target + "/open/link"));
  EXPECT_TRUE(fs::is_symlink(target + "/dangling"));

  // Under the usual umask, others read too; still nobody else writes.
  {
    ScopedUmask usual(022);
    worker.SetPermission();
  }
  EXPECT_EQ(modeOf(target + "/open/shared"), 0755u);
  EXPECT_EQ(modeOf(target + "/private/deep"), 0755u);

  // A link in the folder's own place is left alone with what it points at.
  fs::rename(target, root.path() + "/moved");
  fs::create_symlink(outside, target);
  worker.SetPermission();
  EXPECT_EQ(modeOf(outside), 0700u);
}

TEST_F(GameWorkerTest, ShortcutScriptGetsTheTagAsOneArgumentAndNeverAShell) {
  publish("r1", releaseOne());
  const std::string marker = root.path() + "/X";
  struct Case {
    std::string tag;
    std::string shortcutTarget;
    std::string expected;  // what the script recorded; empty: it did not run
  };
  const std::vector<Case> cases = {
      {"", "https://games.example/Home/Game", "Game.app\n123\n---\n"},
      {"beta", "https://games.example/Home/Game", "Game.app\n123@beta\n---\n"},
      {"\"; touch " + marker + " #", "x", "Game.app\n123@\"; touch " + marker + " #\n---\n"},
      {"$(touch " + marker + ")", "x", "Game.app\n123@$(touch " + marker + ")\n---\n"},
      {"beta", "", ""},  // no shortcut target: no shortcut
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string folder = std::string(kGameFolder) + std::to_string(++n);
    fs::remove(record);
    auto worker = makeWorker("r1", c.tag, folder, c.shortcutTarget);
    ASSERT_TRUE(worker->NeedWork());
    ASSERT_TRUE(worker->Work()) << tripleOf(*worker);
    const std::string expected = c.expected.empty() ? "" : root / folder + "\n" + c.expected;
    EXPECT_EQ(readFileOrEmpty(record), expected) << c.tag;
    EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=12"}) << c.tag;
  }
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(GameWorkerTest, CancelledInstallEndsAsUserAbortWithOneReport) {
  publish("r1", releaseOne());
  const std::string stalled = "/src/" + jobtest::objectFileOf(srcDir(), "Game.app/Contents/MacOS/Game", 0);
  pub->setFault(stalled, publisher::Fault::stall());

  auto worker = makeWorker("r1");
  ASSERT_TRUE(worker->NeedWork());
  auto job = std::async(std::launch::async, [&] { return worker->Work(); });
  ASSERT_TRUE(pub->waitForRequests(stalled, 1, std::chrono::seconds(20)));
  // The records and the mode are readable while the job runs.
  EXPECT_EQ(progressOf(*worker).operationType, 11000u);
  EXPECT_TRUE(worker->NeedWork());
  EXPECT_EQ(worker->GetWorkMode(), 1u);
  worker->Cancel();
  ASSERT_EQ(job.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(job.get());

  EXPECT_EQ(worker->GetWorkMode(), 5u);
  EXPECT_EQ(progressOf(*worker).operationType, 42000u);
  EXPECT_EQ(errorOf(*worker).errorOperation, 42000u);
  EXPECT_EQ(errorOf(*worker).errorCode, 0);
  EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=13"});
  EXPECT_EQ(readFileOrEmpty(record), "");  // no shortcut for a cancelled install

  // Asked again, the unfinished install is picked up and finished.
  pub->clearFaults();
  ASSERT_TRUE(worker->NeedWork());
  EXPECT_EQ(worker->GetWorkMode(), 1u);
  EXPECT_TRUE(worker->Work()) << tripleOf(*worker);
  EXPECT_EQ(worker->GetWorkMode(), 4u);
  EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=12"});
}

TEST_F(GameWorkerTest, CancelBetweenTheRequestAndTheJobIsHonoured) {
  publish("r1", releaseOne());
  auto worker = makeWorker("r1");

  // A cancel with no work asked for does not stop the next job.
  worker->Cancel();
  ASSERT_TRUE(worker->NeedWork());
  // Asked for, then cancelled before the job began: the job ends at once.
  worker->Cancel();
  EXPECT_FALSE(worker->Work());
  EXPECT_EQ(worker->GetWorkMode(), 5u);
  EXPECT_EQ(progressOf(*worker).operationType, 42000u);
  EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=13"});
  EXPECT_EQ(objectRequests(), 0u);
  EXPECT_FALSE(fs::exists(target + "/Game.app/Contents/MacOS/Game"));

  // The next request works normally.
  ASSERT_TRUE(worker->NeedWork());
  EXPECT_TRUE(worker->Work()) << tripleOf(*worker);
  EXPECT_EQ(worker->GetWorkMode(), 4u);
  EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=12"});

  // The same for a patch: abort path with its own report.
  publish("r2", releaseTwo(), "r1");
  auto patcher = makeWorker("r2");
  ASSERT_TRUE(patcher->NeedWork());
  EXPECT_EQ(patcher->GetWorkMode(), 2u);
  patcher->Cancel();
  EXPECT_FALSE(patcher->Work());
  EXPECT_EQ(patcher->GetWorkMode(), 5u);
  EXPECT_EQ(progressOf(*patcher).operationType, 42000u);
  EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=23"});
  EXPECT_EQ(readFileOrEmpty(target + "/Game.app/Contents/MacOS/Game"), releaseOne()["Game.app/Contents/MacOS/Game"]);
}

TEST_F(GameWorkerTest, FailedInstallsMapTheEngineErrorAndReportOnce) {
  struct Case {
    const char* name;
    std::string triple;
  };
  // The engine's -70 becomes -40; the installer's own numbers and a missing
  // executable (-43) stay as they are.
  publish("r1", releaseOne());
  auto noExecutable = releaseOne();
  noExecutable.erase("Game.app/Contents/MacOS/Game");
  noExecutable["docs/readme.txt"] = "another read me\n";  // not the object broken below
  publish("noexe", noExecutable);
  const std::string object = jobtest::objectFileOf(srcDir(), "docs/readme.txt", 0);
  writeFile(srcDir() + "/" + object, jobtest::zlibCompress("not the text that was packed"));

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"r1", "-40/931/0"},
      {"missing", "-40/930/0"},
      {"noexe", "-43/914/0"},
  };
  for (const auto& [manifest, triple] : cases) {
    fs::remove_all(target);
    auto worker = makeWorker(manifest);
    ASSERT_TRUE(worker->NeedWork()) << manifest;
    EXPECT_FALSE(worker->Work()) << manifest;
    EXPECT_EQ(worker->GetWorkMode(), 6u) << manifest;
    EXPECT_EQ(tripleOf(*worker), triple) << manifest;
    EXPECT_EQ(errorOf(*worker).errorOperation, 13000u) << manifest;
    EXPECT_EQ(progressOf(*worker).operationType, 13000u) << manifest;
    EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=14"}) << manifest;
  }
  EXPECT_EQ(readFileOrEmpty(record), "");
}

TEST_F(GameWorkerTest, PatchSucceedsAndAFailedPatchReportsMinusFifty) {
  publish("r1", releaseOne());
  auto installer = makeWorker("r1");
  ASSERT_TRUE(installer->NeedWork());
  ASSERT_TRUE(installer->Work()) << tripleOf(*installer);
  takeReports();
  fs::remove(record);

  // A new release whose changed file's objects are all broken.
  publish("r2", releaseTwo(), "r1");
  const std::string prefix = obd::utils::Base64Encode("Game.app/Contents/MacOS/Game") + ".";
  std::map<std::string, std::string> good;
  for (const std::string& object : jobtest::objectFiles(srcDir())) {
    if (object.rfind(prefix, 0) != 0) continue;
    good[object] = readFileOrEmpty(srcDir() + "/" + object);
    writeFile(srcDir() + "/" + object, jobtest::zlibCompress("not the file"));
  }
  ASSERT_FALSE(good.empty());

  auto patcher = makeWorker("r2");
  EXPECT_EQ(patcher->GetWorkMode(), 2u);
  ASSERT_TRUE(patcher->NeedWork());
  EXPECT_FALSE(patcher->Work());
  EXPECT_EQ(patcher->GetWorkMode(), 6u);
  const auto error = errorOf(*patcher);
  EXPECT_EQ(error.errorCode, -50) << tripleOf(*patcher);
  // The engine recorded -70 for the broken object (hash or stream).
  EXPECT_TRUE(error.mainErrorCode == 931u || error.mainErrorCode == 301u || error.mainErrorCode == 932u)
      << tripleOf(*patcher);
  EXPECT_EQ(error.errorOperation, 32000u);
  EXPECT_EQ(progressOf(*patcher).operationType, 32000u);
  EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=24"});
  EXPECT_EQ(readFileOrEmpty(record), "");

  // The failed patch is still a patch; with the objects mended it succeeds.
  for (const auto& [object, bytes] : good) writeFile(srcDir() + "/" + object, bytes);
  ASSERT_TRUE(patcher->NeedWork());
  EXPECT_EQ(patcher->GetWorkMode(), 2u);
  EXPECT_TRUE(patcher->Work()) << tripleOf(*patcher);
  EXPECT_EQ(patcher->GetWorkMode(), 4u);
  EXPECT_EQ(progressOf(*patcher).operationType, 31000u);
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "");
  EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=22"});
  EXPECT_EQ(readFileOrEmpty(record), target + "\nGame.app\n123@beta\n---\n");
  EXPECT_EQ(permsOf(target + "/docs/new.txt"), jobPerms());
  EXPECT_FALSE(patcher->NeedWork());
  EXPECT_EQ(patcher->GetWorkMode(), 4u);
}

TEST_F(GameWorkerTest, PatchThatLosesTheExecutableFailsWithMissingExecutable) {
  publish("r1", releaseOne());
  auto installer = makeWorker("r1");
  ASSERT_TRUE(installer->NeedWork());
  ASSERT_TRUE(installer->Work()) << tripleOf(*installer);
  takeReports();

  auto noExecutable = releaseOne();
  noExecutable.erase("Game.app/Contents/MacOS/Game");
  noExecutable["docs/readme.txt"] = "read me, changed\n";
  publish("r2", noExecutable);
  auto patcher = makeWorker("r2");
  ASSERT_TRUE(patcher->NeedWork());
  EXPECT_EQ(patcher->GetWorkMode(), 2u);
  EXPECT_FALSE(patcher->Work());
  EXPECT_EQ(tripleOf(*patcher), "-50/914/0");
  EXPECT_EQ(patcher->GetWorkMode(), 6u);
  EXPECT_EQ(reportQueries(), Queries{"gc=123&tp=24"});
}
