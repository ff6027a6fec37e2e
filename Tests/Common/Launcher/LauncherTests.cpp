#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "Common/Launcher/ApplicationLauncher.hpp"
#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/WaitUntil.hpp"

using namespace std::chrono_literals;
using CommandLineLauncher::runCommand;
using testsupport::TempRoot;

using testsupport::waitUntil;

TEST(CommandLineLauncher, CollectsStdoutAndStderrAndTheStatus) {
  auto r = runCommand("/bin/sh", {"-c", "echo out; echo err 1>&2; exit 3"}, true);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.output, "out\nerr\n");
  r = runCommand("/bin/sh", {"-c", "echo only-stderr 1>&2"}, true);
  EXPECT_EQ(r.output, "only-stderr\n");
  // Arguments are never interpreted by a shell.
  r = runCommand("/bin/echo", {"\"; touch /tmp/x #", "$HOME"}, true);
  EXPECT_EQ(r.output, "\"; touch /tmp/x # $HOME\n");
}

TEST(CommandLineLauncher, KeepsACharacterSplitAcrossReadsAndReplacesInvalidBytes) {
  auto r = runCommand("/bin/sh", {"-c", "printf '\\303'; sleep 0.2; printf '\\251!'"}, true);
  EXPECT_EQ(r.output, "\xc3\xa9!");
  r = runCommand("/bin/sh", {"-c", "printf 'a\\377b'"}, true);
  EXPECT_EQ(r.output, "a\xef\xbf\xbd" "b");
  EXPECT_EQ(CommandLineLauncher::decodeUTF8("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // surrogate
}

TEST(CommandLineLauncher, StdinIsEmptyAndAPromptDoesNotHang) {
  auto r = runCommand("/bin/sh", {"-c", "read answer; echo \"got:$answer\""}, true);
  EXPECT_EQ(r.output, "got:\n");
}

TEST(CommandLineLauncher, ChildGetsNoInheritedDescriptorsAndDefaultSignals) {
  int leaked = ::open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GE(leaked, 3);
  ::signal(SIGPIPE, SIG_IGN);
  auto r = runCommand("/bin/sh", {"-c", "ls /proc/$$/fd; grep SigIgn /proc/$$/status"}, true);
  ::close(leaked);
  ASSERT_TRUE(r.output.has_value());
  EXPECT_EQ(r.output->find("\n" + std::to_string(leaked) + "\n"), std::string::npos) << *r.output;
  auto at = r.output->find("SigIgn:\t");
  ASSERT_NE(at, std::string::npos);
  const unsigned long long ignored = std::stoull(r.output->substr(at + 8, 16), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << *r.output;  // SIGPIPE is back to its default
}

TEST(CommandLineLauncher, AGrandchildHoldingThePipeDoesNotHoldTheCaller) {
  auto start = std::chrono::steady_clock::now();
  auto r = runCommand("/bin/sh", {"-c", "sleep 30 & echo hi"}, true);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "hi\n");
}

TEST(CommandLineLauncher, NotWaitingReturnsAtOnceInItsOwnSessionAndIsReaped) {
  TempRoot root;
  const std::string file = root.path() + "/sid";
  auto r = runCommand("/bin/sh", {"-c", "read a b c d e f rest < /proc/$$/stat; echo \"$$ $f\" > " + file + "; exit 1"},
                      false);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(r.output.has_value());
  ASSERT_TRUE(waitUntil([&] { return !testsupport::readFileOrEmpty(file).empty(); }));
  const std::string text = testsupport::readFileOrEmpty(file);
  EXPECT_EQ(text, std::to_string(r.pid) + " " + std::to_string(r.pid) + "\n");  // session leader
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists("/proc/" + std::to_string(r.pid)); }));  // no zombie
}

TEST(CommandLineLauncher, AMissingProgramThrows) {
  EXPECT_THROW(runCommand("/nonexistent/program", {}, true), CommandLineLauncher::LaunchError);
  EXPECT_THROW(runCommand("/nonexistent/program", {}, false), CommandLineLauncher::LaunchError);
}

TEST(ApplicationLauncher, OpensTheBundleOnceAndNotAgainWhileItRuns) {
  TempRoot root;
  const std::string app = root.path() + "/Game.app";
  std::filesystem::create_directories(app + "/Contents/MacOS");
  std::filesystem::copy_file("/bin/sh", app + "/Contents/MacOS/Game");
  platform::PlistDict info;
  info["CFBundleExecutable"] = "Game";
  ASSERT_TRUE(platform::writePropertyList(app + "/Contents/Info.plist", platform::PlistValue(info)));
  const std::string record = root.path() + "/started";

  ApplicationLauncher launcher(platform::Bundle(app),
                               std::vector<std::string>{"-c", "echo started >> " + record + "; sleep 30"});
  launcher.launch();
  ASSERT_TRUE(launcher.runningApplication().has_value());
  ASSERT_TRUE(waitUntil([&] { return ApplicationLauncher::findRunning(app).has_value(); }));
  // A second launcher for the same bundle finds it running and starts nothing.
  ApplicationLauncher again(platform::Bundle(app), std::vector<std::string>{"-c", "echo again >> " + record});
  again.launch();
  launcher.launch();
  ASSERT_TRUE(waitUntil([&] { return !testsupport::readFileOrEmpty(record).empty(); }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(testsupport::readFileOrEmpty(record), "started\n");
  ::kill(*launcher.runningApplication(), SIGTERM);
  EXPECT_TRUE(waitUntil([&] { return !ApplicationLauncher::findRunning(app).has_value(); }));

  ApplicationLauncher none(std::nullopt, std::nullopt);
  EXPECT_THROW(none.launch(), ApplicationLauncherException);
}
