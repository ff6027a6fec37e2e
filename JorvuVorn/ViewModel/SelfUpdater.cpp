#include "JorvuVorn/ViewModel/SelfUpdater.hpp"

#include "Common/Config/VornConfig.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Platform/Cancellation.hpp"

namespace {

bool needsProgressPoll(GameStatus::Status status) {
  return status == GameStatus::Status::install || status == GameStatus::Status::patch;
}

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

void SelfUpdateOnce::run(const std::function<void()>& update) {
  {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (state_ == State::finished) {
        if (outcome_) std::rethrow_exception(outcome_);
        return;
      }
      if (state_ == State::notRun) break;
      if (!changed_.wait(lock, platform::currentStopToken(), [&] { return state_ != State::running; })) {
        throw platform::CancellationError();
      }
    }
    state_ = State::running;
  }
  std::exception_ptr outcome;
  try {
    update();
  } catch (...) {
    outcome = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    if (launcherrors::as<platform::CancellationError>(outcome) != nullptr) {
      state_ = State::notRun;
    } else {
      state_ = State::finished;
      outcome_ = outcome;
    }
  }
  changed_.notify_all();
  if (outcome) std::rethrow_exception(outcome);
}
