// The publisher's game page in a real Chromium with a window, on the X display
// the test runs under: Play hands the start URL to the desktop's registered
// handler, and the status line follows the app's status port. Then the whole
// system as a user meets it: the installed app started from the page, the
// helper, the sample game installed, patched and started, the maintenance
// popup, the desktop shortcut. Screenshots of each stage are kept in
// $JORVU_ARTEFACT_DIR/browser/.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "Common/App/StartURL.hpp"
#include "Infra/HttpServer/HttpServer.hpp"
#include "Tests/EndToEnd/BrowserFlow.hpp"
#include "Tests/EndToEnd/Desktop.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using desktop::Browser;

namespace {

// The page's Play button, at a fixed place of the page.
constexpr int playX = 150;
constexpr int playY = 152;

class GamePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!desktop::chromiumProgram()) GTEST_SKIP() << "Chromium is not installed: the browser tests cannot run";
    // A game code whose port (its low 16 bits, below 1024) is moved up by
    // 19999: the page must apply the same rule as the status server. Its
    // port is free, so that the page sees the app not running at first.
    const auto code = testsupport::firstFreeCode(3 * 65536 + 700, 3 * 65536 + 1024, httpserver::HttpServer::port);
    ASSERT_TRUE(code) << "every port from 20699 to 21022 is taken";
    pageGameCode = *code;
    pub.start();
    ASSERT_EQ(browserflow::publishSample(pub, root.path() + "/pub", root.path() + "/trees", pageGameCode), 0);
  }

  std::unique_ptr<Browser> openPage(const std::string& query, const desktop::Environment& env) {
    Browser::Options options;
    options.url = pub.origin() + "/game.html?" + query;
    options.origin = pub.origin();
    options.scheme = "jorvuvorn";
    options.profileDir = root.path() + "/chromium";
    options.logPath = root.path() + "/chromium.log";
    options.env = env;
    auto browser = std::make_unique<Browser>(options);
    if (!browser->waitForWindow()) {
      browser.reset();
      skipReason = "Chromium could not start with a window: " + testsupport::readFileOrEmpty(options.logPath);
    }
    return browser;
  }

  std::uint32_t pageGameCode = 0;
  std::string skipReason;
  testsupport::TempRoot root;
  // A GNOME session: xdg-open hands URLs to GIO, which reads quoted Exec lines.
  desktop::Session session{root.path(), "GNOME"};
  publisher::Publisher pub{root.path() + "/pub"};
};

}  // namespace

TEST_F(GamePageTest, PlayHandsTheStartURLToTheRegisteredHandler) {
  // A handler in a folder whose name needs quoting in Exec.
  const std::string handler = root.path() + "/handler folder/record";
  const std::string record = root.path() + "/handled";
  testsupport::writeFile(handler, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + record + "'\n");
  ::chmod(handler.c_str(), 0755);
  desktop::registerSchemeHandler(session, "jorvuvorn", "recorder.desktop",
                                 "[Desktop Entry]\nType=Application\nName=Recorder\nExec=\"" + handler +
                                     "\" %u\nMimeType=x-scheme-handler/jorvuvorn;\nNoDisplay=true\n");

  auto browser = openPage("game=" + std::to_string(pageGameCode) + "&passarg=go%20now%26x%3D1&gid=e2e-player",
                          session.environment());
  if (!browser) GTEST_SKIP() << skipReason;
  ASSERT_TRUE(browser->waitForTitle("Sample Game - app not running")) << browser->title();
  EXPECT_TRUE(desktop::screenshot(browserflow::artefact("page-before-play.png")));

  browser->click(playX, playY);
  ASSERT_TRUE(desktop::waitUntil([&] { return !testsupport::readFileOrEmpty(record).empty(); }))
      << "the handler did not run; Chromium said:\n"
      << testsupport::readFileOrEmpty(root.path() + "/chromium.log");
  std::string url = testsupport::readFileOrEmpty(record);
  url.pop_back();  // the line break
  ASSERT_EQ(url.rfind("jorvuvorn://launch?", 0), 0u) << url;

  // What the app makes of it.
  const GameExecuteInfo info = starturl::parse(url);
  EXPECT_EQ(info.gameCode, pageGameCode);
  EXPECT_EQ(info.obdTag, "");
  EXPECT_EQ(info.passarg, "go now&x=1");
  ASSERT_TRUE(info.vantixToken);
  EXPECT_EQ(info.vantixToken->gid, "e2e-player");
  EXPECT_EQ(info.vantixToken->webtoken.size(), 32u);

  // Each press opens a fresh URL with a fresh token.
  browser->click(playX, playY);
  ASSERT_TRUE(desktop::waitUntil([&] { return testsupport::readFileOrEmpty(record).size() > url.size() + 1; }));
  std::string second = testsupport::readFileOrEmpty(record).substr(url.size() + 1);
  second.pop_back();
  EXPECT_NE(starturl::parse(second).vantixToken->webtoken, info.vantixToken->webtoken);
}

TEST_F(GamePageTest, StatusLineFollowsTheAppsStatusServer) {
  auto browser = openPage("game=" + std::to_string(pageGameCode), session.environment());
  if (!browser) GTEST_SKIP() << skipReason;
  ASSERT_TRUE(browser->waitForTitle("Sample Game - app not running")) << browser->title();

  // The app's own status server, as its register step starts it.
  httpserver::HttpServer server;
  server.start("127.0.0.1", pageGameCode);
  EXPECT_TRUE(browser->waitForTitle("Sample Game - app running")) << browser->title();
  EXPECT_TRUE(desktop::screenshot(browserflow::artefact("page-app-running.png")));
  server.stop(pageGameCode);
  EXPECT_TRUE(browser->waitForTitle("Sample Game - app not running")) << browser->title();
}

TEST_F(GamePageTest, PublisherSwitchesShowOnThePage) {
  auto browser = openPage("game=" + std::to_string(pageGameCode), session.environment());
  if (!browser) GTEST_SKIP() << skipReason;
  ASSERT_TRUE(browser->waitForTitle("Sample Game - app not running"));
  // The page's "Release 2" button.
  browser->click(190, 379);
  EXPECT_TRUE(desktop::waitUntil([&] {
    return testsupport::readFileOrEmpty(root.path() + "/pub/game-info/" + std::to_string(pageGameCode) + ".json")
               .find("\"manifest_name\": \"sample-2\"") != std::string::npos;
  }));
}
