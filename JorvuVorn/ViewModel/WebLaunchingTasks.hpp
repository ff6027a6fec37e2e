#pragma once
// The tasks of the launch steps and what they share in one process: the one
// XPC client to the helper, the debug flag, the self-update (kept once it
// succeeded), the executor that owns every task thread and the queue the
// controllers run on. Each step operation starts one task for one launch
// and returns its handle; `completion` then runs on the task's thread with
// the outcome (null when the step succeeded, else the error the controller
// turns into its error step).
//
//   register   status server, link to the helper, the self-update, the
//              game's registration
//   execute    the helper launches the game (WorkRequired: install first)
//   work       install or patch with the setup panel, polling the progress
//   reloading  the loader starts the updated app with the start URL
//   cancel     the helper cancels its job; never fails
//   done       the helper forgets the game, the status port closes, the
//              launch's completion handler runs; never fails
//
// Thread contract: every operation may be called from any thread; the
// interface and the progress observer are only touched on the main loop,
// through MainThread. One instance per process, owned by the app; shutdown()
// (or the destructor) cancels and joins every task.
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Common/App/GameExecuteInfo.hpp"
#include "JorvuVorn/ViewModel/Interface.hpp"
#include "JorvuVorn/ViewModel/LaunchTask.hpp"
#include "JorvuVorn/ViewModel/MainThread.hpp"
#include "JorvuVorn/ViewModel/SelfUpdater.hpp"
#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"
#include "Platform/SerialQueue.hpp"

// The loader inside the installed app (not the running bundle).
inline constexpr const char* jorvuVornLoaderPath =
    "/Library/Application Support/Jorvu/Vorn/JorvuVorn.app/Contents/Resources/JorvuVornLoader";

class WebLaunchingTasks {
 public:
  using Completion = TaskExecutor::Completion;

  struct Options {
    double selfUpdateTimeout = 300.0;
    std::chrono::milliseconds workPollInterval{500};
    std::chrono::milliseconds cancelPollInterval{300};
    std::chrono::milliseconds selfUpdatePollInterval{300};
    // The app's "DebugMode" flag; by default the running bundle's Info.plist.
    std::function<bool()> readDebugMode;
    // Told (from a task thread) each time a launch finds an installed update
    // of the app, before it goes on to reload.
    std::function<void()> updateInstalled;
    // Told (from the launch queue) each time a launch fails on its own side
    // (isLaunchFailure()), with a sentence for the player: what failed, for
    // which game.
    std::function<void(const std::string& failure)> launchFailed;
  };

  WebLaunchingTasks(MainThread& mainThread, Interface& interface, XPCClient& xpcClient, Options options);
  WebLaunchingTasks(MainThread& mainThread, Interface& interface, XPCClient& xpcClient)
      : WebLaunchingTasks(mainThread, interface, xpcClient, Options()) {}
  ~WebLaunchingTasks();
  WebLaunchingTasks(const WebLaunchingTasks&) = delete;
  WebLaunchingTasks& operator=(const WebLaunchingTasks&) = delete;

  std::shared_ptr<LaunchTask> register_(const GameExecuteInfo& info, Completion completion);
  std::shared_ptr<LaunchTask> execute(const GameExecuteInfo& info, Completion completion);
  std::shared_ptr<LaunchTask> work(const GameExecuteInfo& info, CancelHandler cancelHandler, Completion completion);
  std::shared_ptr<LaunchTask> reloading(const GameExecuteInfo& info, Completion completion);
  std::shared_ptr<LaunchTask> cancel(const GameExecuteInfo& info, Completion completion);
  std::shared_ptr<LaunchTask> done(const GameExecuteInfo& info, std::function<void()> completionHandler,
                                   Completion completion);
  // A task that does nothing.
  std::shared_ptr<LaunchTask> nothing(Completion completion);

  // Shows the popup for a helper error (returns at once; the answer comes
  // through `viewCloseHandler`, which is answered false here when the popup
  // cannot be shown). A launch failure is logged at ERROR, told to
  // Options::launchFailed and shown as the popup of a game that could not be
  // started; any other error is only logged.
  void loadErrorView(const GameExecuteInfo& info, std::exception_ptr error, ViewCloseHandler viewCloseHandler);

  // The queue every controller of this process runs on.
  platform::SerialQueue& actorQueue() { return actorQueue_; }
  bool isDebugMode() const { return isDebugMode_.load(); }

  // Cancels every task and waits for them; nothing starts afterwards.
  void shutdown();
  bool isShutdown() const { return executor_.isShutdown(); }

 private:
  std::shared_ptr<LaunchTask> start(std::function<void()> body, Completion completion);

  void registerTask(const GameExecuteInfo& info);
  void workTask(const GameExecuteInfo& info, const CancelHandler& cancelHandler);
  void reloadingTask(const GameExecuteInfo& info);
  void cancelTask(const GameExecuteInfo& info);
  void doneTask(const GameExecuteInfo& info, const std::function<void()>& completionHandler);
  void pauseForAttachHelperDebugger();
  void loadSetupView(const GameExecuteInfo& info, std::shared_ptr<GameWorkInfoObserver> observer,
                     CancelHandler cancelHandler);
  void updateObserver(const std::shared_ptr<GameWorkInfoObserver>& observer, GameWorkInfo info);

  // Runs `work` on the main loop and waits for it; what it throws is thrown
  // here. platform::CancellationError when the task is cancelled meanwhile or
  // the main loop drops the work.
  void onMain(std::function<void()> work);

  MainThread& mainThread_;
  Interface& interface_;
  XPCClient& xpcClient_;
  Options options_;
  std::mutex connectionMutex_;  // connection() changes the shared client
  std::atomic<bool> isDebugMode_{false};
  SelfUpdateOnce selfUpdate_;
  // Declared last: destroyed first. The queue outlives the executor, whose
  // tasks post their outcomes onto it.
  platform::SerialQueue actorQueue_{"launch"};
  TaskExecutor executor_;
};
