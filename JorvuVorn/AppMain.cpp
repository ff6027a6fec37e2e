#include "JorvuVorn/AppMain.hpp"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <string>
#include <vector>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Infra/HttpClient/HTTPClient.hpp"
#include "Infra/HttpClient/HTTPReportSender.hpp"
#include "JorvuVorn/AppDelegate.hpp"
#include "JorvuVorn/ErrorText.hpp"
#include "JorvuVorn/GLibMainThread.hpp"
#include "JorvuVorn/ViewModel/VornHelperLauncher.hpp"
#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"
#include "Platform/Bundle.hpp"
#include "Platform/Cancellation.hpp"
#include "Platform/Paths.hpp"
#include "Platform/XPC/SingleInstance.hpp"
#ifdef JORVU_APP_GTK_INTERFACE
#include "JorvuVorn/ViewModel/Interface/ErrorViewController.hpp"
#endif

namespace {

// The name of the app's instance lock and socket in the install's runtime
// folder.
constexpr const char* instanceName = "com.jorvu.vorn.app";

// Where the helper installs the games.
constexpr const char* gamesRootPath = "/Library/Application Support/Jorvu";

// The connection check of start-up, on a thread of its own. Nobody waits
// for its result. At termination the app gives it a moment to hear the
// helper before the job is unloaded; a check still waiting after that (a
// helper that does not answer) is cancelled like a launch task, which ends
// its call at once, and joined, rather than holding the exit for the whole
// time-out of an XPC call.
class StartupCheck {
 public:
  void start() {
    thread_ = std::jthread([this](std::stop_token stop) {
      try {
        platform::CancellationScope cancellable(std::move(stop));
        XPCClient client;
        client.connection();
        client.checkConnect();
      } catch (const std::exception&) {
      }
      std::lock_guard lock(mutex_);
      done_ = true;
      changed_.notify_all();
    });
  }

  // Waits at most `grace` for the check to end by itself, then stops it and
  // joins its thread. Main thread.
  void finish(std::chrono::milliseconds grace) {
    if (!thread_.joinable()) return;
    {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, grace, [this] { return done_; });
    }
    thread_.request_stop();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  // Declared last: on any other way out it is stopped and joined first.
  std::jthread thread_;
};

// How long termination waits for the start-up check.
constexpr std::chrono::seconds startupCheckGrace{5};

// The running app, for safeTerminate() and the signal handlers.
struct App {
  GLibMainThread* mainThread = nullptr;
  AppDelegate* delegate = nullptr;
  StartupCheck* startupCheck = nullptr;
  std::atomic<bool> terminateRequested{false};
  std::atomic<bool> launchFailed{false};
};
App app;

// The start URLs of the command line: every argument that is neither empty
// nor an option.
std::vector<std::string> commandLineURLs(int argc, char** argv) {
  std::vector<std::string> urls;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-' && argv[i][0] != '\0') urls.emplace_back(argv[i]);
  }
  return urls;
}

int onStopSignal(void*) {
  safeTerminate();
  return G_SOURCE_CONTINUE;
}

std::unique_ptr<Interface> makeInterface(bool hasDisplay) {
#ifdef JORVU_APP_GTK_INTERFACE
  if (hasDisplay) return std::make_unique<GtkInterface>();
#else
  (void)hasDisplay;
#endif
  return std::make_unique<NullInterface>();
}

void logBundle() {
  const auto bundle = platform::Bundle::main();
  if (bundle) {
    if (auto version = bundle->shortVersion()) logInfo("current version=" + *version);
  }
  std::string path;
  if (bundle) path = bundle->executablePath().value_or("");
  logInfo("current app path=" + path);
}

// A start-up that cannot go on: what failed and, where there is something
// to suggest, what to do.
struct StartupFailure {
  std::string failed;
  std::string remedy;
};

// On standard error and in the log. Returns the text for the alert.
std::string reportStartupFailure(const StartupFailure& failure) {
  std::fprintf(stderr, "JorvuVorn: %s\n", failure.failed.c_str());
  if (!failure.remedy.empty()) std::fprintf(stderr, "JorvuVorn: %s\n", failure.remedy.c_str());
  logError("cannot start: " + failure.failed + (failure.remedy.empty() ? "" : ". " + failure.remedy));
  return failure.remedy.empty() ? failure.failed : failure.failed + "\n\n" + failure.remedy;
}

// With a display, the same in an alert that the user closes (SIGTERM and
// SIGINT close it too); outside the app's main loop (the alert runs a loop
// of its own).
void showStartupAlert(const std::string& text, bool hasDisplay) {
#ifdef JORVU_APP_GTK_INTERFACE
  if (hasDisplay) ErrorViewController::showStartupFailure(text);
#else
  (void)text;
  (void)hasDisplay;
#endif
}

// What to do when the install's files or folders are not this user's to
// write, or a part of the install is missing.
constexpr const char* installRemedy =
    "Install the launcher as the user who plays: scripts/install-app (or make install-app), run as that user, puts "
    "the app and the games in the user's own data folder; then open the start URL again";

// What to do when the running app does not take the start URL.
constexpr const char* runningAppRemedy =
    "Another JorvuVorn of yours does not answer or does not end: end it, then open the start URL again";

// A system call refused for want of rights.
bool isDenied(int e) { return e == EACCES || e == EPERM; }

// This process could become neither the app nor hand its URLs to the app.
StartupFailure instanceFailure(const platform::SingleInstance::Outcome& outcome) {
  using Failure = platform::SingleInstance::Failure;
  switch (outcome.failure) {
    case Failure::denied:
      return {outcome.error, installRemedy};
    case Failure::unresponsive:
      return {outcome.error, runningAppRemedy};
    case Failure::none:
    case Failure::other:
      break;
  }
  return {outcome.error, {}};
}

// The helper's job could not be loaded. The error's text is said once: the
// log's "An error occurred" line has it in full.
StartupFailure helperJobFailure(const std::exception& error) {
  std::string text = error.what();
  bool install = false;
  if (auto* e = dynamic_cast<const VornHelperLauncherError*>(&error)) {
    text = e->description();
    // The app's copy of the job's property list is missing.
    install = e->kind() == VornHelperLauncherError::Kind::notExistPlistFile;
  } else if (auto* e = dynamic_cast<const CommandLineLauncher::LaunchError*>(&error)) {
    // Our launchctl is missing or not this user's to run.
    install = e->errorNumber == ENOENT || isDenied(e->errorNumber);
  } else if (auto* e = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
    // The job's copy cannot be written in the app's folder.
    install = isDenied(e->code().value());
  }
  return {"cannot load the helper's job: " + text, install ? installRemedy : ""};
}

// The games folder, made when missing: the helper installs every game into
// it, so this user must be able to write there. What failed, or nothing.
std::optional<StartupFailure> gamesRootProblem() {
  const std::string root = platform::resolvePath(gamesRootPath);
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  int e = ec.value();
  std::string failed;
  if (ec) {
    failed = "cannot make the games folder " + root + ": " + std::strerror(e);
  } else if (::access(root.c_str(), W_OK | X_OK) != 0) {
    e = errno;
    failed = "cannot write to the games folder " + root + ": " + std::strerror(e);
  } else {
    return std::nullopt;
  }
  return StartupFailure{failed, isDenied(e) ? installRemedy : ""};
}

}  // namespace

void safeTerminate() {
  if (app.mainThread == nullptr || app.terminateRequested.exchange(true)) return;
  app.delegate->beginTerminating();
  app.mainThread->post([] {
    app.startupCheck->finish(startupCheckGrace);
    app.delegate->applicationWillTerminate();
    app.mainThread->quit();
  });
}

void loadVornHelper() {
  if (VornHelperLauncher::isLoaded()) {
    logInfo("already loaded JorvuVornHelper. try reload");
    VornHelperLauncher::unload();
  }
  VornHelperLauncher::load();
  // Nobody waits for the check: a failure ends the task and nothing else.
  app.startupCheck->start();
  logInfo("JorvuVornHelper success");
}

int runJorvuVorn(int argc, char** argv, const LaunchControllerFactoryMaker& makeFactory) {
  // A peer that goes away must never kill us through a write.
  ::signal(SIGPIPE, SIG_IGN);

  // One app per user: a later process hands its URLs over and ends. Nothing
  // is logged before this process is the instance.
  const std::vector<std::string> urls = commandLineURLs(argc, argv);
  std::vector<std::string> dropped;
  auto instance = platform::SingleInstance::acquire(instanceName, urls, &dropped);
  if (instance.forwarded) {
    for (const auto& url : dropped) {
      std::fprintf(stderr, "JorvuVorn: URL not handed over (%zu bytes; at most %zu URLs of %zu bytes)\n", url.size(),
                   platform::SingleInstance::maxURLCount, platform::SingleInstance::maxURLLength);
    }
    return 0;
  }
  if (!instance.instance) {
    const std::string alert = reportStartupFailure(instanceFailure(instance));
    showStartupAlert(alert, gtk_init_check(&argc, &argv));
    return 1;
  }

  httpGlobalInit();  // before any thread
  // Outlives the app's loop: its end waits for the last reports and joins
  // the reporter's threads.
  const auto reports = connectStatisticsReports();

  // The application: GTK when there is a display to open.
  const bool hasDisplay = gtk_init_check(&argc, &argv);
  if (!hasDisplay) logError("cannot open a display: running without windows");
  if (auto problem = gamesRootProblem()) {
    showStartupAlert(reportStartupFailure(*problem), hasDisplay);
    return 1;
  }
  GLibMainThread mainThread(hasDisplay);
  const auto interface = makeInterface(hasDisplay);
  AppServices services{mainThread, *interface,
                       [] {
                         if (app.delegate != nullptr) app.delegate->stopTakingURLs();
                       },
                       [](const std::string& failure) {
                         std::fprintf(stderr, "JorvuVorn: %s\n", failure.c_str());
                         app.launchFailed = true;
                       }};
  StartupCheck startupCheck;
  AppDelegate delegate(mainThread, makeFactory(services), safeTerminate);
  app.mainThread = &mainThread;
  app.delegate = &delegate;
  app.startupCheck = &startupCheck;
  // From here on a stop signal is a termination like any other.
  g_unix_signal_add(SIGTERM, onStopSignal, nullptr);
  g_unix_signal_add(SIGINT, onStopSignal, nullptr);

  logBundle();
  // The alert of a failed start-up, shown once the loop has ended.
  std::optional<std::string> startupFailure;
  try {
    loadVornHelper();
  } catch (const std::exception& error) {
    logError("An error occurred: " + appErrorText(error));
    startupFailure = reportStartupFailure(helperJobFailure(error));
    safeTerminate();
  }
  std::atexit([] { VornLogger::clearLogFile(); });

  if (!urls.empty()) mainThread.post([&delegate, &urls] { delegate.openURLs(urls); });
  mainThread.post([&delegate] { delegate.applicationDidFinishLaunching(); });
  instance.instance->serve([&delegate](std::vector<std::string> forwarded) {
    return delegate.takeForwardedURLs(forwarded);
  });

  mainThread.run();
  const int exitCode = startupFailure || app.launchFailed ? 1 : 0;
  logDebug("exitCode=" + std::to_string(exitCode));
  if (startupFailure) showStartupAlert(*startupFailure, hasDisplay);

  // Late requests are still answered "terminating" until the tasks are done.
  delegate.shutdown();
  // The link to the helper is let go here, under its lock, rather than by the
  // process's static destructors.
  XPCClient::setProxy(nullptr);
  instance.instance->stop();
  app.delegate = nullptr;
  app.startupCheck = nullptr;
  return exitCode;
}
