#pragma once
// A desktop for the browser tests, on the X display the test runs under
// (Tests/Support/run-under-xvfb): Chromium with a window and a fresh profile
// that lets one page open one URL scheme without asking, the start-URL
// handler registered through the XDG folders as a desktop session has it,
// clicks and window titles through xdotool, and screenshots.
//
// Thread contract: the test's main thread.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Tests/Support/WaitUntil.hpp"

namespace desktop {

using namespace std::chrono_literals;
using Environment = std::map<std::string, std::string>;

// A program started with `env` on top of this process's environment (an empty
// value removes a variable), in a
// process group of its own, its output appended to `logPath`. stop() and the
// destructor end the whole group.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const Environment& env, const std::string& logPath);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running() const;
  // SIGTERM to the group, SIGKILL when it has not ended within `limit`.
  void stop(std::chrono::milliseconds limit = 5s);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Runs a program and waits for it (at most `limit`): its exit status (-1
// when it could not run or did not end) and what it wrote on standard output.
struct Outcome {
  int status = -1;
  std::string output;
};
Outcome run(const std::vector<std::string>& argv, const Environment& env = {}, std::chrono::milliseconds limit = 30s);

using testsupport::waitUntil;

// The XDG folders of a desktop session kept below `base`: HOME, data, config
// and the desktop folder, and the variables that name them. `desktopName`
// (XDG_CURRENT_DESKTOP) decides how xdg-open opens URLs: "GNOME" through GIO,
// none by reading the handler's .desktop file itself, as on a bare X session.
struct Session {
  explicit Session(const std::string& base, std::string desktopName = "");
  std::string desktopName, home, dataHome, configHome, desktopDir;
  Environment environment() const;
};

// Registers `desktopFile` (a [Desktop Entry] text) as the session's handler
// of `scheme`: <data>/applications/<name> and the default in mimeapps.list.
void registerSchemeHandler(const Session& session, const std::string& scheme, const std::string& name,
                           const std::string& desktopFile);

// Chromium on $DISPLAY with a window at the top left corner, showing `url` as
// an app window (no tool bar: page coordinates are screen coordinates), with
// a fresh profile in `profileDir` whose Preferences allow links of `scheme`
// from `origin` without a prompt.
class Browser {
 public:
  struct Options {
    std::string url;
    std::string origin;
    std::string scheme;
    std::string profileDir;
    std::string logPath;
    Environment env;
    int width = 800;
    int height = 600;
  };
  explicit Browser(const Options& options);
  ~Browser();

  // Whether Chromium started and mapped its window within `limit`.
  bool waitForWindow(std::chrono::milliseconds limit = 30s);
  std::string title() const;
  bool waitForTitle(const std::string& expected, std::chrono::milliseconds limit = 20s) const;
  // A left click at (x, y) of the page; the pointer then moves off the page.
  void click(int x, int y) const;
  void stop() { process_.stop(); }

 private:
  Options options_;
  ChildProcess process_;
  std::string window_;
};

// Chromium's program, or nothing when it is not installed.
std::optional<std::string> chromiumProgram();

// Saves the display as a PNG file (jorvu-screenshot); true when written.
bool screenshot(const std::string& path);

// Process ids of the programs whose executable lies below `folder`.
std::vector<pid_t> processesBelow(const std::string& folder);

}  // namespace desktop
