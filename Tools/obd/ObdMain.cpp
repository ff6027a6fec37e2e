// jorvu-obd install|patch --source URL --manifest NAME --target DIR --code N --exe NAME
//
// Runs one job of the patch engine, for operators and benchmarks: prints the
// progress while it runs, then the final work mode and error triple. Exits 0
// only when the job succeeded and the game's executable is in place.
// SIGINT or SIGTERM cancels the job.
#include "Platform/Memory.hpp"
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "JorvuVornHelper/GameManager/GameWorker/WorkInfo.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/GameWorkerable.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDInstaller.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDPatcher.hpp"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: jorvu-obd install|patch --source URL --manifest NAME --target DIR --code N --exe NAME\n");
  return 2;
}

struct Options {
  std::string mode;
  std::string source;
  std::string manifest;
  std::string target;
  std::string exe;
  std::uint32_t code = 0;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  if (argc < 2) return false;
  options.mode = argv[1];
  if (options.mode != "install" && options.mode != "patch") return false;
  bool haveCode = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--source") {
      options.source = value;
    } else if (arg == "--manifest") {
      options.manifest = value;
    } else if (arg == "--target") {
      options.target = value;
    } else if (arg == "--exe") {
      options.exe = value;
    } else if (arg == "--code") {
      char* end = nullptr;
      errno = 0;
      const unsigned long n = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0 || n == 0 || n > UINT32_MAX) return false;
      options.code = static_cast<std::uint32_t>(n);
      haveCode = true;
    } else {
      return false;
    }
  }
  return haveCode && !options.source.empty() && !options.manifest.empty() && !options.target.empty() &&
         !options.exe.empty();
}

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  std::string absolute = std::filesystem::absolute(path, ec).lexically_normal().string();
  if (ec) return path;
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

void PrintProgress(const ProgressInfoManager& progress) {
  ProgressInfoManager::ProgressInfo info;
  progress.GetProgressInfo(&info);
  const double percent = info.totalSize == 0 ? 0.0 : 100.0 * static_cast<double>(info.currentSize) /
                                                         static_cast<double>(info.totalSize);
  std::printf("progress: operation %u, %llu / %llu bytes (%.1f%%)\n", info.operationType,
              static_cast<unsigned long long>(info.currentSize), static_cast<unsigned long long>(info.totalSize),
              percent);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  platform::keepLargeBuffersOutOfTheHeap();
  Options options;
  if (!ParseOptions(argc, argv, options)) return Usage();
  const bool install = options.mode == "install";

  // Signals are taken by one thread of their own, which cancels the job.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const std::string target = AbsolutePath(options.target);
  WorkInfo info(options.code, "", options.source, options.manifest, target, options.exe, "");
  info.SetWorkInfo();
  ProgressInfoManager& progress = info.progress_info_manager;
  progress.SetProgress(true);
  progress.SetLastErrorCode(0, 0, 0);

  // Joined before the job's records go: the end of the program wakes it
  // with a signal of the set, which it then leaves alone.
  std::atomic<bool> ending{false};
  std::jthread signalTaker([&progress, &ending, signals] {
    int number = 0;
    if (sigwait(&signals, &number) == 0 && !ending) {
      std::fprintf(stderr, "jorvu-obd: signal %d, cancelling\n", number);
      progress.Cancel();
    }
  });
  struct WakeAtEnd {
    std::jthread& thread;
    std::atomic<bool>& ending;
    ~WakeAtEnd() {
      ending = true;
      pthread_kill(thread.native_handle(), SIGTERM);
    }
  } wakeAtEnd{signalTaker, ending};

  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread printer([&] {
    std::unique_lock lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(500), [&] { return done; })) {
      PrintProgress(progress);
    }
  });

  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  DownloadMonitor::DownloadMonitoringDataSet stats;
  if (install) {
    OBDInstaller installer(&info);
    // The operator names the game's folder; it may be cleared for a fresh
    // install as long as it lies below a real folder.
    installer.SetInstallRoot(std::filesystem::path(target).parent_path().string());
    ok = installer.Install();
    stats = installer.GetDownloadMonitor().GetDataSet();
  } else {
    // As the game worker's decision does: the local manifest file is read
    // before the patch (a missing one is rebuilt from the installed files).
    info.manifest_controller.NeedToPatch(info.game_code, info.target_path);
    OBDPatcher patcher(&info);
    ok = patcher.Patch();
    stats = patcher.GetDownloadMonitor().GetDataSet();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  finished.notify_all();
  printer.join();
  PrintProgress(progress);

  // The end of a job as the game worker sees it.
  GameWorkerWrapperWorkMode mode = WorkMode::Error;
  if (ok && info.IsGameInstalled()) {
    progress.SetOperationType(install ? OperationType::InstallCompleted : OperationType::PatchCompleted);
    mode = WorkMode::Ready;
  } else if (ok) {
    progress.SetLastError(install ? EngineErrors::InstalledExecutableMissing : EngineErrors::PatchedExecutableMissing);
    progress.SetOperationType(install ? OperationType::InstallError : OperationType::PatchError);
    ok = false;
  } else if (progress.GetProgress()) {
    progress.SetOperationType(install ? OperationType::InstallError : OperationType::PatchError);
    if (progress.GetErrorCode() == EngineErrors::kEngineFailureCode) progress.SetErrorCode(install ? -40 : -50);
  } else {
    progress.SetOperationType(OperationType::UserAbort);
    mode = WorkMode::UserAbort;
  }

  ProgressInfoManager::ErrorInfo error;
  progress.GetErrorInfo(&error);
  std::printf("received: %llu bytes in %.2f s\n", static_cast<unsigned long long>(stats.total_size), seconds);
  std::printf("work mode: %u\n", mode);
  std::printf("error: %d/%u/%u\n", error.errorCode, error.mainErrorCode, error.subErrorCode);
  if (!error.errorMessage.empty()) std::printf("error message: %s\n", error.errorMessage.c_str());
  std::printf("result: %s\n", ok ? "success" : (mode == WorkMode::UserAbort ? "cancelled" : "failed"));
  std::fflush(stdout);
  return ok ? 0 : 1;
}
