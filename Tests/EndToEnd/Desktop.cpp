#include "Tests/EndToEnd/Desktop.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Tests/Support/Processes.hpp"
#include "Tests/Support/TempRoot.hpp"


namespace fs = std::filesystem;

namespace desktop {

using testsupport::waitExit;

namespace {

// Forks and runs argv with envp; the child leads a process group of its own,
// dies with the test program, and writes its output to `outFD` (its standard
// error too when `errFD` is -1).
pid_t spawn(std::vector<std::string> argv, const Environment& env, int outFD, int errFD) {
  std::vector<std::string> vars = testsupport::childEnvironment(env);
  std::vector<char*> envp = testsupport::execPointers(vars);
  std::vector<char*> args = testsupport::execPointers(argv);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, STDIN_FILENO);
    ::dup2(outFD, STDOUT_FILENO);
    ::dup2(errFD >= 0 ? errFD : outFD, STDERR_FILENO);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  if (pid > 0) ::setpgid(pid, pid);
  return pid;
}

}  // namespace

// ---- ChildProcess ----

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& env, const std::string& logPath) {
  const int logFD = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (logFD < 0) {
    ADD_FAILURE() << "cannot open " << logPath;
    return;
  }
  pid_ = spawn(argv, env, logFD, -1);
  ::close(logFD);
  if (pid_ < 0) ADD_FAILURE() << "cannot start " << argv.at(0) << ": " << std::strerror(errno);
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() const {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  return ::waitpid(pid_, &status, WNOHANG) == 0;
}

void ChildProcess::stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0 || reaped_) return;
  ::kill(-pid_, SIGTERM);
  if (!waitExit(pid_, limit)) {
    ::kill(-pid_, SIGKILL);
    waitExit(pid_, 5s);
  }
  // What the group left behind goes too.
  ::kill(-pid_, SIGKILL);
  reaped_ = true;
}

// ---- run ----

Outcome run(const std::vector<std::string>& argv, const Environment& env, std::chrono::milliseconds limit) {
  Outcome outcome;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return outcome;
  const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = spawn(argv, env, out[1], devnull);
  ::close(out[1]);
  ::close(devnull);
  if (pid < 0) {
    ::close(out[0]);
    return outcome;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{out[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    outcome.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  auto status = waitExit(pid, std::max(std::chrono::milliseconds(1), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                       deadline - std::chrono::steady_clock::now())));
  if (!status) {
    ::kill(-pid, SIGKILL);
    waitExit(pid, 5s);
    return outcome;
  }
  outcome.status = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  return outcome;
}

// ---- Session ----

Session::Session(const std::string& base, std::string desktopName)
    : desktopName(std::move(desktopName)),
      home(base + "/home"),
      dataHome(base + "/home/.local/share"),
      configHome(base + "/home/.config"),
      desktopDir(base + "/home/Desktop") {
  for (const auto& folder : {home, dataHome, configHome, desktopDir}) fs::create_directories(folder);
}

Environment Session::environment() const {
  return {
      {"HOME", home},
      {"XDG_DATA_HOME", dataHome},
      {"XDG_CONFIG_HOME", configHome},
      {"XDG_DESKTOP_DIR", desktopDir},
      {"XDG_CURRENT_DESKTOP", desktopName},
      {"XDG_DATA_DIRS", "/usr/local/share:/usr/share"},
  };
}

void registerSchemeHandler(const Session& session, const std::string& scheme, const std::string& name,
                           const std::string& desktopFile) {
  testsupport::writeFile(session.dataHome + "/applications/" + name, desktopFile);
  testsupport::writeFile(session.configHome + "/mimeapps.list",
                         "[Default Applications]\nx-scheme-handler/" + scheme + "=" + name + "\n");
}

// ---- Browser ----

namespace {

// Chromium's profile, written before its first start: the page's origin may
// open the scheme without asking.
void seedProfile(const std::string& profileDir, const std::string& origin, const std::string& scheme) {
  testsupport::writeFile(profileDir + "/Default/Preferences",
                         R"({"protocol_handler":{"allowed_origin_protocol_pairs":{")" + origin + R"(":{")" + scheme +
                             R"(":true}}},"browser":{"has_seen_welcome_page":true}})");
  testsupport::writeFile(profileDir + "/First Run", "");
}

std::vector<std::string> chromiumArguments(const Browser::Options& o) {
  seedProfile(o.profileDir, o.origin, o.scheme);
  return {chromiumProgram().value_or("chromium"),
          "--no-sandbox",
          "--test-type",  // no bar about --no-sandbox above the page
          "--disable-gpu",
          "--no-first-run",
          "--no-default-browser-check",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--disable-features=Translate,MediaRouter",
          "--password-store=basic",
          "--force-device-scale-factor=1",
          "--user-data-dir=" + o.profileDir,
          "--window-position=0,0",
          "--window-size=" + std::to_string(o.width) + "," + std::to_string(o.height),
          "--app=" + o.url};
}

}  // namespace

Browser::Browser(const Options& options) : options_(options), process_(chromiumArguments(options), options.env, options.logPath) {}

Browser::~Browser() { process_.stop(); }

bool Browser::waitForWindow(std::chrono::milliseconds limit) {
  return waitUntil(
      [&] {
        if (!process_.running()) return false;
        auto found = run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(process_.pid())}, {}, 5s);
        const std::string first = found.output.substr(0, found.output.find('\n'));
        if (found.status != 0 || first.empty()) return false;
        window_ = first;
        return true;
      },
      limit);
}

std::string Browser::title() const {
  if (window_.empty()) return "";
  std::string name = run({"xdotool", "getwindowname", window_}, {}, 5s).output;
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

bool Browser::waitForTitle(const std::string& expected, std::chrono::milliseconds limit) const {
  return waitUntil([&] { return title() == expected; }, limit);
}

void Browser::click(int x, int y) const {
  run({"xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "1"}, {}, 5s);
  run({"xdotool", "mousemove", std::to_string(options_.width - 10), std::to_string(options_.height - 10)}, {}, 5s);
}

std::optional<std::string> chromiumProgram() {
  for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (::access(candidate, X_OK) == 0) return std::string(candidate);
  }
  return std::nullopt;
}

bool screenshot(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  // GTK keeps a few allocations until exit; the tool is not what is tested.
  return run({testsupport::binDir() + "/jorvu-screenshot", path}, {{"ASAN_OPTIONS", "detect_leaks=0"}}, 20s).status == 0;
}

std::vector<pid_t> processesBelow(const std::string& folder) {
  std::vector<pid_t> out;
  std::error_code ec;
  const std::string prefix = fs::weakly_canonical(folder, ec).string() + "/";
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    const std::string exe = fs::read_symlink(entry.path() / "exe", linkError).string();
    if (!linkError && exe.rfind(prefix, 0) == 0) out.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return out;
}

}  // namespace desktop
