#include "JorvuVorn/ViewModel/WebLaunchingTasks.hpp"

#include <unistd.h>

#include <cerrno>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Infra/HttpServer/HttpServer.hpp"
#include "Infra/HttpServer/Socket.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingStep.hpp"
#include "Platform/Bundle.hpp"
#include "Platform/Cancellation.hpp"
#include "Platform/OneShot.hpp"
#include "Platform/Paths.hpp"

using launcherrors::as;

namespace {

std::string codeText(const GameExecuteInfo& info) { return "gameCode=" + std::to_string(info.gameCode); }

bool readBundleDebugMode() {
  const auto bundle = platform::Bundle::main();
  return bundle && bundle->boolForKey("DebugMode").value_or(false);
}

void logErrorOccurred(const std::exception_ptr& error) {
  logError("An error occurred: " + launcherrors::text(error));
}

// The progress record of one status: the step shown and the fraction done.
GameWorkInfo workInfoOf(const GameStatus& status) {
  const auto& progress = *status.progress;
  const float rate = static_cast<float>(progress.currentSize) / static_cast<float>(progress.totalSize);
  switch (status.status) {
    case GameStatus::Status::install: return {"install", rate};
    case GameStatus::Status::patch: return {"patch", rate};
    case GameStatus::Status::ready: return {"", 1.0f};
    case GameStatus::Status::error: return {"error", rate};
    case GameStatus::Status::registered:
    case GameStatus::Status::restore:
    case GameStatus::Status::cancel: return {"", rate};
  }
  return {"", rate};
}

// What failed, for the player: why the game cannot be started now.
std::string launchFailureText(const GameExecuteInfo& info, const std::exception_ptr& error) {
  std::string reason = launcherrors::description(error);
  if (const auto* socket = as<httpserver::SocketError>(error)) {
    const std::string port = "127.0.0.1:" + std::to_string(httpserver::HttpServer::port(info.gameCode));
    reason = socket->kind() == httpserver::SocketError::Kind::bindFailure && socket->code() == EADDRINUSE
                 ? "its status port " + port + " is taken by another program"
                 : "its status port " + port + " cannot be opened (" + reason + ")";
  } else if (as<SafeCheckedContinuationError>(error) != nullptr) {
    reason = "JorvuVornHelper did not answer in time";
  } else if (as<XPCError>(error) != nullptr) {
    reason = "JorvuVornHelper cannot be reached or its answer cannot be read";
  } else if (const auto* selfUpdate = as<SelfUpdaterError>(error)) {
    reason = selfUpdate->value() == SelfUpdaterError::Case::timeout ? "the update of JorvuVorn took too long"
                                                                    : "the update of JorvuVorn ended unexpectedly";
  }
  return "game " + std::to_string(info.gameCode) + " cannot be started now: " + reason;
}

bool isJobRunning(GameStatus::Status status) {
  return status == GameStatus::Status::install || status == GameStatus::Status::patch;
}

}  // namespace

WebLaunchingTasks::WebLaunchingTasks(MainThread& mainThread, Interface& interface, XPCClient& xpcClient,
                                     Options options)
    : mainThread_(mainThread), interface_(interface), xpcClient_(xpcClient), options_(std::move(options)) {
  if (!options_.readDebugMode) options_.readDebugMode = readBundleDebugMode;
}

WebLaunchingTasks::~WebLaunchingTasks() { shutdown(); }

void WebLaunchingTasks::shutdown() { executor_.shutdown(); }

std::shared_ptr<LaunchTask> WebLaunchingTasks::start(std::function<void()> body, Completion completion) {
  return executor_.start(std::move(body), std::move(completion));
}

// ---- the step operations ----

std::shared_ptr<LaunchTask> WebLaunchingTasks::register_(const GameExecuteInfo& info, Completion completion) {
  return start([this, info] { registerTask(info); }, std::move(completion));
}

std::shared_ptr<LaunchTask> WebLaunchingTasks::execute(const GameExecuteInfo& info, Completion completion) {
  return start(
      [this, info] {
        logInfo(codeText(info) + " execute");
        xpcClient_.execute(info.gameCode, info.passarg);
      },
      std::move(completion));
}

std::shared_ptr<LaunchTask> WebLaunchingTasks::work(const GameExecuteInfo& info, CancelHandler cancelHandler,
                                                    Completion completion) {
  return start([this, info, cancelHandler = std::move(cancelHandler)] { workTask(info, cancelHandler); },
               std::move(completion));
}

std::shared_ptr<LaunchTask> WebLaunchingTasks::reloading(const GameExecuteInfo& info, Completion completion) {
  return start([this, info] { reloadingTask(info); }, std::move(completion));
}

std::shared_ptr<LaunchTask> WebLaunchingTasks::cancel(const GameExecuteInfo& info, Completion completion) {
  return start([this, info] { cancelTask(info); }, std::move(completion));
}

std::shared_ptr<LaunchTask> WebLaunchingTasks::done(const GameExecuteInfo& info,
                                                    std::function<void()> completionHandler, Completion completion) {
  return start([this, info, completionHandler = std::move(completionHandler)] { doneTask(info, completionHandler); },
               std::move(completion));
}

std::shared_ptr<LaunchTask> WebLaunchingTasks::nothing(Completion completion) {
  return start([] {}, std::move(completion));
}

// ---- the task bodies ----

void WebLaunchingTasks::registerTask(const GameExecuteInfo& info) {
  if (info.gameCode == 0) throw VornHelperError(VornHelperError::UnsupportedAppLaunching{});
  logInfo(codeText(info) + " register");
  httpserver::HttpServer::shared().start("127.0.0.1", info.gameCode);
  {
    std::lock_guard lock(connectionMutex_);
    xpcClient_.connection();
  }
  xpcClient_.checkConnect();

  const bool debugMode = options_.readDebugMode();
  isDebugMode_.store(debugMode);
  if (debugMode) {
    pauseForAttachHelperDebugger();
  } else {
    try {
      selfUpdate_.run([&] {
        SelfUpdater updater{xpcClient_, options_.selfUpdateTimeout, info.vantixToken, options_.selfUpdatePollInterval};
        updater.work();
      });
    } catch (const VornHelperError&) {
      logError("selfupdate failed");
      throw;
    } catch (const SelfUpdaterError& e) {
      if (e.value() == SelfUpdaterError::Case::needReloading) {
        logInfo("selfupdate success. need reloading");
        if (options_.updateInstalled) options_.updateInstalled();
      }
      throw;
    }
  }
  xpcClient_.register_(info.gameCode, info.obdTag, info.vantixToken);
}

void WebLaunchingTasks::pauseForAttachHelperDebugger() {
  platform::OneShot<bool> pressed;
  onMain([this, pressed] { interface_.showDebugAlert([pressed] { pressed.resolve(true); }); });
  logDebug("wait pauseForAttachHelperDebugger ok btn");
  std::stop_callback onCancel(platform::currentStopToken(), [pressed] { pressed.resolve(false); });
  if (!pressed.wait()) throw platform::CancellationError();
  logDebug("wait pauseForAttachHelperDebugger done");
}

void WebLaunchingTasks::workTask(const GameExecuteInfo& info, const CancelHandler& cancelHandler) {
  xpcClient_.work(info.gameCode, info.ignoreOSVersion);
  auto observer = GameWorkInfoObserver::make({"install", 0});
  // The observer belongs to the main loop: it is let go there too.
  struct Release {
    MainThread& mainThread;
    std::shared_ptr<GameWorkInfoObserver>& observer;
    ~Release() { mainThread.post([last = std::move(observer)] {}); }
  } release{mainThread_, observer};

  loadSetupView(info, observer, cancelHandler);
  logInfo(codeText(info) + " work start");
  for (;;) {
    GameStatus status;
    try {
      status = xpcClient_.getGameStatus(info.gameCode);
    } catch (const platform::CancellationError&) {
      throw;
    } catch (...) {
      updateObserver(observer, {"error", 1.0f});
      throw;
    }
    if (!status.progress) {
      logError(codeText(info) + " getGameStatus get size failure");
      updateObserver(observer, {"error", 1.0f});
      throw VornHelperError(VornHelperError::ExecuteFailed{});
    }
    updateObserver(observer, workInfoOf(status));
    logDebug("[gameWorkTask] " + codeText(info) + ", progress=(" + std::to_string(status.progress->currentSize) + "/" +
             std::to_string(status.progress->totalSize) + ")");
    if (!isJobRunning(status.status)) {
      logInfo(codeText(info) + " work stop");
      return;
    }
    platform::sleepFor(options_.workPollInterval);
  }
}

void WebLaunchingTasks::updateObserver(const std::shared_ptr<GameWorkInfoObserver>& observer, GameWorkInfo info) {
  onMain([observer, info = std::move(info)] { observer->update(info); });
}

void WebLaunchingTasks::loadSetupView(const GameExecuteInfo& info, std::shared_ptr<GameWorkInfoObserver> observer,
                                      CancelHandler cancelHandler) {
  start(
      [this, info, observer = std::move(observer), cancelHandler = std::move(cancelHandler)]() mutable {
        try {
          const GamePanelInfo panelInfo = xpcClient_.getGamePanelInfo(info.gameCode);
          onMain([this, panelInfo, info, observer, cancelHandler] {
            interface_.loadSetupView(panelInfo, info, observer, cancelHandler);
          });
        } catch (...) {
          logErrorOccurred(std::current_exception());
        }
        // The observer is let go on the main loop.
        mainThread_.post([last = std::move(observer)] {});
      },
      {});
}

void WebLaunchingTasks::reloadingTask(const GameExecuteInfo& info) {
  logInfo(codeText(info) + " reloading");
  if (!info.url) throw WebLaunchingTasksError(WebLaunchingTasksError::Case::invalidUrl);
  CommandLineLauncher::runCommand(platform::resolvePath(jorvuVornLoaderPath),
                                  {*info.url, std::to_string(::getpid())}, false);
}

void WebLaunchingTasks::cancelTask(const GameExecuteInfo& info) {
  logInfo(codeText(info) + " cancelling");
  try {
    xpcClient_.cancel(info.gameCode);
    for (;;) {
      const GameStatus status = xpcClient_.getGameStatus(info.gameCode);
      if (status.status == GameStatus::Status::cancel) {
        logInfo(codeText(info) + " cancel complete");
        return;
      }
      // The job ended on its own meanwhile: there is nothing left to cancel.
      if (!isJobRunning(status.status)) {
        logInfo(codeText(info) + " nothing to cancel, current status=[" + toString(status.status) + "]");
        return;
      }
      logInfo(codeText(info) + " wait cancel, current status=[" + toString(status.status) + "]");
      platform::sleepFor(options_.cancelPollInterval);
    }
  } catch (...) {
    logErrorOccurred(std::current_exception());
  }
}

void WebLaunchingTasks::doneTask(const GameExecuteInfo& info, const std::function<void()>& completionHandler) {
  logInfo(codeText(info) + " done");
  try {
    xpcClient_.clearGame(info.gameCode);
  } catch (...) {
  }
  httpserver::HttpServer::shared().stop(info.gameCode);
  if (completionHandler) completionHandler();
}

void WebLaunchingTasks::loadErrorView(const GameExecuteInfo& info, std::exception_ptr error,
                                      ViewCloseHandler viewCloseHandler) {
  std::optional<VornHelperError> popup;
  if (const auto* helperError = as<VornHelperError>(error)) {
    popup = *helperError;
  } else if (isLaunchFailure(error)) {
    // Logged at ERROR: the log stays for whoever looks into it.
    logError(codeText(info) + " " + launcherrors::description(error));
    if (options_.launchFailed) options_.launchFailed(launchFailureText(info, error));
    popup = VornHelperError(VornHelperError::ExecuteFailed{});
  } else {
    logInfo(codeText(info) + " " + launcherrors::description(error));
    return;
  }
  if (isShutdown()) return;
  mainThread_.post([this, info, error, popup = std::move(*popup), viewCloseHandler = std::move(viewCloseHandler)] {
    try {
      interface_.loadPopupView(popup, info, viewCloseHandler);
    } catch (...) {
      // Errors without a popup are only logged, and nobody answers for them.
      if (!hasPopup(error)) return;
      logErrorOccurred(std::current_exception());
      if (viewCloseHandler) viewCloseHandler(false);
    }
  });
}

void WebLaunchingTasks::onMain(std::function<void()> work) {
  enum Outcome { ran, dropped, cancelled };
  struct Result {
    platform::OneShot<Outcome> outcome;
    std::exception_ptr error;  // written on the main loop before `outcome`
  };
  auto result = std::make_shared<Result>();
  // Resolves `dropped` when the main loop destroys the work without running it.
  struct Guard {
    std::shared_ptr<Result> result;
    ~Guard() { result->outcome.resolve(dropped); }
  };
  auto guard = std::make_shared<Guard>();
  guard->result = result;
  mainThread_.post([guard, work = std::move(work)] {
    try {
      work();
    } catch (...) {
      guard->result->error = std::current_exception();
    }
    guard->result->outcome.resolve(ran);
  });
  guard.reset();
  std::stop_callback onCancel(platform::currentStopToken(), [result] { result->outcome.resolve(cancelled); });
  if (result->outcome.wait() != ran) throw platform::CancellationError();
  if (result->error) std::rethrow_exception(result->error);
}
