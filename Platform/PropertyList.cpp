#include "Platform/PropertyList.hpp"

#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>

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

}  // namespace

const PlistValue* PlistValue::find(const std::string& key) const {
  const PlistDict* d = dict();
  if (d == nullptr) return nullptr;
  auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

std::optional<PlistValue> parsePropertyList(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
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
