#include "Common/Url/Url.hpp"

#include "Platform/Utf8.hpp"

namespace urlkit {
namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

bool isAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
int hexValue(unsigned char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const CharacterSet& unreservedAndSubDelims() {
  static const CharacterSet set = CharacterSet("-._~!$&'()*+,;=").addAlphanumerics();
  return set;
}
const CharacterSet& pchars() {
  static const CharacterSet set = CharacterSet(unreservedAndSubDelims()).add(":@");
  return set;
}
const CharacterSet& pathChars() {
  static const CharacterSet set = CharacterSet(pchars()).add("/");
  return set;
}
const CharacterSet& queryChars() {
  static const CharacterSet set = CharacterSet(pathChars()).add("?");
  return set;
}
const CharacterSet& userinfoChars() {
  static const CharacterSet set = CharacterSet(unreservedAndSubDelims()).add(":");
  return set;
}

// Every character is in `allowed` or part of a well-formed "%XX".
bool validComponent(std::string_view text, const CharacterSet& allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      if (i + 2 >= text.size() || hexValue(static_cast<unsigned char>(text[i + 1])) < 0 ||
          hexValue(static_cast<unsigned char>(text[i + 2])) < 0) {
        return false;
      }
      i += 2;
    } else if (!allowed.contains(c)) {
      return false;
    }
  }
  return true;
}

bool validScheme(std::string_view s) {
  if (s.empty() || !isAlpha(static_cast<unsigned char>(s[0]))) return false;
  for (unsigned char c : s) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

CharacterSet& CharacterSet::add(std::string_view chars) {
  for (unsigned char c : chars) {
    if (c < 128) bits_.set(c);
  }
  return *this;
}

CharacterSet& CharacterSet::addAlphanumerics() {
  for (unsigned char c = 0; c < 128; ++c) {
    if (isAlpha(c) || isDigit(c)) bits_.set(c);
  }
  return *this;
}

const CharacterSet& CharacterSet::urlQueryAllowed() { return queryChars(); }
const CharacterSet& CharacterSet::urlPathAllowed() { return pathChars(); }

bool isValidUTF8(std::string_view text) { return platform::isValidUTF8(text); }

std::optional<std::string> percentEncode(std::string_view text, const CharacterSet& allowed) {
  if (!isValidUTF8(text)) return std::nullopt;
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (allowed.contains(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kUpperHex[c >> 4]);
      out.push_back(kUpperHex[c & 0xF]);
    }
  }
  return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hexValue(static_cast<unsigned char>(text[i + 1]));
    const int lo = hexValue(static_cast<unsigned char>(text[i + 2]));
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  if (!isValidUTF8(out)) return std::nullopt;
  return out;
}

std::string lastPathComponent(std::string_view path) {
  if (path.empty()) return "";
  const std::size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return "/";
  const std::string_view trimmed = path.substr(0, end + 1);
  const std::size_t slash = trimmed.rfind('/');
  return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

std::string deletingPathExtension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return std::string(name);
  return std::string(name.substr(0, dot));
}

std::optional<URL> URL::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  URL url;
  url.text_ = std::string(text);
  std::string_view rest = text;

  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    const std::string_view fragment = rest.substr(hash + 1);
    if (!validComponent(fragment, queryChars())) return std::nullopt;
    url.fragment_ = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
    const std::string_view query = rest.substr(question + 1);
    if (!validComponent(query, queryChars())) return std::nullopt;
    url.query_ = std::string(query);
    rest = rest.substr(0, question);
  }
  // A colon before the first slash ends the scheme; a relative URL's first
  // segment may not hold one.
  const std::size_t colon = rest.find(':');
  if (colon != std::string_view::npos && colon < rest.find('/')) {
    const std::string_view scheme = rest.substr(0, colon);
    if (!validScheme(scheme)) return std::nullopt;
    url.scheme_ = std::string(scheme);
    rest = rest.substr(colon + 1);
  }
  if (rest.substr(0, 2) == "//") {
    rest = rest.substr(2);
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
      const std::string_view user = authority.substr(0, at);
      if (!validComponent(user, userinfoChars())) return std::nullopt;
      url.user_ = std::string(user);
      authority = authority.substr(at + 1);
    }
    std::string_view host = authority;
    std::string_view port;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
      const std::size_t close = authority.find(']');
      if (close == std::string_view::npos || close == 1) return std::nullopt;
      host = authority.substr(0, close + 1);
      const std::string_view inner = authority.substr(1, close - 1);
      for (unsigned char c : inner) {
        if (!userinfoChars().contains(c)) return std::nullopt;
      }
      const std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        port = after.substr(1);
        hasPort = true;
      }
    } else if (const std::size_t pc = authority.find(':'); pc != std::string_view::npos) {
      host = authority.substr(0, pc);
      port = authority.substr(pc + 1);
      hasPort = true;
      if (!validComponent(host, unreservedAndSubDelims())) return std::nullopt;
    } else if (!validComponent(host, unreservedAndSubDelims())) {
      return std::nullopt;
    }
    if (hasPort && !port.empty()) {
      if (port.size() > 5) return std::nullopt;
      std::uint32_t value = 0;
      for (unsigned char c : port) {
        if (!isDigit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
      }
      if (value > 65535) return std::nullopt;
      url.port_ = static_cast<std::uint16_t>(value);
    }
    url.host_ = std::string(host);
  }
  if (!validComponent(rest, pathChars())) return std::nullopt;
  url.path_ = std::string(rest);
  return url;
}

std::string URL::path() const { return percentDecode(path_).value_or(""); }

std::string URL::lastPathComponent() const {
  return percentDecode(urlkit::lastPathComponent(path_)).value_or("");
}

std::optional<std::vector<QueryItem>> URL::queryItems() const {
  if (!query_) return std::nullopt;
  std::vector<QueryItem> items;
  std::string_view rest = *query_;
  while (true) {
    const std::size_t amp = rest.find('&');
    const std::string_view item = rest.substr(0, amp);
    QueryItem out;
    const std::size_t eq = item.find('=');
    auto name = percentDecode(item.substr(0, eq));
    if (!name) return std::nullopt;
    out.name = std::move(*name);
    if (eq != std::string_view::npos) {
      auto value = percentDecode(item.substr(eq + 1));
      if (!value) return std::nullopt;
      out.value = std::move(*value);
    }
    items.push_back(std::move(out));
    if (amp == std::string_view::npos) break;
    rest = rest.substr(amp + 1);
  }
  return items;
}

}  // namespace urlkit
