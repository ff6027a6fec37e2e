#include "JorvuVorn/ViewModel/SelfUpdater.hpp"

#include "Common/Config/VornConfig.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Platform/Cancellation.hpp"

namespace {

bool needsProgressPoll(GameStatus::Status status) {
  return status == GameStatus::Status::install || status == GameStatus::Status::patch;
}

// How many status reads a failed run gives the helper's cancelled job on the
// app to end (some 30 s at the app's poll interval).
constexpr int cancelPolls = 100;

}  // namespace

const char* SelfUpdater::obdTag() {
  const auto entry = VornConfig::gameLaunchInfo(jorvuVornGameCode);
  if (entry && entry->ktzAPI == VornConfig::Game::KTZAPI::test) return obdTagJorvuVornMacDev;
  return obdTagJorvuVornMac;
}

void SelfUpdater::work() {
  const std::string tag = obdTag();
  logInfo("[selfUpdate] gameCode=" + std::to_string(jorvuVornGameCode) + ", obdTag=" + tag);
  xpcClient.register_(jorvuVornGameCode, tag, vantixToken);
  try {
    try {
      xpcClient.work(jorvuVornGameCode, true);
    } catch (const VornHelperError& e) {
      if (e.is<VornHelperError::NoWorkRequired>()) {
        logDebug("noWorkRequired");
        xpcClient.clearGame(jorvuVornGameCode);
        return;
      }
      // Any other answer of the helper: the status decides.
    }
    waitDone(jorvuVornGameCode);
  } catch (...) {
    withdraw();
    throw;
  }
  VornLogger::setIsRemainLogFile(true);
  logInfo("success selfupdate");
  throw SelfUpdaterError(SelfUpdaterError::Case::needReloading);
}

void SelfUpdater::waitDone(std::uint32_t gameCode) {
  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::duration<double>(timeout);
  const std::string code = std::to_string(gameCode);
  logInfo("[workProgress][selfUpdate] start");
  for (;;) {
    const GameStatus status = xpcClient.getGameStatus(gameCode);
    if (status.status == GameStatus::Status::ready) {
      logInfo("selfupdate done");
      return;
    }
    if (!needsProgressPoll(status.status)) throw VornHelperError(VornHelperError::ExecuteFailed{});
    if (!status.progress) {
      logError("[workProgress][selfUpdate] gameCode=" + code + " invalid game status");
      throw SelfUpdaterError(SelfUpdaterError::Case::invalidGameStatus);
    }
    logDebug("[workProgress][selfUpdate] progress=(" + std::to_string(status.progress->currentSize) + "/" +
             std::to_string(status.progress->totalSize) + ")");
    if (std::chrono::steady_clock::now() - start >= limit) {
      logError("[workProgress][selfUpdate] gameCode=" + code + " timeout");
      throw SelfUpdaterError(SelfUpdaterError::Case::timeout);
    }
    platform::sleepFor(pollInterval);
  }
}

bool SelfUpdater::isJobRunning() {
  try {
    return needsProgressPoll(xpcClient.getGameStatus(jorvuVornGameCode).status);
  } catch (const VornHelperError&) {
    return false;  // the job ended in error
  }
}

void SelfUpdater::withdraw() {
  // A cancelled task cannot ask the helper any more; the helper's registry
  // goes with its job when the app ends.
  if (platform::currentStopToken().stop_requested()) return;
  try {
    if (isJobRunning()) {
      xpcClient.cancel(jorvuVornGameCode);
      for (int polls = 0; isJobRunning(); ++polls) {
        if (polls == cancelPolls) {
          logError("[selfUpdate] gameCode=" + std::to_string(jorvuVornGameCode) + " cancel did not end in time");
          return;
        }
        platform::sleepFor(pollInterval);
      }
    }
    xpcClient.clearGame(jorvuVornGameCode);
  } catch (...) {
    logError("An error occurred: " + launcherrors::text(std::current_exception()));
  }
}

void SelfUpdateOnce::run(const std::function<void()>& update) {
  std::shared_ptr<Run> run;
  {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (succeeded_) {
        if (succeeded_->outcome) std::rethrow_exception(succeeded_->outcome);
        return;
      }
      if (!running_) break;
      const std::shared_ptr<Run> joined = running_;
      if (!changed_.wait(lock, platform::currentStopToken(), [&] { return joined->ended; })) {
        throw platform::CancellationError();
      }
      if (joined->cancelled) continue;
      if (joined->outcome) std::rethrow_exception(joined->outcome);
      return;
    }
    run = running_ = std::make_shared<Run>();
  }
  try {
    update();
  } catch (...) {
    run->outcome = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    run->ended = true;
    run->cancelled = launcherrors::as<platform::CancellationError>(run->outcome) != nullptr;
    const auto* error = launcherrors::as<SelfUpdaterError>(run->outcome);
    if (!run->outcome || (error != nullptr && error->value() == SelfUpdaterError::Case::needReloading)) {
      succeeded_ = run;
    }
    running_.reset();
  }
  changed_.notify_all();
  if (run->outcome) std::rethrow_exception(run->outcome);
}
