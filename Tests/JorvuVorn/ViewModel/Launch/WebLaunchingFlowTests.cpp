// One launch after another through the controller and its tasks, against a
// helper scripted in this process behind the real service socket, with a
// main loop of our own and an interface that answers like a user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <ostream>

#include "Common/Logger/VornLogger.hpp"
#include "Infra/HttpServer/HttpServer.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasksController.hpp"
#include "Platform/OneShot.hpp"
#include "Platform/Paths.hpp"
#include "Tests/JorvuVorn/ViewModel/Launch/LaunchTestSupport.hpp"
#include "Tests/Support/ErrorLines.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

using namespace launchtest;
using Status = GameStatus::Status;
using Lines = std::vector<std::string>;

// Fixed before any test moves HOME.
[[maybe_unused]] VornLogger& logReady = testlog::logger();

constexpr std::uint32_t kApp = 128000;

GameExecuteInfo startInfo(std::uint32_t code, const std::string& tag = "") {
  GameExecuteInfo info;
  info.gameCode = code;
  info.obdTag = tag;
  info.url = "jorvuvorn://launch?game=" + std::to_string(code) + (tag.empty() ? "" : "@" + tag) + "&passarg=-x";
  info.passarg = "-x";
  info.isAutoExecute = true;
  return info;
}

struct Launch {
  std::shared_ptr<WebLaunchingTasksController> controller;
  platform::OneShot<bool> completed;
  std::atomic<int> completions{0};
};

class LaunchFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    XPCClient::setProxy(nullptr);
    service = std::make_unique<HelperService>();
    makeTasks(300.0);
    // The app is current unless a test says otherwise.
    helper().script("work", kApp, {failed(VornHelperError::NoWorkRequired{})});
  }

  void makeTasks(double selfUpdateTimeout) { makeTasks(selfUpdateTimeout, client); }
  void makeTasks(double selfUpdateTimeout, XPCClient& xpcClient) {
    if (tasks) tasks->shutdown();
    WebLaunchingTasks::Options options;
    options.workPollInterval = 5ms;
    options.cancelPollInterval = 5ms;
    options.selfUpdatePollInterval = 5ms;
    options.readDebugMode = [this] { return debugMode.load(); };
    options.selfUpdateTimeout = selfUpdateTimeout;
    options.launchFailed = [this](const std::string& failure) {
      std::lock_guard lock(failuresMutex);
      failures.push_back(failure);
    };
    tasks = std::make_shared<WebLaunchingTasks>(mainThread, ui, xpcClient, options);
  }

  void TearDown() override {
    tasks->shutdown();
    mainThread.stop();
    XPCClient::setProxy(nullptr);
  }

  ScriptedHelper& helper() { return service->helper(); }

  std::shared_ptr<Launch> launch(const GameExecuteInfo& info) {
    auto made = std::make_shared<Launch>();
    std::weak_ptr<Launch> weak = made;
    made->controller = WebLaunchingTasksController::make(tasks, info, [weak] {
      if (auto l = weak.lock()) {
        ++l->completions;
        l->completed.resolve(true);
      }
    });
    made->controller->start();
    return made;
  }

  // Waits for the completion handler, then for the controller to settle.
  bool finishes(const std::shared_ptr<Launch>& l) {
    if (!l->completed.waitFor(20s)) return false;
    tasks->actorQueue().waitIdle();
    mainThread.drain();
    return true;
  }

  // Method names of the calls for one game, in order, leaving out one method.
  Lines callsFor(std::uint32_t code, const std::string& without = "") {
    Lines out;
    for (const auto& c : helper().calls()) {
      if (c.gameCode == code && c.method != without) out.push_back(c.method);
    }
    return out;
  }

  // What the launches told the app about their failures.
  Lines launchFailures() {
    std::lock_guard lock(failuresMutex);
    return failures;
  }

  testsupport::TempRoot root;
  std::unique_ptr<HelperService> service;
  TestMainThread mainThread;
  RecordingInterface ui;
  XPCClient client{10s};
  XPCClient impatientClient{1s};
  std::mutex failuresMutex;
  Lines failures;
  std::atomic<bool> debugMode{false};
  std::shared_ptr<WebLaunchingTasks> tasks;
};

TEST_F(LaunchFlow, AGameUpToDateIsRegisteredExecutedAndCleared) {
  const std::uint32_t code = testsupport::freeGameCode();
  LogMark mark;
  auto l = launch(startInfo(code, "beta"));
  // The page can ask the app whether it runs while the launch is on.
  ASSERT_TRUE(helper().waitForCalls("execute", code, 1));
  EXPECT_TRUE(httpserver::HttpServer::shared().isListening(httpserver::HttpServer::port(code)));
  ASSERT_TRUE(finishes(l));

  EXPECT_EQ(mark.steps(code), (Lines{"ready->register", "register->execute", "execute->done"}));
  // The app was current: the helper forgets it before the game registers.
  EXPECT_EQ(callsFor(kApp), (Lines{"register", "work", "clearGame"}));
  EXPECT_EQ(helper().calls("register", kApp)[0].text, "678e");
  EXPECT_TRUE(helper().calls("work", kApp)[0].flag);
  EXPECT_EQ(callsFor(code), (Lines{"register", "execute", "clearGame"}));
  EXPECT_EQ(helper().calls("register", code)[0].text, "beta");
  EXPECT_EQ(helper().calls("execute", code)[0].text, "-x");
  EXPECT_FALSE(httpserver::HttpServer::shared().isListening(httpserver::HttpServer::port(code)));
  EXPECT_EQ(l->completions.load(), 1);
  EXPECT_TRUE(ui.popups().empty());
  EXPECT_TRUE(mark.errors().empty()) << mark.errors()[0];
}

TEST_F(LaunchFlow, AGameThatNeedsWorkIsInstalledWithRisingProgressThenExecuted) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("execute", code, {failed(VornHelperError::WorkRequired{}), ok()});
  helper().script("getGameStatus", code,
                  {status(code, Status::install, 0, 400), status(code, Status::install, 100, 400),
                   status(code, Status::install, 100, 400), status(code, Status::install, 0, 0),
                   status(code, Status::install, 400, 400), status(code, Status::ready, 400, 400)});
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));

  EXPECT_EQ(mark.steps(code), (Lines{"ready->register", "register->execute", "execute->error(WorkRequired)",
                                  "error(WorkRequired)->work", "work->execute", "execute->done"}));
  EXPECT_EQ(callsFor(code, "getGamePanelInfo"),
            (Lines{"register", "execute", "work", "getGameStatus", "getGameStatus", "getGameStatus", "getGameStatus",
                   "getGameStatus", "getGameStatus", "execute", "clearGame"}));
  EXPECT_FALSE(helper().calls("work", code)[0].flag);
  ASSERT_EQ(ui.panels().size(), 1u);
  EXPECT_EQ(ui.panels()[0].gameCode, code);
  // A rate of 0 and repeated values are not shown; ready ends the panel. The
  // panel opens while the polls go on: it sees the values from then on.
  const std::vector<GameWorkInfo> all{{"install", 0}, {"install", 0.25f}, {"install", 1.0f}, {"", 1.0f}};
  const auto seen = ui.progress();
  ASSERT_FALSE(seen.empty());
  ASSERT_LE(seen.size(), all.size());
  EXPECT_EQ(seen, std::vector<GameWorkInfo>(all.end() - static_cast<long>(seen.size()), all.end()));
  EXPECT_EQ(mark.count("gameCode=" + std::to_string(code) + " work start"), 1u);
  EXPECT_EQ(mark.count("gameCode=" + std::to_string(code) + " work stop"), 1u);
}

TEST_F(LaunchFlow, AnInstalledSelfUpdateStartsTheLoaderWithTheStartURLAndFinishes) {
  const std::uint32_t code = testsupport::freeGameCode();
  // The test catalogue for the app: its development tag.
  testsupport::writeFile(root / "/Library/Application Support/Jorvu/VornConfig.json",
                         R"({"common":{"isRemainLogFile":false},"games":[{"gameCode":128000,"ktzAPI":"test"}]})");
  // The loader records its arguments.
  const std::string loader = platform::resolvePath(jorvuVornLoaderPath);
  const std::string record = root.path() + "/loader-args";
  testsupport::writeFile(loader, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + ".part'\nmv '" + record + ".part' '" +
                                     record + "'\n");
  ::chmod(loader.c_str(), 0755);
  helper().script("work", kApp, {ok()});
  helper().script("getGameStatus", kApp,
                  {status(kApp, Status::patch, 10, 100), status(kApp, Status::patch, 90, 100),
                   status(kApp, Status::ready, 100, 100)});
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));

  EXPECT_EQ(mark.steps(code), (Lines{"ready->register", "register->error(needReloading)",
                                  "error(needReloading)->reloading", "reloading->done"}));
  EXPECT_EQ(helper().calls("register", kApp)[0].text, "678e/dev");
  EXPECT_TRUE(helper().calls("clearGame", kApp).empty());  // it stays registered
  EXPECT_EQ(callsFor(code), (Lines{"clearGame"}));
  EXPECT_EQ(mark.count("success selfupdate"), 1u);
  EXPECT_EQ(mark.count("selfupdate success. need reloading"), 1u);
  // The log folder is kept at exit (the file decides when it says so).
  std::filesystem::remove(root / "/Library/Application Support/Jorvu/VornConfig.json");
  EXPECT_TRUE(VornLogger::isRemainLogFile());
  VornLogger::setIsRemainLogFile(false);
  ASSERT_TRUE(waitUntil([&] { return ::access(record.c_str(), F_OK) == 0; }));
  EXPECT_EQ(testsupport::readFileOrEmpty(record), *startInfo(code).url + "\n" + std::to_string(::getpid()) + "\n");
}

TEST_F(LaunchFlow, ClosingThePanelDuringAnInstallCancelsTheJobOnce) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("execute", code, {failed(VornHelperError::WorkRequired{})});
  helper().script("getGameStatus", code, {status(code, Status::install, 5, 100)});
  // The helper's status turns to cancel once it was asked to cancel.
  helper().onCall([this, code](const Call& call) {
    if (call.method == "cancel") {
      helper().script("getGameStatus", code, {status(code, Status::install, 6, 100), status(code, Status::cancel, 6, 100)});
    }
  });
  ui.onProgress = [](const GameWorkInfo& info, const CancelHandler& cancel) {
    if (info.rate > 0) cancel();
  };
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));

  EXPECT_EQ(mark.steps(code),
            (Lines{"ready->register", "register->execute", "execute->error(WorkRequired)", "error(WorkRequired)->work",
                   "work->error(CancellationError())", "error(CancellationError())->cancel", "cancel->done"}));
  EXPECT_EQ(helper().calls("cancel", code).size(), 1u);
  EXPECT_EQ(mark.count("gameCode=" + std::to_string(code) + " [work] cancel occurred"), 1u);
  EXPECT_EQ(mark.count("gameCode=" + std::to_string(code) + " cancelling"), 1u);
  EXPECT_EQ(mark.count("gameCode=" + std::to_string(code) + " cancel complete"), 1u);
  EXPECT_EQ(helper().calls("execute", code).size(), 1u);
  EXPECT_EQ(l->completions.load(), 1);
}

TEST_F(LaunchFlow, ClosingThePanelJustAsTheJobEndsStillFinishes) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("execute", code, {failed(VornHelperError::WorkRequired{})});
  helper().script("getGameStatus", code, {status(code, Status::install, 5, 100)});
  // The job is over before the cancel arrives: the status never says cancel.
  helper().onCall([this, code](const Call& call) {
    if (call.method == "cancel") helper().script("getGameStatus", code, {status(code, Status::ready, 100, 100)});
  });
  ui.onProgress = [](const GameWorkInfo& info, const CancelHandler& cancel) {
    if (info.rate > 0) cancel();
  };
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));
  EXPECT_EQ(mark.steps(code).back(), "cancel->done");
  EXPECT_EQ(mark.count("gameCode=" + std::to_string(code) + " nothing to cancel, current status=[ready]"), 1u);
  // One status read after the cancel, and no more polls.
  const auto calls = helper().calls();
  const auto cancelled = std::find_if(calls.begin(), calls.end(), [](const Call& c) { return c.method == "cancel"; });
  EXPECT_EQ(std::count_if(cancelled, calls.end(), [](const Call& c) { return c.method == "getGameStatus"; }), 1);
}

// A close that comes after the work step (the panel is still closing, or the
// page posts again) is not the execute step's to take: the game was launched.
TEST_F(LaunchFlow, ClosingThePanelOnceTheWorkStepHasEndedChangesNothing) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("execute", code, {failed(VornHelperError::WorkRequired{}), Answer{true, std::nullopt, true}});
  helper().script("getGameStatus", code, {status(code, Status::ready, 100, 100)});
  CancelHandler panelClose;
  ui.onProgress = [&panelClose](const GameWorkInfo&, const CancelHandler& cancel) { panelClose = cancel; };
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(helper().waitForCalls("execute", code, 2));
  ASSERT_TRUE(waitUntil([&] { return !ui.panels().empty(); }));
  mainThread.post([&panelClose] {
    for (int i = 0; panelClose && i < 3; ++i) panelClose();
  });
  mainThread.drain();
  tasks->actorQueue().waitIdle();
  helper().release();
  ASSERT_TRUE(finishes(l));

  const Lines steps = mark.steps(code);
  EXPECT_EQ(Lines(steps.end() - 2, steps.end()), (Lines{"work->execute", "execute->done"}));
  EXPECT_TRUE(helper().calls("cancel", code).empty());
  EXPECT_EQ(mark.count("gameCode=" + std::to_string(code) + " [execute] cancel occurred"), 0u);
}

TEST_F(LaunchFlow, APopupsAnswerDecidesWhatFollows) {
  const auto [limited, closed] = testsupport::freeGameCodes<2>();
  // The OS-version popup's "install anyway" runs the work step again.
  helper().script("execute", limited, {failed(VornHelperError::WorkRequired{}), ok()});
  helper().script("work", limited, {failed(VornHelperError::OSVersionLimit{11.0f, 13.0f}), ok()});
  helper().script("getGameStatus", limited, {status(limited, Status::ready, 100, 100)});
  // Maintenance: "OK" finishes the launch.
  helper().script("execute", closed, {failed(VornHelperError::Maintenance{"s", "e", "r", "l"})});
  ui.popupAnswer = [](const VornHelperError& e) { return std::optional<bool>(e.is<VornHelperError::OSVersionLimit>()); };
  LogMark mark;
  auto a = launch(startInfo(limited));
  auto b = launch(startInfo(closed));
  ASSERT_TRUE(finishes(a));
  ASSERT_TRUE(finishes(b));

  const auto work = helper().calls("work", limited);
  ASSERT_EQ(work.size(), 2u);
  EXPECT_FALSE(work[0].flag);
  EXPECT_TRUE(work[1].flag);
  const Lines limitedSteps = mark.steps(limited);
  EXPECT_EQ(Lines(limitedSteps.begin() + 3, limitedSteps.end()),
            (Lines{"error(WorkRequired)->work", "work->error(OSVersionLimit(currentOS: 11.0, limitOS: 13.0))",
                   "error(OSVersionLimit(currentOS: 11.0, limitOS: 13.0))->work", "work->execute", "execute->done"}));
  EXPECT_EQ(mark.steps(closed).back(),
            R"(error(Maintenance(startTime: "s", endTime: "e", reason: "r", relatedLink: "l"))->done)");
  EXPECT_EQ(ui.popups().size(), 3u);  // WorkRequired is handed on too (and only logged)
}

struct NoPopupCase {
  const char* name;
  std::function<void(ScriptedHelper&, std::uint32_t code)> script;
  const char* errorStep;
};

// Named by their name in test lists (ctest's among them), not by their bytes.
void PrintTo(const NoPopupCase& c, std::ostream* out) { *out << c.name; }

class ErrorsWithoutPopup : public LaunchFlow, public ::testing::WithParamInterface<NoPopupCase> {};

TEST_P(ErrorsWithoutPopup, FinishTheLaunch) {
  const std::uint32_t code = testsupport::freeGameCode();
  GetParam().script(helper(), code);
  ui.popupAnswer = [](const VornHelperError&) { return std::nullopt; };  // cannot show any
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l)) << GetParam().name;
  const Lines steps = mark.steps(code);
  ASSERT_GE(steps.size(), 2u);
  EXPECT_EQ(steps[steps.size() - 2].substr(steps[steps.size() - 2].find("->") + 2), GetParam().errorStep);
  EXPECT_EQ(steps.back(), std::string(GetParam().errorStep) + "->done");
  EXPECT_EQ(helper().calls("clearGame", code).size(), 1u);
  EXPECT_TRUE(launchFailures().empty()) << launchFailures()[0];
}

INSTANTIATE_TEST_SUITE_P(
    LaunchFlow, ErrorsWithoutPopup,
    ::testing::Values(
        NoPopupCase{"registered already",
                    [](ScriptedHelper& h, std::uint32_t code) {
                      h.script("register", code, {failed(VornHelperError::GameAlreadyRegistered{})});
                    },
                    "error(GameAlreadyRegistered)"},
        NoPopupCase{"popup that cannot be shown",
                    [](ScriptedHelper& h, std::uint32_t code) {
                      h.script("execute", code, {failed(VornHelperError::ExecuteFailed{})});
                    },
                    "error(ExecuteFailed)"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// A launch that fails on the app's side, not by the helper's word: the
// failure is logged at ERROR, the player sees the popup of a game that could
// not be started, the app is told (its exit status), and the launch ends
// through the done step once the popup is answered, or at once when it
// cannot be shown.
struct LaunchFailureCase {
  const char* name;
  std::function<void(LaunchFlow&, ScriptedHelper&, std::uint32_t code)> script;
  const char* error;   // the error step's error
  const char* reason;  // what the app is told, after "cannot be started now: "
  bool canShowPopup = true;
};

void PrintTo(const LaunchFailureCase& c, std::ostream* out) { *out << c.name; }

class LaunchFailures : public LaunchFlow, public ::testing::WithParamInterface<LaunchFailureCase> {
 public:
  using LaunchFlow::makeTasks;
  XPCClient& impatient() { return impatientClient; }
};

TEST_P(LaunchFailures, ShowTheExecuteFailedPopupTellTheAppAndFinish) {
  const LaunchFailureCase& c = GetParam();
  const std::uint32_t code = testsupport::freeGameCode();
  c.script(*this, helper(), code);
  if (!c.canShowPopup) ui.popupAnswer = [](const VornHelperError&) { return std::nullopt; };
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l)) << c.name;

  const Lines steps = mark.steps(code);
  ASSERT_GE(steps.size(), 2u);
  EXPECT_EQ(steps[steps.size() - 2].substr(steps[steps.size() - 2].find("->") + 2), std::string("error(") + c.error + ")");
  EXPECT_EQ(steps.back(), std::string("error(") + c.error + ")->done");
  ASSERT_EQ(ui.popups().size(), 1u);
  EXPECT_TRUE(ui.popups()[0].error.is<VornHelperError::ExecuteFailed>());
  const Lines errors = mark.errors();
  EXPECT_NE(std::find(errors.begin(), errors.end(), "gameCode=" + std::to_string(code) + " " + c.error), errors.end());
  EXPECT_EQ(launchFailures(), (Lines{"game " + std::to_string(code) + " cannot be started now: " + c.reason}));
  EXPECT_EQ(helper().calls("clearGame", code).size(), 1u);
  EXPECT_EQ(l->completions.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    LaunchFlow, LaunchFailures,
    ::testing::Values(
        LaunchFailureCase{"helper silent",
                          [](LaunchFlow& f, ScriptedHelper& h, std::uint32_t code) {
                            auto& self = static_cast<LaunchFailures&>(f);
                            self.makeTasks(300.0, self.impatient());
                            h.script("execute", code, {Answer{true, std::nullopt, true}});
                          },
                          "timeout", "JorvuVornHelper did not answer in time"},
        LaunchFailureCase{"broken reply",
                          [](LaunchFlow&, ScriptedHelper& h, std::uint32_t code) {
                            h.script("execute", code, {Answer{false}});
                          },
                          "invalidResponse", "JorvuVornHelper cannot be reached or its answer cannot be read"},
        LaunchFailureCase{"broken reply without a display",
                          [](LaunchFlow&, ScriptedHelper& h, std::uint32_t code) {
                            h.script("register", code, {Answer{false}});
                          },
                          "invalidResponse", "JorvuVornHelper cannot be reached or its answer cannot be read", false},
        LaunchFailureCase{"self-update without progress",
                          [](LaunchFlow&, ScriptedHelper& h, std::uint32_t) {
                            h.script("work", kApp, {ok()});
                            h.script("getGameStatus", kApp, {status(kApp, Status::install, 0, 0, false)});
                          },
                          "invalidGameStatus", "the update of JorvuVorn ended unexpectedly"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(LaunchFlow, APopupThatCannotBeShownIsLoggedAndAnsweredForTheUser) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("execute", code, {failed(VornHelperError::ExecuteFailed{})});
  ui.popupAnswer = [](const VornHelperError&) { return std::nullopt; };
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));
  EXPECT_EQ(mark.errors(), (Lines{"An error occurred: InterfaceError invalid window.contentView"}));
}

TEST_F(LaunchFlow, TheSelfUpdateTimesOutWhenTheJobTakesTooLong) {
  const std::uint32_t code = testsupport::freeGameCode();
  makeTasks(0.05);
  helper().script("work", kApp, {ok()});
  helper().script("getGameStatus", kApp, {status(kApp, Status::install, 1, 100)});
  helper().onCall([this](const Call& call) {
    if (call.method == "cancel") helper().script("getGameStatus", kApp, {status(kApp, Status::cancel)});
  });
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));
  EXPECT_EQ(mark.steps(code).back(), "error(timeout)->done");
  EXPECT_EQ(mark.errors(), (Lines{"[workProgress][selfUpdate] gameCode=128000 timeout",
                                  "gameCode=" + std::to_string(code) + " timeout"}));
  EXPECT_EQ(launchFailures(),
            (Lines{"game " + std::to_string(code) + " cannot be started now: the update of JorvuVorn took too long"}));
  EXPECT_TRUE(helper().calls("register", code).empty());
  // The job it started is cancelled, and 128000 cleared once it has ended:
  // the next launch can register it again.
  EXPECT_EQ(callsFor(kApp, "getGameStatus"), (Lines{"register", "work", "cancel", "clearGame"}));
}

TEST_F(LaunchFlow, ASelfUpdateBlockedByAnotherJobEndsWithItsPopup) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("work", kApp, {failed(VornHelperError::WorkingAnotherGame{3})});
  helper().script("getGameStatus", kApp, {status(kApp, Status::registered)});
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));
  EXPECT_EQ(mark.steps(code), (Lines{"ready->register", "register->error(ExecuteFailed)", "error(ExecuteFailed)->done"}));
  ASSERT_EQ(ui.popups().size(), 1u);
  EXPECT_TRUE(ui.popups()[0].error.is<VornHelperError::ExecuteFailed>());
  EXPECT_EQ(mark.errors(), (Lines{"selfupdate failed"}));
}

TEST_F(LaunchFlow, TwoLaunchesAtOnceShareOneSelfUpdate) {
  const auto [left, right, later] = testsupport::freeGameCodes<3>();
  // The app's work request is held until both launches registered.
  helper().script("work", kApp, {Answer{true, std::nullopt, true}});
  helper().script("getGameStatus", kApp, {status(kApp, Status::ready, 1, 1)});
  const std::string loader = platform::resolvePath(jorvuVornLoaderPath);
  testsupport::writeFile(loader, "#!/bin/sh\nexit 0\n");
  ::chmod(loader.c_str(), 0755);
  LogMark mark;
  auto a = launch(startInfo(left));
  auto b = launch(startInfo(right));
  ASSERT_TRUE(helper().waitForCalls("work", kApp, 1));
  ASSERT_TRUE(waitUntil([&] { return mark.count("gameCode=" + std::to_string(right) + " register") == 1 && mark.count("gameCode=" + std::to_string(left) + " register") == 1; }));
  helper().release();
  ASSERT_TRUE(finishes(a));
  ASSERT_TRUE(finishes(b));
  EXPECT_EQ(helper().calls("register", kApp).size(), 1u);
  EXPECT_EQ(helper().calls("work", kApp).size(), 1u);
  // Both go on to reload, each with its own start URL.
  EXPECT_EQ(mark.steps(left).back(), "reloading->done");
  EXPECT_EQ(mark.steps(right).back(), "reloading->done");
  VornLogger::setIsRemainLogFile(false);

  // A launch after that takes the same outcome without asking the helper.
  auto c = launch(startInfo(later));
  ASSERT_TRUE(finishes(c));
  EXPECT_EQ(helper().calls("register", kApp).size(), 1u);
}

// A failed self-update is not kept: the next launch asks the helper again,
// and its success is kept for the launches after it.
TEST_F(LaunchFlow, AFailedSelfUpdateIsTriedAgainByTheNextLaunch) {
  const auto [first, second, third] = testsupport::freeGameCodes<3>();
  helper().script("register", kApp, {failed(VornHelperError::NetworkError{-60, 0, 0, 0}), ok()});
  LogMark mark;
  auto a = launch(startInfo(first));
  ASSERT_TRUE(finishes(a));
  EXPECT_EQ(mark.steps(first)[1],
            "register->error(NetworkError(errorCode: -60, errorOperation: 0, mainErrorCode: 0, subErrorCode: 0))");

  auto b = launch(startInfo(second));
  ASSERT_TRUE(finishes(b));
  EXPECT_EQ(mark.steps(second), (Lines{"ready->register", "register->execute", "execute->done"}));
  auto c = launch(startInfo(third));
  ASSERT_TRUE(finishes(c));
  EXPECT_EQ(helper().calls("register", kApp).size(), 2u);
  EXPECT_EQ(helper().calls("execute", third).size(), 1u);
}

TEST_F(LaunchFlow, DebugModeShowsTheAlertAndSkipsTheSelfUpdate) {
  const std::uint32_t code = testsupport::freeGameCode();
  debugMode = true;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));
  EXPECT_EQ(ui.debugAlerts(), 1);
  EXPECT_TRUE(tasks->isDebugMode());
  EXPECT_TRUE(helper().calls("register", kApp).empty());
  EXPECT_EQ(helper().calls("execute", code).size(), 1u);
}

TEST_F(LaunchFlow, ALaunchWithoutAStartURLShowsItsPopupAndFinishes) {
  LogMark mark;
  auto l = launch(GameExecuteInfo{});
  ASSERT_TRUE(finishes(l));
  EXPECT_EQ(mark.steps(0), (Lines{"ready->register", "register->error(UnsupportedAppLaunching)",
                                  "error(UnsupportedAppLaunching)->done"}));
  EXPECT_TRUE(helper().calls().empty());
}

TEST_F(LaunchFlow, ReloadingWithoutAStartURLFinishes) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("work", kApp, {ok()});
  helper().script("getGameStatus", kApp, {status(kApp, Status::ready, 1, 1)});
  GameExecuteInfo info = startInfo(code);
  info.url.reset();
  LogMark mark;
  auto l = launch(info);
  ASSERT_TRUE(finishes(l));
  EXPECT_EQ(mark.steps(code).back(), "error(invalidUrl)->done");
  VornLogger::setIsRemainLogFile(false);
}

TEST_F(LaunchFlow, WithoutTheHelperTheLaunchStillFinishes) {
  const std::uint32_t code = testsupport::freeGameCode();
  service.reset();
  LogMark mark;
  auto l = launch(startInfo(code));
  ASSERT_TRUE(finishes(l));
  EXPECT_EQ(mark.steps(code), (Lines{"ready->register", "register->error(invalidResponse)",
                                   "error(invalidResponse)->done"}));
}

TEST_F(LaunchFlow, ShutdownCancelsTheRunningStepsAtOnce) {
  const std::uint32_t code = testsupport::freeGameCode();
  helper().script("execute", code, {failed(VornHelperError::WorkRequired{})});
  helper().script("getGameStatus", code, {status(code, Status::install, 1, 100)});
  // A helper call that never comes back.
  helper().script("getGamePanelInfo", code, {Answer{true, std::nullopt, true}});
  auto l = launch(startInfo(code));
  ASSERT_TRUE(helper().waitForCalls("getGameStatus", code, 3));
  ASSERT_TRUE(helper().waitForCalls("getGamePanelInfo", code, 1));
  const auto start = std::chrono::steady_clock::now();
  tasks->shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(l->completions.load(), 0);
}

}  // namespace
