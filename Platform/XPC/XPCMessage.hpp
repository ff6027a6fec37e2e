#pragma once
// The values, frames and method signatures of our XPC stand-in. The wire
// format is described in README.md beside this file.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::xpc {

// The kinds of value a message can carry.
enum class Kind : std::uint8_t { absent = 0, u32 = 1, text = 2, data = 3, flag = 4 };

struct Value {
  Kind kind = Kind::absent;
  std::uint32_t number = 0;  // u32
  bool flag = false;         // flag
  std::string bytes;         // text (valid UTF-8) or data

  static Value absent() { return {}; }
  static Value u32(std::uint32_t v) { return {Kind::u32, v, false, {}}; }
  static Value text(std::string v) { return {Kind::text, 0, false, std::move(v)}; }
  static Value data(std::string v) { return {Kind::data, 0, false, std::move(v)}; }
  static Value boolean(bool v) { return {Kind::flag, 0, v, {}}; }
  static Value optionalText(std::optional<std::string> v) { return v ? text(std::move(*v)) : absent(); }
  static Value optionalData(std::optional<std::string> v) { return v ? data(std::move(*v)) : absent(); }

  bool operator==(const Value&) const = default;
};

using Values = std::vector<Value>;

enum class FrameType : std::uint8_t {
  call = 1,
  reply = 2,
  dropped = 3,  // the callee let go of the call without answering it
};

struct Frame {
  FrameType type = FrameType::call;
  std::uint64_t serial = 0;  // chosen by the caller, never 0; a reply repeats it
  std::string selector;
  Values values;

  bool operator==(const Frame&) const = default;
};

// Limits of one frame.
inline constexpr std::size_t maxFrameBody = 1u << 20;  // bytes after the length prefix
inline constexpr std::size_t maxValues = 16;
inline constexpr std::size_t maxSelector = 255;

// The frame with its 4-byte length prefix. Throws std::length_error when the
// body would exceed maxFrameBody or a limit above.
std::string encodeFrame(const Frame& frame);

// Decodes one frame body (the bytes after the length prefix). Nothing, with
// the reason in `error`, when the body is malformed in any way: unknown
// version, type or value tag, serial 0, a selector that is not printable
// ASCII, text that is not UTF-8, a flag byte other than 0 or 1, a length that
// runs past the end, or bytes left over.
std::optional<Frame> decodeFrameBody(std::string_view body, std::string* error = nullptr);

// Reads the length prefix; nothing when it is 0 or above maxFrameBody.
std::optional<std::size_t> decodeFrameLength(const unsigned char prefix[4]);

bool isValidUTF8(std::string_view text);

// What one position of a signature accepts.
enum class Slot : std::uint8_t { u32, text, data, flag, optionalText, optionalData };

struct MethodSignature {
  std::string selector;
  std::vector<Slot> arguments;
  std::vector<Slot> reply;
};

bool matches(const std::vector<Slot>& slots, const Values& values);

// The table of methods that one side exports; both sides check every message
// against the same table.
class Interface {
 public:
  Interface(std::string name, std::initializer_list<MethodSignature> methods);

  const std::string& name() const { return name_; }
  const MethodSignature* find(std::string_view selector) const;
  const std::vector<MethodSignature>& methods() const { return methods_; }

  // A call frame whose selector is known and whose values fit its arguments.
  bool acceptsCall(const Frame& frame) const;
  // Reply values that fit the reply of `selector`.
  bool acceptsReply(std::string_view selector, const Values& values) const;

 private:
  std::string name_;
  std::vector<MethodSignature> methods_;
};

}  // namespace platform::xpc
