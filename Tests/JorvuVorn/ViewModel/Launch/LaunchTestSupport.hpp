#pragma once
// Pieces of the launch-flow tests: a helper scripted in this process behind
// the real service socket, a main loop of our own, an interface that records
// what it is asked to show and answers like a user, and the INFO lines of the
// process's log.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Common/Protocol/VornHelperCommunicator.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "JorvuVorn/ViewModel/Interface.hpp"
#include "JorvuVorn/ViewModel/MainThread.hpp"
#include "Platform/XPC/XPCListener.hpp"
#include "Tests/Support/WaitUntil.hpp"

namespace launchtest {

using namespace std::chrono_literals;

struct Call {
  std::string method;
  std::uint32_t gameCode = 0;
  std::optional<std::string> text{};  // obdTag or passarg
  bool flag = false;                  // ignoreOSVersion
};

struct Answer {
  bool success = true;
  std::optional<std::string> data{};
  bool hold = false;  // kept until release()
};

Answer ok();
Answer failed(const VornHelperError& error);
Answer status(std::uint32_t code, GameStatus::Status status, std::uint64_t current = 0, std::uint64_t total = 100,
              bool withProgress = true);

// Answers each request from a script: per method and game code, a list of
// answers used in turn (the last one stays). Unscripted requests succeed;
// getGamePanelInfo answers a panel for the code.
class ScriptedHelper : public VornHelperCommunicator {
 public:
  void script(const std::string& method, std::uint32_t code, std::vector<Answer> answers);
  // Called with each request before it is answered (on the helper's thread).
  void onCall(std::function<void(const Call&)> hook);

  std::vector<Call> calls() const;
  std::vector<Call> calls(const std::string& method, std::uint32_t code) const;
  bool waitForCalls(const std::string& method, std::uint32_t code, std::size_t count,
                    std::chrono::milliseconds limit = 10s) const;
  // Answers every held request with its next scripted answer.
  void release();

  void connect(BoolReply with) override;
  void register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string> vantixTokenData,
                 DataReply with) override;
  void execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) override;
  void work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) override;
  void getGameStatus(std::uint32_t gameCode, DataReply with) override;
  void getGamePanelInfo(std::uint32_t gameCode, DataReply with) override;
  void cancel(std::uint32_t gameCode, DataReply with) override;
  void clearGame(std::uint32_t gameCode, DataReply with) override;

 private:
  void handle(Call call, DataReply with);
  Answer next(const Call& call);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::pair<std::string, std::uint32_t>, std::deque<Answer>> script_;
  std::function<void(const Call&)> hook_;
  std::vector<Call> calls_;
  std::vector<std::pair<Answer, DataReply>> held_;
};

// The scripted helper served on the service socket under the current root.
class HelperService {
 public:
  HelperService();
  ~HelperService();
  ScriptedHelper& helper() { return *helper_; }

 private:
  std::shared_ptr<ScriptedHelper> helper_;
  std::unique_ptr<platform::xpc::Listener> listener_;
};

// A main loop on a thread of its own, joined at destruction; work posted
// after stop() is dropped.
class TestMainThread : public MainThread {
 public:
  TestMainThread();
  ~TestMainThread() override;
  void post(std::function<void()> work) override;
  bool isCurrent() const override;
  void stop();
  // Waits until everything posted so far has run.
  void drain();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

// Records what it is asked to show; answers popups like a user.
class RecordingInterface : public Interface {
 public:
  struct Popup {
    VornHelperError error;
    std::uint32_t gameCode = 0;
  };

  // How each popup is answered: a value for the view-close handler, or
  // nothing to throw InterfaceError (the popup cannot be shown).
  std::function<std::optional<bool>(const VornHelperError&)> popupAnswer = [](const VornHelperError&) {
    return std::optional<bool>(false);
  };
  // Called on the main loop with every progress value the panel sees and the
  // panel's cancel handler (the page asking to close).
  std::function<void(const GameWorkInfo&, const CancelHandler&)> onProgress;

  void loadSetupView(const GamePanelInfo& panelInfo, const GameExecuteInfo& gameExecuteInfo,
                     std::shared_ptr<GameWorkInfoObserver> observer, CancelHandler cancelHandler) override;
  void loadPopupView(const VornHelperError& error, const GameExecuteInfo& gameExecuteInfo,
                     ViewCloseHandler viewCloseHandler) override;
  void showDebugAlert(std::function<void()> done) override;

  std::vector<Popup> popups() const;
  std::vector<GamePanelInfo> panels() const;
  std::vector<GameWorkInfo> progress() const;
  int debugAlerts() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Popup> popups_;
  std::vector<GamePanelInfo> panels_;
  std::vector<GameWorkInfo> progress_;
  std::vector<GameWorkInfoObserver::Subscription> subscriptions_;  // main loop only
  int debugAlerts_ = 0;
};

// The messages of the INFO and ERROR lines this process logged since the mark.
class LogMark {
 public:
  LogMark();
  std::vector<std::string> messages() const;
  std::vector<std::string> errors() const;
  // "old->new" of every step change of the game since the mark.
  std::vector<std::string> steps(std::uint32_t gameCode) const;
  std::size_t count(const std::string& message) const;

 private:
  std::size_t start_;
};

using testsupport::waitUntil;

}  // namespace launchtest
