#pragma once
// VornHelperCommunicator over our XPC stand-in: the service name, the one
// table of the eight methods' signatures that both sides check every message
// against, the dispatch of incoming calls to an exported object, and a proxy
// that presents the protocol to the caller.
#include <memory>

#include "Common/Protocol/VornHelperCommunicator.hpp"
#include "Platform/XPC/XPCConnection.hpp"

inline constexpr const char* vornHelperServiceName = "com.jorvu.vorn.helper";

namespace vornhelperxpc {

inline constexpr const char* connectSelector = "connectWith:";
inline constexpr const char* registerSelector = "registerWithGameCode:obdTag:vantixTokenData:with:";
inline constexpr const char* executeSelector = "executeWithGameCode:passarg:with:";
inline constexpr const char* workSelector = "workWithGameCode:ignoreOSVersion:with:";
inline constexpr const char* getGameStatusSelector = "getGameStatusWithGameCode:with:";
inline constexpr const char* getGamePanelInfoSelector = "getGamePanelInfoWithGameCode:with:";
inline constexpr const char* cancelSelector = "cancelWithGameCode:with:";
inline constexpr const char* clearGameSelector = "clearGameWithGameCode:with:";

// The interface of VornHelperCommunicator, in declaration order.
const platform::xpc::Interface& interface();

// Hands every call of the connection to `object` (on the connection's queue).
platform::xpc::Connection::CallHandler exportedObject(std::shared_ptr<VornHelperCommunicator> object);

// The protocol over a remote proxy. A reply runs on the connection's queue;
// a call that fails gets no reply: the proxy's error handler hears of it.
class Proxy : public VornHelperCommunicator {
 public:
  explicit Proxy(platform::xpc::RemoteProxy remote) : remote_(std::move(remote)) {}

  void connect(BoolReply with) override;
  void register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string> vantixTokenData,
                 DataReply with) override;
  void execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) override;
  void work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) override;
  void getGameStatus(std::uint32_t gameCode, DataReply with) override;
  void getGamePanelInfo(std::uint32_t gameCode, DataReply with) override;
  void cancel(std::uint32_t gameCode, DataReply with) override;
  void clearGame(std::uint32_t gameCode, DataReply with) override;

  const platform::xpc::RemoteProxy& remote() const { return remote_; }

 private:
  void call(const char* selector, platform::xpc::Values arguments, DataReply with);
  platform::xpc::RemoteProxy remote_;
};

}  // namespace vornhelperxpc
