// The app's helper launcher: against a recording launchctl for the edge
// cases, and against our launchctl with the shipped property list and the
// real helper.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "JorvuVorn/ViewModel/VornHelperLauncher.hpp"
#include "Platform/Paths.hpp"
#include "Tests/Platform/launchctl/JobTestSupport.hpp"
#include "Tests/Support/HelperProcess.hpp"

using namespace std::chrono_literals;
using testsupport::TempRoot;
namespace fs = std::filesystem;

namespace {

constexpr const char* installedPlist = "<plist><dict><key>Label</key><string>com.jorvu.vorn.helper</string></dict></plist>";

class VornHelperLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(fake);
    jobtest::linkProgram(root, "/bin/launchctl", testsupport::binDir() + "/fake_launchctl");
  }

  void installApp(const std::string& bytes = installedPlist) {
    testsupport::writeFile(root / vornHelperPlistPath(), bytes);
    ::chmod((root / vornHelperPlistPath()).c_str(), 0600);
  }
  void answer(const std::string& output, int status = 0) {
    testsupport::writeFile(fake + "/output", output);
    testsupport::writeFile(fake + "/status", std::to_string(status));
  }
  std::string calls() const { return testsupport::readFileOrEmpty(fake + "/calls"); }
  std::string seen() const { return testsupport::readFileOrEmpty(fake + "/seen"); }
  std::string copyPath() const { return root / copyVornHelperPlistPath; }

  TempRoot root;
  std::string fake = root.path() + "/fake-launchctl";
};

TEST_F(VornHelperLauncherTest, LoadAndUnloadGiveLaunchctlAFreshCopyAndRemoveIt) {
  installApp();
  for (const std::string command : {"load", "unload"}) {
    SCOPED_TRACE(command);
    testsupport::writeFile(copyPath(), "stale copy");
    ::chmod(copyPath().c_str(), 0600);
    answer("something went wrong but not that word\n", 3);  // the exit status alone is no failure
    if (command == "load") {
      EXPECT_NO_THROW(VornHelperLauncher::load());
    } else {
      EXPECT_NO_THROW(VornHelperLauncher::unload());
    }
    EXPECT_EQ(seen(), std::string("644\n") + installedPlist);
    EXPECT_FALSE(fs::exists(copyPath()));
  }
  EXPECT_EQ(calls(), "load|-w|" + copyPath() + "\nunload|-w|" + copyPath() + "\n");
  // Nothing else was left beside the copy.
  for (const auto& e : fs::directory_iterator(fs::path(copyPath()).parent_path())) {
    EXPECT_EQ(e.path().filename(), "JorvuVorn.app");
  }
}

TEST_F(VornHelperLauncherTest, AMissingAppRunsNoCommand) {
  for (auto operation : {&VornHelperLauncher::load, &VornHelperLauncher::unload}) {
    try {
      operation();
      ADD_FAILURE() << "no error";
    } catch (const VornHelperLauncherError& e) {
      EXPECT_EQ(e.kind(), VornHelperLauncherError::Kind::notExistPlistFile);
      EXPECT_EQ(e.description(), "notExistPlistFile");
    }
  }
  EXPECT_EQ(calls(), "");
}

TEST_F(VornHelperLauncherTest, FailedInTheOutputIsAFailureAfterTheCopyIsGone) {
  installApp();
  const std::string output = "Load failed: 5: Input/output error\nTry again\n";
  answer(output, 0);
  try {
    VornHelperLauncher::load();
    ADD_FAILURE() << "no error";
  } catch (const VornHelperLauncherError& e) {
    EXPECT_EQ(e.kind(), VornHelperLauncherError::Kind::launchctlFailure);
    EXPECT_EQ(e.text(), output);
    EXPECT_EQ(e.description(), "launchctlFailure(\"Load failed: 5: Input/output error\\nTry again\\n\")");
  }
  EXPECT_FALSE(fs::exists(copyPath()));
  EXPECT_EQ(seen(), std::string("644\n") + installedPlist);
}

TEST_F(VornHelperLauncherTest, ALaunchctlThatCannotStartIsThrownAfterTheCopyIsGone) {
  installApp();
  fs::remove(root / "/bin/launchctl");
  EXPECT_THROW(VornHelperLauncher::load(), CommandLineLauncher::LaunchError);
  EXPECT_FALSE(fs::exists(copyPath()));
  EXPECT_THROW(VornHelperLauncher::isLoaded(), CommandLineLauncher::LaunchError);
}

TEST_F(VornHelperLauncherTest, IsLoadedLooksForTheLabelAnywhereInTheListing) {
  const std::pair<const char*, bool> listings[] = {
      {"PID\tStatus\tLabel\n123\t0\tcom.jorvu.vorn.helper\n", true},
      {"PID\tStatus\tLabel\n-\t0\tcom.jorvu.vorn.helper.agent\n", true},
      {"-\t0\tx.com.jorvu.vorn.helperx", true},
      {"PID\tStatus\tLabel\n123\t0\tcom.jorvu.vorn.help\n", false},
      {"", false},
  };
  for (const auto& [listing, loaded] : listings) {
    SCOPED_TRACE(listing);
    answer(listing, 1);
    EXPECT_EQ(VornHelperLauncher::isLoaded(), loaded);
  }
  EXPECT_EQ(calls(), "list\nlist\nlist\nlist\nlist\n");
  EXPECT_FALSE(fs::exists(copyPath()));
}

// The app's own start and end with the shipped property list: our launchctl
// runs the real helper from the installed app.
TEST(VornHelperLauncherJob, TheShippedJobRunsTheHelper) {
  TempRoot root;
  jobtest::JobReaper reaper{vornHelperServiceName};
  jobtest::linkProgram(root, "/bin/launchctl", testsupport::binDir() + "/launchctl");
  jobtest::linkProgram(root, jobtest::installedHelper, testsupport::binDir() + "/JorvuVornHelper");
  testsupport::writeFile(root / vornHelperPlistPath(), testsupport::readFileOrEmpty(JORVU_HELPER_PLIST));

  EXPECT_FALSE(VornHelperLauncher::isLoaded());
  VornHelperLauncher::load();
  EXPECT_TRUE(VornHelperLauncher::isLoaded());
  auto pid = jobtest::listedPid(vornHelperServiceName);
  ASSERT_TRUE(pid);
  {
    testsupport::HelperClient client;
    EXPECT_EQ(client.connect(), std::optional<bool>(true));
  }

  // Loading a loaded job is no failure; the app unloads and loads again.
  EXPECT_NO_THROW(VornHelperLauncher::load());
  EXPECT_EQ(jobtest::listedPid(vornHelperServiceName), pid);
  VornHelperLauncher::unload();
  EXPECT_TRUE(jobtest::waitEnded(*pid, 1s));
  VornHelperLauncher::load();
  auto again = jobtest::listedPid(vornHelperServiceName);
  ASSERT_TRUE(again);
  EXPECT_NE(again, pid);
  {
    testsupport::HelperClient client;
    EXPECT_EQ(client.connect(), std::optional<bool>(true));
  }

  VornHelperLauncher::unload();
  EXPECT_TRUE(jobtest::waitEnded(*again, 1s));
  EXPECT_FALSE(VornHelperLauncher::isLoaded());
  EXPECT_NO_THROW(VornHelperLauncher::unload());  // not loaded: nothing to stop, no failure
  EXPECT_FALSE(fs::exists(root / copyVornHelperPlistPath));
}

}  // namespace
