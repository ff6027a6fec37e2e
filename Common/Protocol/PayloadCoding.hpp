#pragma once
// The one set of coding rules for every payload that crosses between the
// programs (and for the helper's own records that share them).
//
// A record type lists its members once, in declaration order:
//
//   struct Token {
//     using record_tag = void;
//     std::string gid;
//     template <class S, class F> static void fields(S& self, F&& f) { f("gid", self.gid); }
//   };
//
// and gets writing, reading, a field-by-field hash and a printed form from
// that list. A std::optional member is left out when absent and reads as
// absent when missing or null; every other member is required.
//
// An enumeration with values is a class with `using case_tag = void;`, a
// std::variant `Case` of one struct per case (each with `caseName` and
// `fields`), a constructor from `Case` and `const Case& value() const` (an
// error enumeration gets them from CaseError.hpp). It is written as a case
// object: {"<caseName>":{<its values>}}; when read,
// unknown keys are ignored and exactly one known case name must remain.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "Common/Json/JsonReading.hpp"
#include "Common/Json/JsonWriting.hpp"

namespace payload {

using jsoncoding::DecodingError;
using jsoncoding::EncodingError;
using jsoncoding::JsonWriter;
using jsoncoding::ObjectReader;
using jsoncoding::Value;

inline constexpr const char* kInvalidNumberOfKeys = "Invalid number of keys found, expected one.";

template <class T>
concept Record = requires { typename T::record_tag; };
template <class T>
concept CaseEnum = requires { typename T::case_tag; };

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

inline void hashCombine(std::size_t& seed, std::size_t h) {
  seed ^= h + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
}

// The one case object member of `v` among `names`: its index and its inner
// object. Throws DecodingError (kInvalidNumberOfKeys for none or several).
std::pair<std::size_t, const Value*> findCase(const Value& v, std::string_view what,
                                              std::span<const char* const> names);
void writeEmptyCase(JsonWriter& w, const char* name);
// Printed form of a float: shortest round trip, "10.0" for whole numbers.
std::string describeFloat(float value);
std::string describeString(std::string_view text);

// Coder<T>: read(value, what, out), write(writer, value), hash(value), describe(value).
template <class T>
struct Coder;

template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
struct Coder<T> {
  static void read(const Value& v, std::string_view what, T& out) {
    if constexpr (std::is_same_v<T, std::uint32_t>) out = jsoncoding::toU32(v, what);
    else if constexpr (std::is_same_v<T, std::uint64_t>) out = jsoncoding::toU64(v, what);
    else if constexpr (std::is_same_v<T, std::int32_t>) out = jsoncoding::toI32(v, what);
    else if constexpr (std::is_same_v<T, std::int64_t>) out = jsoncoding::toI64(v, what);
    else static_assert(sizeof(T) == 0, "unsupported integer width");
  }
  static void write(JsonWriter& w, T value) { w.integer(value); }
  static std::size_t hash(T value) { return std::hash<T>{}(value); }
  static std::string describe(T value) { return std::to_string(value); }
};

template <>
struct Coder<bool> {
  static void read(const Value& v, std::string_view what, bool& out) { out = jsoncoding::toBool(v, what); }
  static void write(JsonWriter& w, bool value) { w.boolean(value); }
  static std::size_t hash(bool value) { return value ? 1 : 0; }
  static std::string describe(bool value) { return value ? "true" : "false"; }
};

template <>
struct Coder<float> {
  static void read(const Value& v, std::string_view what, float& out) { out = jsoncoding::toFloat(v, what); }
  static void write(JsonWriter& w, float value) { w.f32(value); }
  static std::size_t hash(float value) { return std::hash<float>{}(value); }
  static std::string describe(float value) { return describeFloat(value); }
};

template <>
struct Coder<std::string> {
  static void read(const Value& v, std::string_view what, std::string& out) { out = jsoncoding::toString(v, what); }
  static void write(JsonWriter& w, const std::string& value) { w.string(value); }
  static std::size_t hash(const std::string& value) { return std::hash<std::string>{}(value); }
  static std::string describe(const std::string& value) { return describeString(value); }
};

// Member visitors handed to a record's `fields`.
struct FieldReader {
  const ObjectReader& object;
  template <class T>
  void operator()(const char* key, T& field) const {
    if constexpr (IsOptional<T>::value) {
      const Value* v = object.find(key);
      if (v == nullptr) {
        field.reset();
        return;
      }
      typename T::value_type value{};
      Coder<typename T::value_type>::read(*v, key, value);
      field = std::move(value);
    } else {
      Coder<T>::read(object.require(key), key, field);
    }
  }
};

struct FieldWriter {
  JsonWriter& writer;
  template <class T>
  void operator()(const char* key, const T& field) const {
    if constexpr (IsOptional<T>::value) {
      if (!field) return;
      writer.key(key);
      Coder<typename T::value_type>::write(writer, *field);
    } else {
      writer.key(key);
      Coder<T>::write(writer, field);
    }
  }
};

struct FieldHasher {
  std::size_t& seed;
  template <class T>
  void operator()(const char*, const T& field) const {
    if constexpr (IsOptional<T>::value) {
      hashCombine(seed, field ? 1 : 0);
      if (field) hashCombine(seed, Coder<typename T::value_type>::hash(*field));
    } else {
      hashCombine(seed, Coder<T>::hash(field));
    }
  }
};

// "label: value, label: value"; the label "_0" stands for a value without one.
struct FieldDescriber {
  std::string& out;
  template <class T>
  void operator()(const char* key, const T& field) const {
    if (!out.empty()) out += ", ";
    if (std::string_view(key) != "_0") {
      out += key;
      out += ": ";
    }
    if constexpr (IsOptional<T>::value) {
      out += field ? Coder<typename T::value_type>::describe(*field) : std::string("nil");
    } else {
      out += Coder<T>::describe(field);
    }
  }
};

template <Record T>
struct Coder<T> {
  static void read(const Value& v, std::string_view what, T& out) {
    ObjectReader object(v, what);
    T::fields(out, FieldReader{object});
  }
  static void write(JsonWriter& w, const T& value) {
    w.beginObject();
    T::fields(value, FieldWriter{w});
    w.endObject();
  }
  static std::size_t hash(const T& value) {
    std::size_t seed = 0;
    T::fields(value, FieldHasher{seed});
    return seed;
  }
  static std::string describe(const T& value) {
    std::string inner;
    T::fields(value, FieldDescriber{inner});
    return "(" + inner + ")";
  }
};

// The case names of a case enumeration's variant, in its order.
template <class Case, std::size_t... I>
constexpr std::array<const char*, sizeof...(I)> caseNamesOf(std::index_sequence<I...>) {
  return {std::variant_alternative_t<I, Case>::caseName...};
}
template <class Case>
inline constexpr auto caseNames = caseNamesOf<Case>(std::make_index_sequence<std::variant_size_v<Case>>{});

// "Name" for a case without values, "Name(label: value, ...)" otherwise.
template <class Case>
std::string describeCase(const Case& value) {
  return std::visit(
      [](const auto& alt) {
        using Alt = std::decay_t<decltype(alt)>;
        std::string inner;
        Alt::fields(alt, FieldDescriber{inner});
        std::string out = Alt::caseName;
        if (!inner.empty()) out += "(" + inner + ")";
        return out;
      },
      value);
}

template <CaseEnum T>
struct Coder<T> {
  using Case = typename T::Case;
  static constexpr std::size_t count = std::variant_size_v<Case>;
  static constexpr const auto& names = caseNames<Case>;

  template <std::size_t I>
  static Case readAlternative(const Value& inner) {
    using Alt = std::variant_alternative_t<I, Case>;
    Alt alt{};
    ObjectReader object(inner, Alt::caseName);
    Alt::fields(alt, FieldReader{object});
    return Case(std::in_place_index<I>, std::move(alt));
  }
  template <std::size_t... I>
  static Case readAt(std::size_t index, const Value& inner, std::index_sequence<I...>) {
    using Reader = Case (*)(const Value&);
    static constexpr Reader readers[] = {&readAlternative<I>...};
    return readers[index](inner);
  }

  static void read(const Value& v, std::string_view what, T& out) {
    auto [index, inner] = findCase(v, what, names);
    out = T(readAt(index, *inner, std::make_index_sequence<count>{}));
  }
  static void write(JsonWriter& w, const T& value) {
    std::visit(
        [&](const auto& alt) {
          using Alt = std::decay_t<decltype(alt)>;
          w.beginObject().key(Alt::caseName).beginObject();
          Alt::fields(alt, FieldWriter{w});
          w.endObject().endObject();
        },
        value.value());
  }
  static std::size_t hash(const T& value) {
    std::size_t seed = value.value().index();
    std::visit([&](const auto& alt) { std::decay_t<decltype(alt)>::fields(alt, FieldHasher{seed}); }, value.value());
    return seed;
  }
  static std::string describe(const T& value) { return describeCase(value.value()); }
};

// Whole texts.
template <class T>
std::string encode(const T& value) {
  JsonWriter w;
  Coder<T>::write(w, value);
  return w.take();
}

template <class T>
T decode(std::string_view text, std::string_view what) {
  rapidjson::Document doc = jsoncoding::parseDocument(text);
  T out{};
  Coder<T>::read(doc, what, out);
  return out;
}

template <class T>
std::optional<T> tryDecode(std::string_view text, std::string_view what, std::string* error) {
  try {
    return decode<T>(text, what);
  } catch (const DecodingError& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

template <class T>
std::size_t hash(const T& value) {
  return Coder<T>::hash(value);
}

}  // namespace payload

// A case struct without values, for a case enumeration.
#define JORVU_EMPTY_CASE(Name)                  \
  struct Name {                                 \
    static constexpr const char* caseName = #Name; \
    template <class S, class F>                 \
    static void fields(S&, F&&) {}              \
    bool operator==(const Name&) const = default; \
  }

// std::hash for a payload type, over all its fields.
#define JORVU_PAYLOAD_HASH(Type)                                                             \
  template <>                                                                                \
  struct std::hash<Type> {                                                                   \
    std::size_t operator()(const Type& value) const noexcept { return payload::hash(value); } \
  }
