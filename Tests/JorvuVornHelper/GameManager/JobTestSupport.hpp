#pragma once
// Pieces of the job tests: source folders packed with the source packer,
// served by the local publisher, folder comparison, work parameters.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/WorkInfo.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDInstaller.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDPatcher.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"
#include "Tests/Support/Processes.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/Trees.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace jobtest {

constexpr std::size_t kBlock = 4194304;

using testsupport::diffTrees;
using testsupport::writeTree;

// Publishes `src` as <pubRoot>/<dir> under the manifest `name` (with deltas
// from `from` when given). Fails the test on an error.
void pack(const std::string& outDir, const std::string& name, const std::string& src, const std::string& from = "",
          const std::string& fromName = "");
// Rewrites a published manifest: `edit` gets the files object (key to entry)
// and the whole document.
void editManifest(const std::string& path,
                  const std::function<void(rapidjson::Value& files, rapidjson::Document& manifest)>& edit);
// Gives every file of the published manifest `name` the key `keyOf` makes
// of its path, as other tools than the source packer may spell it; the
// object files are renamed to match, or with `keepOldNames` get the new name
// as a second one (a hard link), for other releases in the same folder.
// `name` may be a diff document too.
void respellKeys(const std::string& sourceDir, const std::string& name,
                 const std::function<std::string(const std::string& relative)>& keyOf, bool keepOldNames = false);
// The object files of a published source, as paths relative to it.
std::vector<std::string> objectFiles(const std::string& sourceDir, const std::string& suffix = "");
// Requests the publisher saw for the objects of a source served at urlDir.
std::size_t objectRequests(const publisher::Publisher& pub, const std::string& urlDir, const std::string& sourceDir,
                           const std::string& suffix = "");
// The object file of one file's object (key of `relative`, index).
std::string objectFileOf(const std::string& sourceDir, const std::string& relative, int index);

// Work parameters as the game worker makes them, with the job started.
std::unique_ptr<WorkInfo> makeWork(std::uint32_t code, const std::string& sourceURL, const std::string& name,
                                   const std::string& target, const std::string& exe);
OBDWaits fastWaits();
// "-60/917/0"
std::string triple(const ProgressInfoManager& progress);
std::string zlibCompress(const std::string& data);

// A tmpfs of `bytes` mounted on a new folder; not mounted when the system
// refuses (the test then skips).
class TmpfsMount {
 public:
  TmpfsMount(const std::string& folder, std::size_t bytes);
  ~TmpfsMount();
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// Sets an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

constexpr std::uint32_t kCode = 4242;

// jorvu-obd (or `program` of the same folder) as a child process, its
// standard output in `outFile`, `env` added to its environment.
struct Child {
  pid_t pid = -1;
  std::string out;
};
Child spawnObd(const std::vector<std::string>& args, const std::string& outFile,
               const testsupport::Environment& env = {}, const std::string& program = "jorvu-obd");
// Waits for the child to end: its exit code, or 128 + the signal that ended it.
int waitExit(pid_t pid);

// Whether the local manifest saved in `target` calls the file at `relative`
// finished, under whatever key spells its path.
bool savedFinished(const std::string& target, const std::string& relative);

// Two releases of a small game: the second changes a block of the
// executable, replaces, adds and drops files.
std::map<std::string, std::string> releaseOne();
std::map<std::string, std::string> releaseTwo();

// Whole jobs against the local publisher, with a temporary root and the
// game's folder inside it.
class JobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pubRoot = root.path() + "/pub";
    std::filesystem::create_directories(pubRoot + "/src");
    pub = std::make_unique<publisher::Publisher>(pubRoot);
    pub->start();
    target = root / "/Library/Application Support/Jorvu/Game";
  }
  void TearDown() override { pub->stop(); }

  std::string sourceURL() const { return pub->origin() + "/src"; }
  std::string srcDir() const { return pubRoot + "/src"; }
  std::string tree(const std::string& name) const { return root.path() + "/trees/" + name; }

  void publish(const std::string& name, const std::map<std::string, std::string>& files, const std::string& from = "",
               const std::string& fromName = "") {
    jobtest::writeTree(tree(name), files);
    jobtest::pack(srcDir(), name, tree(name), from.empty() ? "" : tree(from), fromName);
  }

  std::unique_ptr<WorkInfo> work(const std::string& name, const std::string& exe = "Game.app") {
    return jobtest::makeWork(kCode, sourceURL(), name, target, exe);
  }
  bool install(WorkInfo& w, OBDWaits waits = jobtest::fastWaits()) {
    OBDInstaller installer(&w);
    installer.SetWaits(waits);
    return installer.Install();
  }
  bool patch(WorkInfo& w) {
    w.manifest_controller.NeedToPatch(w.game_code, w.target_path);  // as the worker's decision reads it
    OBDPatcher patcher(&w);
    patcher.SetWaits(jobtest::fastWaits());
    return patcher.Patch();
  }
  std::string objectPath(const std::string& relative, int index) {
    return "/src/" + jobtest::objectFileOf(srcDir(), relative, index);
  }

  testsupport::TempRoot root;
  std::string pubRoot;
  std::unique_ptr<publisher::Publisher> pub;
  std::string target;
};

}  // namespace jobtest
