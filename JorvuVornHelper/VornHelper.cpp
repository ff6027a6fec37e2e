#include "JorvuVornHelper/VornHelper.hpp"

#include <filesystem>

#include "Common/Logger/TavloLogger.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/ErrorInfo.hpp"
#include "Common/Protocol/SubError.hpp"
#include "Common/Protocol/VantixToken.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Common/Protocol/VornHelperXPC.hpp"
#include "JorvuVornHelper/Common/BackgroundQueue.hpp"
#include "JorvuVornHelper/Common/StatusUtilities.hpp"
#include "JorvuVornHelper/Common/VANTIXAuthentication.hpp"
#include "Platform/Paths.hpp"
#include "Platform/XPC/XPCMessage.hpp"

namespace {

struct Answer {
  bool success = true;
  std::optional<std::string> data;
};

// The request whose failure is being mapped: each maps only its own.
enum class Request { register_, execute, work, getGameStatus, getGamePanelInfo, cancel, clearGame };

// A worker's failed job as the app sees it: a network failure, a lack of
// disk space (with the capacity record in the message) or a plain failure.
VornHelperError mapWorkFailed(const SubError::WorkFailed& f) {
  if (f.errorCode == ErrorInfo::networkErrorCode) {
    return VornHelperError::NetworkError{f};
  }
  if (f.mainErrorCode == ErrorInfo::diskSizeLackMainErrorCode && !f.errorMessage.empty()) {
    try {
      const CapacityInfo capacity = CapacityInfo::decode(f.errorMessage);
      return VornHelperError::DiskSizeLack{capacity.require, capacity.total, toStatus(capacity.status)};
    } catch (const std::exception&) {
      return VornHelperError::Crash{};
    }
  }
  return VornHelperError::WorkFailed{f};
}

VornHelperError mapSubError(Request request, const SubError& e) {
  using R = Request;
  if (request == R::register_) {
    if (e.is<SubError::GameAlreadyRegistered>()) return VornHelperError::GameAlreadyRegistered{};
    if (e.is<SubError::URLSessionStatusCodeNot200>()) return VornHelperError::NetworkError{-60, 0, 0, 0};
    if (e.is<SubError::UnsupportedOS>()) return VornHelperError::UnsupportedOS{};
  }
  if (request == R::execute) {
    if (e.is<SubError::WorkRequired>()) return VornHelperError::WorkRequired{};
    if (e.is<SubError::ExecuteFailed>()) return VornHelperError::ExecuteFailed{};
    if (const auto* m = e.get<SubError::Maintenance>()) return *m;
  }
  if (request == R::work) {
    if (e.is<SubError::NoWorkRequired>()) return VornHelperError::NoWorkRequired{};
    if (const auto* l = e.get<SubError::OSVersionLimit>()) return *l;
  }
  if (request == R::getGameStatus) {
    if (const auto* f = e.get<SubError::WorkFailed>()) return mapWorkFailed(*f);
  }
  return VornHelperError::Crash{};
}

// The reply's error for whatever a handler's body threw.
VornHelperError mapFailure(Request request) {
  try {
    throw;
  } catch (const VornHelperError& e) {
    return e;
  } catch (const SubError& e) {
    return mapSubError(request, e);
  } catch (const VANTIXAuthenticationError& e) {
    if (request == Request::execute && e.kind() == VANTIXAuthenticationError::Kind::statusCodeFailure) {
      return VornHelperError::VantixError{e.code()};
    }
    return VornHelperError::Crash{};
  } catch (...) {
    return VornHelperError::Crash{};
  }
}

// Flag false and the ErrorStatus text of the error; no data when that
// cannot be encoded.
Answer failure(const VornHelperError& error) {
  Answer a{false, std::nullopt};
  try {
    a.data = ErrorStatus{error}.encode();
  } catch (const std::exception&) {
  }
  return a;
}

// Runs a handler's body; whatever it throws becomes the request's failure
// reply, so every request is answered, and answered once.
template <typename F>
Answer answering(Request request, F&& body) {
  try {
    return body();
  } catch (...) {
    try {
      return failure(mapFailure(request));
    } catch (...) {
      return Answer{false, std::nullopt};
    }
  }
}

// Sends the reply; a reply that cannot be delivered is not sent twice.
void reply(const VornHelperCommunicator::DataReply& with, const Answer& a) {
  try {
    with(a.success, a.data);
  } catch (const std::exception& e) {
    logError(std::string("An error occurred: reply failed ") + e.what());
  } catch (...) {
    logError("An error occurred: reply failed");
  }
}

// "(" flag ", " data as UTF-8 text or "nil" ")".
std::string replyText(const Answer& a) {
  std::string data = "nil";
  if (a.data && platform::xpc::isValidUTF8(*a.data)) data = *a.data;
  return std::string("(") + (a.success ? "true" : "false") + ", " + data + ")";
}

std::string codeText(std::uint32_t gameCode) { return std::to_string(gameCode); }

// A request whose task could not get a thread fails as any other failure
// that its mapping does not name.
Answer noTask() { return failure(VornHelperError::Crash{}); }

using Games = std::map<std::uint32_t, Game>;

// Why the registry refuses to start work on a game now, if it does: any
// working game (the game itself included) comes first.
std::optional<VornHelperError> workRefusal(const Games& games, std::uint32_t gameCode) {
  for (const auto& [code, g] : games) {
    if (g.workingStatus) return VornHelperError::WorkingAnotherGame{code};
  }
  if (games.count(gameCode) == 0) return VornHelperError::GameNotExist{};
  return std::nullopt;
}

// A work request in three steps, so that no other request waits while the
// worker decides (it may read and inflate a local manifest of a gigabyte):
// a first look under the lock, the decision on a copy without it, then the
// check and the start as one step under the lock, so that two work requests
// never both see no working game.
Answer startWork(VornHelper& helper, std::uint32_t gameCode, bool ignoreOSVersion) {
  std::optional<Game> game;
  auto refused = helper.withGames([&](Games& games) {
    auto refusal = workRefusal(games, gameCode);
    if (!refusal) game = games.at(gameCode);
    return refusal;
  });
  if (refused) return failure(*refused);

  game->checkWork(ignoreOSVersion);

  refused = helper.withGames([&](Games& games) -> std::optional<VornHelperError> {
    if (auto refusal = workRefusal(games, gameCode)) return refusal;
    Game& stored = games.at(gameCode);
    // Cleared and registered again meanwhile: the game asked about is gone.
    if (stored.gameWorker != game->gameWorker) return VornHelperError::GameNotExist{};
    stored.startWork();  // queues the job and returns
    return std::nullopt;
  });
  if (refused) return failure(*refused);
  return Answer{};
}

}  // namespace

VornHelper::VornHelper(GameWorkerFactory workerFactory)
    : workerFactory_(std::move(workerFactory)),
      reportWaiter_([] {
        // A report is logged first and handed to the reporter from the
        // logger's queue: one still in that queue has no send task yet.
        VornLogger::shared().waitIdle();
        TavloLogger::SendTasks::shared().waitDone();
      }) {}

VornHelper::~VornHelper() { tasks_.waitAll(); }

bool VornHelper::shouldAcceptNewConnection(const std::shared_ptr<platform::xpc::Connection>& connection) {
  // The tasks of each connection count against a share of their own.
  auto handler = vornhelperxpc::exportedObject(shared_from_this());
  connection->setExportedObject([handler, share = tasks_.makeShare()](const std::string& selector,
                                                                      platform::xpc::Values arguments,
                                                                      platform::xpc::Reply reply) {
    TaskGroup::ShareScope scope(share);
    handler(selector, std::move(arguments), std::move(reply));
  });
  connection->resume();
  return true;
}

void VornHelper::setReportWaiter(std::function<void()> waitDone) {
  std::lock_guard lock(reportWaiterLock_);
  reportWaiter_ = std::move(waitDone);
}

void VornHelper::connect(BoolReply with) {
  logInfo("reply(true)");
  try {
    with(true);
  } catch (...) {
    logError("An error occurred: reply failed");
  }
}

void VornHelper::register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string> vantixTokenData,
                           DataReply with) {
  auto self = shared_from_this();
  auto finish = [with = std::move(with), gameCode, obdTag](const Answer& a) {
    reply(with, a);
    logInfo("gameCode=" + codeText(gameCode) + ", obdTag=" + obdTag + ", reply=" + replyText(a));
  };
  tasks_.start([self, gameCode, obdTag = std::move(obdTag), tokenData = std::move(vantixTokenData), finish] {
    Answer a = answering(Request::register_, [&] {
      std::error_code ec;
      if (!std::filesystem::is_directory(platform::resolvePath("/Library/Application Support/Jorvu"), ec)) {
        throw SubError(SubError::Unknown{});
      }
      const bool known = self->withGames([&](auto& games) { return games.count(gameCode) > 0; });
      if (known) throw SubError(SubError::GameAlreadyRegistered{});
      std::optional<VantixToken> token;
      if (tokenData) token = VantixToken::decode(*tokenData);
      // Fetches the catalogue record: no lock held meanwhile.
      Game game = Game::make(gameCode, obdTag, std::move(token), self->workerFactory_);
      // A register of the same code may have finished during the fetch: the
      // first one stays.
      const bool inserted =
          self->withGames([&](auto& games) { return games.try_emplace(gameCode, std::move(game)).second; });
      if (!inserted) throw SubError(SubError::GameAlreadyRegistered{});
      return Answer{};
    });
    finish(a);
  }, [finish] { finish(noTask()); });
}

void VornHelper::execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) {
  auto self = shared_from_this();
  auto finish = [with = std::move(with), gameCode](const Answer& a) {
    reply(with, a);
    logInfo("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
  };
  tasks_.start([self, gameCode, passarg = std::move(passarg), finish] {
    Answer a = answering(Request::execute, [&] {
      auto game = self->findGame(gameCode);
      if (!game) return failure(VornHelperError::GameNotExist{});
      game->execute(passarg);  // on the copy, without the lock; not written back
      return Answer{};
    });
    finish(a);
  }, [finish] { finish(noTask()); });
}

void VornHelper::work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) {
  auto self = shared_from_this();
  auto finish = [with = std::move(with), gameCode, ignoreOSVersion](const Answer& a) {
    reply(with, a);
    logInfo("gameCode=" + codeText(gameCode) + ", ignoreOSVersion=" + (ignoreOSVersion ? "true" : "false") +
            ", reply=" + replyText(a));
  };
  tasks_.start([self, gameCode, ignoreOSVersion, finish] {
    finish(answering(Request::work, [&] { return startWork(*self, gameCode, ignoreOSVersion); }));
  }, [finish] { finish(noTask()); });
}

void VornHelper::getGameStatus(std::uint32_t gameCode, DataReply with) {
  Answer a = answering(Request::getGameStatus, [&] {
    return withGames([&](auto& games) {
      auto it = games.find(gameCode);
      if (it == games.end()) return failure(VornHelperError::GameNotExist{});
      Game game = it->second;
      try {
        Answer ok{true, game.getGameStatusJson()};
        it->second = std::move(game);
        return ok;
      } catch (...) {
        // A job that ended in error is over: its working flag is let go
        // with the failure, nothing else of the copy is kept.
        if (!game.workingStatus) it->second.workingStatus = false;
        throw;
      }
    });
  });
  reply(with, a);
  logDebug("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
}

void VornHelper::getGamePanelInfo(std::uint32_t gameCode, DataReply with) {
  Answer a = answering(Request::getGamePanelInfo, [&] {
    auto game = findGame(gameCode);
    if (!game) return failure(VornHelperError::GameNotExist{});
    return Answer{true, game->getGamePanelInfoJson()};
  });
  reply(with, a);
  logInfo("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
}

void VornHelper::cancel(std::uint32_t gameCode, DataReply with) {
  Answer a = answering(Request::cancel, [&] {
    return withGames([&](auto& games) {
      auto it = games.find(gameCode);
      if (it == games.end()) return failure(VornHelperError::GameNotExist{});
      Game game = it->second;
      game.cancel();
      it->second = std::move(game);
      return Answer{};
    });
  });
  reply(with, a);
  logInfo("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
}

void VornHelper::clearGame(std::uint32_t gameCode, DataReply with) {
  auto self = shared_from_this();
  auto finish = [with = std::move(with), gameCode](const Answer& a) {
    reply(with, a);
    logInfo("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
  };
  tasks_.start([self, gameCode, finish] {
    Answer a = answering(Request::clearGame, [&] {
      const bool removed = self->withGames([&](auto& games) { return games.erase(gameCode) > 0; });
      if (!removed) return failure(VornHelperError::GameNotExist{});
      logInfo("wait tavlo send");
      std::function<void()> waitDone;
      {
        std::lock_guard lock(self->reportWaiterLock_);
        waitDone = self->reportWaiter_;
      }
      if (waitDone) waitDone();  // every report queued so far has been sent or has failed
      logInfo("done tavlo send");
      return Answer{};
    });
    finish(a);
  }, [finish] { finish(noTask()); });
}

std::optional<Game> VornHelper::findGame(std::uint32_t gameCode) {
  return withGames([&](auto& games) -> std::optional<Game> {
    auto it = games.find(gameCode);
    if (it == games.end()) return std::nullopt;
    return it->second;
  });
}

void VornHelper::shutdown() {
  withGames([](auto& games) {
    for (auto& [code, game] : games) {
      if (game.workingStatus && game.gameWorker) game.gameWorker->cancel();
    }
  });
  tasks_.waitAll();
  BackgroundQueue::shared().waitIdle();
  // The jobs just ended sent their reports from threads of their own; the
  // program must not end under them (each ends within its time-outs).
  std::function<void()> waitDone;
  {
    std::lock_guard lock(reportWaiterLock_);
    waitDone = reportWaiter_;
  }
  if (waitDone) waitDone();
}
