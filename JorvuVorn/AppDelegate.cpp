#include "JorvuVorn/AppDelegate.hpp"

#include <utility>

#include "Common/App/StartURL.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/ErrorText.hpp"
#include "JorvuVorn/ViewModel/VornHelperLauncher.hpp"

AppDelegate::AppDelegate(MainThread& mainThread, LaunchControllerFactory factory, std::function<void()> safeTerminate)
    : mainThread_(mainThread), factory_(std::move(factory)), safeTerminate_(std::move(safeTerminate)) {}

AppDelegate::~AppDelegate() { shutdown(); }

void AppDelegate::openURLs(const std::vector<std::string>& urls) {
  isUrlStart_ = true;
  if (reserve(urls.size())) startTasks(urls);
}

bool AppDelegate::takeForwardedURLs(const std::vector<std::string>& urls) {
  if (!reserve(urls.size())) return false;
  // Opened on the main loop, like the URLs of the command line.
  mainThread_.post([this, urls] {
    isUrlStart_ = true;
    startTasks(urls);
  });
  return true;
}

bool AppDelegate::reserve(std::size_t count) {
  std::lock_guard lock(mutex_);
  if (terminating_) return false;
  pendingURLs_ += count;
  return true;
}

void AppDelegate::beginTerminating() {
  std::lock_guard lock(mutex_);
  terminating_ = true;
}

void AppDelegate::startTasks(const std::vector<std::string>& urls) {
  for (const auto& url : urls) {
    tasks_.start([this, url] { webLaunchingTask(url); });
  }
}

void AppDelegate::webLaunchingTask(const std::string& url) {
  GameExecuteInfo info;
  try {
    info = starturl::parse(url);
  } catch (const URLParserError& error) {
    // A bad URL ends only an app that has nothing else to do: a web page
    // must not be able to end another game's install.
    logError("An error occurred: " + appErrorText(error));
    dropReservation();
    return;
  }
  logInfo("url parse success. gameCode=" + std::to_string(info.gameCode));
  launch(info, true);
}

void AppDelegate::applicationDidFinishLaunching() {
  logDebug("applicationDidFinishLaunching");
  if (isUrlStart_) return;
  GameExecuteInfo info;  // game code 0, no tag, no token, no URL
  info.ignoreOSVersion = false;
  info.isAutoExecute = false;
  launch(info, false);
}

void AppDelegate::launch(const GameExecuteInfo& info, bool reserved) {
  const std::uint32_t gameCode = info.gameCode;
  std::shared_ptr<LaunchController> controller;
  {
    std::lock_guard lock(mutex_);
    if (reserved) --pendingURLs_;
    if (webLaunchingTasksControllers_.count(gameCode) != 0) {
      logInfo("gameCode=" + std::to_string(gameCode) + " already start");
      return;
    }
    if (terminating_) return;
    try {
      controller = factory_(info, [this, gameCode] { completion(gameCode); });
    } catch (const std::exception& error) {
      logError("An error occurred: " + appErrorText(error));
    }
    if (controller) {
      logDebug("gameExecuteControllers lock");
      webLaunchingTasksControllers_[gameCode] = controller;
      logDebug("gameExecuteControllers unlock");
    } else if (!becameIdleLocked()) {
      return;
    }
  }
  if (!controller) {
    safeTerminate_();
    return;
  }
  tasks_.start([this, controller, gameCode] {
    try {
      controller->start();
    } catch (const std::exception& error) {
      // A launch that cannot even start is over.
      logError("An error occurred: " + appErrorText(error));
      completion(gameCode);
    }
  });
}

void AppDelegate::completion(std::uint32_t gameCode) {
  std::shared_ptr<LaunchController> finished;
  bool idle = false;
  {
    std::lock_guard lock(mutex_);
    logDebug("gameExecuteControllers lock");
    auto it = webLaunchingTasksControllers_.find(gameCode);
    if (it != webLaunchingTasksControllers_.end()) {
      finished = std::move(it->second);
      webLaunchingTasksControllers_.erase(it);
    }
    idle = becameIdleLocked();
    if (!idle) logDebug("gameExecuteControllers unlock");
  }
  // The controller may be calling from its own thread: it is let go on the
  // main loop, never inside its own call.
  if (finished) mainThread_.post([finished = std::move(finished)] {});
  if (idle) {
    logDebug("webLaunchingTasksControllers empty. terminate vorn");
    safeTerminate_();
  }
}

void AppDelegate::dropReservation() {
  bool idle = false;
  {
    std::lock_guard lock(mutex_);
    --pendingURLs_;
    idle = becameIdleLocked();
  }
  if (idle) safeTerminate_();
}

bool AppDelegate::becameIdleLocked() {
  if (!webLaunchingTasksControllers_.empty() || pendingURLs_ != 0) return false;
  terminating_ = true;
  return true;
}

void AppDelegate::applicationWillTerminate() {
  logInfo("applicationWillTerminate");
  try {
    VornHelperLauncher::unload();
  } catch (const std::exception& error) {
    logError("An error occurred: " + appErrorText(error));
  }
}

void AppDelegate::shutdown() {
  Controllers left;
  {
    std::lock_guard lock(mutex_);
    terminating_ = true;
    left.swap(webLaunchingTasksControllers_);
  }
  left.clear();
  tasks_.waitAll();
}
