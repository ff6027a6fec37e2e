// The app program from its installed layout, without a display: start-up
// and the helper's job, one instance per user, the registry of launches and
// termination.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "Common/Launcher/CommandLineLauncher.hpp"

#include "Tests/JorvuVorn/App/AppTestSupport.hpp"

namespace fs = std::filesystem;
using namespace apptest;

namespace {

// Whether the process waits for a file lock (/proc/locks lists its request).
bool waitsForALock(pid_t pid) {
  std::istringstream locks(testsupport::readFileOrEmpty("/proc/locks"));
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos && line.find(" " + std::to_string(pid) + " ") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// The processes that run `program`.
std::vector<pid_t> processesRunning(const std::string& program) {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    if (fs::read_symlink(entry.path() / "exe", ec) == fs::path(program)) pids.push_back(std::stoi(name));
  }
  return pids;
}

class AppProgram : public ::testing::Test {
 protected:
  InstalledApp app;

  // Starts the app with a URL of `code` and waits until that launch runs.
  std::unique_ptr<Process> startRunning(std::uint32_t code) {
    auto process = app.start({startURL(code)});
    EXPECT_TRUE(waitUntil([&] { return app.launchStarted(code); })) << app.log();
    return process;
  }

  // The app ends by itself with 0, and the helper's job is gone.
  void expectEnded(Process& process, int instances = 1) {
    EXPECT_EQ(process.wait(30s), 0) << app.outputs();
    EXPECT_FALSE(app.helperPid());
    EXPECT_EQ(app.logCount("[INFO] applicationWillTerminate"), instances);
  }
};

TEST_F(AppProgram, StartWithURLLoadsTheJobAndTheLastLaunchEndsTheApp) {
  auto process = startRunning(100);
  ASSERT_TRUE(app.helperPid());
  const std::string log = app.log();
  EXPECT_NE(log.find("[INFO] current version=1.0.0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[INFO] current app path=" + app.program() + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[INFO] JorvuVornHelper success\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[INFO] url parse success. gameCode=100\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("already loaded"), std::string::npos) << log;
  // The start with a URL never launches under key 0.
  EXPECT_FALSE(app.launchStarted(0));

  app.finishLaunch(100);
  expectEnded(*process);
  // No display: an ERROR line, so the log folder is kept.
  EXPECT_EQ(app.logCount("[ERROR] cannot open a display: running without windows"), 1) << app.log();
  EXPECT_TRUE(fs::exists(app.appLog()));
}

TEST_F(AppProgram, StartWithoutURLLaunchesUnderKeyZero) {
  auto process = app.start({});
  ASSERT_TRUE(waitUntil([&] { return app.launchStarted(0); })) << app.log();
  app.finishLaunch(0);
  expectEnded(*process);
}

TEST_F(AppProgram, AJobAlreadyLoadedIsUnloadedAndLoadedAgain) {
  const std::string plist = app.root() / (std::string(installedApp) + "/Contents/Resources/com.jorvu.vorn.helper.plist");
  ASSERT_EQ(CommandLineLauncher::runCommand(app.launchctl(), {"load", "-w", plist}, true).status, 0);
  const auto before = app.helperPid();
  ASSERT_TRUE(before);

  auto process = startRunning(3);
  const auto after = app.helperPid();
  ASSERT_TRUE(after);
  EXPECT_NE(*after, *before);
  EXPECT_TRUE(waitEnded(*before));
  EXPECT_EQ(app.logCount("[INFO] already loaded JorvuVornHelper. try reload"), 1) << app.log();
  app.finishLaunch(3);
  expectEnded(*process);
}

// A start-up that cannot go on says what failed and what to do, and ends
// with 1 (it used to end with 0, having done nothing). The error's text is
// said once, and the advice to install as the user who plays only where the
// install is at fault.
TEST_F(AppProgram, AJobThatCannotBeLoadedEndsTheApp) {
  const std::string plist = app.root() / (std::string(installedApp) + "/Contents/Resources/com.jorvu.vorn.helper.plist");
  const std::string saved = app.root().path() + "/saved.plist";
  fs::rename(plist, saved);
  auto process = app.start({startURL(4)});
  EXPECT_EQ(process->wait(30s), 1);
  std::string output = testsupport::readFileOrEmpty(app.root().path() + "/app.out");
  EXPECT_NE(output.find("JorvuVorn: cannot load the helper's job: notExistPlistFile\n"), std::string::npos) << output;
  EXPECT_NE(output.find("JorvuVorn: Install the launcher as the user who plays"), std::string::npos) << output;
  EXPECT_EQ(app.logCount("[ERROR] An error occurred: notExistPlistFile"), 2) << app.log();  // load, then unload
  EXPECT_EQ(app.logCount("[ERROR] cannot start: cannot load the helper's job: notExistPlistFile. Install"), 1)
      << app.log();
  EXPECT_EQ(app.logCount("JorvuVornHelper success"), 0);
  EXPECT_FALSE(app.launchStarted(4));
  EXPECT_FALSE(app.helperPid());

  // The job's copy cannot be written (a folder in its place): what failed,
  // once, and no advice that would not help.
  fs::rename(saved, plist);
  const std::string copy = app.root() / "/Library/Application Support/Jorvu/Vorn/com.jorvu.vorn.helper.plist";
  fs::create_directories(copy + "/in the way");
  EXPECT_EQ(app.runToEnd({startURL(4)}, "copy"), 1);
  output = testsupport::readFileOrEmpty(app.root().path() + "/copy.out");
  const std::string failed = "JorvuVorn: cannot load the helper's job: filesystem error: cannot remove: ";
  const auto at = output.find(failed);
  ASSERT_NE(at, std::string::npos) << output;
  EXPECT_EQ(output.find(failed, at + 1), std::string::npos) << output;
  const std::string line = output.substr(at, output.find('\n', at) - at);
  EXPECT_EQ(line.find(copy), line.rfind(copy)) << line;  // the path once too
  EXPECT_EQ(output.find("Install the launcher"), std::string::npos) << output;
  EXPECT_FALSE(app.helperPid());
}

// The runtime folder cannot be made (a file in its way): the app says why,
// without advice that would not help, and ends with 1.
TEST_F(AppProgram, ARuntimeFolderThatCannotBeMadeSaysWhy) {
  testsupport::writeFile(app.root().path() + "/var/run/jorvu/" + std::to_string(::geteuid()), "in the way");
  EXPECT_EQ(app.runToEnd({startURL(6)}, "app"), 1);
  const std::string output = testsupport::readFileOrEmpty(app.root().path() + "/app.out");
  const std::string folder = app.root().path() + "/var/run/jorvu/" + std::to_string(::geteuid());
  EXPECT_EQ(output, "JorvuVorn: " + folder + " is not a folder of this user\n");
  EXPECT_EQ(app.logCount("[ERROR] cannot start: " + folder + " is not a folder of this user"), 1) << app.log();
  EXPECT_FALSE(app.launchStarted(6));
}

// With a display the same is shown in an alert, once the job is unloaded
// again; it holds the app until it is closed.
TEST_F(AppProgram, WithADisplayAStartupThatCannotGoOnShowsAnAlert) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs a display";
  fs::remove(app.root() / (std::string(installedApp) + "/Contents/Resources/com.jorvu.vorn.helper.plist"));
  auto process = app.start({startURL(8)}, "app", true);
  std::string window;
  const std::vector<std::string> search{"search", "--onlyvisible", "--pid", std::to_string(process->pid()),
                                        "--name", "^JorvuVorn$"};
  ASSERT_TRUE(waitUntil([&] {
    window = CommandLineLauncher::runCommand("/usr/bin/xdotool", search, true).output.value_or("");
    return !window.empty();
  })) << app.outputs();
  EXPECT_TRUE(process->running());
  EXPECT_EQ(app.logCount("[INFO] applicationWillTerminate"), 1) << app.log();
  window = window.substr(0, window.find('\n'));
  // Its OK button has the focus.
  CommandLineLauncher::runCommand("/usr/bin/xdotool", {"windowfocus", "--sync", window}, true);
  CommandLineLauncher::runCommand("/usr/bin/xdotool", {"key", "Return"}, true);
  EXPECT_EQ(process->wait(30s), 1) << app.outputs();
}

// SIGTERM and SIGINT end the alert as they end the app elsewhere: after a
// helper's job that could not be loaded (the app's loop has run) and before
// the app's loop (no runtime folder).
TEST_F(AppProgram, WithADisplayTheStartupAlertEndsOnAStopSignal) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs a display";
  const std::string plist = app.root() / (std::string(installedApp) + "/Contents/Resources/com.jorvu.vorn.helper.plist");
  const std::string saved = app.root().path() + "/saved.plist";
  fs::rename(plist, saved);
  const std::string folder = app.root().path() + "/var/run/jorvu/" + std::to_string(::geteuid());
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    if (signal == SIGINT) {
      fs::rename(saved, plist);
      fs::remove_all(folder);
      testsupport::writeFile(folder, "in the way");
    }
    auto process = app.start({startURL(8)}, "app", true);
    const std::vector<std::string> search{"search", "--onlyvisible", "--pid", std::to_string(process->pid()),
                                          "--name", "^JorvuVorn$"};
    ASSERT_TRUE(waitUntil([&] {
      return !CommandLineLauncher::runCommand("/usr/bin/xdotool", search, true).output.value_or("").empty();
    })) << app.outputs();
    process->signal(signal);
    EXPECT_EQ(process->wait(30s), 1) << app.outputs();
  }
  EXPECT_FALSE(app.helperPid());
}

// One install is one app and one helper, whether a start comes with the
// session's XDG_RUNTIME_DIR or without it (a terminal through su, a cron
// job): the later start hands its URL to the busy first one, either way.
TEST_F(AppProgram, StartsWithAndWithoutARuntimeFolderShareOneAppAndOneHelper) {
  const std::string session = app.root().path() + "/session";
  fs::create_directories(session);
  fs::permissions(session, fs::perms::owner_all);
  const std::string helperProgram =
      app.root() / (std::string(installedApp) + "/Contents/MacOS/JorvuVornHelper.app/Contents/MacOS/JorvuVornHelper");
  std::uint32_t code = 30;
  for (const bool firstInSession : {true, false}) {
    SCOPED_TRACE(firstInSession ? "first with XDG_RUNTIME_DIR" : "first without");
    app.extraEnv["XDG_RUNTIME_DIR"] = firstInSession ? session : "";
    auto first = startRunning(code);
    const auto helper = app.helperPid();
    ASSERT_TRUE(helper);

    app.extraEnv["XDG_RUNTIME_DIR"] = firstInSession ? "" : session;
    EXPECT_EQ(app.runToEnd({startURL(code + 1)}, "second"), 0) << app.outputs();
    ASSERT_TRUE(waitUntil([&] { return app.launchStarted(code + 1); })) << app.log();
    EXPECT_TRUE(first->running());
    EXPECT_EQ(app.helperPid(), helper);
    EXPECT_EQ(processesRunning(app.program()), std::vector<pid_t>{first->pid()});
    EXPECT_EQ(processesRunning(helperProgram), std::vector<pid_t>{*helper});

    app.finishLaunch(code);
    app.finishLaunch(code + 1);
    expectEnded(*first, firstInSession ? 1 : 2);
    code += 2;
  }
  // Nothing of the app's was made in the session's folder.
  EXPECT_TRUE(fs::is_empty(session));
}

TEST_F(AppProgram, LaterProcessesHandTheirURLsToTheRunningApp) {
  auto first = startRunning(1);
  const auto helper = app.helperPid();

  // Another game: forwarded, the sender ends with 0 and leaves the job alone.
  EXPECT_EQ(app.runToEnd({startURL(2)}, "second"), 0);
  ASSERT_TRUE(waitUntil([&] { return app.launchStarted(2); })) << app.log();
  EXPECT_EQ(app.helperPid(), helper);
  EXPECT_TRUE(first->running());

  // The same game again: one controller, and the line that says so.
  EXPECT_EQ(app.runToEnd({startURL(1)}, "third"), 0);
  ASSERT_TRUE(waitUntil([&] { return app.logCount("[INFO] gameCode=1 already start") == 1; })) << app.log();
  EXPECT_EQ(app.logCount("url parse success. gameCode=1"), 2);
  EXPECT_EQ(app.logCount("current app path="), 1);  // one app process logged a start-up

  app.finishLaunch(1);
  app.finishLaunch(2);
  expectEnded(*first);
}

TEST_F(AppProgram, ABadURLDoesNotEndAnotherLaunch) {
  auto process = startRunning(5);
  EXPECT_EQ(app.runToEnd({"jorvuvorn://launch?game=12x"}, "bad"), 0);
  ASSERT_TRUE(waitUntil([&] { return app.logCount("An error occurred: invalidURL(\"invalid gameCode\")") == 1; }))
      << app.log();
  EXPECT_TRUE(process->running());
  EXPECT_TRUE(app.helperPid());
  app.finishLaunch(5);
  expectEnded(*process);
}

TEST_F(AppProgram, ABadURLAloneEndsTheApp) {
  auto process = app.start({"jorvuvorn://launch"});
  expectEnded(*process);
  EXPECT_EQ(app.logCount("An error occurred: invalidURL(\"invalid URLComponents\")"), 1) << app.log();
  EXPECT_FALSE(app.launchStarted(0));
}

// A helper that holds its socket and never takes a connection: the start-up
// check never hears it. Termination gives the check its moment, ends it and
// joins it, and unloads the job, without waiting for the call's time-out.
TEST_F(AppProgram, ACheckThatTheHelperNeverAnswersDoesNotHoldTheExit) {
  const std::string helper =
      app.root() / (std::string(installedApp) + "/Contents/MacOS/JorvuVornHelper.app/Contents/MacOS/JorvuVornHelper");
  fs::remove(helper);
  testsupport::writeFile(helper, "#!/bin/sh\nexec sleep 600\n");
  fs::permissions(helper, fs::perms::owner_all);

  const auto start = std::chrono::steady_clock::now();
  auto process = app.start({"jorvuvorn://launch"});
  expectEnded(*process);
  const auto took = std::chrono::steady_clock::now() - start;
  // The check had its moment before the job went; nothing waited for more.
  EXPECT_GE(took, 5s);
  EXPECT_LT(took, 60s);
  EXPECT_EQ(app.logCount("JorvuVornHelper success"), 1) << app.log();
}

TEST_F(AppProgram, SigtermEndsTheAppAndUnloadsTheJob) {
  auto process = startRunning(7);
  ASSERT_TRUE(app.helperPid());
  process->signal(SIGTERM);
  expectEnded(*process);
  EXPECT_TRUE(fs::exists(app.appLog()));
}

// Under Xvfb (the display tests): no ERROR line, so the log folder goes at
// exit.
TEST_F(AppProgram, WithADisplayACleanRunDeletesTheLogFolder) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs a display";
  // A URL with its sign-in token: one without logs an ERROR line.
  auto process = app.start(
      {startURL(11) + "&vantixToken=%7B%22gid%22%3A%22g%22%2C%22webtoken%22%3A%22w%22%7D"}, "app", true);
  ASSERT_TRUE(waitUntil([&] { return app.launchStarted(11); })) << app.log();
  EXPECT_EQ(app.logCount("cannot open a display"), 0) << app.log();
  app.finishLaunch(11);
  EXPECT_EQ(process->wait(30s), 0) << testsupport::readFileOrEmpty(app.root().path() + "/app.out");
  EXPECT_FALSE(app.helperPid());
  EXPECT_FALSE(fs::exists(app.logFolder()));
}

TEST_F(AppProgram, AURLSentWhileTheAppTerminatesStartsTheNextInstance) {
  // Our launchctl, made to hold its "unload" until the test lets it go: the
  // app stays in its termination long enough to be asked.
  const std::string real = app.launchctl() + ".real";
  fs::rename(app.launchctl(), real);
  testsupport::writeFile(app.launchctl(),
                         "#!/bin/sh\n"
                         "if [ \"$1\" = unload ] && [ ! -e \"$GATE.open\" ]; then\n"
                         "  : > \"$GATE.waiting\"\n"
                         "  while [ ! -e \"$GATE.open\" ]; do sleep 0.05; done\n"
                         "fi\n"
                         "exec \"" + real + "\" \"$@\"\n");
  fs::permissions(app.launchctl(), fs::perms::owner_all);
  const std::string gate = app.root().path() + "/gate";
  ::setenv("GATE", gate.c_str(), 1);

  auto first = startRunning(8);
  app.finishLaunch(8);
  ASSERT_TRUE(waitUntil([&] { return fs::exists(gate + ".waiting"); })) << app.log();

  auto second = app.start({startURL(9)}, "second");
  // It is told the app is terminating and waits for its lock.
  ASSERT_TRUE(waitUntil([&] { return waitsForALock(second->pid()); }));
  EXPECT_FALSE(app.launchStarted(9));
  testsupport::writeFile(gate + ".open", "");
  EXPECT_EQ(first->wait(30s), 0);
  ASSERT_TRUE(waitUntil([&] { return app.launchStarted(9); })) << app.log();
  EXPECT_TRUE(second->running());
  EXPECT_TRUE(app.helperPid());
  app.finishLaunch(9);
  expectEnded(*second, 2);
  ::unsetenv("GATE");
}

}  // namespace

TEST_F(AppProgram, URLsHandedBackAfterAnUpdateReachTheNextAppWhileItsLaunchRuns) {
  auto old = app.start({"jorvuvorn://launch?game=21&passarg=update"}, "old");
  ASSERT_TRUE(waitUntil([&] { return app.launchStarted(21); })) << app.log();
  ASSERT_TRUE(waitUntil([&] { return app.logCount("update installed: new start URLs wait") == 1; })) << app.log();
  // Both are told the app is going and wait for its lock.
  auto left = app.start({startURL(22)}, "left");
  auto right = app.start({startURL(23)}, "right");
  ASSERT_TRUE(waitUntil([&] { return waitsForALock(left->pid()) && waitsForALock(right->pid()); })) << app.outputs();

  app.finishLaunch(21);
  EXPECT_EQ(old->wait(30s), 0) << app.outputs();
  // One of them is the next app, and its launch does not end: the other
  // hands its URL over instead of waiting for that app's lock.
  ASSERT_TRUE(waitUntil([&] { return app.launchStarted(22) && app.launchStarted(23); })) << app.outputs();
  ASSERT_TRUE(waitUntil([&] { return !left->running() || !right->running(); })) << app.outputs();
  Process& forwarder = left->running() ? *right : *left;
  Process& next = left->running() ? *left : *right;
  EXPECT_EQ(forwarder.wait(), 0) << app.outputs();
  EXPECT_TRUE(next.running());
  EXPECT_EQ(app.logCount("url parse success. gameCode=22"), 1);
  EXPECT_EQ(app.logCount("url parse success. gameCode=23"), 1);

  app.finishLaunch(22);
  app.finishLaunch(23);
  expectEnded(next, 2);
}
