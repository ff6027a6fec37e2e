// The XPC frame decoder and the helper's signature checks on arbitrary bytes,
// read the way a connection reads its stream: length prefix, then body.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Common/Protocol/VornHelperXPC.hpp"
#include "Platform/XPC/XPCMessage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::xpc;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  while (in.size() >= 4) {
    auto length = decodeFrameLength(reinterpret_cast<const unsigned char*>(in.data()));
    if (!length || *length > in.size() - 4) break;
    auto frame = decodeFrameBody(in.substr(4, *length));
    in.remove_prefix(4 + *length);
    if (!frame) break;
    const Interface& table = vornhelperxpc::interface();
    if (frame->type == FrameType::call) {
      (void)table.acceptsCall(*frame);
    } else {
      (void)table.acceptsReply(frame->selector, frame->values);
    }
    // What decodes must encode back to the same frame.
    std::string again = encodeFrame(*frame);
    auto back = decodeFrameBody(std::string_view(again).substr(4));
    if (!back || !(*back == *frame)) __builtin_trap();
  }
  return 0;
}
