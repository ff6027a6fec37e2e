#include "Tests/EndToEnd/EndToEndSupport.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "Platform/PropertyList.hpp"
#include "Platform/XPC/XPCListener.hpp"
#include "Tests/Support/CatalogueRecord.hpp"
#include "Tests/Support/TempRoot.hpp"

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {

namespace {

// A listening socket at the helper's service path, as launchd makes it
// before it starts the program.
int bindHelperSocket() {
  const std::string path = platform::xpc::servicePath(vornHelperServiceName);
  const std::string folder = fs::path(path).parent_path().string();
  fs::create_directories(folder);
  ::chmod(folder.c_str(), 0700);
  ::unlink(path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    ::close(fd);
    return -1;
  }
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Decimal digits of a positive number into `out` (async-signal-safe).
void writeDecimal(char* out, long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
}

std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds limit) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return std::nullopt;
  pollfd p{pidfd, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(limit.count()));
  ::close(pidfd);
  if (ready != 1) return std::nullopt;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return std::nullopt;
  return status;
}

}  // namespace

// ---- HelperProcess ----

HelperProcess::HelperProcess(const std::map<std::string, std::string>& env, const std::string& stderrPath) {
  const std::string program = testsupport::binDir() + "/JorvuVornHelper";
  const int errorFD = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int listenFD = bindHelperSocket();
  if (listenFD < 0 || errorFD < 0) {
    ADD_FAILURE() << "cannot bind the helper's socket or make " << stderrPath;
    if (listenFD >= 0) ::close(listenFD);
    if (errorFD >= 0) ::close(errorFD);
    return;
  }
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name.rfind("LISTEN_", 0) == 0 || env.count(name) > 0) continue;
    vars.push_back(entry);
  }
  for (const auto& [name, value] : env) vars.push_back(name + "=" + value);
  vars.emplace_back("LISTEN_FDS=1");
  std::vector<char*> envp;
  for (auto& v : vars) envp.push_back(v.data());
  char pidVariable[64] = "LISTEN_PID=";
  envp.push_back(pidVariable);
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setpgid(0, 0);
    // Gone with the test program, even when that one dies.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    writeDecimal(pidVariable + std::strlen("LISTEN_PID="), static_cast<long>(::getpid()));
    ::dup2(errorFD, STDERR_FILENO);
    if (listenFD == 3) {
      ::fcntl(3, F_SETFD, 0);
    } else {
      ::dup2(listenFD, 3);
    }
    ::execve(program.c_str(), argv, envp.data());
    ::_exit(127);
  }
  if (pid_ > 0) ::setpgid(pid_, pid_);  // either side may win the race; both set the same
  ::close(listenFD);
  ::close(errorFD);
  if (pid_ < 0) ADD_FAILURE() << "fork failed: " << std::strerror(errno);
}

HelperProcess::~HelperProcess() {
  if (pid_ > 0) stop(5s);
}

void HelperProcess::killGroup() {
  if (pid_ > 0) ::kill(-pid_, SIGKILL);
}

std::optional<int> HelperProcess::stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::nullopt;
  ::kill(pid_, SIGTERM);
  std::optional<int> status = waitExit(pid_, limit);
  // Whatever is left in the group (a game still running, a helper that did
  // not end) goes now.
  killGroup();
  if (!status) ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return status;
}

// ---- Client ----

Client::Client() {
  connection_ = platform::xpc::Connection::toService(vornHelperServiceName, vornhelperxpc::interface());
  proxy_ = std::make_unique<vornhelperxpc::Proxy>(
      connection_->remoteObjectProxy([e = error_, pending = pending_](const platform::xpc::Error& err) {
        e.resolve(err);
        // A call that failed gets no reply: its waiter is told at once.
        std::lock_guard lock(pending->mutex);
        for (auto& fail : pending->fails) fail(err.description);
      }));
  connection_->resume();
}

Client::~Client() { connection_->invalidate(); }

std::optional<bool> Client::connect() {
  platform::OneShot<std::optional<bool>> done;
  watch([done](const std::string&) { done.resolve(std::nullopt); });
  proxy_->connect([done](bool ok) { done.resolve(ok); });
  return done.waitFor(20s).value_or(std::nullopt);
}

void Client::watch(std::function<void(const std::string&)> fail) {
  std::lock_guard lock(pending_->mutex);
  pending_->fails.push_back(std::move(fail));
}

std::optional<DataAnswer> Client::ask(
    const std::function<void(vornhelperxpc::Proxy&, VornHelperCommunicator::DataReply)>& invoke,
    std::chrono::milliseconds limit) {
  platform::OneShot<DataAnswer> done;
  watch([done](const std::string& error) { done.resolve({false, "<call failed: " + error + ">"}); });
  invoke(*proxy_, [done](bool ok, std::optional<std::string> data) { done.resolve({ok, std::move(data)}); });
  return done.waitFor(limit);
}

namespace {
DataAnswer orNoReply(const std::optional<DataAnswer>& answer, const char* request) {
  if (!answer) {
    ADD_FAILURE() << "no reply to " << request;
    return {false, std::string("<no reply>")};
  }
  return *answer;
}
}  // namespace

DataAnswer Client::registerGame(std::uint32_t code, const std::string& tag) {
  return orNoReply(ask([&](auto& p, auto r) { p.register_(code, tag, std::nullopt, r); }), "register");
}
DataAnswer Client::work(std::uint32_t code, bool ignoreOSVersion) {
  return orNoReply(ask([&](auto& p, auto r) { p.work(code, ignoreOSVersion, r); }), "work");
}
DataAnswer Client::status(std::uint32_t code) {
  return orNoReply(ask([&](auto& p, auto r) { p.getGameStatus(code, r); }), "getGameStatus");
}
DataAnswer Client::execute(std::uint32_t code, std::optional<std::string> passarg) {
  return orNoReply(ask([&](auto& p, auto r) { p.execute(code, passarg, r); }), "execute");
}
DataAnswer Client::cancel(std::uint32_t code) {
  return orNoReply(ask([&](auto& p, auto r) { p.cancel(code, r); }), "cancel");
}
DataAnswer Client::clearGame(std::uint32_t code) {
  return orNoReply(ask([&](auto& p, auto r) { p.clearGame(code, r); }), "clearGame");
}

// ---- Record ----

Record::Record(std::uint32_t code) : members_(testsupport::requiredCatalogueMembers(code)) {}

Record& Record::set(const std::string& key, const std::string& rawJson) {
  members_[key] = rawJson;
  return *this;
}

Record& Record::text(const std::string& key, const std::string& value) { return set(key, jsonQuoted(value)); }

std::string Record::json() const {
  std::string out = "{";
  for (const auto& [k, v] : members_) {
    if (out.size() > 1) out += ",";
    out += "\"" + k + "\":" + v;
  }
  return out + "}";
}

std::string jsonQuoted(const std::string& value) {
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

std::string kstText(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto local = floor<minutes>(t + hours(9));
  const auto day = floor<days>(local);
  const year_month_day ymd{day};
  const hh_mm_ss hms{local - day};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02ld:%02ld", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()));
  return buf;
}

// ---- files and programs ----

void writeTree(const std::string& root, const std::map<std::string, std::string>& files) {
  for (const auto& [relative, bytes] : files) testsupport::writeFile(root + "/" + relative, bytes);
}

namespace {

std::map<std::string, std::string> listTree(const std::string& root) {
  std::map<std::string, std::string> out;  // relative -> kind
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path relative = it->path().lexically_relative(root);
    const bool localManifest =
        relative.parent_path().empty() && relative.filename().string().rfind("obd-manifest-", 0) == 0;
    if (localManifest) continue;
    const auto type = it->symlink_status().type();
    out[relative.string()] = type == fs::file_type::directory ? "dir"
                             : type == fs::file_type::regular ? "file"
                                                              : "other";
  }
  return out;
}

}  // namespace

std::string diffTrees(const std::string& expected, const std::string& actual) {
  const auto a = listTree(expected);
  const auto b = listTree(actual);
  if (a.empty()) return "nothing in " + expected;
  std::string out;
  for (const auto& [path, kind] : a) {
    auto it = b.find(path);
    if (it == b.end()) {
      out += "missing " + path + "\n";
    } else if (it->second != kind) {
      out += "kind differs " + path + "\n";
    } else if (kind == "file" && testsupport::readFileOrEmpty(expected + "/" + path) !=
                                     testsupport::readFileOrEmpty(actual + "/" + path)) {
      out += "bytes differ " + path + "\n";
    }
  }
  for (const auto& [path, kind] : b) {
    if (!a.count(path)) out += "extra " + path + "\n";
  }
  return out;
}

void makeFakeGameBundle(const std::string& folder, const std::string& name) {
  const std::string bundle = folder + "/" + name + ".app";
  fs::create_directories(bundle + "/Contents/MacOS");
  ASSERT_TRUE(platform::writePropertyList(
      bundle + "/Contents/Info.plist",
      platform::PlistValue(
          platform::PlistDict{{"CFBundleExecutable", std::string(name)}, {"CFBundleIdentifier", "test.e2e." + name}})));
  const std::string exe = bundle + "/Contents/MacOS/" + name;
  fs::copy_file(testsupport::binDir() + "/jorvu-fakegame", exe, fs::copy_options::overwrite_existing);
  ::chmod(exe.c_str(), 0755);
}

int runProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // Its summary is not the test's output; its errors are.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  const auto status = waitExit(pid, 60s);
  if (!status) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string base64(const std::string& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::vector<std::string> filesEndingWith(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = it->path().lexically_relative(folder).string();
    if (it->is_regular_file() && relative.ends_with(suffix)) out.push_back(relative);
  }
  return out;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

}  // namespace e2e
