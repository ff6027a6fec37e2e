#include "JorvuVorn/AppDelegate.hpp"

#include <utility>

#include "Common/App/StartURL.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/ErrorText.hpp"
#include "JorvuVorn/ViewModel/VornHelperLauncher.hpp"

AppDelegate::AppDelegate(MainThread& mainThread, LaunchControllerFactory factory, std::function<void()> safeTerminate)
    : mainThread_(mainThread), factory_(std::move(factory)), safeTerminate_(std::move(safeTerminate)) {
  link_->delegate = this;
}

AppDelegate::~AppDelegate() { shutdown(); }

void AppDelegate::openURLs(const std::vector<std::string>& urls) {
  isUrlStart_ = true;
  if (reserve(urls.size(), false)) startTasks(urls);
}

bool AppDelegate::takeForwardedURLs(const std::vector<std::string>& urls) {
  if (!reserve(urls.size(), true)) return false;
  // Opened on the main loop, like the URLs of the command line.
  mainThread_.post([this, urls] {
    isUrlStart_ = true;
    startTasks(urls);
  });
  return true;
}

bool AppDelegate::reserve(std::size_t count, bool forwarded) {
  std::lock_guard lock(mutex_);
  if (terminating_ || (forwarded && updateInstalled_)) return false;
  pendingURLs_ += count;
  return true;
}

void AppDelegate::beginTerminating() {
  std::lock_guard lock(mutex_);
  terminating_ = true;
}

void AppDelegate::stopTakingURLs() {
  std::lock_guard lock(mutex_);
  if (std::exchange(updateInstalled_, true)) return;
  logInfo("update installed: new start URLs wait for the updated app");
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
      controller = factory_(info, [link = link_, gameCode] {
        std::lock_guard cut(link->mutex);
        if (link->delegate != nullptr) link->delegate->completion(gameCode);
      });
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
  {
    std::lock_guard cut(link_->mutex);
    link_->delegate = nullptr;
  }
  Controllers left;
  LaunchControllerFactory factory;
  {
    std::lock_guard lock(mutex_);
    terminating_ = true;
    left.swap(webLaunchingTasksControllers_);
    factory.swap(factory_);
  }
  left.clear();
  tasks_.waitAll();
  // The last owner of the launch flow cancels its tasks and joins them here.
  factory = nullptr;
}
