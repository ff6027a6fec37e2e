#include "JorvuVornHelper/VornHelper.hpp"

#include <filesystem>

#include "Common/Logger/TavloLogger.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/VantixToken.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Common/Protocol/VornHelperXPC.hpp"
#include "Platform/Paths.hpp"
#include "Platform/XPC/XPCMessage.hpp"

namespace {

struct Answer {
  bool success = true;
  std::optional<std::string> data;
};

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

// Runs a handler's body; a failure that the body does not map itself is a
// crash: every request is answered.
template <typename F>
Answer answering(F&& body) {
  try {
    return body();
  } catch (const VornHelperError& e) {
    return failure(e);
  } catch (...) {
    return failure(VornHelperError::Crash{});
  }
}

// "(" flag ", " data as UTF-8 text or "nil" ")".
std::string replyText(const Answer& a) {
  std::string data = "nil";
  if (a.data && platform::xpc::isValidUTF8(*a.data)) data = *a.data;
  return std::string("(") + (a.success ? "true" : "false") + ", " + data + ")";
}

std::string codeText(std::uint32_t gameCode) { return std::to_string(gameCode); }

}  // namespace

VornHelper::VornHelper() : reportWaiter_([] { TavloLogger::SendTasks::shared().waitDone(); }) {}

VornHelper::~VornHelper() { tasks_.waitAll(); }

bool VornHelper::shouldAcceptNewConnection(const std::shared_ptr<platform::xpc::Connection>& connection) {
  connection->setExportedObject(vornhelperxpc::exportedObject(shared_from_this()));
  connection->resume();
  return true;
}

void VornHelper::setReportWaiter(std::function<void()> waitDone) {
  std::lock_guard lock(reportWaiterLock_);
  reportWaiter_ = std::move(waitDone);
}

void VornHelper::connect(BoolReply with) {
  logInfo("reply(true)");
  with(true);
}

void VornHelper::register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string> vantixTokenData,
                           DataReply with) {
  auto self = shared_from_this();
  tasks_.start([self, gameCode, obdTag = std::move(obdTag), tokenData = std::move(vantixTokenData),
                with = std::move(with)] {
    Answer a = answering([&] {
      std::error_code ec;
      if (!std::filesystem::is_directory(platform::resolvePath("/Library/Application Support/Jorvu"), ec)) {
        throw VornHelperError(VornHelperError::Crash{});
      }
      bool known = self->withGames([&](auto& games) { return games.count(gameCode) > 0; });
      if (known) throw VornHelperError(VornHelperError::GameAlreadyRegistered{});
      std::optional<VantixToken> token;
      if (tokenData) token = VantixToken::decode(*tokenData);
      Game game = Game::make(gameCode, obdTag, token);  // fetches the catalogue record: no lock held
      self->withGames([&](auto& games) { games.insert_or_assign(gameCode, std::move(game)); });
      return Answer{};
    });
    with(a.success, a.data);
    logInfo("gameCode=" + codeText(gameCode) + ", obdTag=" + obdTag + ", reply=" + replyText(a));
  });
}

void VornHelper::execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) {
  auto self = shared_from_this();
  tasks_.start([self, gameCode, passarg = std::move(passarg), with = std::move(with)] {
    Answer a = answering([&]() -> Answer {
      auto game = self->withGames([&](auto& games) -> std::optional<Game> {
        auto it = games.find(gameCode);
        if (it == games.end()) return std::nullopt;
        return it->second;
      });
      if (!game) throw VornHelperError(VornHelperError::GameNotExist{});
      throw Game::Unavailable();  // the launch comes with the registered game
    });
    with(a.success, a.data);
    logInfo("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
  });
}

void VornHelper::work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) {
  auto self = shared_from_this();
  tasks_.start([self, gameCode, ignoreOSVersion, with = std::move(with)] {
    Answer a = answering([&]() -> Answer {
      auto game = self->withGames([&](auto& games) -> std::optional<Game> {
        // Any working game, its own code included, comes first.
        for (const auto& [code, g] : games) {
          if (g.isWorking) throw VornHelperError(VornHelperError::WorkingAnotherGame{code});
        }
        auto it = games.find(gameCode);
        if (it == games.end()) return std::nullopt;
        return it->second;
      });
      if (!game) throw VornHelperError(VornHelperError::GameNotExist{});
      throw Game::Unavailable();  // the work job comes with the registered game
    });
    with(a.success, a.data);
    logInfo("gameCode=" + codeText(gameCode) + ", ignoreOSVersion=" + (ignoreOSVersion ? "true" : "false") +
            ", reply=" + replyText(a));
  });
}

void VornHelper::getGameStatus(std::uint32_t gameCode, DataReply with) {
  Answer a = answering([&]() -> Answer {
    bool known = withGames([&](auto& games) { return games.count(gameCode) > 0; });
    if (!known) throw VornHelperError(VornHelperError::GameNotExist{});
    throw Game::Unavailable();
  });
  with(a.success, a.data);
  logDebug("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
}

void VornHelper::getGamePanelInfo(std::uint32_t gameCode, DataReply with) {
  Answer a = answering([&]() -> Answer {
    bool known = withGames([&](auto& games) { return games.count(gameCode) > 0; });
    if (!known) throw VornHelperError(VornHelperError::GameNotExist{});
    throw Game::Unavailable();
  });
  with(a.success, a.data);
  logInfo("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
}

void VornHelper::cancel(std::uint32_t gameCode, DataReply with) {
  Answer a = answering([&] {
    bool found = withGames([&](auto& games) {
      auto it = games.find(gameCode);
      if (it == games.end()) return false;
      Game game = it->second;
      game.cancel();
      it->second = std::move(game);
      return true;
    });
    if (!found) throw VornHelperError(VornHelperError::GameNotExist{});
    return Answer{};
  });
  with(a.success, a.data);
  logInfo("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
}

void VornHelper::clearGame(std::uint32_t gameCode, DataReply with) {
  auto self = shared_from_this();
  tasks_.start([self, gameCode, with = std::move(with)] {
    Answer a = answering([&] {
      bool removed = self->withGames([&](auto& games) { return games.erase(gameCode) > 0; });
      if (!removed) throw VornHelperError(VornHelperError::GameNotExist{});
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
    with(a.success, a.data);
    logInfo("gameCode=" + codeText(gameCode) + ", reply=" + replyText(a));
  });
}

void VornHelper::shutdown() {
  withGames([](auto& games) {
    for (auto& [code, game] : games) game.cancel();
  });
  tasks_.waitAll();
}
