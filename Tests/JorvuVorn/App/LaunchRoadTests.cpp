// The launch roads of the real app program, headless (and, for the tests
// named WithADisplay, under Xvfb): installed with scripts/install-app into a
// temporary root, its helper started through our launchctl from the
// installed layout, against the local publisher serving the games and the
// app itself (game 128000).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Platform/Bundle.hpp"
#include "Platform/PropertyList.hpp"
#include "Tests/EndToEnd/EndToEndSupport.hpp"
#include "Tests/JorvuVorn/App/AppTestSupport.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace fs = std::filesystem;

namespace {

using apptest::InstalledApp;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const Lines installRoad = {"ready->register",
                           "register->execute",
                           "execute->error(WorkRequired)",
                           "error(WorkRequired)->work",
                           "work->execute",
                           "execute->done"};

class LaunchRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<InstalledApp>(InstalledApp::Launches::real);
    pub = std::make_unique<publisher::Publisher>(pubRoot());
    pub->start();
    const std::string origin = pub->origin();
    app->extraEnv = {
        {"JORVU_CATALOGUE_LIVE_HOST", origin},  {"JORVU_CATALOGUE_TEST_HOST", origin},
        {"JORVU_REPORT_HOST", origin},          {"JORVU_TICKET_HOST", origin},
        {"XDG_DESKTOP_DIR", app->root().path() + "/desktop"},
    };
    // The log folder stays after each run, for the step lines.
    testsupport::writeFile(app->root() / "/Library/Application Support/Jorvu/VornConfig.json",
                           R"({"common":{"isRemainLogFile":true},"games":[]})");
    fs::create_directories(app->root() / "/System/Library/CoreServices");
    ASSERT_TRUE(platform::writePropertyList(
        app->root() / "/System/Library/CoreServices/SystemVersion.plist",
        platform::PlistValue(
            platform::PlistDict{{"ProductName", std::string("macOS")}, {"ProductVersion", std::string("12.0")}})));
    // The installed app is the current release, and the helper knows it.
    const std::string release = pub->publishApp(installedBundle(), "", testsupport::binDir() + "/jorvu-pack");
    ASSERT_EQ(e2e::runProgram({testsupport::binDir() + "/jorvu-obd", "install", "--source", origin + "/app-source",
                               "--manifest", release, "--target", vorn(), "--code", "128000", "--exe",
                               "JorvuVorn.app"}),
              0);
    // As the helper leaves an installed game: everything executable.
    ASSERT_EQ(e2e::runProgram({"/bin/chmod", "-R", "755", vorn()}), 0);
    ASSERT_EQ(::access(app->program().c_str(), X_OK), 0) << app->program();
  }

  void TearDown() override {
    app.reset();
    pub->stop();
  }

  std::string pubRoot() const { return app->root().path() + "/pub"; }
  std::string vorn() const { return app->root() / "/Library/Application Support/Jorvu/Vorn"; }
  std::string installedBundle() const { return vorn() + "/JorvuVorn.app"; }
  std::string gameFolder(const std::string& folder) const {
    return app->root() / ("/Library/Application Support/Jorvu/" + folder);
  }
  std::string tree(const std::string& name) const { return app->root().path() + "/trees/" + name; }

  // A release of a game: a few files beside the bundle Game.app.
  void publish(const std::string& name, const std::string& readme, const std::string& from = "") {
    e2e::writeTree(tree(name), {{"readme.txt", readme}, {"data/one.bin", std::string(50000, 'a') + readme}});
    e2e::makeFakeGameBundle(tree(name), "Game");
    std::vector<std::string> argv{testsupport::binDir() + "/jorvu-pack", "--out", pubRoot() + "/src", "--name", name,
                                  "--jobs", "2", "--level", "1"};
    if (!from.empty()) argv.insert(argv.end(), {"--from", tree(from), "--from-name", from});
    argv.push_back(tree(name));
    ASSERT_EQ(e2e::runProgram(argv), 0) << "jorvu-pack " << name;
  }

  e2e::Record game(std::uint32_t code, const std::string& manifest, const std::string& folder) {
    e2e::Record r(code);
    r.text("setup_file_url", pub->origin() + "/src")
        .text("manifest_name", manifest)
        .text("install_folder_name", folder)
        .text("mac_executable_file_name", "Game.app")
        .text("shortcut_install_list", "[]")
        .text("command_line_info", "-arg=%ARG%");
    return r;
  }
  void serve(std::uint32_t code, const e2e::Record& record) {
    testsupport::writeFile(pubRoot() + "/game-info/" + std::to_string(code) + ".json", record.json());
  }

  // Runs the app with these start URLs until it ends by itself; the log
  // lines it wrote.
  Lines run(const std::vector<std::string>& urls, const std::string& name) {
    const std::size_t before = logLines().size();
    const auto status = app->start(urls, name)->wait(120s);
    EXPECT_EQ(status, 0) << testsupport::readFileOrEmpty(app->root().path() + "/" + name + ".out") << app->log();
    EXPECT_FALSE(app->helperPid()) << "the helper's job is still loaded";
    const Lines all = logLines();
    return Lines(all.begin() + static_cast<long>(std::min(before, all.size())), all.end());
  }

  Lines logLines() const {
    Lines out;
    std::istringstream in(app->log());
    for (std::string line; std::getline(in, line);) {
      for (const char* level : {"[INFO] ", "[ERROR] "}) {
        const auto at = line.find(level);
        if (at != std::string::npos) out.push_back(line.substr(at));
      }
    }
    return out;
  }

  static Lines steps(const Lines& lines, std::uint32_t code) {
    const std::string prefix = "[INFO] gameCode=" + std::to_string(code) + ", step [";
    Lines out;
    for (const auto& l : lines) {
      if (l.rfind(prefix, 0) != 0) continue;
      std::string rest = l.substr(prefix.size());
      const auto mid = rest.find("]->[");
      out.push_back(rest.substr(0, mid) + "->" + rest.substr(mid + 4, rest.size() - mid - 5));
    }
    return out;
  }
  static std::size_t count(const Lines& lines, const std::string& text) {
    std::size_t n = 0;
    for (const auto& l : lines) n += l.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

  // The arguments the game's executable was last started with.
  std::optional<std::string> launchedWith(const std::string& folder) {
    const std::string record = gameFolder(folder) + "/Game.app/Contents/MacOS/Game.args";
    if (!apptest::waitUntil([&] { return fs::exists(record); }, 20s)) return std::nullopt;
    const std::string bytes = testsupport::readFileOrEmpty(record);
    fs::remove(record);
    return bytes;
  }

  // A game the publisher serves, whose status port another program holds
  // (another user's app playing the same game, say); its start URL.
  std::string gameWithItsPortTaken(std::uint32_t code) {
    publish("g1", "release one\n");
    serve(code, game(code, "g1", "Taken"));
    // The default configuration: the log folder goes at exit unless an error
    // was logged.
    fs::remove(app->root() / "/Library/Application Support/Jorvu/VornConfig.json");
    return "jorvuvorn://launch?game=" + std::to_string(code);
  }
  // What a launch whose status port was taken leaves behind.
  void expectTheTakenPortSaidSo(std::uint32_t code) {
    ASSERT_TRUE(fs::exists(app->logFolder())) << "the log folder went: nothing says what failed";
    const Lines log = logLines();
    const Lines s = steps(log, code);
    ASSERT_EQ(s.size(), 3u) << app->log();
    EXPECT_EQ(s[0], "ready->register");
    EXPECT_EQ(s[1].rfind("register->error(bindFailure(\"(98) ", 0), 0u) << s[1];
    EXPECT_EQ(s[2].rfind("error(bindFailure(", 0), 0u) << s[2];
    EXPECT_EQ(s[2].substr(s[2].size() - 6), "->done") << s[2];
    EXPECT_EQ(count(log, "[ERROR] gameCode=" + std::to_string(code) + " bindFailure("), 1u) << app->log();
    EXPECT_FALSE(app->helperPid()) << "the helper's job is still loaded";
    EXPECT_FALSE(fs::exists(gameFolder("Taken")));
  }

  std::unique_ptr<InstalledApp> app;
  std::unique_ptr<publisher::Publisher> pub;
};

TEST_F(LaunchRoad, InstallThenUpToDateThenPatchAndTheAppEndsEachTime) {
  const std::uint32_t code = testsupport::freeGameCode();
  ASSERT_NO_FATAL_FAILURE(publish("g1", "release one\n"));
  serve(code, game(code, "g1", "Orbit"));
  const std::string url = "jorvuvorn://launch?game=" + std::to_string(code) + "&passarg=hello";

  Lines log = run({url}, "install");
  EXPECT_EQ(steps(log, code), installRoad);
  EXPECT_EQ(count(log, "[selfUpdate] gameCode=128000, obdTag=678e"), 1u);
  EXPECT_EQ(count(log, "gameCode=" + std::to_string(code) + " work start"), 1u);
  auto args = launchedWith("Orbit");
  ASSERT_TRUE(args);
  EXPECT_NE(args->find("-arg=hello"), std::string::npos) << *args;

  log = run({url}, "uptodate");
  EXPECT_EQ(steps(log, code), (Lines{"ready->register", "register->execute", "execute->done"}));
  EXPECT_TRUE(launchedWith("Orbit"));

  ASSERT_NO_FATAL_FAILURE(publish("g2", "release two\n", "g1"));
  serve(code, game(code, "g2", "Orbit"));
  log = run({url}, "patch");
  EXPECT_EQ(steps(log, code), installRoad);
  EXPECT_EQ(testsupport::readFileOrEmpty(gameFolder("Orbit") + "/readme.txt"), "release two\n");
  EXPECT_TRUE(launchedWith("Orbit"));
}

TEST_F(LaunchRoad, TheAppUpdatesItselfAndTheUpdatedAppLaunchesTheGame) {
  const std::uint32_t code = testsupport::freeGameCode();
  ASSERT_NO_FATAL_FAILURE(publish("g1", "release one\n"));
  serve(code, game(code, "g1", "Comet"));
  const std::string oldVersion = platform::Bundle(installedBundle()).shortVersion().value_or("");
  pub->publishApp(installedBundle(), "9.9.9", testsupport::binDir() + "/jorvu-pack");

  const std::size_t before = logLines().size();
  const auto status = app->start({"jorvuvorn://launch?game=" + std::to_string(code) + "&passarg=after-update"}, "old")->wait(120s);
  EXPECT_EQ(status, 0);
  // The loader starts the updated app once the old one has ended.
  auto args = launchedWith("Comet");
  ASSERT_TRUE(args) << app->log();
  EXPECT_NE(args->find("-arg=after-update"), std::string::npos) << *args;
  EXPECT_EQ(platform::Bundle(installedBundle()).shortVersion(), "9.9.9");
  ASSERT_TRUE(apptest::waitUntil([&] { return count(logLines(), "applicationWillTerminate") >= 2; }, 60s));
  const Lines all = logLines();
  const Lines log(all.begin() + static_cast<long>(before), all.end());
  EXPECT_EQ(count(log, "current version=" + oldVersion), 1u);
  EXPECT_EQ(count(log, "current version=9.9.9"), 1u);
  EXPECT_EQ(count(log, "success selfupdate"), 1u);
  const Lines s = steps(log, code);
  ASSERT_GE(s.size(), 4u);
  EXPECT_EQ(Lines(s.begin(), s.begin() + 4), (Lines{"ready->register", "register->error(needReloading)",
                                                    "error(needReloading)->reloading", "reloading->done"}));
  EXPECT_EQ(Lines(s.begin() + 4, s.end()), installRoad);
  ASSERT_TRUE(apptest::waitUntil([&] { return !app->helperPid(); }, 30s));

  // Installing again puts this build's app in place and leaves no record
  // that names the release it replaced; the game and its record stay.
  const std::string gameRecord = gameFolder("Comet") + "/obd-manifest-" + std::to_string(code);
  const std::string gameRecordBytes = testsupport::readFileOrEmpty(gameRecord);
  ASSERT_FALSE(gameRecordBytes.empty());
  std::string output;
  ASSERT_EQ(apptest::runInstaller(app->appEnv(), &output), 0) << output;
  EXPECT_EQ(platform::Bundle(installedBundle()).shortVersion(), oldVersion);
  EXPECT_FALSE(fs::exists(vorn() + "/obd-manifest-128000"));
  EXPECT_EQ(testsupport::readFileOrEmpty(gameRecord), gameRecordBytes);
  EXPECT_EQ(testsupport::readFileOrEmpty(gameFolder("Comet") + "/readme.txt"), "release one\n");

  // So the next start brings the publisher's release back before the game.
  const std::size_t reinstalled = logLines().size();
  EXPECT_EQ(app->start({"jorvuvorn://launch?game=" + std::to_string(code) + "&passarg=again"}, "again")->wait(120s), 0);
  args = launchedWith("Comet");
  ASSERT_TRUE(args) << app->log();
  EXPECT_NE(args->find("-arg=again"), std::string::npos) << *args;
  EXPECT_EQ(platform::Bundle(installedBundle()).shortVersion(), "9.9.9");
  ASSERT_TRUE(apptest::waitUntil([&] { return count(logLines(), "applicationWillTerminate") >= 4; }, 60s));
  const Lines later = logLines();
  const Lines again(later.begin() + static_cast<long>(reinstalled), later.end());
  EXPECT_EQ(count(again, "success selfupdate"), 1u);
  EXPECT_EQ(count(again, "current version=9.9.9"), 1u);
  ASSERT_TRUE(apptest::waitUntil([&] { return !app->helperPid(); }, 30s));
}

TEST_F(LaunchRoad, TwoStartURLsAtOnceShareOneSelfUpdateAndBothGamesStart) {
  const auto [left, right] = testsupport::freeGameCodes<2>();
  ASSERT_NO_FATAL_FAILURE(publish("g1", "release one\n"));
  serve(left, game(left, "g1", "Left"));
  serve(right, game(right, "g1", "Right"));
  // Installed one after the other (the helper runs one job at a time: a
  // second install at once would end with WorkingAnotherGame).
  run({"jorvuvorn://launch?game=" + std::to_string(left)}, "left");
  run({"jorvuvorn://launch?game=" + std::to_string(right)}, "right");
  ASSERT_TRUE(launchedWith("Left"));
  ASSERT_TRUE(launchedWith("Right"));

  const Lines log = run({"jorvuvorn://launch?game=" + std::to_string(left), "jorvuvorn://launch?game=" + std::to_string(right)}, "two");
  EXPECT_EQ(count(log, "[selfUpdate] gameCode=128000"), 1u);
  EXPECT_EQ(steps(log, left).back(), "execute->done");
  EXPECT_EQ(steps(log, right).back(), "execute->done");
  EXPECT_TRUE(launchedWith("Left"));
  EXPECT_TRUE(launchedWith("Right"));
}

TEST_F(LaunchRoad, HelperErrorsReachTheInterfaceAsPopupsAndTheLaunchEnds) {
  const auto [limited, closed, offline] = testsupport::freeGameCodes<3>();
  ASSERT_NO_FATAL_FAILURE(publish("g1", "release one\n"));
  // The OS-version limit.
  serve(limited, game(limited, "g1", "Limited").text("mac_os_version", "13.5"));
  Lines log = run({"jorvuvorn://launch?game=" + std::to_string(limited)}, "limit");
  EXPECT_EQ(steps(log, limited).back(), "error(OSVersionLimit(currentOS: 12.0, limitOS: 13.5))->done");
  // Headless, no popup can be shown: the launch answers for the user.
  EXPECT_EQ(count(log, "[ERROR] An error occurred: InterfaceError"), 1u);

  // A maintenance window.
  const auto now = std::chrono::system_clock::now();
  const std::string from = e2e::kstText(now - std::chrono::hours(1));
  const std::string until = e2e::kstText(now + std::chrono::hours(1));
  serve(closed, game(closed, "g1", "Closed")
                 .set("game_maintenance", R"({"gamecode":)" + std::to_string(closed) + R"(,"available":false,"start_time":")" + from +
                                              R"(","end_time":")" + until +
                                              R"(","reason":"server work","related_link":"https://example.test/n"})"));
  log = run({"jorvuvorn://launch?game=" + std::to_string(closed)}, "maintenance");
  EXPECT_EQ(steps(log, closed).back().rfind("error(Maintenance(", 0), 0u) << steps(log, closed).back();
  EXPECT_FALSE(fs::exists(gameFolder("Closed") + "/Game.app/Contents/MacOS/Game.args"));

  // The publisher's files cannot be had.
  for (const auto& object : e2e::filesEndingWith(pubRoot() + "/src", ".zqgz")) {
    pub->setFault("/src/" + object, publisher::Fault::respond(503));
  }
  serve(offline, game(offline, "g1", "Offline"));
  log = run({"jorvuvorn://launch?game=" + std::to_string(offline)}, "network");
  EXPECT_EQ(steps(log, offline).back().rfind("error(NetworkError(", 0), 0u) << steps(log, offline).back();
}

TEST_F(LaunchRoad, AGameWhoseStatusPortIsTakenEndsTheAppWithAnErrorItSaysOnStandardError) {
  const std::uint32_t code = testsupport::freeGameCode();
  testsupport::HeldPort taken(static_cast<std::uint16_t>(code));
  ASSERT_TRUE(taken.held());
  std::string url;
  ASSERT_NO_FATAL_FAILURE(url = gameWithItsPortTaken(code));

  EXPECT_EQ(app->start({url}, "taken")->wait(120s), 1);
  const std::string output = testsupport::readFileOrEmpty(app->root().path() + "/taken.out");
  const std::string said = "JorvuVorn: game " + std::to_string(code) + " cannot be started now: its status port 127.0.0.1:" +
                           std::to_string(code) + " is taken by another program\n";
  EXPECT_NE(output.find(said), std::string::npos) << output;
  expectTheTakenPortSaidSo(code);
  // Without a display the popup cannot be shown: the launch answers for the player.
  EXPECT_EQ(count(logLines(), "[ERROR] An error occurred: InterfaceError"), 1u);
}

TEST_F(LaunchRoad, WithADisplayAGameWhoseStatusPortIsTakenShowsThePopupOfAGameThatCannotStart) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs a display";
  const std::uint32_t code = testsupport::freeGameCode();
  testsupport::HeldPort taken(static_cast<std::uint16_t>(code));
  ASSERT_TRUE(taken.held());
  std::string url;
  ASSERT_NO_FATAL_FAILURE(url = gameWithItsPortTaken(code));

  auto process = app->start({url}, "taken", true);
  std::string window;
  ASSERT_TRUE(apptest::waitUntil([&] {
    window = CommandLineLauncher::runCommand("/usr/bin/xdotool", {"search", "--onlyvisible", "--pid",
                                                                  std::to_string(process->pid())}, true)
                 .output.value_or("");
    return !window.empty();
  }, 60s)) << app->outputs() << app->log();
  window = window.substr(0, window.find('\n'));
  // The popup of a game that cannot be started: "Execute Failed." and OK.
  EXPECT_EQ(count(logLines(), "[ERROR] gameCode=" + std::to_string(code) + " ExecuteFailed"), 1u) << app->log();
  const std::string geometry =
      CommandLineLauncher::runCommand("/usr/bin/xdotool", {"getwindowgeometry", "--shell", window}, true).output.value_or("");
  auto value = [&](const std::string& key) {
    const auto at = geometry.find("\n" + key + "=");
    return at == std::string::npos ? 0 : std::atoi(geometry.c_str() + at + key.size() + 2);
  };
  EXPECT_EQ(value("WIDTH"), 460) << geometry;
  EXPECT_EQ(value("HEIGHT"), 213) << geometry;

  // A mapped window needs a moment before its content is drawn.
  std::this_thread::sleep_for(1500ms);
  const char* artefacts = std::getenv("JORVU_ARTEFACT_DIR");
  const std::string shot = std::string(artefacts != nullptr && *artefacts != '\0' ? artefacts : testsupport::binDir() + "/../artefacts") +
                           "/launch-road/bindfailure-popup.png";
  fs::create_directories(fs::path(shot).parent_path());
  // GTK keeps a few allocations until exit; the tool is not what is tested.
  EXPECT_EQ(CommandLineLauncher::runCommand("/usr/bin/env", {"ASAN_OPTIONS=detect_leaks=0", testsupport::binDir() + "/jorvu-screenshot", shot}, true).status, 0);
  EXPECT_TRUE(process->running()) << "the app ended before the popup was answered";

  // Its OK: an outlined button centred at its bottom (25 points below it, 45 high).
  const int x = value("X") + value("WIDTH") / 2;
  const int y = value("Y") + value("HEIGHT") - 25 - 22;
  CommandLineLauncher::runCommand("/usr/bin/xdotool", {"mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "--repeat", "2", "--delay", "150", "1"}, true);
  EXPECT_EQ(process->wait(60s), 1) << app->outputs();
  expectTheTakenPortSaidSo(code);
}

}  // namespace
