#pragma once
// The app as the tests drive it: installed with scripts/install-app into a
// temporary root (with its own XDG folders), started as a real process
// without a display, and the helper's job seen through our launchctl. For
// the tests of the registry, the installed program is the app with the
// stand-in controller (StandInApp.cpp: files "<code>.started" and
// "<code>.finish" in launchFolder()).
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/WaitUntil.hpp"

namespace apptest {

using namespace std::chrono_literals;

inline constexpr const char* helperLabel = "com.jorvu.vorn.helper";
inline constexpr const char* installedApp = "/Library/Application Support/Jorvu/Vorn/JorvuVorn.app";

// Runs scripts/install-app for the build under test, with `arguments` after
// its own, with the current environment plus `env`; its exit status, its
// output in `output`.
int runInstaller(const std::map<std::string, std::string>& env, std::string* output = nullptr,
                 const std::vector<std::string>& arguments = {});

// What every start of the app adds to this process's environment: no
// display, and the sanitizers' options for GLib.
std::map<std::string, std::string> appProcessEnv();

// A program run with this process's environment plus `env` (an empty value
// removes a variable), its standard output and error in a file.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& outputPath);
  ~Process();  // kills it when it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // The exit status (128 + signal when killed), nothing when it did not end in time.
  std::optional<int> wait(std::chrono::milliseconds limit = 30s);
  bool running();
  void signal(int number);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// A test root with the app installed.
class InstalledApp {
 public:
  // Whose launch controller the installed program runs.
  enum class Launches { standIn, real };

  explicit InstalledApp(Launches launches = Launches::standIn);
  ~InstalledApp();  // ends what the tests left running (the helper's job)

  const testsupport::TempRoot& root() const { return root_; }
  std::string program() const;
  std::string launchctl() const { return root_ / "/bin/launchctl"; }
  std::string launchFolder() const { return root_.path() + "/launches"; }
  std::string logFolder() const { return root_.home() + "/Library/Logs/JorvuLauncher"; }
  std::string appLog() const { return logFolder() + "/JorvuVorn.log"; }
  std::string xdgEnv(const std::string& name) const;

  // The app started with these arguments, headless unless `withDisplay`
  // (it then gets this process's DISPLAY).
  std::unique_ptr<Process> start(const std::vector<std::string>& arguments, const std::string& name = "app",
                                 bool withDisplay = false);
  // Runs the app to its end; its exit status.
  std::optional<int> runToEnd(const std::vector<std::string>& arguments, const std::string& name);

  // The pid launchctl lists for the helper's job, nothing when not loaded.
  std::optional<pid_t> helperPid() const;
  bool launchStarted(std::uint32_t code) const;
  void finishLaunch(std::uint32_t code) const;
  std::string log() const;
  // How many lines of the app's log hold `text`.
  int logCount(const std::string& text) const;
  std::map<std::string, std::string> appEnv() const;
  // What the app processes printed (sanitizer reports among them).
  std::string outputs() const;

  // Set on top of appEnv() for every start (an empty value removes one).
  std::map<std::string, std::string> extraEnv;

 private:
  testsupport::TempRoot root_;
};

using testsupport::waitUntil;
std::string startURL(std::uint32_t code);
// Whether a process ends within the time-out (not necessarily our child).
bool waitEnded(pid_t pid, std::chrono::milliseconds limit = 30s);

}  // namespace apptest
