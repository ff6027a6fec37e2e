#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"

#include <functional>
#include <mutex>
#include <optional>
#include <variant>

#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Common/Protocol/VornHelperXPC.hpp"
#include "Platform/Cancellation.hpp"

namespace {

std::mutex& proxyMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<VornHelperCommunicator>& sharedProxy() {
  static std::shared_ptr<VornHelperCommunicator> p;
  return p;
}

// Clears the shared proxy when it is still the one of the connection that ended.
void clearProxy(const std::weak_ptr<VornHelperCommunicator>& mine) {
  std::shared_ptr<VornHelperCommunicator> dropped;
  std::lock_guard lock(proxyMutex());
  const auto current = mine.lock();
  if (current && current == sharedProxy()) dropped.swap(sharedProxy());
}

std::exception_ptr invalidResponse() {
  const auto error = XPCError::invalidResponse();
  logDebug(std::string("[XPC] throw error=") + error.description());
  return std::make_exception_ptr(error);
}

// A failed reply: the helper's error when its data is an ErrorStatus.
std::exception_ptr failure(const std::optional<std::string>& data) {
  if (data) {
    if (auto status = ErrorStatus::tryDecode(*data)) {
      logDebug("[XPC] throw error=" + status->error.description());
      return std::make_exception_ptr(status->error);
    }
  }
  return invalidResponse();
}

}  // namespace

const char* XPCError::description() const noexcept {
  switch (value_) {
    case Case::connectionFailure: return "connectionFailure";
    case Case::invalidResponse: return "invalidResponse";
    case Case::registerFailure: return "registerFailure";
    case Case::excuteFailure: return "excuteFailure";
    case Case::workFailure: return "workFailure";
    case Case::getGameStatusFailure: return "getGameStatusFailure";
    case Case::getGamePanelInfoFailure: return "getGamePanelInfoFailure";
    case Case::cancelFailure: return "cancelFailure";
    case Case::clearGameFailure: return "clearGameFailure";
    case Case::unknownFailure: return "unknownFailure";
  }
  return "unknownFailure";
}

std::shared_ptr<VornHelperCommunicator> XPCClient::proxy() {
  std::lock_guard lock(proxyMutex());
  return sharedProxy();
}

void XPCClient::setProxy(std::shared_ptr<VornHelperCommunicator> proxy) {
  std::lock_guard lock(proxyMutex());
  sharedProxy().swap(proxy);
  // The former proxy goes when `proxy` does, outside the lock.
}

void XPCClient::connection() {
  // Every launch's register step may call this at once: the look-up, the
  // new connection and its proxy are one step, so two callers never make
  // two links or write the connection together.
  static std::mutex connectionMutex;
  std::lock_guard connecting(connectionMutex);
  if (proxy()) {
    logDebug("[XPC] already conncetion");
    return;
  }
  connection_ = platform::xpc::Connection::toService(vornHelperServiceName, vornhelperxpc::interface());
  // A call whose message fails gets no reply: it ends by its time-out.
  auto made = std::make_shared<vornhelperxpc::Proxy>(
      connection_->remoteObjectProxy([](const platform::xpc::Error& error) {
        logDebug("[XPC] remoteObjectProxyWithErrorHandler error: " + error.description);
      }));
  setProxy(made);
  const std::weak_ptr<VornHelperCommunicator> mine = made;
  connection_->setInvalidationHandler([mine] {
    logDebug("[XPC] invalidationHandler");
    clearProxy(mine);
  });
  connection_->setInterruptionHandler([mine] {
    logDebug("[XPC] interruptionHandler");
    clearProxy(mine);
  });
  connection_->resume();
  // A helper that is not there fails the connect at once; its handler has
  // run before the first call then, so that call fails at once too.
  if (!connection_->isOpen()) connection_->queue().waitIdle();
}

std::shared_ptr<VornHelperCommunicator> XPCClient::helper() const {
  platform::checkCancellation();
  return proxy();
}

void XPCClient::checkConnect() {
  const auto helper = this->helper();
  if (!helper) throw XPCError::invalidResponse();
  withSafeCheckedThrowingContinuation<std::monostate>(
      [&](const std::shared_ptr<SafeCheckedContinuation<std::monostate>>& continuation) {
        helper->connect([continuation](bool success) {
          logDebug(std::string("[XPC] success=") + (success ? "true" : "false"));
          continuation->resume(std::monostate{});
        });
      },
      timeout_);
}

void XPCClient::callWithoutPayload(const Send& send) {
  const auto helper = this->helper();
  if (!helper) std::rethrow_exception(invalidResponse());
  withSafeCheckedThrowingContinuation<std::monostate>(
      [&](const std::shared_ptr<SafeCheckedContinuation<std::monostate>>& continuation) {
        send(*helper, [continuation](bool success, std::optional<std::string> data) {
          if (success) {
            // Any data is ignored.
            logDebug("[XPC] success=true");
            continuation->resume(std::monostate{});
          } else {
            continuation->resumeThrowing(failure(data));
          }
        });
      },
      timeout_);
}

std::string XPCClient::callWithPayload(const Send& send, bool logReturn) {
  const auto helper = this->helper();
  if (!helper) std::rethrow_exception(invalidResponse());
  return withSafeCheckedThrowingContinuation<std::string>(
      [&](const std::shared_ptr<SafeCheckedContinuation<std::string>>& continuation) {
        send(*helper, [continuation, logReturn](bool success, std::optional<std::string> data) {
          if (!data) {
            continuation->resumeThrowing(invalidResponse());
          } else if (success) {
            if (logReturn) logDebug("[XPC] return=" + std::to_string(data->size()) + " bytes");
            continuation->resume(std::move(*data));
          } else {
            continuation->resumeThrowing(failure(data));
          }
        });
      },
      timeout_);
}

void XPCClient::register_(std::uint32_t gameCode, const std::string& obdTag,
                          const std::optional<VantixToken>& vantixToken) {
  if (!helper()) std::rethrow_exception(invalidResponse());
  // An encoding failure is thrown before anything is sent.
  std::optional<std::string> tokenData;
  if (vantixToken) tokenData = vantixToken->encode();
  callWithoutPayload([&](VornHelperCommunicator& helper, VornHelperCommunicator::DataReply reply) {
    helper.register_(gameCode, obdTag, tokenData, std::move(reply));
  });
}

void XPCClient::execute(std::uint32_t gameCode, const std::optional<std::string>& passarg) {
  callWithoutPayload([&](VornHelperCommunicator& helper, VornHelperCommunicator::DataReply reply) {
    helper.execute(gameCode, passarg, std::move(reply));
  });
}

void XPCClient::work(std::uint32_t gameCode, bool ignoreOSVersion) {
  callWithoutPayload([&](VornHelperCommunicator& helper, VornHelperCommunicator::DataReply reply) {
    helper.work(gameCode, ignoreOSVersion, std::move(reply));
  });
}

GameStatus XPCClient::getGameStatus(std::uint32_t gameCode) {
  const std::string data = callWithPayload(
      [&](VornHelperCommunicator& helper, VornHelperCommunicator::DataReply reply) {
        helper.getGameStatus(gameCode, std::move(reply));
      },
      false);
  return GameStatus::decode(data);
}

void XPCClient::cancel(std::uint32_t gameCode) {
  callWithoutPayload([&](VornHelperCommunicator& helper, VornHelperCommunicator::DataReply reply) {
    helper.cancel(gameCode, std::move(reply));
  });
}

void XPCClient::clearGame(std::uint32_t gameCode) {
  callWithoutPayload([&](VornHelperCommunicator& helper, VornHelperCommunicator::DataReply reply) {
    helper.clearGame(gameCode, std::move(reply));
  });
}

GamePanelInfo XPCClient::getGamePanelInfo(std::uint32_t gameCode) {
  const std::string data = callWithPayload(
      [&](VornHelperCommunicator& helper, VornHelperCommunicator::DataReply reply) {
        helper.getGamePanelInfo(gameCode, std::move(reply));
      },
      true);
  return GamePanelInfo::decode(data);
}
