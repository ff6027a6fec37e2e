// Whole jobs under hostile conditions: folder links planted in the game's
// folder, installed files that changed under the engine, manifests whose
// sizes do not fit, stalled and oversized transfers.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/JorvuVornHelper/GameManager/JobTestSupport.hpp"

namespace fs = std::filesystem;
using jobtest::editManifest;
using jobtest::JobTest;
using jobtest::kCode;
using jobtest::kBlock;
using jobtest::releaseOne;
using jobtest::releaseTwo;
using testsupport::readFileOrEmpty;
using testsupport::writeFile;

namespace {

rapidjson::Value& entryOf(rapidjson::Value& files, const std::string& relative) {
  return files[obd::utils::Base64Encode(relative).c_str()];
}

// Every path below a folder with its bytes (links as their targets).
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = it->path().lexically_relative(folder).string();
    if (it->is_symlink()) {
      out[relative] = "-> " + fs::read_symlink(it->path()).string();
    } else {
      out[relative] = it->is_regular_file() ? readFileOrEmpty(it->path().string()) : "<dir>";
    }
  }
  return out;
}

constexpr std::uint32_t kExdev = 18;

}  // namespace

TEST_F(JobTest, NothingIsWrittenThroughAFolderLinkThatLeadsOutside) {
  publish("r1", releaseOne());
  const std::string outside = root.path() + "/outside";
  writeFile(outside + "/keep.txt", "not the game's");
  const auto before = snapshot(outside);

  // An install over an existing tree (its bundle and the local manifest of
  // an unfinished install of the release are there, so it resumes) whose
  // resources folder is a link out of the game's folder.
  fs::create_directories(target + "/Game.app/Contents");
  fs::create_symlink(outside, target + "/Game.app/Contents/Resources");
  OBDManifestController unfinished;
  unfinished.Enable(kCode, "r1");
  unfinished.SetInstallReady(target);
  ASSERT_TRUE(OBDManifestController::WriteLocalManifestFile(kCode, target, unfinished.GetLocalManifest()));
  auto w = work("r1");
  EXPECT_FALSE(install(*w));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-70/105/" + std::to_string(kExdev));
  EXPECT_EQ(snapshot(outside), before);

  // A patch that would add a file below a folder that became such a link.
  fs::remove_all(target);
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1)) << jobtest::triple(w1->progress_info_manager);
  publish("r2", releaseTwo(), "r1", "r1");
  fs::rename(target + "/docs", outside + "/docs");
  fs::create_symlink(outside + "/docs", target + "/docs");
  const auto beforePatch = snapshot(outside);
  auto w2 = work("r2");
  EXPECT_FALSE(patch(*w2));
  EXPECT_EQ(jobtest::triple(w2->progress_info_manager), "-70/105/" + std::to_string(kExdev));
  EXPECT_EQ(snapshot(outside), beforePatch);
}

TEST_F(JobTest, FolderLinksThatStayInsideKeepWorking) {
  publish("r1", releaseOne());
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  publish("r2", releaseTwo(), "r1", "r1");
  // As a game's bundle links its own parts: one absolute link, one relative.
  const std::string contents = target + "/Game.app/Contents";
  fs::create_directories(contents + "/Versions/A");
  fs::rename(contents + "/Resources", contents + "/Versions/A/Resources");
  fs::create_symlink(contents + "/Versions/A/Resources", contents + "/Resources");
  fs::rename(contents + "/MacOS", contents + "/Versions/A/MacOS");
  fs::create_symlink("Versions/A/MacOS", contents + "/MacOS");

  auto w = work("r2");
  ASSERT_TRUE(patch(*w)) << jobtest::triple(w->progress_info_manager);
  auto two = releaseTwo();
  EXPECT_TRUE(readFileOrEmpty(contents + "/Versions/A/Resources/data.pak") == two["Game.app/Contents/Resources/data.pak"]);
  EXPECT_TRUE(readFileOrEmpty(contents + "/Versions/A/MacOS/Game") == two["Game.app/Contents/MacOS/Game"]);
  EXPECT_TRUE(fs::is_symlink(contents + "/Resources"));
  EXPECT_TRUE(fs::is_symlink(contents + "/MacOS"));
  EXPECT_EQ(readFileOrEmpty(target + "/docs/new.txt"), "new in two\n");
}

TEST_F(JobTest, PatchOverAShortenedInstalledFileFetchesItWholeAndEndsPatched) {
  publish("r1", releaseOne());
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  publish("r2", releaseTwo(), "r1", "r1");
  const std::string relative = "Game.app/Contents/MacOS/Game";
  fs::resize_file(target + "/" + relative, kBlock + 10);  // the deltas copy from well past this

  const int broken = enginetest::logCount("ApplyDelta - origin file broken : ");
  auto w = work("r2");
  ASSERT_TRUE(patch(*w)) << jobtest::triple(w->progress_info_manager);
  EXPECT_EQ(jobtest::diffTrees(tree("r2"), target), "");
  EXPECT_EQ(enginetest::logCount("ApplyDelta - origin file broken : "), broken + 1);
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "0/0/0");
  // The file came whole the second time round.
  const std::string key = obd::utils::Base64Encode(relative);
  std::size_t full = 0;
  for (const std::string& object : jobtest::objectFiles(srcDir(), ".zqgz")) {
    if (object.rfind(key + ".", 0) == 0) full += pub->requestCount("/src/" + object);
  }
  EXPECT_GE(full, 3u);
}

TEST_F(JobTest, SizesThatDoNotFitAreFailuresNeverSuccess) {
  publish("r1", releaseOne());
  const std::string manifest = srcDir() + "/r1";
  const std::string pristine = readFileOrEmpty(manifest);
  const std::string readme = "docs/readme.txt";

  // A total no free space can hold, as an integer or as a number too large
  // for one: the capacity check fails, nothing is written.
  for (const bool asDouble : {false, true}) {
    editManifest(manifest, [&](rapidjson::Value&, rapidjson::Document& doc) {
      if (asDouble) {
        doc["total_uncompressed_size"].SetDouble(1e30);
      } else {
        doc["total_uncompressed_size"].SetUint64(UINT64_MAX);
      }
    });
    auto w = work("r1");
    EXPECT_FALSE(install(*w));
    EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-61/933/0");
    ProgressInfoManager::ErrorInfo error;
    w->progress_info_manager.GetErrorInfo(&error);
    EXPECT_NE(error.errorMessage.find("\"require\": 18446744073709551615,"), std::string::npos) << error.errorMessage;
    EXPECT_FALSE(fs::exists(target + "/Game.app"));
    writeFile(manifest, pristine);
  }

  // A file whose objects make another size than its entry claims.
  for (const std::uint64_t claimed : {std::uint64_t{1} << 30, std::uint64_t{2}, UINT64_MAX}) {
    fs::remove_all(target);
    editManifest(manifest, [&](rapidjson::Value& files, rapidjson::Document&) {
      entryOf(files, readme)["uncompressed_size"].SetUint64(claimed);
    });
    auto w = work("r1");
    EXPECT_FALSE(install(*w)) << claimed;
    EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-70/931/0") << claimed;
    EXPECT_FALSE(fs::exists(target + "/" + readme)) << claimed;
    writeFile(manifest, pristine);
  }

  // A patch whose files' sizes add up past 64 bits needs more than any disk.
  fs::remove_all(target);
  auto w1 = work("r1");
  ASSERT_TRUE(install(*w1));
  publish("r2", releaseTwo());
  editManifest(srcDir() + "/r2", [&](rapidjson::Value& files, rapidjson::Document&) {
    entryOf(files, "Game.app/Contents/MacOS/Game")["uncompressed_size"].SetUint64(std::uint64_t{1} << 63);
    entryOf(files, "Game.app/Contents/Resources/data.pak")["uncompressed_size"].SetUint64(std::uint64_t{1} << 63);
  });
  auto w = work("r2");
  EXPECT_FALSE(patch(*w));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-61/933/0");
  EXPECT_EQ(jobtest::diffTrees(tree("r1"), target), "");
}

TEST_F(JobTest, CancelEndsAStalledManifestFetchAtOnce) {
  publish("r1", releaseOne());
  auto installed = work("r1");
  ASSERT_TRUE(install(*installed));
  publish("r2", releaseTwo(), "r1", "r1");

  struct Case {
    const char* name;
    std::string stalled;  // the path that never answers
    bool isPatch;
  };
  const std::vector<Case> cases = {
      {"install's manifest", "/src/r1", false},
      {"patch's manifest", "/src/r2", true},
      {"patch's diffs", "/src/r2-r1", true},
  };
  for (const Case& c : cases) {
    pub->setFault(c.stalled, publisher::Fault::stall());
    const std::size_t seen = pub->requestCount(c.stalled);
    auto w = work(c.isPatch ? "r2" : "r1");
    auto job = std::async(std::launch::async, [&] { return c.isPatch ? patch(*w) : install(*w); });
    ASSERT_TRUE(pub->waitForRequests(c.stalled, seen + 1, std::chrono::seconds(20))) << c.name;
    const auto start = std::chrono::steady_clock::now();
    w->progress_info_manager.Cancel();
    ASSERT_EQ(job.wait_for(std::chrono::seconds(10)), std::future_status::ready) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
    EXPECT_FALSE(job.get()) << c.name;
    EXPECT_EQ(jobtest::triple(w->progress_info_manager), "0/0/0") << c.name;  // a cancel is no failure
    pub->clearFaults();
  }
}

TEST_F(JobTest, BodyLargerThanAnObjectCanBeIsAFailedDownload) {
  publish("r1", releaseOne());
  const std::string path = objectPath("Game.app/Contents/MacOS/Game", 1);
  pub->setFault(path, publisher::Fault::respond(200, std::string(OBDWorker::kMaxObjectBodySize + 1, 'x')));
  auto w = work("r1");
  EXPECT_FALSE(install(*w));
  EXPECT_EQ(jobtest::triple(w->progress_info_manager), "-60/917/0");
  EXPECT_EQ(pub->requestCount(path), static_cast<std::size_t>(OBDWorker::kDownloadTries));
  EXPECT_FALSE(fs::exists(target + "/Game.app/Contents/MacOS/Game"));

  // A body of just the largest size an object may have is delivered (and
  // then judged by its hash).
  pub->setFault(path, publisher::Fault::respond(200, std::string(OBDWorker::kMaxObjectBodySize, 'x')));
  fs::remove_all(target);
  auto w2 = work("r1");
  EXPECT_FALSE(install(*w2));
  EXPECT_EQ(jobtest::triple(w2->progress_info_manager), "-70/301/0");
}

TEST(ManifestFetch, DocumentLargerThanTheBoundFailsBeforeItsBodyIsRead) {
  testsupport::TempRoot root;
  enginetest::FileServer server(root.path());
  std::atomic<std::size_t> sent{0};
  const std::size_t announced = OBDManifest::kMaxDocumentSize + 1;
  server.server().Get("/huge", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(announced, "application/json",
                             [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               const std::string zeros(std::min<std::size_t>(length, 65536), '0');
                               if (!sink.write(zeros.data(), zeros.size())) return false;
                               sent += zeros.size();
                               (void)offset;
                               return true;
                             });
  });
  OBDManifest live;
  live.SetName("huge");
  EXPECT_FALSE(live.LoadContents(server.url()));
  EXPECT_LT(sent.load(), std::size_t{64} << 20);
}
