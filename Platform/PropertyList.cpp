#include "Platform/PropertyList.hpp"

#include <plist/plist.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <string_view>

#include "Platform/FileUtil.hpp"

namespace platform {
namespace {

struct PlistDeleter {
  void operator()(plist_t p) const {
    if (p) plist_free(p);
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

PlistValue fromNode(plist_t node, int depth) {
  if (node == nullptr || depth > 64) return {};
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PlistValue(b != 0);
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return PlistValue(static_cast<std::int64_t>(v));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PlistValue(d);
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      std::string out = s ? s : "";
      std::free(s);
      return PlistValue(std::move(out));
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t len = 0;
      plist_get_data_val(node, &d, &len);
      PlistData out(d, d + len);
      std::free(d);
      return PlistValue(std::move(out));
    }
    case PLIST_ARRAY: {
      PlistArray out;
      uint32_t n = plist_array_get_size(node);
      for (uint32_t i = 0; i < n; ++i) out.push_back(fromNode(plist_array_get_item(node, i), depth + 1));
      return PlistValue(std::move(out));
    }
    case PLIST_DICT: {
      PlistDict out;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (key == nullptr) break;
        out.emplace(key, fromNode(value, depth + 1));
        std::free(key);
      }
      std::free(it);
      return PlistValue(std::move(out));
    }
    default:
      return {};
  }
}

plist_t toNode(const PlistValue& v) {
  if (auto b = std::get_if<bool>(&v.value)) return plist_new_bool(*b);
  if (auto i = std::get_if<std::int64_t>(&v.value)) return plist_new_uint(static_cast<uint64_t>(*i));
  if (auto d = std::get_if<double>(&v.value)) return plist_new_real(*d);
  if (auto s = std::get_if<std::string>(&v.value)) return plist_new_string(s->c_str());
  if (auto d = std::get_if<PlistData>(&v.value))
    return plist_new_data(reinterpret_cast<const char*>(d->data()), d->size());
  if (auto a = v.array()) {
    plist_t node = plist_new_array();
    for (const auto& item : *a) plist_array_append_item(node, toNode(item));
    return node;
  }
  if (auto d = v.dict()) {
    plist_t node = plist_new_dict();
    for (const auto& [key, item] : *d) plist_dict_set_item(node, key.c_str(), toNode(item));
    return node;
  }
  return plist_new_string("");
}

// libplist frees (and reads binary lists) recursively, one stack frame per
// level, so a list nested tens of thousands deep overflows the stack. Nesting
// is bounded by the number of containers; real lists hold a few hundred at
// most, and a text with more is refused before libplist sees it.
constexpr std::size_t kMaxContainers = 4096;

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
  return v;
}

// XML: every "<array" and "<dict" counts, closed or not.
bool xmlContainersWithinLimit(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    const std::string_view rest = text.substr(at + 1);
    if (rest.rfind("array", 0) == 0 || rest.rfind("dict", 0) == 0) {
      if (++count > kMaxContainers) return false;
    }
  }
  return true;
}

// Binary: the objects the offset table points at whose marker is an array,
// set or dictionary. A table that does not fit the data is refused too.
bool binaryContainersWithinLimit(std::string_view bytes) {
  constexpr std::size_t kHeader = 8, kTrailer = 32;
  if (bytes.size() < kHeader + kTrailer) return false;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t objectsEnd = bytes.size() - kTrailer;
  const unsigned char* trailer = data + objectsEnd;
  const std::size_t offsetSize = trailer[6];
  const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
  const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || tableOffset < kHeader || tableOffset > objectsEnd) return false;
  if (objectCount > (objectsEnd - tableOffset) / offsetSize) return false;
  std::size_t count = 0;
  for (std::uint64_t i = 0; i < objectCount; ++i) {
    const std::uint64_t offset = readBigEndian(data + tableOffset + i * offsetSize, offsetSize);
    if (offset < kHeader || offset >= objectsEnd) return false;
    const unsigned marker = data[offset] >> 4;
    if (marker == 0xA || marker == 0xB || marker == 0xC || marker == 0xD) {
      if (++count > kMaxContainers) return false;
    }
  }
  return true;
}

bool containersWithinLimit(std::string_view bytes) {
  // The same test libplist makes to choose its reader.
  if (bytes.rfind("bplist00", 0) == 0) return binaryContainersWithinLimit(bytes);
  return xmlContainersWithinLimit(bytes);
}

}  // namespace

const PlistValue* PlistValue::find(const std::string& key) const {
  const PlistDict* d = dict();
  if (d == nullptr) return nullptr;
  auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

std::optional<PlistValue> parsePropertyList(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  if (!containersWithinLimit(bytes)) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  PlistPtr owner(root);
  return fromNode(root, 0);
}

std::optional<PlistValue> readPropertyList(const std::string& path) {
  auto bytes = readFile(path);
  if (!bytes) return std::nullopt;
  return parsePropertyList(*bytes);
}

std::string propertyListToXml(const PlistValue& value) {
  PlistPtr root(toNode(value));
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(root.get(), &xml, &len);
  std::string out = xml ? std::string(xml, len) : std::string();
  std::free(xml);
  return out;
}

bool writePropertyList(const std::string& path, const PlistValue& value) {
  return writeFileAtomically(path, propertyListToXml(value));
}

}  // namespace platform
