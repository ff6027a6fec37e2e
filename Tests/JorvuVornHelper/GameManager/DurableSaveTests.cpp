// What a saved local manifest records as finished is on the disk: read from
// the system calls of jorvu-obd-trace, no save records a file that was
// renamed into place after the last sync (a power cut then could leave the
// file empty under a record that calls it finished).
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <map>
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
    const std::string trace = root.path() + "/trace-" + mode;
    const std::string out = root.path() + "/out-" + mode;
    const jobtest::Child child = jobtest::spawnObd(
        {mode, "--source", sourceURL(), "--manifest", release, "--target", target, "--code",
         std::to_string(jobtest::kCode), "--exe", "Game.app"},
        out, {{"JORVU_SYNC_TRACE", trace}}, "jorvu-obd-trace");
    EXPECT_GT(child.pid, 0);
    if (meanwhile) meanwhile();
    EXPECT_EQ(jobtest::waitExit(child.pid), 0) << readFileOrEmpty(out);
    EXPECT_EQ(jobtest::diffTrees(tree(release), target), "") << readFileOrEmpty(out);
    return checkTrace(trace);
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

  // A patch with deltas and a clean-up.
  publish("r2", jobtest::releaseTwo(), "r1", "r1");
  const TraceCheck patch = traced("patch", "r2");
  EXPECT_GE(patch.saves, 1);
  EXPECT_EQ(patch.unsynced, "");
}

}  // namespace
