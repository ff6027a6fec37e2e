#pragma once
// The app's delegate: turns every opened start URL into one launch
// controller per game code, makes the launch under key 0 when the app
// started without a URL, keeps the registry of running controllers, and asks
// the app to terminate when the last one has finished. At termination it
// unloads the helper's launchd job.
//
// The registry counts the URLs taken but not yet parsed as running too, so
// the app never ends while a URL is on its way in. Once termination has
// begun, the registry refuses new URLs (their sender becomes the next
// instance of the app). So it does once an update of the app is installed:
// this instance would only hand them to the loader again, while the updated
// app takes them once this one has ended.
//
// Ending: the controllers' completion handlers reach the delegate through a
// link that shutdown() cuts first (waiting for a completion under way);
// then the controllers and the factory are let go, and with the factory's
// last owner the launch flow's tasks are cancelled and joined.
//
// Thread contract: openURLs, applicationDidFinishLaunching and
// applicationWillTerminate run on the main loop; takeForwardedURLs and
// beginTerminating on any thread; each URL is handled on a task thread of
// the delegate, and controllers call their completion handler from any
// thread; stopTakingURLs from any thread. shutdown() after the main loop
// has ended.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "JorvuVorn/AppTasks.hpp"
#include "JorvuVorn/ViewModel/LaunchController.hpp"
#include "JorvuVorn/ViewModel/MainThread.hpp"

class AppDelegate {
 public:
  // `safeTerminate` asks the app to terminate (it returns at once).
  AppDelegate(MainThread& mainThread, LaunchControllerFactory factory, std::function<void()> safeTerminate);
  ~AppDelegate();  // shutdown()
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The URLs the app was asked to open (its command line).
  void openURLs(const std::vector<std::string>& urls);
  void applicationDidFinishLaunching();
  void applicationWillTerminate();

  // URLs handed over by a later process: false, and nothing taken, when the
  // app is terminating.
  bool takeForwardedURLs(const std::vector<std::string>& urls);
  // From now on, URLs are refused.
  void beginTerminating();
  // An update of the app is installed: from now on, forwarded URLs are
  // refused (their sender waits for this instance to end).
  void stopTakingURLs();

  // Cuts the controllers' way back, drops the controllers still registered
  // and the factory, and waits for the tasks.
  void shutdown();

 private:
  using Controllers = std::map<std::uint32_t, std::shared_ptr<LaunchController>>;

  // The controllers' way back to the delegate: their completion handlers run
  // on task threads that may outlive it.
  struct CompletionLink {
    std::mutex mutex;  // held while a completion runs
    AppDelegate* delegate = nullptr;  // none once cut
  };

  // Counts `count` URLs as on their way in; false when terminating, or for
  // forwarded URLs once an update is installed.
  bool reserve(std::size_t count, bool forwarded);
  void startTasks(const std::vector<std::string>& urls);
  void webLaunchingTask(const std::string& url);
  // Registers a controller for `info` (check and insert under one lock) and
  // starts it. `reserved`: one reserved URL is used up by this call.
  void launch(const GameExecuteInfo& info, bool reserved);
  void completion(std::uint32_t gameCode);
  // A reserved URL that made no controller.
  void dropReservation();
  // Under the lock: nothing runs and nothing is on its way in. Marks the app
  // terminating when so.
  bool becameIdleLocked();

  MainThread& mainThread_;
  LaunchControllerFactory factory_;
  std::function<void()> safeTerminate_;
  bool isUrlStart_ = false;  // main loop only

  std::mutex mutex_;  // guards the registry and the two fields below
  Controllers webLaunchingTasksControllers_;
  std::size_t pendingURLs_ = 0;
  bool terminating_ = false;
  bool updateInstalled_ = false;

  const std::shared_ptr<CompletionLink> link_ = std::make_shared<CompletionLink>();

  AppTasks tasks_;
};
