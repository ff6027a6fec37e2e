#pragma once
// Shared by the registered-game tests: a scripted worker, a catalogue record
// builder, the local publisher serving the catalogue, tickets and reports,
// and game bundles that record their launch arguments.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Common/Launcher/ApplicationLauncher.hpp"
#include "Common/Logger/TavloLogger.hpp"
#include "Common/Protocol/SubError.hpp"
#include "Infra/HttpClient/HTTPReportSender.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"
#include "JorvuVornHelper/Common/BackgroundQueue.hpp"
#include "JorvuVornHelper/Common/Game.hpp"
#include "Platform/PropertyList.hpp"
#include "Tests/Infra/HttpClient/TestNetwork.hpp"
#include "Tests/Support/CatalogueRecord.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"
#include "Tests/Support/WaitUntil.hpp"

namespace gametest {

using namespace std::chrono_literals;

// The process's network and log file are set up before main, before any
// thread and before any other test could make the logger.
inline const bool processReady = testnet::setUpProcess();

// A worker whose state the test sets; work() can be held at a gate.
class FakeWorker : public GameWorkerable {
 public:
  std::atomic<std::uint32_t> mode{WorkMode::Install};
  std::atomic<bool> needs{true};
  std::atomic<int> cancels{0};
  std::atomic<int> needWorkCalls{0};
  std::string progress = R"({"operationType":11000,"totalSize":100,"currentSize":40,"isRetry":false})";
  std::string error = R"({"errorCode":0,"errorOperation":0,"mainErrorCode":0,"subErrorCode":0,"errorMessage":""})";
  std::function<bool()> job = [] { return true; };

  GameWorkerWrapperWorkMode getWorkMode() override { return mode; }
  bool needWork() override {
    ++needWorkCalls;
    return needs;
  }
  bool work() override {
    {
      std::lock_guard lock(mutex_);
      ++works_;
      workThread_ = std::this_thread::get_id();
    }
    changed_.notify_all();
    return job();
  }
  void cancel() override {
    ++cancels;
    mode = WorkMode::UserAbort;
  }
  std::string getErrorInfo() override {
    std::lock_guard lock(mutex_);
    return error;
  }
  std::string getProgressInfo() override {
    std::lock_guard lock(mutex_);
    return progress;
  }
  void setTexts(std::string progressText, std::string errorText) {
    std::lock_guard lock(mutex_);
    progress = std::move(progressText);
    error = std::move(errorText);
  }
  bool waitForWork(int n, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return works_ >= n; });
  }
  int works() {
    std::lock_guard lock(mutex_);
    return works_;
  }
  std::thread::id workThread() {
    std::lock_guard lock(mutex_);
    return workThread_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int works_ = 0;
  std::thread::id workThread_;
};

// What the factory was asked to make.
struct MadeWorker {
  std::string kind;  // "url" or "manifest"
  std::uint32_t gameCode = 0;
  std::string obdTag, url, manifestName, targetPath, executable, shortcutTarget;
  bool hasManifestName = false;
};

// A catalogue record with every required key; keys are set or removed as
// raw JSON values.
class Record {
 public:
  explicit Record(std::uint32_t code) : members_(testsupport::requiredCatalogueMembers(code)) {
    members_["setup_file_url"] = R"("http://127.0.0.1:9/source")";
    members_["manifest_name"] = R"("live.manifest")";
    members_["shortcut_install_list"] =
        R"("[{\"Path\":\"Win\",\"Target\":\"w\",\"Index\":0,\"Arg\":\"\"},{\"Path\":\"Mac\",\"Target\":\"mac-target\",\"Index\":1,\"Arg\":\"\"}]")";
  }
  Record& set(const std::string& key, const std::string& rawJson) {
    members_[key] = rawJson;
    return *this;
  }
  Record& text(const std::string& key, const std::string& value) { return set(key, testsupport::jsonQuoted(value)); }
  Record& erase(const std::string& key) {
    members_.erase(key);
    return *this;
  }
  std::string json() const { return testsupport::objectJson(members_); }
  GameInfo info() const { return GameInfo::decode(json()); }

 private:
  std::map<std::string, std::string> members_;
};

using testsupport::kstText;
using testsupport::waitUntil;

// A maintenance object whose window runs from `start` to `end` (catalogue
// time texts, see kstText).
inline std::string maintenance(bool available, const std::string& start, const std::string& end) {
  return R"({"gamecode":1,"available":)" + std::string(available ? "true" : "false") + R"(,"start_time":")" + start +
         R"(","end_time":")" + end + R"(","reason":"server work","related_link":"https://example.test/notice"})";
}

// The SubError case name that `f` throws, "none" when it returns, or the
// text of another exception.
template <class F>
std::string thrownCase(F&& f) {
  try {
    f();
    return "none";
  } catch (const SubError& e) {
    return e.caseName();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
}

class GameFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(processReady);
    server.start();
    live = std::make_unique<testnet::ScopedEnv>(servicehosts::catalogueLiveEnv, server.origin());
    report = std::make_unique<testnet::ScopedEnv>(servicehosts::reportEnv, server.origin());
    ticket = std::make_unique<testnet::ScopedEnv>(servicehosts::ticketEnv, server.origin());
    reports = connectStatisticsReports();
    std::filesystem::create_directories(root / "/Library/Application Support/Jorvu");
    setSystemVersion("12.0");
    factory.makeURLWorker = [this](std::uint32_t code, const std::string& url, const std::string& dir,
                                   const std::string& exe) {
      std::lock_guard lock(madeLock);
      made.push_back({"url", code, "", url, "", dir, exe, "", false});
      return worker;
    };
    factory.makeManifestWorker = [this](std::uint32_t code, const std::string& tag, const std::string& source,
                                        const std::optional<std::string>& manifest, const std::string& target,
                                        const std::string& exe, const std::string& shortcut) {
      std::lock_guard lock(madeLock);
      made.push_back({"manifest", code, tag, source, manifest.value_or(""), target, exe, shortcut,
                      manifest.has_value()});
      return worker;
    };
  }
  void TearDown() override {
    BackgroundQueue::shared().waitIdle();
    TavloLogger::SendTasks::shared().waitDone();
    reports.reset();
  }

  void setSystemVersion(const std::string& version) {
    std::filesystem::create_directories(root / "/System/Library/CoreServices");
    ASSERT_TRUE(platform::writePropertyList(root / "/System/Library/CoreServices/SystemVersion.plist",
                                            platform::PlistValue(platform::PlistDict{{"ProductVersion", version}})));
  }
  void serve(std::uint32_t code, const Record& record, const std::string& tag = "") {
    testsupport::writeFile(root.path() + "/game-info/" + std::to_string(code) + (tag.empty() ? "" : "@" + tag) +
                               ".json",
                           record.json());
  }
  Game registerGame(std::uint32_t code, const Record& record, const std::string& tag = "",
                    std::optional<VantixToken> token = std::nullopt) {
    serve(code, record, tag);
    return Game::make(code, tag, std::move(token), factory);
  }

  // A game bundle under the games folder whose executable records its arguments.
  std::string makeBundle(const std::string& folder, const std::string& app) {
    const std::string bundle = root / ("/Library/Application Support/Jorvu/" + folder + "/" + app);
    const std::string name = std::filesystem::path(app).stem().string();
    std::filesystem::create_directories(bundle + "/Contents/MacOS");
    EXPECT_TRUE(platform::writePropertyList(bundle + "/Contents/Info.plist",
                                platform::PlistValue(platform::PlistDict{{"CFBundleExecutable", name},
                                                                         {"CFBundleIdentifier", "test." + name}})));
    const std::string exe = bundle + "/Contents/MacOS/" + name;
    // Written aside and renamed into place: the game of an earlier launch may
    // still be ending, and until it has, its executable cannot be opened for
    // writing (ETXTBSY).
    const std::string part = exe + ".part";
    std::filesystem::copy_file(testsupport::binDir() + "/jorvu-fakegame", part,
                               std::filesystem::copy_options::overwrite_existing);
    ::chmod(part.c_str(), 0755);
    std::filesystem::rename(part, exe);
    return exe;
  }
  // The arguments the bundle's executable was last started with (waits for them).
  std::optional<std::vector<std::string>> launchedArguments(const std::string& exe) {
    const std::string record = exe + ".args";
    if (!waitUntil([&] { return std::filesystem::exists(record); })) return std::nullopt;
    const std::string bytes = testsupport::readFileOrEmpty(record);
    std::filesystem::remove(record);
    // The game ends right after writing; the next launch must not find it running.
    const std::string bundle = std::filesystem::path(exe).parent_path().parent_path().parent_path().string();
    if (!waitUntil([&] { return !ApplicationLauncher::findRunning(bundle).has_value(); })) return std::nullopt;
    const auto newline = bytes.find('\n');
    if (newline == std::string::npos) return std::nullopt;
    const std::size_t count = std::stoul(bytes.substr(0, newline));
    std::vector<std::string> args;
    std::size_t at = newline + 1;
    while (at < bytes.size()) {
      const auto nul = bytes.find('\0', at);
      if (nul == std::string::npos) return std::nullopt;
      args.push_back(bytes.substr(at, nul - at));
      at = nul + 1;
    }
    if (args.size() != count) return std::nullopt;
    return args;
  }
  // Reports run concurrently: their order of arrival is not the order sent.
  std::vector<std::string> reportQueries() {
    VornLogger::shared().waitIdle();  // every report logged so far has started
    TavloLogger::SendTasks::shared().waitDone();
    std::vector<std::string> out;
    for (const auto& r : server.reports()) out.push_back(r.query);
    std::sort(out.begin(), out.end());
    return out;
  }

  testsupport::TempRoot root;
  publisher::Publisher server{root.path()};
  std::unique_ptr<testnet::ScopedEnv> live, report, ticket;
  std::unique_ptr<TavloLogger::Connection> reports;
  std::shared_ptr<FakeWorker> worker = std::make_shared<FakeWorker>();
  std::mutex madeLock;  // registers may run at the same time
  std::vector<MadeWorker> made;
  GameWorkerFactory factory;
};

}  // namespace gametest
