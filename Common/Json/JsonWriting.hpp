#pragma once
// Compact JSON writing for the texts that cross between the programs: keys
// in the order they are handed over, no whitespace, "/" escaped as "\/",
// control characters as \b \f \n \r \t or \u00xx (lowercase hex), bytes
// from 0x7F up written as they are (invalid UTF-8 becomes U+FFFD), integers
// exactly, 32-bit floats in their shortest round-trip form.
#include <charconv>
#include <concepts>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace jsoncoding {

class EncodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends `text` as a quoted JSON string.
void appendQuoted(std::string& out, std::string_view text);

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  // The key of the next member of the open object.
  JsonWriter& key(std::string_view name);

  JsonWriter& string(std::string_view text);
  JsonWriter& boolean(bool value);
  JsonWriter& null();
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  JsonWriter& integer(T value) {
    separate();
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, res.ptr);
    return *this;
  }
  // Throws EncodingError for an infinite or NaN value.
  JsonWriter& f32(float value);

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void separate();
  void open(char c);
  void close(char c);

  std::string out_;
  std::vector<bool> hasElement_;  // one per open container
  bool afterKey_ = false;
};

}  // namespace jsoncoding
