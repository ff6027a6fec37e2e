// What a saved local manifest records as finished is on the disk: read from
// the system calls of jorvu-obd-trace, no save records a file that was
// renamed into place after the last sync (a power cut then could leave the
// file empty under a record that calls it finished).
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/JorvuVornHelper/GameManager/JobTestSupport.hpp"
#include "Tests/Support/WaitUntil.hpp"

namespace {

using testsupport::readFileOrEmpty;

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

// The names (last components) of the files that a saved local manifest
// file records as finished.
std::vector<std::string> finishedIn(const std::string& path) {
  std::string text;
  if (gzFile file = gzopen(path.c_str(), "rb")) {
    char buffer[65536];
    for (int n; (n = gzread(file, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    gzclose(file);
  }
  OBDManifest::Contents contents;
  const std::size_t end = text.find('\n');
  EXPECT_NE(end, std::string::npos) << path;
  if (end == std::string::npos || !OBDManifest::ParseContentsCore(text.substr(end + 1), contents)) return {};
  std::vector<std::string> names;
  for (auto m = contents.Files().MemberBegin(); m != contents.Files().MemberEnd(); ++m) {
    const rapidjson::Value* hash = OBDManifest::Member(m->value, OBDManifest::kHash);
    if (hash == nullptr || !hash->IsString() || hash->GetStringLength() == 0) continue;
    const std::string relative = obd::utils::Base64Decode(m->name.GetString());
    names.push_back(relative.substr(relative.rfind('/') + 1));
  }
  return names;
}

struct TraceCheck {
  int saves = 0;
  std::string unsynced;  // a line per record of a file not yet on the disk
};

// Reads a trace of jorvu-obd-trace: a file renamed into place is on the
// disk once the file system was synced after the rename, or its temp file
// was synced before it.
TraceCheck checkTrace(const std::string& trace) {
  TraceCheck check;
  std::map<std::string, std::size_t> renamed;  // name: line of its last rename
  std::map<std::string, std::size_t> synced;   // name: line of its last own sync
  std::size_t lastSyncfs = 0;                  // line + 1; 0: none yet
  std::istringstream in(readFileOrEmpty(trace));
  std::size_t at = 0;
  for (std::string line; std::getline(in, line); ++at) {
    const std::vector<std::string> f = Fields(line);
    if (f[0] == "renameat" && f.size() == 3) renamed[f[2]] = at;
    if ((f[0] == "fsync" || f[0] == "fdatasync") && f.size() == 2) synced[f[1]] = at;
    if (f[0] == "syncfs") lastSyncfs = at + 1;
    if (f[0] != "save" || f.size() != 2) continue;
    ++check.saves;
    for (const std::string& name : finishedIn(trace + "." + f[1])) {
      const auto rename = renamed.find(name);
      if (rename == renamed.end()) continue;  // not renamed by this run
      const auto own = synced.find(name + ".zqgz");
      const bool durable = lastSyncfs > rename->second + 1 || (own != synced.end() && own->second < rename->second);
      if (!durable) check.unsynced += "save " + f[1] + " records " + name + " (renamed at line " +
                                      std::to_string(rename->second + 1) + ") before a sync\n";
    }
  }
  return check;
}

class DurableSaveTest : public jobtest::JobTest {
 protected:
  // Runs jorvu-obd-trace to its end (doing `meanwhile` first); its trace.
  TraceCheck traced(const std::string& mode, const std::string& release, const std::function<void()>& meanwhile = {}) {
    const int code = run(mode, release, {}, meanwhile);
    EXPECT_EQ(code, 0) << readFileOrEmpty(out(mode));
    EXPECT_EQ(jobtest::diffTrees(tree(release), target), "") << readFileOrEmpty(out(mode));
    return checkTrace(trace(mode));
  }

  std::string trace(const std::string& mode) const { return root.path() + "/trace-" + mode; }
  std::string out(const std::string& mode) const { return root.path() + "/out-" + mode; }

  // Runs jorvu-obd-trace to its end, `env` added; its exit code.
  int run(const std::string& mode, const std::string& release, testsupport::Environment env = {},
          const std::function<void()>& meanwhile = {}) {
    env["JORVU_SYNC_TRACE"] = trace(mode);
    const jobtest::Child child = jobtest::spawnObd(
        {mode, "--source", sourceURL(), "--manifest", release, "--target", target, "--code",
         std::to_string(jobtest::kCode), "--exe", "Game.app"},
        out(mode), env, "jorvu-obd-trace");
    EXPECT_GT(child.pid, 0);
    if (meanwhile) meanwhile();
    return jobtest::waitExit(child.pid);
  }

  // The "syncfs" lines of a trace, each without its line's first field.
  std::set<std::string> syncs(const std::string& mode) {
    std::set<std::string> found;
    std::istringstream in(readFileOrEmpty(trace(mode)));
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("syncfs\t")) found.insert(line.substr(7));
    }
    return found;
  }

  std::size_t savedFinished() {
    const std::string path = OBDManifestController::LocalManifestPath(jobtest::kCode, target);
    return std::filesystem::exists(path) ? finishedIn(path).size() : 0;
  }
};

TEST_F(DurableSaveTest, NoSaveRecordsAFileRenamedIntoPlaceSinceTheLastSync) {
  publish("r1", jobtest::releaseOne());
  // The install saves while it runs: its executable's last object waits
  // until a save has recorded finished files.
  pub->setFault(objectPath("Game.app/Contents/MacOS/Game", 2), publisher::Fault::stall());
  const TraceCheck install = traced("install", "r1", [&] {
    EXPECT_TRUE(testsupport::waitUntil([&] { return savedFinished() > 0; }, std::chrono::seconds(120)));
    pub->clearFaults();
  });
  EXPECT_GE(install.saves, 2);
  EXPECT_EQ(install.unsynced, "");
  // Every save synced through one descriptor, of the game's folder, open
  // since the job began: it is told of every write-back error of the job.
  const std::set<std::string> installSyncs = syncs("install");
  ASSERT_EQ(installSyncs.size(), 1u);
  EXPECT_TRUE(installSyncs.begin()->starts_with("Game\t")) << *installSyncs.begin();

  // A patch with deltas and a clean-up.
  publish("r2", jobtest::releaseTwo(), "r1", "r1");
  const TraceCheck patch = traced("patch", "r2");
  EXPECT_GE(patch.saves, 1);
  EXPECT_EQ(patch.unsynced, "");
  const std::set<std::string> patchSyncs = syncs("patch");
  ASSERT_EQ(patchSyncs.size(), 1u);
  EXPECT_TRUE(patchSyncs.begin()->starts_with("Game\t")) << *patchSyncs.begin();
}

// With every sync of the file system failing, no job ends in success: the
// install fails with the write error of its last save, and so does a patch
// (at its save before it changes anything).
TEST_F(DurableSaveTest, ASyncThatFailsFailsTheJob) {
  publish("r1", jobtest::releaseOne());
  EXPECT_EQ(run("install", "r1", {{"JORVU_SYNC_FAIL", "syncfs"}}), 1) << readFileOrEmpty(out("install"));
  EXPECT_NE(readFileOrEmpty(out("install")).find("error: -40/103/5\n"), std::string::npos)
      << readFileOrEmpty(out("install"));

  ASSERT_EQ(run("install", "r1"), 0) << readFileOrEmpty(out("install"));
  publish("r2", jobtest::releaseTwo());
  EXPECT_EQ(run("patch", "r2", {{"JORVU_SYNC_FAIL", "syncfs"}}), 1) << readFileOrEmpty(out("patch"));
  EXPECT_NE(readFileOrEmpty(out("patch")).find("error: -50/103/5\n"), std::string::npos)
      << readFileOrEmpty(out("patch"));
}

}  // namespace
