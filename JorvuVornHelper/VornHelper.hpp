#pragma once
// The helper's one service object: it serves every connection and owns the
// registry of games.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Common/Protocol/VornHelperCommunicator.hpp"
#include "JorvuVornHelper/Common/Game.hpp"
#include "JorvuVornHelper/TaskGroup.hpp"
#include "Platform/XPC/XPCConnection.hpp"

class VornHelper : public VornHelperCommunicator, public std::enable_shared_from_this<VornHelper> {
 public:
  // The workers of registered games come from `workerFactory`.
  explicit VornHelper(GameWorkerFactory workerFactory = {});
  ~VornHelper() override;

  // The listener's delegate: every connection is served by this object.
  bool shouldAcceptNewConnection(const std::shared_ptr<platform::xpc::Connection>& connection);

  // connect, getGameStatus, getGamePanelInfo and cancel answer at once, on
  // the connection's queue; register, execute, work and clearGame answer from
  // a task of their own after returning (tasks are bounded per connection
  // and in all, see TaskGroup; one that cannot get a thread answers Crash).
  void connect(BoolReply with) override;
  void register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string> vantixTokenData,
                 DataReply with) override;
  void execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) override;
  void work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) override;
  void getGameStatus(std::uint32_t gameCode, DataReply with) override;
  void getGamePanelInfo(std::uint32_t gameCode, DataReply with) override;
  void cancel(std::uint32_t gameCode, DataReply with) override;
  void clearGame(std::uint32_t gameCode, DataReply with) override;

  // clearGame waits with this until every statistics report queued so far
  // has been sent or has failed (by default the reporter's collector).
  void setReportWaiter(std::function<void()> waitDone);

  // At exit: cancels the worker of every working game (so that its job ends
  // and saves its state), then waits for the running tasks and work jobs, and
  // for the reports sent so far.
  void shutdown();

  // The registry, one read-modify-write at a time. The lock is never held
  // while a request waits for the network, a launch or a worker's decision.
  template <typename F>
  auto withGames(F&& f) {
    std::lock_guard lock(gamesLock_);
    return f(games_);
  }
  // A copy of the game's record, taken under the lock; nothing when the
  // code is not registered.
  std::optional<Game> findGame(std::uint32_t gameCode);

 private:
  const GameWorkerFactory workerFactory_;
  std::map<std::uint32_t, Game> games_;
  std::mutex gamesLock_;
  std::mutex reportWaiterLock_;
  std::function<void()> reportWaiter_;
  TaskGroup tasks_;
};
