// The worker bridge as the service sees it: only through GameWorkerable,
// against the local publisher on 127.0.0.1 serving a source made by the
// source packer.
#include "JorvuVornHelper/Bridge/GameWorkerWrapper.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <future>
#include <sstream>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/pack/SourcePacker.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace fs = std::filesystem;
using testsupport::readFileOrEmpty;
using testsupport::writeFile;

namespace {

constexpr std::uint32_t kCode = 777;
constexpr const char* kGameFolder = "/Library/Application Support/Jorvu/Bridged";

struct Numbers {
  std::int64_t operationType = -1;
  std::int64_t totalSize = -1;
  std::int64_t currentSize = -1;
  std::int64_t errorCode = 1;
  std::int64_t errorOperation = -1;
};

// The numbers of a progress or error text (the members it has).
Numbers numbersOf(const std::string& text) {
  Numbers out;
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  EXPECT_FALSE(doc.HasParseError()) << text;
  if (doc.HasParseError() || !doc.IsObject()) return out;
  auto read = [&](const char* name, std::int64_t& value) {
    auto it = doc.FindMember(name);
    if (it != doc.MemberEnd() && it->value.IsInt64()) value = it->value.GetInt64();
  };
  read("operationType", out.operationType);
  read("totalSize", out.totalSize);
  read("currentSize", out.currentSize);
  read("errorCode", out.errorCode);
  read("errorOperation", out.errorOperation);
  return out;
}

class GameWorkerWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pubRoot = root.path() + "/pub";
    fs::create_directories(pubRoot + "/src");
    pub = std::make_unique<publisher::Publisher>(pubRoot);
    pub->start();
    VornLogger::setReportHandler([this](const std::string& query, const std::optional<TavloCookies>&) {
      std::lock_guard lock(reportsMutex);
      reports.push_back(query);
    });
    // A small source: the game's bundle and one more file.
    const std::string tree = root.path() + "/tree";
    writeFile(tree + "/Bridged.app/Contents/MacOS/Bridged", "#!/bin/sh\necho bridged\n");
    writeFile(tree + "/Bridged.app/Contents/Info.plist", "<plist/>\n");
    writeFile(tree + "/data/level.dat", std::string(100000, 'L'));
    pack::PackOptions options;
    options.out = pubRoot + "/src";
    options.name = "b1";
    options.src = tree;
    options.jobs = 1;
    options.level = 1;
    pack::PackSummary summary;
    std::ostringstream err;
    ASSERT_TRUE(pack::Pack(options, summary, err)) << err.str();
  }
  void TearDown() override {
    VornLogger::shared().waitIdle();
    VornLogger::setReportHandler(nullptr);
    pub->stop();
  }

  std::vector<std::string> takeReports() {
    VornLogger::shared().waitIdle();
    std::lock_guard lock(reportsMutex);
    std::vector<std::string> out;
    out.swap(reports);
    return out;
  }

  std::unique_ptr<GameWorkerable> makeWrapper(const std::optional<std::string>& manifest,
                                              const std::string& shortcutTarget = "") {
    auto wrapper = std::make_unique<GameWorkerWrapper>(kCode, std::nullopt, pub->origin() + "/src", manifest,
                                                       kGameFolder, "Bridged.app", shortcutTarget);
    wrapper->game_worker()->SetShortcutScriptPath(recorder);
    return wrapper;
  }

  testsupport::TempRoot root;
  std::string pubRoot;
  std::unique_ptr<publisher::Publisher> pub;
  const std::string recorder = root.path() + "/record.sh";
  const std::string record = root.path() + "/arguments";
  std::mutex reportsMutex;
  std::vector<std::string> reports;
};

}  // namespace

TEST_F(GameWorkerWrapperTest, AbsentManifestNameMeansNoEngineWork) {
  auto worker = makeWrapper(std::nullopt);
  EXPECT_EQ(worker->getWorkMode(), 0u);
  EXPECT_FALSE(worker->needWork());
  EXPECT_EQ(worker->getWorkMode(), 0u);
  EXPECT_EQ(worker->getProgressInfo(),
            "{\"operationType\": 10000, \"totalSize\": 0, \"currentSize\": 0, \"isRetry\":false}");
  EXPECT_EQ(worker->getErrorInfo(),
            "{\"errorCode\": 0 , \"errorOperation\": 0, \"mainErrorCode\": 0, \"subErrorCode\": 0, "
            "\"errorMessage\": \"\"}");
  EXPECT_FALSE(worker->work());
  EXPECT_EQ(worker->getWorkMode(), 6u);
  EXPECT_TRUE(takeReports().empty());
}

TEST_F(GameWorkerWrapperTest, InstallThroughTheInterface) {
  writeFile(recorder, "printf '%s\\n' \"$@\" > \"" + record + "\"\n");
  auto worker = makeWrapper("b1", "https://games.example/Home/Game");
  EXPECT_EQ(worker->getWorkMode(), 1u);
  ASSERT_TRUE(worker->needWork());
  ASSERT_TRUE(worker->work()) << worker->getErrorInfo();
  EXPECT_EQ(worker->getWorkMode(), 4u);

  const Numbers progress = numbersOf(worker->getProgressInfo());
  EXPECT_EQ(progress.operationType, 12000);
  EXPECT_GT(progress.totalSize, 0);
  EXPECT_EQ(progress.currentSize, progress.totalSize);
  const Numbers error = numbersOf(worker->getErrorInfo());
  EXPECT_EQ(error.errorCode, 0);
  const std::string folder = root / kGameFolder;
  EXPECT_TRUE(fs::exists(folder + "/Bridged.app/Contents/MacOS/Bridged"));
  EXPECT_EQ(readFileOrEmpty(record), folder + "\nBridged.app\n777\n");
  EXPECT_EQ(takeReports(), std::vector<std::string>{"gc=777&tp=12"});
  EXPECT_FALSE(worker->needWork());
}

TEST_F(GameWorkerWrapperTest, RecordsAndCancelFromAnotherThreadWhileWorkRuns) {
  // Hold the object of the data file, so the job waits in mid-install.
  const std::string prefix = obd::utils::Base64Encode("data/level.dat") + ".0.";
  std::string held;
  for (const auto& entry : fs::directory_iterator(pubRoot + "/src")) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0 && name.ends_with(".zqgz")) held = "/src/" + name;
  }
  ASSERT_FALSE(held.empty());
  pub->setFault(held, publisher::Fault::stall());

  auto worker = makeWrapper("b1");
  ASSERT_TRUE(worker->needWork());
  auto job = std::async(std::launch::async, [&] { return worker->work(); });
  ASSERT_TRUE(pub->waitForRequests(held, 1, std::chrono::seconds(20)));
  EXPECT_EQ(worker->getWorkMode(), 1u);
  EXPECT_TRUE(worker->needWork());
  EXPECT_EQ(numbersOf(worker->getProgressInfo()).operationType, 11000);
  EXPECT_EQ(numbersOf(worker->getErrorInfo()).errorCode, 0);
  worker->cancel();
  ASSERT_EQ(job.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(job.get());

  EXPECT_EQ(worker->getWorkMode(), 5u);
  EXPECT_EQ(numbersOf(worker->getProgressInfo()).operationType, 42000);
  EXPECT_EQ(numbersOf(worker->getErrorInfo()).errorOperation, 42000);
  EXPECT_EQ(takeReports(), std::vector<std::string>{"gc=777&tp=13"});
}
