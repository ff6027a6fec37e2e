// Our launchctl run as a real program in a temporary root: the helper loaded
// as a job with its socket handed over, and a plain program as a job whose
// process is looked at from outside.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "Platform/Paths.hpp"
#include "Platform/PropertyList.hpp"
#include "Platform/XPC/XPCListener.hpp"
#include "Tests/Platform/launchctl/JobTestSupport.hpp"
#include "Tests/Support/HelperProcess.hpp"
#include "Tests/Support/WaitUntil.hpp"

using namespace std::chrono_literals;
using testsupport::TempRoot;
namespace fs = std::filesystem;

namespace {

constexpr const char* helperLabel = "com.jorvu.vorn.helper";
constexpr const char* sleepLabel = "test.sleeper";
constexpr const char* sleepService = "test.sleeper.service";

std::string stateFolder() { return platform::resolvePath("/var/run/jorvu/" + std::to_string(::geteuid()) + "/launchd"); }

std::set<std::string> entries(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

class LaunchctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    jobtest::linkProgram(root, jobtest::installedHelper, testsupport::binDir() + "/JorvuVornHelper");
    jobtest::linkProgram(root, "/bin/sleep", "/bin/sleep");
  }

  std::string writePlist(const std::string& name, platform::PlistDict dict) {
    const std::string path = root.path() + "/" + name;
    EXPECT_TRUE(platform::writePropertyList(path, dict));
    return path;
  }
  std::string helperPlist() {
    return writePlist("helper.plist", {{"Label", helperLabel},
                                       {"ProgramArguments", platform::PlistArray{jobtest::installedHelper}},
                                       {"MachServices", platform::PlistDict{{helperLabel, true}}}});
  }
  std::string sleepPlist(platform::PlistDict environment = {}) {
    return writePlist("sleep.plist", {{"Label", sleepLabel},
                                      {"ProgramArguments", platform::PlistArray{"/bin/sleep", "300"}},
                                      {"MachServices", platform::PlistDict{{sleepService, true}}},
                                      {"EnvironmentVariables", std::move(environment)},
                                      {"KeepAlive", true}});
  }

  TempRoot root;
  // Nothing started here outlives the test (destroyed before the root).
  jobtest::JobReaper helperReaper{helperLabel};
  jobtest::JobReaper sleepReaper{sleepLabel};
};

TEST_F(LaunchctlTest, LoadsTheHelperThatAnswersAtOnceAndUnloadsIt) {
  const std::string plist = helperPlist();
  auto loaded = jobtest::launchctl({"load", "-w", plist});
  EXPECT_EQ(loaded.status, 0);
  EXPECT_EQ(loaded.output.value_or("?"), "");

  // The socket exists as soon as load returns, before the helper runs.
  const std::string socket = platform::xpc::servicePath(helperLabel);
  struct stat st {};
  ASSERT_EQ(::lstat(socket.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  testsupport::HelperClient client;
  platform::OneShot<bool> interrupted;
  client.connection().setInterruptionHandler([interrupted] { interrupted.resolve(true); });
  client.connection().setInvalidationHandler([interrupted] { interrupted.resolve(false); });
  EXPECT_EQ(client.connect(), std::optional<bool>(true));

  auto pid = jobtest::listedPid(helperLabel);
  ASSERT_TRUE(pid);
  EXPECT_EQ(::getsid(*pid), *pid);  // a session of its own
  EXPECT_NE(jobtest::launchctl({"list"}).output.value_or("").find("PID\tStatus\tLabel\n"), std::string::npos);

  auto unloaded = jobtest::launchctl({"unload", "-w", plist});
  EXPECT_EQ(unloaded.status, 0);
  EXPECT_EQ(unloaded.output.value_or("?"), "");
  EXPECT_TRUE(jobtest::waitEnded(*pid, 1s));
  EXPECT_EQ(interrupted.waitFor(10s), std::optional<bool>(true));
  client.proxy().connect([](bool) { ADD_FAILURE() << "a stopped helper answered"; });
  EXPECT_TRUE(client.error().waitFor(10s));
  EXPECT_FALSE(fs::exists(socket));
  EXPECT_FALSE(jobtest::listedPid(helperLabel));
  EXPECT_EQ(entries(stateFolder()), std::set<std::string>{".lock"});
}

TEST_F(LaunchctlTest, ASecondLoadKeepsTheRunningJob) {
  const std::string plist = helperPlist();
  ASSERT_EQ(jobtest::launchctl({"load", "-w", plist}).status, 0);
  auto first = jobtest::listedPid(helperLabel);
  ASSERT_TRUE(first);

  auto again = jobtest::launchctl({"load", "-w", plist});
  const std::string text = again.output.value_or("");
  EXPECT_NE(text.find("service already loaded"), std::string::npos) << text;
  EXPECT_EQ(text.find("failed"), std::string::npos) << text;
  EXPECT_EQ(jobtest::listedPid(helperLabel), first);
  testsupport::HelperClient client;
  EXPECT_EQ(client.connect(), std::optional<bool>(true));

  // Unloading twice: the second finds nothing, which is no failure either.
  ASSERT_EQ(jobtest::launchctl({"unload", "-w", plist}).status, 0);
  auto second = jobtest::launchctl({"unload", "-w", plist}).output.value_or("");
  EXPECT_NE(second.find("Could not find specified service"), std::string::npos) << second;
  EXPECT_EQ(second.find("failed"), std::string::npos) << second;
}

TEST_F(LaunchctlTest, StartsTheJobWithItsSocketAndNothingElse) {
  const std::string plist = sleepPlist({{"JOB_VALUE", "a b;c"}, {"LISTEN_PID", "1"}});
  ASSERT_EQ(jobtest::launchctl({"load", "-w", plist}).status, 0);
  auto pid = jobtest::listedPid(sleepLabel);
  ASSERT_TRUE(pid);
  const std::string proc = "/proc/" + std::to_string(*pid);

  std::set<std::string> fds = entries(proc + "/fd");
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2", "3"}));
  for (const char* fd : {"0", "1", "2"}) EXPECT_EQ(fs::read_symlink(proc + "/fd/" + fd), "/dev/null");
  EXPECT_EQ(fs::read_symlink(proc + "/fd/3").string().rfind("socket:", 0), 0u);

  std::string environ = testsupport::readFileOrEmpty(proc + "/environ");
  std::set<std::string> variables;
  for (std::size_t start = 0; start < environ.size();) {
    std::size_t end = environ.find('\0', start);
    variables.insert(environ.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_TRUE(variables.count("LISTEN_PID=" + std::to_string(*pid)));
  EXPECT_FALSE(variables.count("LISTEN_PID=1"));
  EXPECT_TRUE(variables.count("LISTEN_FDS=1"));
  EXPECT_TRUE(variables.count(std::string("LISTEN_FDNAMES=") + sleepService));
  EXPECT_TRUE(variables.count("JOB_VALUE=a b;c"));
  EXPECT_TRUE(variables.count("JORVU_ROOT=" + root.path()));
  EXPECT_EQ(fs::read_symlink(proc + "/cwd"), fs::path(root.path()));
  EXPECT_EQ(::getsid(*pid), *pid);

  ASSERT_EQ(jobtest::launchctl({"unload", "-w", plist}).status, 0);
  EXPECT_TRUE(jobtest::waitEnded(*pid, 1s));
  EXPECT_FALSE(fs::exists(platform::xpc::servicePath(sleepService)));
}

TEST_F(LaunchctlTest, AJobThatEndedIsDroppedAndLoadsAgain) {
  const std::string plist = sleepPlist();
  ASSERT_EQ(jobtest::launchctl({"load", "-w", plist}).status, 0);
  auto pid = jobtest::listedPid(sleepLabel);
  ASSERT_TRUE(pid);
  ::kill(*pid, SIGKILL);
  ASSERT_TRUE(jobtest::waitEnded(*pid, 5s));

  EXPECT_FALSE(jobtest::listedPid(sleepLabel));
  EXPECT_EQ(entries(stateFolder()), std::set<std::string>{".lock"});
  EXPECT_FALSE(fs::exists(platform::xpc::servicePath(sleepService)));

  auto reload = jobtest::launchctl({"load", "-w", plist});
  EXPECT_EQ(reload.output.value_or("?"), "");
  auto again = jobtest::listedPid(sleepLabel);
  ASSERT_TRUE(again);
  EXPECT_NE(*again, *pid);
}

TEST_F(LaunchctlTest, LoadsAtTheSameTimeStartOneJob) {
  const std::string plist = sleepPlist();
  std::vector<std::string> outputs(4);
  {
    std::vector<std::jthread> loads;
    for (auto& output : outputs) {
      loads.emplace_back([&output, &plist] { output = jobtest::launchctl({"load", "-w", plist}).output.value_or("?"); });
    }
  }
  int started = 0;
  for (const auto& output : outputs) {
    EXPECT_EQ(output.find("failed"), std::string::npos) << output;
    if (output.empty()) ++started;
  }
  EXPECT_EQ(started, 1);
  EXPECT_EQ(entries(stateFolder()), (std::set<std::string>{".lock", std::string(sleepLabel) + ".plist"}));
}

TEST_F(LaunchctlTest, AJobThatIgnoresTermIsKilled) {
  // The job ignores SIGTERM itself (what it inherits is reset at start).
  jobtest::linkProgram(root, "/usr/bin/env", "/usr/bin/env");
  const std::string plist =
      writePlist("stubborn.plist", {{"Label", sleepLabel},
                                    {"ProgramArguments", platform::PlistArray{"/usr/bin/env", "--ignore-signal=TERM", "sleep", "300"}}});
  ASSERT_EQ(jobtest::launchctl({"load", "-w", plist}).status, 0);
  auto pid = jobtest::listedPid(sleepLabel);
  ASSERT_TRUE(pid);
  // /proc has no change events: look until env has become sleep, TERM ignored.
  const std::string comm = "/proc/" + std::to_string(*pid) + "/comm";
  ASSERT_TRUE(testsupport::waitUntil([&] { return testsupport::readFileOrEmpty(comm) == "sleep\n"; }));
  const auto start = std::chrono::steady_clock::now();
  auto result = jobtest::launchctl({"unload", "-w", plist});
  EXPECT_EQ(result.status, 0) << result.output.value_or("");
  EXPECT_TRUE(jobtest::waitEnded(*pid, 1s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);  // TERM was tried first
  EXPECT_FALSE(jobtest::listedPid(sleepLabel));
}

TEST_F(LaunchctlTest, AServiceThatAlreadyAnswersIsNotTakenOver) {
  std::string error;
  auto listener = platform::xpc::Listener::forService(sleepService, vornhelperxpc::interface(), &error);
  ASSERT_TRUE(listener) << error;
  listener->resume();
  auto result = jobtest::launchctl({"load", "-w", sleepPlist()});
  EXPECT_NE(result.output.value_or("").find("failed"), std::string::npos);
  EXPECT_FALSE(jobtest::listedPid(sleepLabel));
  EXPECT_TRUE(fs::exists(platform::xpc::servicePath(sleepService)));
}

TEST_F(LaunchctlTest, RefusesPropertyListsItCannotUse) {
  const platform::PlistArray sleeper{"/bin/sleep", "300"};
  auto job = [&](platform::PlistValue label, platform::PlistDict more = {}) {
    platform::PlistDict dict{{"Label", std::move(label)}, {"ProgramArguments", sleeper}};
    for (auto& [k, v] : more) dict[k] = v;
    return dict;
  };
  testsupport::writeFile(root.path() + "/garbage.plist", "<plist><dict><key>Label");
  testsupport::writeFile(root.path() + "/empty.plist", "");
  struct Case {
    std::string name;
    std::string path;
  };
  std::vector<Case> cases = {
      {"missing file", root.path() + "/none.plist"},
      {"not a property list", root.path() + "/garbage.plist"},
      {"empty file", root.path() + "/empty.plist"},
      {"a folder", root.path()},
      {"not a dictionary", writePlist("array.plist", {})},
      {"no label", writePlist("nolabel.plist", {{"ProgramArguments", sleeper}})},
      {"empty label", writePlist("l1.plist", job(""))},
      {"label climbing out", writePlist("l2.plist", job("../../escape"))},
      {"label with a slash", writePlist("l3.plist", job("a/b"))},
      {"hidden label", writePlist("l4.plist", job(".lock"))},
      {"label not a text", writePlist("l5.plist", job(std::int64_t{7}))},
      {"label too long", writePlist("l6.plist", job(std::string(300, 'a')))},
      {"no program", writePlist("p1.plist", {{"Label", "x.y"}})},
      {"relative program", writePlist("p2.plist", {{"Label", "x.y"}, {"Program", "sleep"}})},
      {"argument not a text", writePlist("p3.plist", job("x.y", {{"ProgramArguments", platform::PlistArray{"/bin/sleep", std::int64_t{1}}}}))},
      {"empty arguments", writePlist("p4.plist", job("x.y", {{"ProgramArguments", platform::PlistArray{}}}))},
      {"missing program", writePlist("p5.plist", job("x.y", {{"Program", "/no/such/program"}}))},
      {"service climbing out", writePlist("s1.plist", job("x.y", {{"MachServices", platform::PlistDict{{"..", true}}}}))},
      {"service with a colon", writePlist("s2.plist", job("x.y", {{"MachServices", platform::PlistDict{{"a:b", true}}}}))},
      {"environment not texts", writePlist("e1.plist", job("x.y", {{"EnvironmentVariables", platform::PlistDict{{"A", std::int64_t{1}}}}}))},
      {"environment name with =", writePlist("e2.plist", job("x.y", {{"EnvironmentVariables", platform::PlistDict{{"A=B", "c"}}}}))},
  };
  // A plist whose root is an array.
  testsupport::writeFile(root.path() + "/array.plist", platform::propertyListToXml(platform::PlistArray{"x"}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = jobtest::launchctl({"load", "-w", c.path});
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.output.value_or("").find("failed"), std::string::npos) << result.output.value_or("");
  }
  for (const auto& c : {cases[0], cases[7], cases[8]}) {
    SCOPED_TRACE("unload: " + c.name);
    EXPECT_NE(jobtest::launchctl({"unload", "-w", c.path}).output.value_or("").find("failed"), std::string::npos);
  }
  EXPECT_EQ(jobtest::launchctl({"list"}).output.value_or(""), "PID\tStatus\tLabel\n");
  EXPECT_FALSE(fs::exists(root.path() + "/escape.plist"));
  EXPECT_FALSE(fs::exists(root.path() + "/var/run/jorvu/escape.plist"));
  EXPECT_TRUE(entries(stateFolder()).size() <= 1);  // at most the lock
  EXPECT_EQ(entries(fs::path(stateFolder()).parent_path().string()), std::set<std::string>{"launchd"});

  EXPECT_EQ(jobtest::launchctl({}).status, 64);
  EXPECT_EQ(jobtest::launchctl({"load"}).status, 64);
  EXPECT_EQ(jobtest::launchctl({"remove", "x"}).status, 64);
}

}  // namespace
