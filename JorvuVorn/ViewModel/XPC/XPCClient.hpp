#pragma once
// The app's side of the XPC link to the helper: each request of
// VornHelperCommunicator as a call that waits for the helper's reply, at most
// 300 s, and returns the decoded payload or throws. No call is retried.
//
// Every call may throw XPCError::invalidResponse, the VornHelperError that
// the helper reported, SafeCheckedContinuationError::timeout, or a
// jsoncoding error of the payload.
//
// A link that is lost does not end the calls waiting on it (they end by
// their time-out). A caller that must not wait that long makes its calls
// inside a cancellable task (Platform/Cancellation.hpp): once the task is
// cancelled, its waiting call ends at once and its later calls fail unsent,
// both with platform::CancellationError. The link and the other callers are
// not touched.
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Common/Protocol/GamePanelInfo.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Protocol/VantixToken.hpp"
#include "Common/Protocol/VornHelperCommunicator.hpp"
#include "JorvuVorn/ViewModel/XPC/SafeCheckedContinuation.hpp"
#include "Platform/XPC/XPCConnection.hpp"

class XPCError : public std::exception {
 public:
  // Only invalidResponse is raised; the others are there for callers to match.
  enum class Case {
    connectionFailure,
    invalidResponse,
    registerFailure,
    excuteFailure,
    workFailure,
    getGameStatusFailure,
    getGamePanelInfoFailure,
    cancelFailure,
    clearGameFailure,
    unknownFailure,
  };

  explicit XPCError(Case value) : value_(value) {}
  static XPCError invalidResponse() { return XPCError(Case::invalidResponse); }

  Case value() const { return value_; }
  // The case name.
  const char* description() const noexcept;
  const char* what() const noexcept override { return description(); }
  bool operator==(const XPCError& other) const { return value_ == other.value_; }

 private:
  Case value_;
};

class XPCClient {
 public:
  // A client whose connection is not made yet; `timeout` bounds every call.
  explicit XPCClient(std::chrono::nanoseconds timeout = SafeCheckedContinuation<bool>::defaultTimeout)
      : timeout_(timeout) {}

  // Opens the link to the helper's service unless a proxy exists already.
  // Safe from several threads at once: only one of them makes the link.
  void connection();

  // Asks the helper connect; succeeds whenever the helper answers.
  void checkConnect();
  void register_(std::uint32_t gameCode, const std::string& obdTag, const std::optional<VantixToken>& vantixToken);
  void execute(std::uint32_t gameCode, const std::optional<std::string>& passarg);
  void work(std::uint32_t gameCode, bool ignoreOSVersion);
  GameStatus getGameStatus(std::uint32_t gameCode);
  void cancel(std::uint32_t gameCode);
  void clearGame(std::uint32_t gameCode);
  GamePanelInfo getGamePanelInfo(std::uint32_t gameCode);

  // The helper's proxy, shared by every client of the process: set by
  // connection(), cleared when its connection is invalidated or interrupted.
  static std::shared_ptr<VornHelperCommunicator> proxy();
  static void setProxy(std::shared_ptr<VornHelperCommunicator> proxy);

 private:
  using Send = std::function<void(VornHelperCommunicator& proxy, VornHelperCommunicator::DataReply reply)>;
  // The shared proxy; platform::CancellationError in a cancelled task.
  std::shared_ptr<VornHelperCommunicator> helper() const;
  void callWithoutPayload(const Send& send);
  std::string callWithPayload(const Send& send, bool logReturn);

  // Unconfigured (none) until connection() makes it. The proxy keeps it alive.
  std::shared_ptr<platform::xpc::Connection> connection_;
  std::chrono::nanoseconds timeout_;
};
