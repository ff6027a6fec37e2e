#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// A property list value (XML or binary), read and written through libplist.
struct PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDict = std::map<std::string, PlistValue>;
using PlistData = std::vector<std::uint8_t>;

struct PlistValue {
  std::variant<std::monostate, bool, std::int64_t, double, std::string, PlistData,
               std::shared_ptr<PlistArray>, std::shared_ptr<PlistDict>>
      value;

  PlistValue() = default;
  PlistValue(bool b) : value(b) {}
  PlistValue(std::int64_t i) : value(i) {}
  PlistValue(double d) : value(d) {}
  PlistValue(std::string s) : value(std::move(s)) {}
  PlistValue(const char* s) : value(std::string(s)) {}
  PlistValue(PlistData d) : value(std::move(d)) {}
  PlistValue(PlistArray a) : value(std::make_shared<PlistArray>(std::move(a))) {}
  PlistValue(PlistDict d) : value(std::make_shared<PlistDict>(std::move(d))) {}

  const std::string* string() const { return std::get_if<std::string>(&value); }
  const bool* boolean() const { return std::get_if<bool>(&value); }
  const std::int64_t* integer() const { return std::get_if<std::int64_t>(&value); }
  const PlistArray* array() const {
    auto p = std::get_if<std::shared_ptr<PlistArray>>(&value);
    return p ? p->get() : nullptr;
  }
  const PlistDict* dict() const {
    auto p = std::get_if<std::shared_ptr<PlistDict>>(&value);
    return p ? p->get() : nullptr;
  }
  // Member of a dictionary value, or nullptr.
  const PlistValue* find(const std::string& key) const;
};

std::optional<PlistValue> readPropertyList(const std::string& path);
std::optional<PlistValue> parsePropertyList(const std::string& bytes);
std::string propertyListToXml(const PlistValue& value);
// Writes atomically (temporary file, then rename).
bool writePropertyList(const std::string& path, const PlistValue& value);

}  // namespace platform
