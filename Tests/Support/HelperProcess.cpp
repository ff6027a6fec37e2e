#include "Tests/Support/HelperProcess.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/XPC/XPCListener.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace testsupport {

int bindHelperSocket() {
  std::string error;
  const int fd = platform::xpc::bindServiceSocket(vornHelperServiceName, &error);
  if (fd < 0) ADD_FAILURE() << "cannot bind the helper's socket: " << error;
  return fd;
}

std::string waitStatusText(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (!WIFEXITED(status)) return "wait status " + std::to_string(status);
  const int code = WEXITSTATUS(status);
  std::string text = "exit status " + std::to_string(code);
  if (code == 126) text += " (not started: its set-up before the exec failed)";
  if (code == 127) text += " (not started: the exec failed)";
  return text;
}

// ---- HelperProcess ----

HelperProcess::HelperProcess(HelperOptions options) : ownGroup_(options.ownGroup) {
  if (!options.handOverSocket) {
    start(options, options.listenFD);
    return;
  }
  const int listenFD = bindHelperSocket();
  if (listenFD < 0) return;
  start(options, listenFD);
  ::close(listenFD);
}

void HelperProcess::start(HelperOptions& options, int listenFD) {
  const std::string program = options.program.empty() ? binDir() + "/JorvuVornHelper" : options.program;
  int errorFD = -1;
  if (!options.stderrPath.empty()) {
    errorFD = ::open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (errorFD < 0) {
      ADD_FAILURE() << "cannot make " << options.stderrPath;
      return;
    }
  }
  // Nothing is allocated in the child: another thread may hold the heap's
  // lock at the fork.
  std::vector<std::string> vars = childEnvironment(options.env);
  if (listenFD >= 0) vars.emplace_back("LISTEN_FDS=1");
  std::vector<char*> envp = execPointers(vars);
  char pidVariable[64] = "LISTEN_PID=";
  if (listenFD >= 0) envp.insert(envp.end() - 1, pidVariable);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

  pid_ = ::fork();
  if (pid_ == 0) {
    if (options.ownGroup) ::setpgid(0, 0);
    // Gone with the test program, even when that one dies.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (errorFD >= 0) ::dup2(errorFD, STDERR_FILENO);
    if (listenFD >= 0) {
      writeDecimal(pidVariable + std::strlen("LISTEN_PID="), static_cast<long>(::getpid()));
      if (listenFD == 3) {
        ::fcntl(3, F_SETFD, 0);
      } else {
        ::dup2(listenFD, 3);
      }
    }
    if (options.beforeExec && !options.beforeExec()) ::_exit(126);
    ::execve(program.c_str(), argv, envp.data());
    ::_exit(127);
  }
  if (pid_ > 0 && options.ownGroup) ::setpgid(pid_, pid_);  // either side may win the race; both set the same
  if (errorFD >= 0) ::close(errorFD);
  if (pid_ < 0) ADD_FAILURE() << "fork failed: " << std::strerror(errno);
}

HelperProcess::~HelperProcess() {
  if (pid_ > 0) stop(std::chrono::seconds(5));
}

bool HelperProcess::pause() {
  ::kill(pid_, SIGSTOP);
  int status = 0;
  pid_t rc;
  do {
    rc = ::waitpid(pid_, &status, WUNTRACED);
  } while (rc < 0 && errno == EINTR);
  if (rc != pid_) return false;
  if (WIFSTOPPED(status)) return true;
  pid_ = -1;
  return false;
}

std::optional<int> HelperProcess::waitExit(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::nullopt;
  std::optional<int> status = testsupport::waitExit(pid_, limit);
  if (status) pid_ = -1;
  return status;
}

std::optional<int> HelperProcess::stop(std::chrono::milliseconds limit, int signal) {
  if (pid_ <= 0) return std::nullopt;
  const pid_t pid = pid_;
  ::kill(pid, signal);
  std::optional<int> status = waitExit(limit);
  // Whatever is left (a helper that did not end, a game still running in
  // its group) goes now.
  if (ownGroup_) {
    ::kill(-pid, SIGKILL);
  } else if (!status) {
    ::kill(pid, SIGKILL);
  }
  if (!status) ::waitpid(pid, nullptr, 0);
  pid_ = -1;
  return status;
}

// ---- HelperClient ----

HelperClient::HelperClient(const std::string& socketPath) {
  const auto& exported = vornhelperxpc::interface();
  connection_ = socketPath.empty() ? platform::xpc::Connection::toService(vornHelperServiceName, exported)
                                   : platform::xpc::Connection::toPath(socketPath, exported);
  proxy_ = std::make_unique<vornhelperxpc::Proxy>(
      connection_->remoteObjectProxy([e = error_, pending = pending_](const platform::xpc::Error& err) {
        e.resolve(err);
        std::lock_guard lock(pending->mutex);
        for (auto& fail : pending->fails) fail(err.description);
      }));
  connection_->resume();
}

HelperClient::~HelperClient() { connection_->invalidate(); }

void HelperClient::watch(std::function<void(const std::string&)> fail) {
  std::lock_guard lock(pending_->mutex);
  pending_->fails.push_back(std::move(fail));
}

std::optional<bool> HelperClient::connect() {
  platform::OneShot<std::optional<bool>> done;
  watch([done](const std::string&) { done.resolve(std::nullopt); });
  proxy_->connect([done](bool ok) { done.resolve(ok); });
  return done.waitFor(std::chrono::seconds(20)).value_or(std::nullopt);
}

std::optional<DataAnswer> HelperClient::ask(const Invoke& invoke, std::chrono::milliseconds limit) {
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

DataAnswer HelperClient::registerGame(std::uint32_t code, const std::string& tag) {
  return orNoReply(ask([&](auto& p, auto r) { p.register_(code, tag, std::nullopt, r); }), "register");
}
DataAnswer HelperClient::work(std::uint32_t code, bool ignoreOSVersion) {
  return orNoReply(ask([&](auto& p, auto r) { p.work(code, ignoreOSVersion, r); }), "work");
}
DataAnswer HelperClient::status(std::uint32_t code) {
  return orNoReply(ask([&](auto& p, auto r) { p.getGameStatus(code, r); }), "getGameStatus");
}
DataAnswer HelperClient::execute(std::uint32_t code, std::optional<std::string> passarg) {
  return orNoReply(ask([&](auto& p, auto r) { p.execute(code, passarg, r); }), "execute");
}
DataAnswer HelperClient::cancel(std::uint32_t code) {
  return orNoReply(ask([&](auto& p, auto r) { p.cancel(code, r); }), "cancel");
}
DataAnswer HelperClient::clearGame(std::uint32_t code) {
  return orNoReply(ask([&](auto& p, auto r) { p.clearGame(code, r); }), "clearGame");
}

}  // namespace testsupport
