// The app's delegate with the real launch flow, in this process: its ending
// while a launch still runs, and the start URLs it takes once an update of
// the app is installed. The helper is scripted behind the real service
// socket; the main loop is one of our own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/AppDelegate.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasksController.hpp"
#include "Platform/Paths.hpp"
#include "Tests/JorvuVorn/ViewModel/Launch/LaunchTestSupport.hpp"
#include "Tests/Support/ErrorLines.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

using namespace launchtest;
using Lines = std::vector<std::string>;

// Fixed before any test moves HOME.
[[maybe_unused]] VornLogger& logReady = testlog::logger();

constexpr std::uint32_t kApp = 128000;

std::string startURL(std::uint32_t code) { return "jorvuvorn://launch?game=" + std::to_string(code); }

// Leaves the popup of the launch without a start URL open, as a user who
// does not answer it, until the test closes it (main loop).
class PopupLeftOpen : public RecordingInterface {
 public:
  void loadPopupView(const VornHelperError& error, const GameExecuteInfo& info, ViewCloseHandler close) override {
    if (!error.is<VornHelperError::UnsupportedAppLaunching>()) {
      RecordingInterface::loadPopupView(error, info, std::move(close));
      return;
    }
    open = std::move(close);
    isOpen = true;
  }
  ViewCloseHandler open;  // main loop only
  std::atomic<bool> isOpen{false};
};

class AppDelegateFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    XPCClient::setProxy(nullptr);
    service = std::make_unique<HelperService>();
    WebLaunchingTasks::Options options;
    options.workPollInterval = 5ms;
    options.cancelPollInterval = 5ms;
    options.selfUpdatePollInterval = 5ms;
    options.readDebugMode = [] { return false; };
    options.updateInstalled = [this] {
      if (AppDelegate* d = current.load()) d->stopTakingURLs();
    };
    auto tasks = std::make_shared<WebLaunchingTasks>(mainThread, ui, client, options);
    flow = tasks;
    delegate = std::make_unique<AppDelegate>(mainThread, WebLaunchingTasksController::factory(tasks),
                                             [this] { ++terminations; });
    current = delegate.get();
    // The app is current unless a test says otherwise.
    helper().script("work", kApp, {failed(VornHelperError::NoWorkRequired{})});
  }

  void TearDown() override {
    current = nullptr;
    delegate.reset();
    if (keptFlow) keptFlow->shutdown();
    mainThread.stop();
    XPCClient::setProxy(nullptr);
  }

  ScriptedHelper& helper() { return service->helper(); }

  // The URLs as the command line gives them, on the main loop.
  void open(const std::vector<std::string>& urls) {
    mainThread.post([this, urls] { delegate->openURLs(urls); });
  }

  testsupport::TempRoot root;
  std::unique_ptr<HelperService> service;
  TestMainThread mainThread;
  PopupLeftOpen ui;
  XPCClient client{10s};
  std::atomic<int> terminations{0};
  // The launch flow, owned by the delegate's factory alone unless a test
  // keeps it.
  std::weak_ptr<WebLaunchingTasks> flow;
  std::shared_ptr<WebLaunchingTasks> keptFlow;
  std::atomic<AppDelegate*> current{nullptr};
  std::unique_ptr<AppDelegate> delegate;
};

// A done step whose clearGame waits (statistics reports can take seconds)
// when the app ends: the shutdown cancels it and joins it, so it is over
// before the delegate goes.
TEST_F(AppDelegateFlow, ShutdownEndsADoneStepStillRunning) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("clearGame", code, {Answer{true, std::nullopt, true}});
  open({startURL(code)});
  ASSERT_TRUE(helper().waitForCalls("clearGame", code, 1));

  delegate->shutdown();
  EXPECT_TRUE(flow.expired());
  EXPECT_EQ(terminations.load(), 0);
}

// The same step, when something else keeps the launch flow beyond the
// delegate: its completion, coming after the delegate has gone, reaches
// nothing.
TEST_F(AppDelegateFlow, ADoneStepEndingAfterTheDelegateHasGoneReachesNothing) {
  const std::uint32_t code = testsupport::freeGameCode();
  keptFlow = flow.lock();
  helper().script("clearGame", code, {Answer{true, std::nullopt, true}});
  open({startURL(code)});
  ASSERT_TRUE(helper().waitForCalls("clearGame", code, 1));

  current = nullptr;
  delegate.reset();
  helper().release();
  keptFlow->shutdown();
  EXPECT_EQ(terminations.load(), 0);
}

// An update installed while another launch keeps this app alive: the loader
// starts the updated app, whose URL comes back here. It must wait for the
// updated app rather than go to the loader again (every 60 s, for as long as
// the other launch lasts).
TEST_F(AppDelegateFlow, AURLForwardedAfterAnInstalledUpdateIsNotTakenAgain) {
  const std::uint32_t code = testsupport::freeGameCode();
  const std::string loader = platform::resolvePath(jorvuVornLoaderPath);
  const std::string runs = root.path() + "/loader-runs";
  testsupport::writeFile(loader, "#!/bin/sh\necho \"$1\" >> '" + runs + "'\n");
  ::chmod(loader.c_str(), 0755);
  // The app started without a URL: its popup stays open.
  mainThread.post([this] { delegate->applicationDidFinishLaunching(); });
  ASSERT_TRUE(waitUntil([&] { return ui.isOpen.load(); }));

  helper().script("work", kApp, {ok()});
  helper().script("getGameStatus", kApp, {status(kApp, GameStatus::Status::ready, 1, 1)});
  LogMark mark;
  ASSERT_TRUE(delegate->takeForwardedURLs({startURL(code)}));
  ASSERT_TRUE(waitUntil([&] { return testsupport::readFileOrEmpty(runs) == startURL(code) + "\n"; }));
  ASSERT_TRUE(helper().waitForCalls("clearGame", code, 1));

  // The updated app hands the URL over: refused, so it waits for this app.
  EXPECT_FALSE(delegate->takeForwardedURLs({startURL(code)}));
  mainThread.drain();
  EXPECT_EQ(mark.count("url parse success. gameCode=" + std::to_string(code)), 1u);
  EXPECT_EQ(terminations.load(), 0);

  // The popup closes: the app ends, and the URL goes to the updated app.
  mainThread.post([this] { ui.open(false); });
  ASSERT_TRUE(waitUntil([&] { return terminations.load() == 1; }));
  EXPECT_EQ(testsupport::readFileOrEmpty(runs), startURL(code) + "\n");
  VornLogger::setIsRemainLogFile(false);
}

}  // namespace
