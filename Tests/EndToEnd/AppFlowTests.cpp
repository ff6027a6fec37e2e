// The whole system as a user meets it, from the publisher's game page in
// Chromium: the app installed with scripts/install-app and registered as the
// start-URL handler, started by Play through xdg-open; the helper's job; the
// sample game installed (setup panel with progress), started with the page's
// argument, patched to its second release, refused during maintenance (the
// popup), and started again from its desktop shortcut. Each stage leaves a
// screenshot in $JORVU_ARTEFACT_DIR/browser/.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "Tests/EndToEnd/BrowserFlow.hpp"
#include "Tests/EndToEnd/Desktop.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using desktop::Browser;

namespace {

constexpr const char* helperLabel = "com.jorvu.vorn.helper";
constexpr int playX = 150;
constexpr int playY = 152;

class AppFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!desktop::chromiumProgram()) GTEST_SKIP() << "Chromium is not installed: the browser tests cannot run";
    if (!fs::exists(testsupport::binDir() + "/../JorvuVorn.app/Contents/MacOS/JorvuVorn")) {
      GTEST_SKIP() << "the app JorvuVorn.app is not built";
    }
    // Logs kept at exit, for the assertions below and for a reader.
    testsupport::writeFile(root / "/Library/Application Support/Jorvu/VornConfig.json",
                           R"({"common":{"isRemainLogFile":true},"games":[]})");
    std::string output;
    auto installed = desktop::run({browserflow::sourceDir() + "/scripts/install-app", "--build-dir", testsupport::binDir() + "/.."},
                                  environment(), 120s);
    ASSERT_EQ(installed.status, 0) << installed.output;
    // The app's status server listens on the game's port.
    gameCode = testsupport::freeGameCode();
    pub.start();
    ASSERT_EQ(browserflow::publishSample(pub, root.path() + "/pub", root.path() + "/trees", gameCode), 0);
    ASSERT_EQ(browserflow::publishApp(pub, root / "/Library/Application Support/Jorvu/Vorn/JorvuVorn.app"), 0);
  }

  void TearDown() override {
    browser.reset();
    // Whatever a failed stage left running below the root goes.
    for (pid_t pid : desktop::processesBelow(root.path())) ::kill(pid, SIGKILL);
  }

  // What every program of the session sees: the root, the desktop session's
  // folders and the publisher's services.
  desktop::Environment environment() const {
    desktop::Environment env = session.environment();
    env["JORVU_ROOT"] = root.path();
    for (const char* name : {"JORVU_CATALOGUE_LIVE_HOST", "JORVU_CATALOGUE_TEST_HOST", "JORVU_REPORT_HOST", "JORVU_TICKET_HOST"}) {
      env[name] = pub.origin();
    }
    return env;
  }

  bool openPage() {
    Browser::Options options;
    options.url = pub.origin() + "/game.html?game=" + std::to_string(gameCode) + "&passarg=from%20the%20page&gid=e2e-player";
    options.origin = pub.origin();
    options.scheme = "jorvuvorn";
    options.profileDir = root.path() + "/chromium";
    options.logPath = root.path() + "/chromium.log";
    options.env = environment();
    browser = std::make_unique<Browser>(options);
    return browser->waitForWindow();
  }

  std::string installedFolder() const { return root / "/Library/Application Support/Jorvu/Vorn"; }
  std::string gameFolder() const { return root / "/Library/Application Support/Jorvu/SampleGame"; }
  std::string gameArguments() const {
    return testsupport::readFileOrEmpty(gameFolder() + "/Sample Game.app/Contents/MacOS/Sample Game.args");
  }
  std::string appLog() const { return testsupport::readFileOrEmpty(root.home() + "/Library/Logs/JorvuLauncher/JorvuVorn.log"); }

  std::vector<pid_t> processesNamed(const std::string& name) const {
    std::vector<pid_t> out;
    for (pid_t pid : desktop::processesBelow(root.path())) {
      std::error_code ec;
      if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).filename() == name) out.push_back(pid);
    }
    return out;
  }
  bool helperJobLoaded() const {
    auto listing = desktop::run({root / "/bin/launchctl", "list"}, environment(), 10s);
    return listing.output.find(helperLabel) != std::string::npos;
  }
  // The one app process, or 0.
  pid_t theApp() const {
    auto app = processesNamed("JorvuVorn");
    return app.size() == 1 ? app.front() : 0;
  }
  bool appWindowShows(pid_t pid) const {
    if (pid <= 0) return false;
    auto found = desktop::run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}, {}, 5s);
    return found.status == 0 && !found.output.empty();
  }
  // The app, the helper and the game have ended and the helper's job is unloaded.
  bool waitForTheEnd() {
    return desktop::waitUntil([&] { return desktop::processesBelow(root.path()).empty() && !helperJobLoaded(); }, 60s);
  }
  bool reported(const std::string& query) const {
    for (const auto& r : pub.reports()) {
      if (r.query == query) return true;
    }
    return false;
  }
  // The objects of the world file: their downloads wait until the faults are cleared.
  std::vector<std::string> worldFileObjects() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(root.path() + "/pub/sample")) {
      const std::string name = entry.path().filename();
      if (name.rfind("ZGF0YS93b3JsZC5wYWs=.", 0) == 0) out.push_back("/sample/" + name);
    }
    return out;
  }
  void holdTheWorldFile() {
    for (const auto& path : worldFileObjects()) pub.setFault(path, publisher::Fault::stall());
  }
  bool waitForHeldDownload() {
    return desktop::waitUntil(
        [&] {
          for (const auto& path : worldFileObjects()) {
            if (pub.requestCount(path) > heldSeen_[path]) {
              for (const auto& p : worldFileObjects()) heldSeen_[p] = pub.requestCount(p);
              return true;
            }
          }
          return false;
        },
        120s);
  }
  std::size_t deltaRequests() const {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(root.path() + "/pub/sample")) {
      const std::string name = entry.path().filename();
      if (name.size() > 8 && name.compare(name.size() - 8, 8, ".zqdelta") == 0) n += pub.requestCount("/sample/" + name);
    }
    return n;
  }
  // A window's content needs a moment to be drawn after it is mapped.
  void settleAndShoot(const std::string& name) {
    std::this_thread::sleep_for(1500ms);
    shot(name);
  }
  // The maintenance popup's OK: an outlined button centred at its bottom
  // (25 points below it, 45 high). Pressed as the popup tests press it.
  void pressPopupOK(pid_t app) {
    auto found = desktop::run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(app)}, {}, 5s);
    const std::string window = found.output.substr(0, found.output.find('\n'));
    const std::string shell = desktop::run({"xdotool", "getwindowgeometry", "--shell", window}, {}, 5s).output;
    auto value = [&](const std::string& key) {
      const auto at = shell.find(key + "=");
      return at == std::string::npos ? 0 : std::atoi(shell.c_str() + at + key.size() + 1);
    };
    const int x = value("X") + value("WIDTH") / 2;
    const int y = value("Y") + value("HEIGHT") - 25 - 22;
    desktop::run({"xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "--repeat", "2", "--delay",
                  "150", "1"},
                 {}, 10s);
  }
  void shot(const std::string& name) { EXPECT_TRUE(desktop::screenshot(browserflow::artefact(name))) << name; }

  std::uint32_t gameCode = 0;
  testsupport::TempRoot root;
  desktop::Session session{root.path()};
  publisher::Publisher pub{root.path() + "/pub"};
  std::unique_ptr<Browser> browser;
  std::map<std::string, std::size_t> heldSeen_;
};

}  // namespace

TEST_F(AppFlowTest, FromThePageThroughInstallPatchMaintenanceAndTheShortcut) {
  ASSERT_TRUE(openPage()) << "Chromium could not start with a window: " << testsupport::readFileOrEmpty(root.path() + "/chromium.log");
  ASSERT_TRUE(browser->waitForTitle("Sample Game - app not running")) << browser->title();

  // 1. Play: xdg-open hands the start URL to the installed app.
  holdTheWorldFile();
  browser->click(playX, playY);
  ASSERT_TRUE(desktop::waitUntil([&] { return !processesNamed("JorvuVorn").empty(); }, 30s))
      << "the app did not start; Chromium said:\n"
      << testsupport::readFileOrEmpty(root.path() + "/chromium.log");
  const std::vector<pid_t> app = processesNamed("JorvuVorn");
  ASSERT_EQ(app.size(), 1u);
  EXPECT_TRUE(desktop::waitUntil([&] { return helperJobLoaded(); }, 30s));

  // The app updates itself first (it may reload through the loader), then
  // installs release 1 with the setup panel, held at the world file.
  ASSERT_TRUE(waitForHeldDownload()) << appLog();
  const pid_t installing = theApp();
  ASSERT_GT(installing, 0);
  EXPECT_TRUE(desktop::waitUntil([&] { return appWindowShows(installing); })) << "no setup panel";
  EXPECT_TRUE(desktop::waitUntil([&] { return pub.requestCount("/pages/setup.html") >= 1; })) << "the panel never asked for its page";
  EXPECT_TRUE(browser->waitForTitle("Sample Game - app running")) << browser->title();
  settleAndShoot("flow-1-install-panel.png");

  // 2. A second Play while the app installs is forwarded: one app process.
  browser->click(playX, playY);
  EXPECT_TRUE(desktop::waitUntil([&] { return appLog().find(" already start") != std::string::npos; })) << appLog();
  EXPECT_TRUE(desktop::waitUntil([&] { return processesNamed("JorvuVorn") == std::vector<pid_t>{installing}; }));

  pub.clearFaults();
  ASSERT_TRUE(desktop::waitUntil([&] { return !gameArguments().empty(); }, 120s)) << appLog();
  const std::string firstArguments = gameArguments();
  EXPECT_NE(firstArguments.find("-arg=from the page"), std::string::npos) << firstArguments;
  EXPECT_NE(firstArguments.find("-ticket=ticket-e2e-player"), std::string::npos) << firstArguments;
  ASSERT_TRUE(waitForTheEnd());
  EXPECT_TRUE(browser->waitForTitle("Sample Game - app not running")) << browser->title();
  EXPECT_TRUE(reported("gc=" + std::to_string(gameCode) + "&tp=12"));
  shot("flow-1-game-started.png");

  // 3. Release 2: Play patches with deltas, and the game starts.
  ASSERT_TRUE(pub.useRecord(std::to_string(gameCode), std::to_string(gameCode) + "-release-2"));
  fs::remove(gameFolder() + "/Sample Game.app/Contents/MacOS/Sample Game.args");
  holdTheWorldFile();
  browser->click(playX, playY);
  ASSERT_TRUE(waitForHeldDownload()) << appLog();
  EXPECT_TRUE(desktop::waitUntil([&] { return appWindowShows(theApp()); })) << "no setup panel";
  settleAndShoot("flow-3-patch-panel.png");
  pub.clearFaults();
  ASSERT_TRUE(desktop::waitUntil([&] { return !gameArguments().empty(); }, 120s)) << appLog();
  EXPECT_EQ(testsupport::readFileOrEmpty(gameFolder() + "/Sample Game.app/Contents/Resources/release.txt"), "Release 2\n");
  EXPECT_FALSE(fs::exists(gameFolder() + "/levels/level-1.txt"));
  EXPECT_TRUE(fs::exists(gameFolder() + "/levels/level-3.txt"));
  EXPECT_GT(deltaRequests(), 0u);
  ASSERT_TRUE(waitForTheEnd());
  EXPECT_TRUE(reported("gc=" + std::to_string(gameCode) + "&tp=22"));
  shot("flow-3-game-started.png");

  // 4. Maintenance: Play shows the popup, whose OK ends the app.
  ASSERT_TRUE(pub.useRecord(std::to_string(gameCode), std::to_string(gameCode) + "-maintenance"));
  fs::remove(gameFolder() + "/Sample Game.app/Contents/MacOS/Sample Game.args");
  browser->click(playX, playY);
  pid_t shown = 0;
  EXPECT_TRUE(desktop::waitUntil(
      [&] {
        shown = theApp();
        return shown > 0 && appWindowShows(shown);
      },
      60s))
      << "no maintenance popup\n"
      << appLog();
  if (shown > 0) {
    settleAndShoot("flow-4-maintenance-popup.png");
    pressPopupOK(shown);
  }
  ASSERT_TRUE(waitForTheEnd());
  EXPECT_NE(appLog().find("step [execute]->[error(Maintenance("), std::string::npos);
  EXPECT_TRUE(gameArguments().empty()) << "the game started during maintenance";

  // 5. The desktop shortcut's launcher, run as a desktop runs it.
  ASSERT_TRUE(pub.useRecord(std::to_string(gameCode), std::to_string(gameCode) + "-release-2"));
  const std::string launcher = session.desktopDir + "/Sample Game.desktop";
  ASSERT_TRUE(fs::exists(launcher)) << "the helper made no shortcut launcher";
  EXPECT_EQ(desktop::run({"gio", "launch", launcher}, environment(), 30s).status, 0);
  ASSERT_TRUE(desktop::waitUntil([&] { return !gameArguments().empty(); }, 120s)) << appLog();
  // The shortcut's URL carries neither token nor pass argument.
  EXPECT_NE(gameArguments().find("-arg=%ARG%"), std::string::npos) << gameArguments();
  ASSERT_TRUE(waitForTheEnd());

  // 6. Nothing is left: no app, helper or game process, the job unloaded.
  EXPECT_TRUE(desktop::processesBelow(root.path()).empty());
  EXPECT_FALSE(helperJobLoaded());
  shot("flow-6-end.png");
}
