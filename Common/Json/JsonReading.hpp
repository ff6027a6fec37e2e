#pragma once
// Strict reading of the JSON texts that cross between the programs and come
// from the publisher: every value's kind is checked before it is read, so a
// hostile text is a decoding error, never a crash.
//
// Rules: a required member that is missing, null or of another kind fails the
// whole record; an optional member that is missing or null is absent; unknown
// members are ignored; integers must be whole numbers within the field's range
// (a whole-number double such as 1.0 counts); a Bool is only true or false; a
// text only a string. Texts must be valid UTF-8 and hold exactly one value.
#include <rapidjson/document.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace jsoncoding {

class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Value = rapidjson::Value;

// Parses one whole JSON text (UTF-8 validated, nothing after the value).
// Throws DecodingError.
rapidjson::Document parseDocument(std::string_view text);

// True when no value in `root` lies more than `limit` levels deep (the root
// is level 1). Walks without recursion: a text is checked with it before a
// recursive copy or writer meets it.
bool withinDepth(const Value& root, int limit);

// Kind checks of a single value; `what` names it in the error text.
std::uint32_t toU32(const Value& v, std::string_view what);
std::uint64_t toU64(const Value& v, std::string_view what);
std::int32_t toI32(const Value& v, std::string_view what);
std::int64_t toI64(const Value& v, std::string_view what);
float toFloat(const Value& v, std::string_view what);
double toDouble(const Value& v, std::string_view what);
bool toBool(const Value& v, std::string_view what);
std::string toString(const Value& v, std::string_view what);

// Reads the members of one JSON object.
class ObjectReader {
 public:
  // Throws DecodingError when `v` is not an object.
  ObjectReader(const Value& v, std::string_view what);

  bool has(const char* key) const { return find(key) != nullptr; }
  // The member, or nullptr when it is missing or null.
  const Value* find(const char* key) const;
  // The member; throws when it is missing or null.
  const Value& require(const char* key) const;

  std::uint32_t u32(const char* key) const { return toU32(require(key), key); }
  std::uint64_t u64(const char* key) const { return toU64(require(key), key); }
  std::int32_t i32(const char* key) const { return toI32(require(key), key); }
  std::int64_t i64(const char* key) const { return toI64(require(key), key); }
  float f32(const char* key) const { return toFloat(require(key), key); }
  double f64(const char* key) const { return toDouble(require(key), key); }
  bool boolean(const char* key) const { return toBool(require(key), key); }
  std::string string(const char* key) const { return toString(require(key), key); }
  ObjectReader object(const char* key) const { return ObjectReader(require(key), key); }
  const Value& array(const char* key) const;

  std::optional<std::uint32_t> optU32(const char* key) const;
  std::optional<std::uint64_t> optU64(const char* key) const;
  std::optional<std::int32_t> optI32(const char* key) const;
  std::optional<std::int64_t> optI64(const char* key) const;
  std::optional<float> optF32(const char* key) const;
  std::optional<bool> optBool(const char* key) const;
  std::optional<std::string> optString(const char* key) const;
  std::optional<ObjectReader> optObject(const char* key) const;
  const Value* optArray(const char* key) const;

  const Value& value() const { return *value_; }
  const std::string& what() const { return what_; }

 private:
  const Value* value_;
  std::string what_;
};

// Reads each element of an array with `read`; throws when `v` is no array.
template <typename T, typename F>
std::vector<T> readArray(const Value& v, std::string_view what, F&& read) {
  if (!v.IsArray()) throw DecodingError("Expected to decode Array but found another kind for \"" + std::string(what) + "\".");
  std::vector<T> out;
  out.reserve(v.Size());
  for (const auto& item : v.GetArray()) out.push_back(read(item));
  return out;
}

// Reads a whole text as a record; nothing on any decoding failure.
template <typename T, typename F>
std::optional<T> tryDecode(std::string_view text, F&& read, std::string* error = nullptr) {
  try {
    rapidjson::Document doc = parseDocument(text);
    return read(static_cast<const Value&>(doc));
  } catch (const DecodingError& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace jsoncoding
