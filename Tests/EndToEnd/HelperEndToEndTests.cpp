// The whole helper from the outside: the JorvuVornHelper program in a
// temporary root, driven over its real socket by the XPC client as the app
// drives it (and, for the app's self-update, by the app's own launch flow),
// against the local publisher serving catalogue records, sources made by
// jorvu-pack, setup archives and the report endpoint.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <thread>

#include "Common/Launcher/ApplicationLauncher.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasks.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasksController.hpp"
#include "Platform/Bundle.hpp"
#include "Platform/PropertyList.hpp"
#include "Tests/EndToEnd/EndToEndSupport.hpp"
#include "Tests/JorvuVorn/ViewModel/Launch/LaunchTestSupport.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace fs = std::filesystem;
using namespace e2e;
using Status = GameStatus::Status;

namespace {

constexpr const char* kReportPath = "/ifc/ktz.aspx";

DataAnswer ok() { return {true, std::nullopt}; }
DataAnswer failed(const VornHelperError& error) { return {false, ErrorStatus{error}.encode()}; }

// Bytes that do not compress, so objects and deltas have real sizes.
std::string noise(std::size_t size, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

std::map<std::string, std::string> releaseOne() {
  return {
      {"data/one.bin", noise(300000, 1)},       {"data/two.txt", "two\n"},
      {"data/sub/three.bin", noise(120000, 3)}, {"data/empty", ""},
      {"readme.txt", "release one\n"},
  };
}

// Release two changes a large file a little (a delta), drops one and adds one.
std::map<std::string, std::string> releaseTwo() {
  auto files = releaseOne();
  std::string& one = files["data/one.bin"];
  one.replace(1000, 16, "release two here");
  one += noise(5000, 11);
  files.erase("data/two.txt");
  files["data/four.txt"] = "new in two\n";
  files["readme.txt"] = "release two\n";
  return files;
}

// The numbers in `text` where `pattern` has "#" (each one or more decimal
// digits); nothing when the rest differs.
std::optional<std::vector<std::string>> numbersIn(const std::string& text, const std::string& pattern) {
  std::vector<std::string> numbers;
  std::size_t t = 0;
  for (char p : pattern) {
    if (p == '#') {
      const std::size_t start = t;
      while (t < text.size() && text[t] >= '0' && text[t] <= '9') ++t;
      if (t == start) return std::nullopt;
      numbers.push_back(text.substr(start, t - start));
    } else if (t < text.size() && text[t] == p) {
      ++t;
    } else {
      return std::nullopt;
    }
  }
  if (t != text.size()) return std::nullopt;
  return numbers;
}

// What the polls of one job saw: its statuses, and the failure that ended it.
struct Polled {
  std::vector<GameStatus> statuses;
  std::optional<DataAnswer> failure;
  bool reached = false;
};

class HelperEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    helperRoot = temp.path() + "/helper";
    pubRoot = temp.path() + "/pub";
    fs::create_directories(helperRoot);
    fs::create_directories(pubRoot + "/src");
    // This process reaches the helper's socket through the same root.
    ::setenv("JORVU_ROOT", helperRoot.c_str(), 1);
    pub = std::make_unique<publisher::Publisher>(pubRoot);
    pub->start();
  }

  void TearDown() override {
    client.reset();
    if (helper) expectCleanExit(helper->stop());
    pub->stop();
    if (mounted) ::umount2(helperRoot.c_str(), MNT_DETACH);
  }

  // A session, whatever it did, ends cleanly on SIGTERM, and (under the
  // sanitizers) without a report or a leak.
  void expectCleanExit(const std::optional<int>& status) {
    helper.reset();
    const std::string errors = testsupport::readFileOrEmpty(stderrFile());
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << "helper exit status " << (status ? std::to_string(*status) : "none (killed)") << "\n"
        << errors << testsupport::readFileOrEmpty(logFile());
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
  }

  // A small tmpfs as the helper's whole root, so that the volume the engine
  // measures is small. False when this system does not let us mount.
  bool mountSmallRoot(std::size_t bytes) {
    const std::string options = "size=" + std::to_string(bytes);
    mounted = ::mount("tmpfs", helperRoot.c_str(), "tmpfs", 0, options.c_str()) == 0;
    return mounted;
  }

  // The root as the app leaves it, the helper started and a client connected.
  void startHelper() {
    fs::create_directories(gamesFolder());
    fs::create_directories(helperRoot + "/System/Library/CoreServices");
    ASSERT_TRUE(platform::writePropertyList(
        helperRoot + "/System/Library/CoreServices/SystemVersion.plist",
        platform::PlistValue(
            platform::PlistDict{{"ProductName", std::string("macOS")}, {"ProductVersion", std::string("12.0")}})));
    const std::string origin = pub->origin();
    testsupport::HelperOptions options;
    options.env = {
        {"JORVU_ROOT", helperRoot},
        {"HOME", helperRoot + "/home"},
        {"XDG_DESKTOP_DIR", desktop()},
        {"JORVU_CATALOGUE_LIVE_HOST", origin},
        {"JORVU_CATALOGUE_TEST_HOST", origin},
        {"JORVU_REPORT_HOST", origin},
        {"JORVU_TICKET_HOST", origin},
    };
    // Callable at once; the games it starts end with it.
    options.handOverSocket = true;
    options.stderrPath = stderrFile();
    options.ownGroup = true;
    helper = std::make_unique<testsupport::HelperProcess>(std::move(options));
    ASSERT_TRUE(helper->started());
    client = std::make_unique<Client>();
    ASSERT_EQ(client->connect(), true);
  }

  std::string gamesFolder() const { return helperRoot + "/Library/Application Support/Jorvu"; }
  std::string vornFolder() const { return gamesFolder() + "/Vorn"; }
  std::string loaderArgs() const { return temp.path() + "/loader.args"; }

  // The installed app (version 1.0), and a newer release of it published,
  // whose loader notes its arguments in loaderArgs().
  void installAppAndPublishUpdate() {
    makeFakeGameBundle(temp.path() + "/app", "JorvuVorn");
    const std::string bundle = temp.path() + "/app/JorvuVorn.app";
    auto plist = platform::readPropertyList(bundle + "/Contents/Info.plist");
    ASSERT_TRUE(plist && plist->dict());
    platform::PlistDict dict = *plist->dict();
    dict["CFBundleShortVersionString"] = platform::PlistValue(std::string("1.0"));
    ASSERT_TRUE(platform::writePropertyList(bundle + "/Contents/Info.plist", platform::PlistValue(dict)));
    fs::create_directories(vornFolder());
    fs::copy(bundle, vornFolder() + "/JorvuVorn.app", fs::copy_options::recursive);
    const std::string loader = bundle + "/Contents/Resources/JorvuVornLoader";
    testsupport::writeFile(loader, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + loaderArgs() + "'\n");
    fs::permissions(loader, fs::perms::owner_all);
    pub->publishApp(bundle, "2.0", testsupport::binDir() + "/jorvu-pack");
  }
  std::string desktop() const { return helperRoot + "/home/Desktop"; }
  // Outside the helper's root, which may be a small volume.
  std::string stderrFile() const { return temp.path() + "/helper-stderr.txt"; }
  std::string logFile() const { return helperRoot + "/home/Library/Logs/JorvuLauncher/JorvuVornHelper.log"; }
  std::string tree(const std::string& name) const { return temp.path() + "/trees/" + name; }
  std::string sourceURL() const { return pub->origin() + "/src"; }

  void serve(std::uint32_t code, const Record& record) {
    testsupport::writeFile(pubRoot + "/game-info/" + std::to_string(code) + ".json", record.json());
  }

  // A release of the game: its files beside the game bundle "Game.app",
  // published with jorvu-pack (with deltas from `from` when given).
  void publish(const std::string& name, const std::map<std::string, std::string>& files, const std::string& from = "") {
    writeTree(tree(name), files);
    makeFakeGameBundle(tree(name), "Game");
    std::vector<std::string> argv{testsupport::binDir() + "/jorvu-pack",
                                  "--out",
                                  pubRoot + "/src",
                                  "--name",
                                  name,
                                  "--jobs",
                                  "2",
                                  "--level",
                                  "1"};
    if (!from.empty()) argv.insert(argv.end(), {"--from", tree(from), "--from-name", from});
    argv.push_back(tree(name));
    ASSERT_EQ(runProgram(argv), 0) << "jorvu-pack " << name;
  }

  // A catalogue record of a manifest game installed from the source.
  Record manifestGame(std::uint32_t code, const std::string& manifest, const std::string& folder) {
    Record r(code);
    r.text("setup_file_url", sourceURL())
        .text("manifest_name", manifest)
        .text("install_folder_name", folder)
        .text("mac_executable_file_name", "Game.app")
        .text(
            "shortcut_install_list",
            R"([{"Path":"Win","Target":"w","Index":0,"Arg":""},{"Path":"Mac","Target":"https://games.example/Home/Game","Index":1,"Arg":""}])")
        .text("command_line_info", "-sid=%SID% -arg=%ARG% -again=%SID% -loc=%LOC% -dom=%DOM%");
    return r;
  }

  std::vector<std::string> objectPaths(const std::string& suffix) const {
    std::vector<std::string> out;
    for (const std::string& f : filesEndingWith(pubRoot + "/src", suffix)) out.push_back("/src/" + f);
    return out;
  }
  std::size_t requestsFor(const std::vector<std::string>& paths) const {
    std::size_t n = 0;
    for (const auto& p : paths) n += pub->requestCount(p);
    return n;
  }
  void faultEach(const std::vector<std::string>& paths, const publisher::Fault& fault) {
    for (const auto& p : paths) pub->setFault(p, fault);
  }

  // Polls the game's status as the app does, until it is `until`, the status
  // request fails, or the time is up.
  Polled pollStatus(std::uint32_t code, Status until, std::chrono::milliseconds limit = 30s) {
    Polled out;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      const DataAnswer a = client->status(code);
      if (!a.first || !a.second) {
        out.failure = a;
        return out;
      }
      out.statuses.push_back(GameStatus::decode(*a.second));
      if (out.statuses.back().status == until) {
        out.reached = true;
        return out;
      }
      std::this_thread::sleep_for(150ms);
    }
    return out;
  }

  // The queries of the reports the publisher has, sorted (reports are sent
  // concurrently: they arrive in any order).
  std::vector<std::string> reportsAfter(std::size_t count) {
    EXPECT_TRUE(pub->waitForReports(count, 20s)) << "fewer than " << count << " reports";
    std::vector<std::string> out;
    for (const auto& r : pub->reports()) out.push_back(r.query);
    std::sort(out.begin(), out.end());
    return out;
  }

  // The arguments the game bundle's executable was started with; waits for
  // its record and removes it.
  std::optional<std::vector<std::string>> launchedArguments(const std::string& bundle) {
    const std::string name = fs::path(bundle).stem().string();
    const std::string record = bundle + "/Contents/MacOS/" + name + ".args";
    if (!waitUntil([&] { return fs::exists(record); })) return std::nullopt;
    const std::string bytes = testsupport::readFileOrEmpty(record);
    fs::remove(record);
    const auto newline = bytes.find('\n');
    if (newline == std::string::npos) return std::nullopt;
    std::vector<std::string> args;
    for (std::size_t at = newline + 1; at < bytes.size();) {
      const auto nul = bytes.find('\0', at);
      if (nul == std::string::npos) return std::nullopt;
      args.push_back(bytes.substr(at, nul - at));
      at = nul + 1;
    }
    if (std::to_string(args.size()) != bytes.substr(0, newline)) return std::nullopt;
    // The next launch must not find this one still running (it would rightly
    // start nothing): wait for the game to end.
    if (!waitUntil([&] { return !ApplicationLauncher::findRunning(bundle).has_value(); })) return std::nullopt;
    return args;
  }

  testsupport::TempRoot temp;
  std::string helperRoot;
  std::string pubRoot;
  bool mounted = false;
  std::unique_ptr<publisher::Publisher> pub;
  std::unique_ptr<testsupport::HelperProcess> helper;
  std::unique_ptr<Client> client;
};

// Sizes only rise within one operation, and the job ends ready with all of
// its bytes done.
void expectProgressRisesToTheTotal(const Polled& polled, Status working) {
  ASSERT_TRUE(polled.reached) << (polled.failure && polled.failure->second ? *polled.failure->second : "time-out");
  const auto& seen = polled.statuses;
  const bool sawWork =
      std::any_of(seen.begin(), seen.end(), [&](const GameStatus& s) { return s.status == working && s.progress; });
  EXPECT_TRUE(sawWork) << "no " << toString(working) << " status with progress among " << seen.size();
  for (std::size_t i = 0; i < seen.size(); ++i) {
    if (!seen[i].progress) continue;
    const auto& p = *seen[i].progress;
    EXPECT_LE(p.currentSize, p.totalSize) << i;
    if (i > 0 && seen[i - 1].progress && seen[i - 1].progress->operationType == p.operationType) {
      EXPECT_GE(p.currentSize, seen[i - 1].progress->currentSize) << i;
    }
  }
  const GameStatus& last = seen.back();
  EXPECT_EQ(last.status, Status::ready);
  ASSERT_TRUE(last.progress);
  // The operation of a finished job: install or patch complete.
  EXPECT_EQ(last.progress->operationType, working == Status::patch ? 31000u : 12000u);
  EXPECT_GT(last.progress->totalSize, 0u);
  EXPECT_EQ(last.progress->currentSize, last.progress->totalSize);
}

}  // namespace

TEST_F(HelperEndToEnd, ManifestGameInstallsLaunchesAndPatches) {
  constexpr std::uint32_t code = 4001;
  ASSERT_NO_FATAL_FAILURE(publish("r1", releaseOne()));
  serve(code, manifestGame(code, "r1", "Orbit"));
  const std::string folder = gamesFolder() + "/Orbit";
  const std::string bundle = folder + "/Game.app";
  // Each object takes a while, so the polls see the install under way.
  faultEach(objectPaths(".zqgz"), publisher::Fault::stall(200ms));
  ASSERT_NO_FATAL_FAILURE(startHelper());

  ASSERT_EQ(client->registerGame(code), ok());
  EXPECT_EQ(client->registerGame(code), failed(VornHelperError::GameAlreadyRegistered{}));
  EXPECT_EQ(client->execute(code, "early"), failed(VornHelperError::WorkRequired{}));
  ASSERT_EQ(client->work(code), ok());
  // One job at a time, its own game's included.
  EXPECT_EQ(client->work(code), failed(VornHelperError::WorkingAnotherGame{code}));
  EXPECT_EQ(client->work(9999), failed(VornHelperError::WorkingAnotherGame{code}));
  expectProgressRisesToTheTotal(pollStatus(code, Status::ready), Status::install);
  EXPECT_EQ(diffTrees(tree("r1"), folder), "");
  EXPECT_EQ(reportsAfter(1), std::vector<std::string>{"gc=4001&tp=12"});
  // Ready: nothing to do, and another work is free to start.
  EXPECT_EQ(client->work(code), failed(VornHelperError::NoWorkRequired{}));
  EXPECT_EQ(client->work(9999), failed(VornHelperError::GameNotExist{}));

  // The shortcut script made the game's shortcut on the desktop.
  const std::string shortcut = testsupport::readFileOrEmpty(desktop() + "/Game.app/Contents/Info.plist");
  EXPECT_NE(shortcut.find("<key>ZQLaunchIdentifier</key>"), std::string::npos) << shortcut;
  EXPECT_NE(shortcut.find(base64("jorvuvorn://launch?game=4001")), std::string::npos) << shortcut;

  // The launch: one argument, the filled template.
  ASSERT_EQ(client->execute(code, "pass me"), ok());
  auto args = launchedArguments(bundle);
  ASSERT_TRUE(args);
  ASSERT_EQ(args->size(), 1u);
  const auto sids = numbersIn((*args)[0], "-sid=# -arg=pass me -again=# -loc=KR -dom=%DOM%");
  ASSERT_TRUE(sids) << (*args)[0];
  EXPECT_EQ((*sids)[0], (*sids)[1]);  // one session number in both places
  EXPECT_EQ(reportsAfter(2), (std::vector<std::string>{"gc=4001&tp=12", "gc=4001&tp=2"}));

  // Registered anew, the game is launched without work: report 1, and the
  // pass argument's placeholder stays without one.
  ASSERT_EQ(client->clearGame(code), ok());
  ASSERT_EQ(client->registerGame(code), ok());
  ASSERT_EQ(client->execute(code, std::nullopt), ok());
  args = launchedArguments(bundle);
  ASSERT_TRUE(args);
  ASSERT_EQ(args->size(), 1u);
  EXPECT_TRUE(numbersIn((*args)[0], "-sid=# -arg=%ARG% -again=# -loc=KR -dom=%DOM%")) << (*args)[0];
  EXPECT_EQ(reportsAfter(3), (std::vector<std::string>{"gc=4001&tp=1", "gc=4001&tp=12", "gc=4001&tp=2"}));

  // The second release, patched through deltas.
  pub->clearFaults();
  ASSERT_NO_FATAL_FAILURE(publish("r2", releaseTwo(), "r1"));
  const auto deltas = objectPaths(".zqdelta");
  ASSERT_FALSE(deltas.empty());
  faultEach(deltas, publisher::Fault::stall(200ms));
  serve(code, manifestGame(code, "r2", "Orbit"));
  ASSERT_EQ(client->clearGame(code), ok());
  ASSERT_EQ(client->registerGame(code), ok());
  EXPECT_EQ(client->execute(code, "old"), failed(VornHelperError::WorkRequired{}));
  ASSERT_EQ(client->work(code), ok());
  expectProgressRisesToTheTotal(pollStatus(code, Status::ready), Status::patch);
  EXPECT_GT(requestsFor(deltas), 0u);
  EXPECT_EQ(diffTrees(tree("r2"), folder), "");
  ASSERT_EQ(client->execute(code, "new"), ok());
  args = launchedArguments(bundle);
  ASSERT_TRUE(args);
  ASSERT_EQ(args->size(), 1u);
  EXPECT_TRUE(numbersIn((*args)[0], "-sid=# -arg=new -again=# -loc=KR -dom=%DOM%")) << (*args)[0];
  EXPECT_EQ(reportsAfter(5), (std::vector<std::string>{"gc=4001&tp=1", "gc=4001&tp=12", "gc=4001&tp=2", "gc=4001&tp=2",
                                                       "gc=4001&tp=22"}));
}

TEST_F(HelperEndToEnd, SetupArchiveGameInstallsAndLaunches) {
  constexpr std::uint32_t code = 4002;
  const std::string staging = temp.path() + "/archive";
  makeFakeGameBundle(staging, "Setup");
  testsupport::writeFile(staging + "/Setup.app/Contents/Resources/data.bin", noise(200000, 7));
  fs::create_directories(pubRoot + "/dl");
  ASSERT_EQ(runProgram({"/bin/sh", "-c", "cd \"$1\" && exec /usr/bin/zip -qr \"$2\" Setup.app", "sh", staging,
                        pubRoot + "/dl/Setup.zip"}),
            0);
  Record record(code);
  record.text("mac_executable_file_name", pub->origin() + "/dl/Setup.zip")
      .text("install_folder_name", "Ignored")
      .text("shortcut_install_list", "[]")
      .text("command_line_info", "%ARG%");
  serve(code, record);
  pub->setFault("/dl/Setup.zip", publisher::Fault::stall(300ms));
  ASSERT_NO_FATAL_FAILURE(startHelper());

  ASSERT_EQ(client->registerGame(code), ok());
  ASSERT_EQ(client->work(code), ok());
  expectProgressRisesToTheTotal(pollStatus(code, Status::ready), Status::install);
  EXPECT_EQ(pub->requestCount("/dl/Setup.zip"), 2u);  // the check, then the download
  EXPECT_EQ(diffTrees(staging, gamesFolder() + "/Setup"), "");

  ASSERT_EQ(client->execute(code, "from the web page"), ok());
  EXPECT_EQ(launchedArguments(gamesFolder() + "/Setup/Setup.app"), std::vector<std::string>{"from the web page"});
  // A setup archive's install reports nothing of its own.
  EXPECT_EQ(reportsAfter(1), std::vector<std::string>{"gc=4002&tp=2"});
}

TEST_F(HelperEndToEnd, CancelInTheMiddleOfAnInstallThenWorkAgain) {
  constexpr std::uint32_t code = 4003;
  ASSERT_NO_FATAL_FAILURE(publish("r1", releaseOne()));
  serve(code, manifestGame(code, "r1", "Halted"));
  const auto objects = objectPaths(".zqgz");
  faultEach(objects, publisher::Fault::stall());  // held until cleared
  ASSERT_NO_FATAL_FAILURE(startHelper());

  ASSERT_EQ(client->registerGame(code), ok());
  ASSERT_EQ(client->work(code), ok());
  ASSERT_TRUE(waitUntil([&] { return requestsFor(objects) > 0; })) << "no object was asked for";
  const DataAnswer running = client->status(code);
  ASSERT_TRUE(running.first && running.second);
  EXPECT_EQ(GameStatus::decode(*running.second).status, Status::install);

  ASSERT_EQ(client->cancel(code), ok());
  const Polled polled = pollStatus(code, Status::cancel);
  ASSERT_TRUE(polled.reached) << (polled.failure && polled.failure->second ? *polled.failure->second : "time-out");
  EXPECT_EQ(reportsAfter(2), (std::vector<std::string>{"gc=4003&tp=13", "gc=4003&tp=62"}));

  // The cancelled install is picked up again and finished.
  pub->clearFaults();
  ASSERT_EQ(client->work(code), ok());
  expectProgressRisesToTheTotal(pollStatus(code, Status::ready), Status::install);
  EXPECT_EQ(diffTrees(tree("r1"), gamesFolder() + "/Halted"), "");
  EXPECT_EQ(reportsAfter(3), (std::vector<std::string>{"gc=4003&tp=12", "gc=4003&tp=13", "gc=4003&tp=62"}));
}

TEST_F(HelperEndToEnd, ClearGameAnswersOnlyAfterThePendingReportsReachedThePublisher) {
  constexpr std::uint32_t code = 4004;
  serve(code, manifestGame(code, "r1", "Quiet"));
  ASSERT_NO_FATAL_FAILURE(startHelper());
  ASSERT_EQ(client->registerGame(code), ok());

  // The report endpoint holds each answer for a while.
  constexpr auto held = 1500ms;
  pub->setFault(kReportPath, publisher::Fault::stall(held));
  const auto start = std::chrono::steady_clock::now();
  // The helper's log is busy (every panel request writes two lines) when the
  // cancel's report and the clear come, back to back.
  // (In batches: a peer may leave only so many calls unanswered at once.)
  for (int batch = 0; batch < 10; ++batch) {
    platform::OneShot<bool> answered;
    auto left = std::make_shared<std::atomic<int>>(200);
    for (int i = 0; i < 200; ++i) {
      client->proxy().getGamePanelInfo(code, [left, answered](bool, auto) {
        if (--*left == 0) answered.resolve(true);
      });
    }
    ASSERT_TRUE(answered.waitFor(20s));
  }
  platform::OneShot<DataAnswer> cancelled, cleared;
  client->proxy().cancel(code, [cancelled](bool ok, auto data) { cancelled.resolve({ok, data}); });
  client->proxy().clearGame(code, [cleared](bool ok, auto data) { cleared.resolve({ok, data}); });
  const auto clearReply = cleared.waitFor(30s);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(clearReply);
  EXPECT_EQ(*clearReply, ok());
  EXPECT_EQ(cancelled.waitFor(1s), ok());
  // The report's answer was held from its arrival, after the start.
  EXPECT_GE(elapsed, held) << "clearGame answered before the report was through";
  ASSERT_EQ(pub->reports().size(), 1u);
  EXPECT_EQ(pub->reports()[0].query, "gc=4004&tp=62");

  // A code that is not registered waits for no report.
  ASSERT_EQ(client->registerGame(code), ok());
  const auto again = std::chrono::steady_clock::now();
  ASSERT_EQ(client->cancel(code), ok());
  EXPECT_EQ(client->clearGame(777), failed(VornHelperError::GameNotExist{}));
  EXPECT_LT(std::chrono::steady_clock::now() - again, held);
  EXPECT_TRUE(pub->waitForReports(2, 20s));
}

TEST_F(HelperEndToEnd, CatalogueAndConditionFailuresAreMapped) {
  constexpr std::uint32_t code = 4005;
  ASSERT_NO_FATAL_FAILURE(publish("r1", releaseOne()));
  serve(code, manifestGame(code, "r1", "Limited").text("mac_os_version", "13.5"));
  ASSERT_NO_FATAL_FAILURE(startHelper());

  EXPECT_EQ(client->registerGame(4404), failed(VornHelperError::NetworkError{-60, 0, 0, 0}));
  EXPECT_EQ(client->status(4404), failed(VornHelperError::GameNotExist{}));

  // The system (12.0 in the root) is older than the record allows.
  ASSERT_EQ(client->registerGame(code), ok());
  EXPECT_EQ(client->work(code), failed(VornHelperError::OSVersionLimit{12.0f, 13.5f}));
  EXPECT_EQ(requestsFor(objectPaths(".zqgz")), 0u);
  // The user chose to install anyway.
  ASSERT_EQ(client->work(code, true), ok());
  expectProgressRisesToTheTotal(pollStatus(code, Status::ready), Status::install);

  // Inside a maintenance window the installed game does not start.
  const auto now = std::chrono::system_clock::now();
  const std::string from = kstText(now - std::chrono::hours(1));
  const std::string until = kstText(now + std::chrono::hours(1));
  serve(code, manifestGame(code, "r1", "Limited")
                  .set("game_maintenance",
                       R"({"gamecode":4005,"available":false,"start_time":")" + from + R"(","end_time":")" + until +
                           R"(","reason":"server work","related_link":"https://example.test/notice"})"));
  ASSERT_EQ(client->clearGame(code), ok());
  ASSERT_EQ(client->registerGame(code), ok());
  EXPECT_EQ(client->execute(code, "x"),
            failed(VornHelperError::Maintenance{from, until, "server work", "https://example.test/notice"}));
  EXPECT_FALSE(fs::exists(gamesFolder() + "/Limited/Game.app/Contents/MacOS/Game.args"));
}

TEST_F(HelperEndToEnd, LackOfDiskSpaceIsDiskSizeLack) {
  constexpr std::uint32_t code = 4006;
  constexpr std::size_t volume = 2 * 1024 * 1024;
  if (!mountSmallRoot(volume)) {
    GTEST_SKIP() << "cannot mount a small tmpfs as the helper's root (" << std::strerror(errno)
                 << "): the lack of disk space is not tested here";
  }
  auto files = releaseOne();
  files["data/large.bin"] = std::string(6 * 1024 * 1024, 'z');  // small once packed
  ASSERT_NO_FATAL_FAILURE(publish("big", files));
  serve(code, manifestGame(code, "big", "Large"));
  ASSERT_NO_FATAL_FAILURE(startHelper());

  ASSERT_EQ(client->registerGame(code), ok());
  ASSERT_EQ(client->work(code), ok());
  const Polled polled = pollStatus(code, Status::ready);
  ASSERT_TRUE(polled.failure) << "the install did not fail";
  ASSERT_FALSE(polled.failure->first);
  ASSERT_TRUE(polled.failure->second);
  const ErrorStatus answer = ErrorStatus::decode(*polled.failure->second);
  const auto* lack = answer.error.get<VornHelperError::DiskSizeLack>();
  ASSERT_NE(lack, nullptr) << *polled.failure->second;
  EXPECT_EQ(lack->status, Status::install);
  EXPECT_GT(lack->require, 6u * 1024 * 1024);
  EXPECT_LE(lack->total, volume);
  EXPECT_EQ(reportsAfter(1), std::vector<std::string>{"gc=4006&tp=14"});
  // The failed job holds the service no longer.
  EXPECT_EQ(client->work(9999), failed(VornHelperError::GameNotExist{}));
}

TEST_F(HelperEndToEnd, NetworkFailureDuringWorkIsNetworkError) {
  constexpr std::uint32_t code = 4007;
  ASSERT_NO_FATAL_FAILURE(publish("r1", releaseOne()));
  serve(code, manifestGame(code, "r1", "Offline"));
  faultEach(objectPaths(".zqgz"), publisher::Fault::respond(503));
  ASSERT_NO_FATAL_FAILURE(startHelper());

  ASSERT_EQ(client->registerGame(code), ok());
  ASSERT_EQ(client->work(code), ok());
  // The engine tries each object several times, a few seconds apart.
  const Polled polled = pollStatus(code, Status::ready, 60s);
  ASSERT_TRUE(polled.failure) << "the install did not fail";
  EXPECT_EQ(*polled.failure, failed(VornHelperError::NetworkError{-60, 13000, 917, 0}));
  EXPECT_EQ(reportsAfter(1), std::vector<std::string>{"gc=4007&tp=14"});

  // Once the network is back, the next work finishes the install.
  pub->clearFaults();
  ASSERT_EQ(client->work(code), ok());
  expectProgressRisesToTheTotal(pollStatus(code, Status::ready), Status::install);
  EXPECT_EQ(diffTrees(tree("r1"), gamesFolder() + "/Offline"), "");
}

TEST_F(HelperEndToEnd, StoppedDuringAnInstallTheHelperEndsTheJobAndExits) {
  constexpr std::uint32_t code = 4008;
  ASSERT_NO_FATAL_FAILURE(publish("r1", releaseOne()));
  serve(code, manifestGame(code, "r1", "Stopped"));
  const auto objects = objectPaths(".zqgz");
  faultEach(objects, publisher::Fault::stall());  // held until the publisher stops
  ASSERT_NO_FATAL_FAILURE(startHelper());
  ASSERT_EQ(client->registerGame(code), ok());
  ASSERT_EQ(client->work(code), ok());
  ASSERT_TRUE(waitUntil([&] { return requestsFor(objects) > 0; })) << "no object was asked for";
  client.reset();
  // The job is cancelled, reports 13, and the program ends only after it.
  expectCleanExit(helper->stop(20s));
  EXPECT_EQ(reportsAfter(1), std::vector<std::string>{"gc=4008&tp=13"});
}

TEST_F(HelperEndToEnd, TheAppServedAsItsOwnGameUpdatesUnderItsDevelopmentTag) {
  startHelper();
  ASSERT_NO_FATAL_FAILURE(installAppAndPublishUpdate());

  // The development tag has a "/": the helper takes it.
  ASSERT_EQ(client->registerGame(128000, "678e/dev"), ok()) << testsupport::readFileOrEmpty(logFile());
  EXPECT_EQ(client->work(128000, true), ok());
  const Polled polled = pollStatus(128000, Status::ready);
  ASSERT_TRUE(polled.reached) << (polled.failure && polled.failure->second ? *polled.failure->second : "time-out");
  auto installed = platform::Bundle(vornFolder() + "/JorvuVorn.app").shortVersion();
  EXPECT_EQ(installed, "2.0");
  EXPECT_EQ(::access((vornFolder() + "/JorvuVorn.app/Contents/MacOS/JorvuVorn").c_str(), X_OK), 0);
  // Up to date now; a tag leaving the catalogue's folder is refused.
  EXPECT_EQ(client->work(128000, true), failed(VornHelperError::NoWorkRequired{}));
  EXPECT_EQ(client->registerGame(5, "678e/../x"), failed(VornHelperError::Crash{}));
}

// The app's launch flow in this process, as one app process runs it, against
// the helper: a self-update that failed is run again by the next launch.
class SelfUpdateEndToEnd : public HelperEndToEnd {
 protected:
  void SetUp() override {
    HelperEndToEnd::SetUp();
    ASSERT_NO_FATAL_FAILURE(startHelper());
    ASSERT_NO_FATAL_FAILURE(installAppAndPublishUpdate());
  }

  void TearDown() override {
    if (tasks) tasks->shutdown();
    mainThread.stop();
    XPCClient::setProxy(nullptr);
    HelperEndToEnd::TearDown();
  }

  void makeTasks(double selfUpdateTimeout) {
    WebLaunchingTasks::Options options;
    options.selfUpdateTimeout = selfUpdateTimeout;
    options.readDebugMode = [] { return false; };
    tasks = std::make_shared<WebLaunchingTasks>(mainThread, ui, appClient, options);
  }

  // Runs one launch of a game whose status port is free to its end; its steps.
  std::vector<std::string> launch() {
    const std::uint32_t code = testsupport::freeGameCode();
    GameExecuteInfo info;
    info.gameCode = code;
    info.url = "jorvuvorn://launch?game=" + std::to_string(code);
    info.isAutoExecute = true;
    platform::OneShot<bool> completed;
    launchtest::LogMark mark;
    auto controller = WebLaunchingTasksController::make(tasks, info, [completed] { completed.resolve(true); });
    controller->start();
    EXPECT_TRUE(completed.waitFor(120s)) << testsupport::readFileOrEmpty(logFile());
    tasks->actorQueue().waitIdle();
    mainThread.drain();
    return mark.steps(code);
  }

  // The app's objects on the publisher.
  std::vector<std::string> appObjects() const {
    std::vector<std::string> out;
    for (const std::string& f : filesEndingWith(pubRoot + "/app-source", ".zqgz")) out.push_back("/app-source/" + f);
    return out;
  }

  void expectUpdatedAndReloaded(const std::vector<std::string>& steps) {
    EXPECT_EQ(steps, (std::vector<std::string>{"ready->register", "register->error(needReloading)",
                                               "error(needReloading)->reloading", "reloading->done"}))
        << testsupport::readFileOrEmpty(logFile());
    EXPECT_EQ(platform::Bundle(vornFolder() + "/JorvuVorn.app").shortVersion(), "2.0");
    EXPECT_TRUE(waitUntil([&] { return fs::exists(loaderArgs()); }));
    VornLogger::setIsRemainLogFile(false);
  }

  launchtest::TestMainThread mainThread;
  launchtest::RecordingInterface ui;
  XPCClient appClient{60s};
  std::shared_ptr<WebLaunchingTasks> tasks;
};

TEST_F(SelfUpdateEndToEnd, ARefusedDownloadEndsTheLaunchAndTheNextOneUpdates) {
  makeTasks(300.0);
  const auto objects = appObjects();
  ASSERT_FALSE(objects.empty());
  faultEach(objects, publisher::Fault::respond(503));
  const auto first = launch();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[1].rfind("register->error(NetworkError(", 0), 0u) << first[1];
  ASSERT_EQ(ui.popups().size(), 1u);
  EXPECT_TRUE(ui.popups()[0].error.is<VornHelperError::NetworkError>());

  pub->clearFaults();
  expectUpdatedAndReloaded(launch());
}

TEST_F(SelfUpdateEndToEnd, ATimedOutUpdateIsCancelledAndTheNextLaunchUpdates) {
  makeTasks(1.0);
  faultEach(appObjects(), publisher::Fault::stall());
  EXPECT_EQ(launch().back(), "error(timeout)->done");
  // The game cannot be started now, and the player is told so.
  ASSERT_EQ(ui.popups().size(), 1u);
  EXPECT_TRUE(ui.popups()[0].error.is<VornHelperError::ExecuteFailed>());

  pub->clearFaults();
  expectUpdatedAndReloaded(launch());
}
