#include "Common/Protocol/PayloadCoding.hpp"

#include <charconv>

namespace payload {

std::pair<std::size_t, const Value*> findCase(const Value& v, std::string_view what,
                                              std::span<const char* const> names) {
  ObjectReader object(v, what);  // throws unless an object
  std::size_t found = 0;
  const Value* inner = nullptr;
  std::size_t matches = 0;
  for (const auto& member : v.GetObject()) {
    const std::string_view key(member.name.GetString(), member.name.GetStringLength());
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (key == names[i]) {
        ++matches;
        found = i;
        inner = &member.value;
      }
    }
  }
  if (matches != 1) throw DecodingError(kInvalidNumberOfKeys);
  if (!inner->IsObject()) {
    throw DecodingError("Expected to decode Dictionary but found another kind for \"" + std::string(names[found]) + "\".");
  }
  return {found, inner};
}

void writeEmptyCase(JsonWriter& w, const char* name) { w.beginObject().key(name).beginObject().endObject().endObject(); }

std::string describeFloat(float value) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  std::string out(buf, res.ptr);
  if (out.find_first_of(".eEn") == std::string::npos) out += ".0";  // "n": nan, inf
  return out;
}

std::string describeString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace payload
