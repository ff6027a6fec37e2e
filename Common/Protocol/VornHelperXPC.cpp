#include "Common/Protocol/VornHelperXPC.hpp"

namespace vornhelperxpc {

using platform::xpc::Kind;
using platform::xpc::Reply;
using platform::xpc::Slot;
using platform::xpc::Value;
using platform::xpc::Values;

const platform::xpc::Interface& interface() {
  static const platform::xpc::Interface table("VornHelperCommunicator", {
      {connectSelector, {}, {Slot::flag}},
      {registerSelector, {Slot::u32, Slot::text, Slot::optionalData}, {Slot::flag, Slot::optionalData}},
      {executeSelector, {Slot::u32, Slot::optionalText}, {Slot::flag, Slot::optionalData}},
      {workSelector, {Slot::u32, Slot::flag}, {Slot::flag, Slot::optionalData}},
      {getGameStatusSelector, {Slot::u32}, {Slot::flag, Slot::optionalData}},
      {getGamePanelInfoSelector, {Slot::u32}, {Slot::flag, Slot::optionalData}},
      {cancelSelector, {Slot::u32}, {Slot::flag, Slot::optionalData}},
      {clearGameSelector, {Slot::u32}, {Slot::flag, Slot::optionalData}},
  });
  return table;
}

namespace {

std::optional<std::string> optionalBytes(Value& v) {
  if (v.kind == Kind::absent) return std::nullopt;
  return std::move(v.bytes);
}

VornHelperCommunicator::DataReply dataReply(Reply reply) {
  return [reply](bool success, std::optional<std::string> data) {
    reply.send({Value::boolean(success), Value::optionalData(std::move(data))});
  };
}

}  // namespace

platform::xpc::Connection::CallHandler exportedObject(std::shared_ptr<VornHelperCommunicator> object) {
  // The transport has checked the values against the table, so each kind
  // below is the one the signature names.
  return [object](const std::string& selector, Values a, Reply reply) {
    if (selector == connectSelector) {
      object->connect([reply](bool success) { reply.send({Value::boolean(success)}); });
    } else if (selector == registerSelector) {
      object->register_(a[0].number, std::move(a[1].bytes), optionalBytes(a[2]), dataReply(reply));
    } else if (selector == executeSelector) {
      object->execute(a[0].number, optionalBytes(a[1]), dataReply(reply));
    } else if (selector == workSelector) {
      object->work(a[0].number, a[1].flag, dataReply(reply));
    } else if (selector == getGameStatusSelector) {
      object->getGameStatus(a[0].number, dataReply(reply));
    } else if (selector == getGamePanelInfoSelector) {
      object->getGamePanelInfo(a[0].number, dataReply(reply));
    } else if (selector == cancelSelector) {
      object->cancel(a[0].number, dataReply(reply));
    } else if (selector == clearGameSelector) {
      object->clearGame(a[0].number, dataReply(reply));
    }
    // Any other selector never passes the table; the unanswered call is
    // dropped when `reply` goes away.
  };
}

void Proxy::call(const char* selector, Values arguments, DataReply with) {
  remote_.call(selector, std::move(arguments), [with = std::move(with)](Values v) {
    if (with) with(v[0].flag, optionalBytes(v[1]));
  });
}

void Proxy::connect(BoolReply with) {
  remote_.call(connectSelector, {}, [with = std::move(with)](Values v) {
    if (with) with(v[0].flag);
  });
}

void Proxy::register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string> vantixTokenData,
                      DataReply with) {
  call(registerSelector,
       {Value::u32(gameCode), Value::text(std::move(obdTag)), Value::optionalData(std::move(vantixTokenData))},
       std::move(with));
}

void Proxy::execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) {
  call(executeSelector, {Value::u32(gameCode), Value::optionalText(std::move(passarg))}, std::move(with));
}

void Proxy::work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) {
  call(workSelector, {Value::u32(gameCode), Value::boolean(ignoreOSVersion)}, std::move(with));
}

void Proxy::getGameStatus(std::uint32_t gameCode, DataReply with) {
  call(getGameStatusSelector, {Value::u32(gameCode)}, std::move(with));
}

void Proxy::getGamePanelInfo(std::uint32_t gameCode, DataReply with) {
  call(getGamePanelInfoSelector, {Value::u32(gameCode)}, std::move(with));
}

void Proxy::cancel(std::uint32_t gameCode, DataReply with) {
  call(cancelSelector, {Value::u32(gameCode)}, std::move(with));
}

void Proxy::clearGame(std::uint32_t gameCode, DataReply with) {
  call(clearGameSelector, {Value::u32(gameCode)}, std::move(with));
}

}  // namespace vornhelperxpc
