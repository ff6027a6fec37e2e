#pragma once
// Brings the app itself up to date before a game is registered: the app is
// game 128000 to the helper. work() registers it, asks for work and waits
// until the helper's job is done; it returns when there was nothing to do
// and throws SelfUpdaterError::needReloading after an installed update
// (128000 then stays registered). A run that fails once 128000 is
// registered first cancels the job it started, waits for its end and clears
// 128000, best effort, so that the next run can register it again.
//
// Runs inside a launch task (a cancelled task ends its status poll with
// platform::CancellationError). SelfUpdateOnce makes sure a process runs it
// once: launches that come while it runs, or later, take its outcome.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "Common/Protocol/VantixToken.hpp"
#include "JorvuVorn/ViewModel/LaunchErrors.hpp"
#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"

inline constexpr std::uint32_t jorvuVornGameCode = 128000;
inline constexpr const char* obdTagJorvuVornMac = "678e";
inline constexpr const char* obdTagJorvuVornMacDev = "678e/dev";

struct SelfUpdater {
  XPCClient& xpcClient;
  double timeout = 300.0;  // seconds
  std::optional<VantixToken> vantixToken;
  std::chrono::milliseconds pollInterval{300};

  // Throws the helper's VornHelperError, SelfUpdaterError, or the XPC
  // client's error.
  void work();

  // "678e/dev" when the configuration file says the app's catalogue is the
  // test one, "678e" otherwise.
  static const char* obdTag();

 private:
  void waitDone(std::uint32_t gameCode);
  // Undoes what a failed run left in the helper; what fails here is logged.
  void withdraw();
  bool isJobRunning();
};

class SelfUpdateOnce {
 public:
  // Runs `update` unless a run of it succeeded already in this process (it
  // returned, or installed an update: SelfUpdaterError::needReloading), and
  // then takes that outcome. A caller that comes while a run is on waits for
  // it and shares its outcome, a failure included. A failure is not kept:
  // the next caller runs it again; nor is a cancelled run, whose waiters
  // then run it again themselves. The wait ends with
  // platform::CancellationError when the caller's task is cancelled.
  void run(const std::function<void()>& update);

 private:
  // One run of the update, shared by the callers that wait for it.
  struct Run {
    bool ended = false;
    bool cancelled = false;
    std::exception_ptr outcome;
  };
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::shared_ptr<Run> running_;
  std::shared_ptr<Run> succeeded_;
};
