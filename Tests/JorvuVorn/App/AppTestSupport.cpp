#include "Tests/JorvuVorn/App/AppTestSupport.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Common/Launcher/CommandLineLauncher.hpp"

extern char** environ;

namespace apptest {

namespace {

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& env) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) out.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (!value.empty()) out.push_back(name + "=" + value);
  }
  return out;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& outputPath) {
  std::vector<std::string> envStrings = environmentWith(env);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    wait(10s);
  }
}

std::optional<int> Process::wait(std::chrono::milliseconds limit) {
  if (status_ || pid_ <= 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(10ms);
  }
}

bool Process::running() { return pid_ > 0 && !wait(0ms); }

void Process::signal(int number) {
  if (pid_ > 0 && !status_) ::kill(pid_, number);
}

int runInstaller(const std::map<std::string, std::string>& env, std::string* output,
                 const std::vector<std::string>& arguments) {
  static int runs = 0;
  const std::string log = (std::filesystem::temp_directory_path() /
                           ("jorvu-install-app-" + std::to_string(::getpid()) + "-" + std::to_string(++runs) + ".log"))
                              .string();
  std::filesystem::remove(log);
  std::vector<std::string> argv{"/bin/bash", JORVU_SOURCE_DIR "/scripts/install-app", "--build-dir", JORVU_BUILD_DIR};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Process installer(argv, env, log);
  const auto status = installer.wait(120s);
  if (output) *output = testsupport::readFileOrEmpty(log);
  std::filesystem::remove(log);
  return status.value_or(-1);
}

InstalledApp::InstalledApp(Launches launches) {
  std::filesystem::create_directories(launchFolder());
  std::string output;
  if (runInstaller(appEnv(), &output) != 0) throw std::runtime_error("install-app failed: " + output);
  if (launches == Launches::standIn) {
    std::filesystem::copy_file(JORVU_STANDIN_APP, program(), std::filesystem::copy_options::overwrite_existing);
  }
}

InstalledApp::~InstalledApp() {
  // A failing test may leave the helper's job (or an app) behind.
  if (auto pid = helperPid()) {
    ::kill(*pid, SIGKILL);
    waitEnded(*pid, 10s);
  }
}

std::string InstalledApp::program() const { return root_ / (std::string(installedApp) + "/Contents/MacOS/JorvuVorn"); }

std::string InstalledApp::xdgEnv(const std::string& name) const {
  return root_.path() + "/xdg/" + name;
}

std::map<std::string, std::string> appProcessEnv() {
  std::string tsan = "suppressions=" JORVU_SOURCE_DIR "/Tests/JorvuVorn/App/glib.tsan.supp";
  if (const char* options = std::getenv("TSAN_OPTIONS"); options != nullptr && *options != '\0') {
    tsan = std::string(options) + ":" + tsan;
  }
  return {{"TSAN_OPTIONS", tsan}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
}

std::map<std::string, std::string> InstalledApp::appEnv() const {
  auto env = appProcessEnv();
  env.insert({{"JORVU_LAUNCH_STANDIN_DIR", launchFolder()},
              {"XDG_DATA_HOME", xdgEnv("data")},
              {"XDG_CONFIG_HOME", xdgEnv("config")}});
  return env;
}

std::unique_ptr<Process> InstalledApp::start(const std::vector<std::string>& arguments, const std::string& name,
                                             bool withDisplay) {
  std::vector<std::string> argv{program()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto env = appEnv();
  for (const auto& [name, value] : extraEnv) env[name] = value;
  if (withDisplay) {
    env.erase("DISPLAY");
    env["GDK_BACKEND"] = "x11";
    env["NO_AT_BRIDGE"] = "1";
  }
  return std::make_unique<Process>(argv, env, root_.path() + "/" + name + ".out");
}

std::optional<int> InstalledApp::runToEnd(const std::vector<std::string>& arguments, const std::string& name) {
  return start(arguments, name)->wait(60s);
}

std::optional<pid_t> InstalledApp::helperPid() const {
  auto listing = CommandLineLauncher::runCommand(launchctl(), {"list"}, true);
  std::istringstream in(listing.output.value_or(""));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string pid, status, label;
    if (fields >> pid >> status >> label && label == helperLabel && pid != "-") {
      return static_cast<pid_t>(std::stol(pid));
    }
  }
  return std::nullopt;
}

bool InstalledApp::launchStarted(std::uint32_t code) const {
  return std::filesystem::exists(launchFolder() + "/" + std::to_string(code) + ".started");
}

void InstalledApp::finishLaunch(std::uint32_t code) const {
  testsupport::writeFile(launchFolder() + "/" + std::to_string(code) + ".finish", "");
}

std::string InstalledApp::outputs() const {
  std::string all;
  for (const auto& e : std::filesystem::directory_iterator(root_.path())) {
    if (e.path().extension() == ".out") all += "== " + e.path().filename().string() + "\n" + testsupport::readFileOrEmpty(e.path().string());
  }
  return all;
}

std::string InstalledApp::log() const { return testsupport::readFileOrEmpty(appLog()); }

int InstalledApp::logCount(const std::string& text) const {
  std::istringstream in(log());
  int count = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

std::string startURL(std::uint32_t code) { return "jorvuvorn://launch?game=" + std::to_string(code); }

bool waitEnded(pid_t pid, std::chrono::milliseconds limit) {
  return waitUntil([pid] { return ::kill(pid, 0) != 0 && errno == ESRCH; }, limit);
}

}  // namespace apptest
