#include "Platform/XPC/XPCMessage.hpp"

#include <stdexcept>

#include "Platform/Utf8.hpp"

namespace platform::xpc {

namespace {

constexpr std::uint8_t wireVersion = 1;

void putU32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void putU64(std::string& out, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// Reads from a body, never past its end.
class Cursor {
 public:
  explicit Cursor(std::string_view body) : body_(body) {}

  bool u8(std::uint8_t& v) {
    if (left() < 1) return false;
    v = static_cast<std::uint8_t>(body_[pos_++]);
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (left() < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<std::uint8_t>(body_[pos_++]);
    return true;
  }
  bool u64(std::uint64_t& v) {
    if (left() < 8) return false;
    v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<std::uint8_t>(body_[pos_++]);
    return true;
  }
  bool bytes(std::size_t n, std::string& out) {
    if (left() < n) return false;
    out.assign(body_.substr(pos_, n));
    pos_ += n;
    return true;
  }
  std::size_t left() const { return body_.size() - pos_; }

 private:
  std::string_view body_;
  std::size_t pos_ = 0;
};

std::optional<Frame> fail(std::string* error, const char* why) {
  if (error) *error = why;
  return std::nullopt;
}

bool slotAccepts(Slot slot, const Value& v) {
  switch (slot) {
    case Slot::u32: return v.kind == Kind::u32;
    case Slot::text: return v.kind == Kind::text;
    case Slot::data: return v.kind == Kind::data;
    case Slot::flag: return v.kind == Kind::flag;
    case Slot::optionalText: return v.kind == Kind::text || v.kind == Kind::absent;
    case Slot::optionalData: return v.kind == Kind::data || v.kind == Kind::absent;
  }
  return false;
}

}  // namespace

bool isValidUTF8(std::string_view text) { return platform::isValidUTF8(text); }

std::string encodeFrame(const Frame& frame) {
  if (frame.selector.size() > maxSelector) throw std::length_error("XPC selector too long");
  if (frame.values.size() > maxValues) throw std::length_error("too many XPC values");
  std::string body;
  body.push_back(static_cast<char>(wireVersion));
  body.push_back(static_cast<char>(frame.type));
  putU64(body, frame.serial);
  body.push_back(static_cast<char>(frame.selector.size()));
  body += frame.selector;
  body.push_back(static_cast<char>(frame.values.size()));
  for (const Value& v : frame.values) {
    body.push_back(static_cast<char>(v.kind));
    switch (v.kind) {
      case Kind::absent: break;
      case Kind::u32: putU32(body, v.number); break;
      case Kind::text:
      case Kind::data:
        if (v.bytes.size() > maxFrameBody) throw std::length_error("XPC frame too large");
        putU32(body, static_cast<std::uint32_t>(v.bytes.size()));
        body += v.bytes;
        break;
      case Kind::flag: body.push_back(v.flag ? 1 : 0); break;
    }
  }
  if (body.size() > maxFrameBody) throw std::length_error("XPC frame too large");
  std::string out;
  out.reserve(body.size() + 4);
  putU32(out, static_cast<std::uint32_t>(body.size()));
  out += body;
  return out;
}

std::optional<std::size_t> decodeFrameLength(const unsigned char prefix[4]) {
  std::uint32_t n = (std::uint32_t{prefix[0]} << 24) | (std::uint32_t{prefix[1]} << 16) |
                    (std::uint32_t{prefix[2]} << 8) | std::uint32_t{prefix[3]};
  if (n == 0 || n > maxFrameBody) return std::nullopt;
  return n;
}

std::optional<Frame> decodeFrameBody(std::string_view body, std::string* error) {
  if (body.size() > maxFrameBody) return fail(error, "frame too large");
  Cursor in(body);
  std::uint8_t version = 0;
  std::uint8_t type = 0;
  Frame frame;
  if (!in.u8(version) || version != wireVersion) return fail(error, "unknown version");
  if (!in.u8(type) || type < 1 || type > 3) return fail(error, "unknown frame type");
  frame.type = static_cast<FrameType>(type);
  if (!in.u64(frame.serial) || frame.serial == 0) return fail(error, "bad serial number");
  std::uint8_t selectorLength = 0;
  if (!in.u8(selectorLength) || selectorLength == 0 || !in.bytes(selectorLength, frame.selector)) {
    return fail(error, "bad selector");
  }
  for (char c : frame.selector) {
    if (c <= 0x20 || c >= 0x7F) return fail(error, "bad selector");
  }
  std::uint8_t count = 0;
  if (!in.u8(count) || count > maxValues) return fail(error, "bad value count");
  if (frame.type == FrameType::dropped && count != 0) return fail(error, "values in a dropped frame");
  frame.values.reserve(count);
  for (std::uint8_t i = 0; i < count; ++i) {
    std::uint8_t tag = 0;
    if (!in.u8(tag)) return fail(error, "truncated value");
    Value v;
    switch (tag) {
      case static_cast<std::uint8_t>(Kind::absent): break;
      case static_cast<std::uint8_t>(Kind::u32):
        v.kind = Kind::u32;
        if (!in.u32(v.number)) return fail(error, "truncated value");
        break;
      case static_cast<std::uint8_t>(Kind::text):
      case static_cast<std::uint8_t>(Kind::data): {
        v.kind = static_cast<Kind>(tag);
        std::uint32_t length = 0;
        if (!in.u32(length) || !in.bytes(length, v.bytes)) return fail(error, "truncated value");
        if (v.kind == Kind::text && !isValidUTF8(v.bytes)) return fail(error, "text is not UTF-8");
        break;
      }
      case static_cast<std::uint8_t>(Kind::flag): {
        std::uint8_t b = 0;
        if (!in.u8(b) || b > 1) return fail(error, "bad flag");
        v.kind = Kind::flag;
        v.flag = b == 1;
        break;
      }
      default: return fail(error, "unknown value kind");
    }
    frame.values.push_back(std::move(v));
  }
  if (in.left() != 0) return fail(error, "bytes after the last value");
  return frame;
}

bool matches(const std::vector<Slot>& slots, const Values& values) {
  if (slots.size() != values.size()) return false;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (!slotAccepts(slots[i], values[i])) return false;
  }
  return true;
}

Interface::Interface(std::string name, std::initializer_list<MethodSignature> methods)
    : name_(std::move(name)), methods_(methods) {}

const MethodSignature* Interface::find(std::string_view selector) const {
  for (const auto& m : methods_) {
    if (m.selector == selector) return &m;
  }
  return nullptr;
}

bool Interface::acceptsCall(const Frame& frame) const {
  if (frame.type != FrameType::call) return false;
  const MethodSignature* m = find(frame.selector);
  return m != nullptr && matches(m->arguments, frame.values);
}

bool Interface::acceptsReply(std::string_view selector, const Values& values) const {
  const MethodSignature* m = find(selector);
  return m != nullptr && matches(m->reply, values);
}

}  // namespace platform::xpc
