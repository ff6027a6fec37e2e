#include "Common/Json/JsonWriting.hpp"

#include <cmath>

#include "Platform/Utf8.hpp"

namespace jsoncoding {
namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

void appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20) {
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
      ++i;
      continue;
    }
    std::size_t consumed = 0;
    const std::size_t len = platform::utf8SequenceLength(p + i, n - i, consumed);
    if (len > 0) {
      out.append(text.data() + i, len);
      i += len;
    } else {
      out += kReplacement;
      i += consumed;
    }
  }
  out.push_back('"');
}

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasElement_.empty()) {
    if (hasElement_.back()) out_.push_back(',');
    hasElement_.back() = true;
  }
}

void JsonWriter::open(char c) {
  separate();
  out_.push_back(c);
  hasElement_.push_back(false);
}

void JsonWriter::close(char c) {
  if (!hasElement_.empty()) hasElement_.pop_back();
  out_.push_back(c);
}

JsonWriter& JsonWriter::beginObject() {
  open('{');
  return *this;
}
JsonWriter& JsonWriter::endObject() {
  close('}');
  return *this;
}
JsonWriter& JsonWriter::beginArray() {
  open('[');
  return *this;
}
JsonWriter& JsonWriter::endArray() {
  close(']');
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  separate();
  appendQuoted(out_, name);
  out_.push_back(':');
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
  separate();
  appendQuoted(out_, text);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
  separate();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  separate();
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::f32(float value) {
  if (!std::isfinite(value)) {
    const char* name = std::isnan(value) ? "Float.nan" : (value < 0 ? "-Float.infinity" : "Float.infinity");
    throw EncodingError(std::string("Unable to encode ") + name + " directly in JSON.");
  }
  separate();
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, res.ptr);
  return *this;
}

}  // namespace jsoncoding
