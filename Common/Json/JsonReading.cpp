#include "Common/Json/JsonReading.hpp"

#include <rapidjson/error/en.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace jsoncoding {
namespace {

std::string quoted(std::string_view what) { return "\"" + std::string(what) + "\""; }

[[noreturn]] void kindMismatch(std::string_view expected, std::string_view what) {
  throw DecodingError("Expected to decode " + std::string(expected) + " but found another kind for " + quoted(what) + ".");
}

[[noreturn]] void outOfRange(std::string_view what) {
  throw DecodingError("Parsed JSON number for " + quoted(what) + " does not fit.");
}

// A whole-number double, or nothing.
bool wholeDouble(const Value& v, long double& out) {
  if (!v.IsDouble()) return false;
  double d = v.GetDouble();
  if (!std::isfinite(d) || std::trunc(d) != d) return false;
  out = d;
  return true;
}

template <typename T>
T readInteger(const Value& v, std::string_view what, std::string_view kind) {
  if (!v.IsNumber()) kindMismatch(kind, what);
  if constexpr (std::is_unsigned_v<T>) {
    if (v.IsUint64()) {
      std::uint64_t u = v.GetUint64();
      if (u > std::numeric_limits<T>::max()) outOfRange(what);
      return static_cast<T>(u);
    }
    if (v.IsInt64()) outOfRange(what);  // negative
  } else {
    if (v.IsInt64()) {
      std::int64_t i = v.GetInt64();
      if (i < std::numeric_limits<T>::min() || i > std::numeric_limits<T>::max()) outOfRange(what);
      return static_cast<T>(i);
    }
    if (v.IsUint64()) outOfRange(what);  // above INT64_MAX
  }
  long double d = 0;
  if (!wholeDouble(v, d)) outOfRange(what);
  // Compare against the exclusive upper bound 2^bits, which a double holds exactly.
  const long double lo = static_cast<long double>(std::numeric_limits<T>::min());
  const long double hiExclusive = static_cast<long double>(std::numeric_limits<T>::max()) + 1.0L;
  if (d < lo || d >= hiExclusive) outOfRange(what);
  return static_cast<T>(d);
}

}  // namespace

rapidjson::Document parseDocument(std::string_view text) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(text.data(), text.size());
  if (doc.HasParseError()) {
    throw DecodingError(std::string("The given data was not valid JSON: ") +
                        rapidjson::GetParseError_En(doc.GetParseError()) + " (offset " +
                        std::to_string(doc.GetErrorOffset()) + ")");
  }
  return doc;
}

bool withinDepth(const Value& root, int limit) {
  std::vector<std::pair<const Value*, int>> stack{{&root, 1}};
  while (!stack.empty()) {
    const auto [v, depth] = stack.back();
    stack.pop_back();
    if (depth > limit) return false;
    if (v->IsObject()) {
      for (auto m = v->MemberBegin(); m != v->MemberEnd(); ++m) stack.emplace_back(&m->value, depth + 1);
    } else if (v->IsArray()) {
      for (const auto& e : v->GetArray()) stack.emplace_back(&e, depth + 1);
    }
  }
  return true;
}

std::uint32_t toU32(const Value& v, std::string_view what) { return readInteger<std::uint32_t>(v, what, "UInt32"); }
std::uint64_t toU64(const Value& v, std::string_view what) { return readInteger<std::uint64_t>(v, what, "UInt64"); }
std::int32_t toI32(const Value& v, std::string_view what) { return readInteger<std::int32_t>(v, what, "Int32"); }
std::int64_t toI64(const Value& v, std::string_view what) { return readInteger<std::int64_t>(v, what, "Int64"); }

double toDouble(const Value& v, std::string_view what) {
  if (!v.IsNumber()) kindMismatch("Double", what);
  return v.GetDouble();
}

float toFloat(const Value& v, std::string_view what) {
  if (!v.IsNumber()) kindMismatch("Float", what);
  double d = v.GetDouble();
  // Anything that rounds to a finite float fits: the shortest text of the
  // largest float ("3.4028235e+38") lies just above it as a double.
  constexpr double kFloatLimit = 0x1.ffffffp127;  // largest float plus half a step
  if (!std::isfinite(d) || std::fabs(d) >= kFloatLimit) outOfRange(what);
  return static_cast<float>(d);
}

bool toBool(const Value& v, std::string_view what) {
  if (!v.IsBool()) kindMismatch("Bool", what);
  return v.GetBool();
}

std::string toString(const Value& v, std::string_view what) {
  if (!v.IsString()) kindMismatch("String", what);
  return std::string(v.GetString(), v.GetStringLength());
}

ObjectReader::ObjectReader(const Value& v, std::string_view what) : value_(&v), what_(what) {
  if (!v.IsObject()) kindMismatch("Dictionary", what);
}

const Value* ObjectReader::find(const char* key) const {
  auto it = value_->FindMember(key);
  if (it == value_->MemberEnd() || it->value.IsNull()) return nullptr;
  return &it->value;
}

const Value& ObjectReader::require(const char* key) const {
  const Value* v = find(key);
  if (v == nullptr) throw DecodingError("No value associated with key " + quoted(key) + ".");
  return *v;
}

const Value& ObjectReader::array(const char* key) const {
  const Value& v = require(key);
  if (!v.IsArray()) kindMismatch("Array", key);
  return v;
}

#define JORVU_OPT(Type, name, conv)                                   \
  std::optional<Type> ObjectReader::name(const char* key) const {     \
    const Value* v = find(key);                                       \
    if (v == nullptr) return std::nullopt;                            \
    return conv(*v, key);                                             \
  }
JORVU_OPT(std::uint32_t, optU32, toU32)
JORVU_OPT(std::uint64_t, optU64, toU64)
JORVU_OPT(std::int32_t, optI32, toI32)
JORVU_OPT(std::int64_t, optI64, toI64)
JORVU_OPT(float, optF32, toFloat)
JORVU_OPT(bool, optBool, toBool)
JORVU_OPT(std::string, optString, toString)
#undef JORVU_OPT

std::optional<ObjectReader> ObjectReader::optObject(const char* key) const {
  const Value* v = find(key);
  if (v == nullptr) return std::nullopt;
  return ObjectReader(*v, key);
}

const Value* ObjectReader::optArray(const char* key) const {
  const Value* v = find(key);
  if (v != nullptr && !v->IsArray()) kindMismatch("Array", key);
  return v;
}

}  // namespace jsoncoding
