#pragma once
// The protocol between the app and the helper. The helper implements it; the
// app reaches it through a proxy (VornHelperXPC.hpp). Every reply is called
// exactly once. Data blobs are byte strings (JSON texts in UTF-8).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class VornHelperCommunicator {
 public:
  using BoolReply = std::function<void(bool success)>;
  using DataReply = std::function<void(bool success, std::optional<std::string> data)>;

  virtual ~VornHelperCommunicator() = default;

  // The methods in their declaration order.
  virtual void connect(BoolReply with) = 0;
  // `register` is a keyword of C++, hence the trailing underscore.
  virtual void register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string> vantixTokenData,
                         DataReply with) = 0;
  virtual void execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) = 0;
  virtual void work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) = 0;
  virtual void getGameStatus(std::uint32_t gameCode, DataReply with) = 0;
  virtual void getGamePanelInfo(std::uint32_t gameCode, DataReply with) = 0;
  virtual void cancel(std::uint32_t gameCode, DataReply with) = 0;
  virtual void clearGame(std::uint32_t gameCode, DataReply with) = 0;
};
