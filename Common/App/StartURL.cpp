#include "Common/App/StartURL.hpp"

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "Common/Logger/VornLogger.hpp"

URLParserError::URLParserError(std::string text)
    : text_(std::move(text)), description_("invalidURL(\"" + text_ + "\")") {}

URLParserError URLParserError::invalidURL(std::string text) { return URLParserError(std::move(text)); }

namespace starturl {
namespace {

using QueryMap = std::map<std::string, std::string, std::less<>>;

constexpr std::string_view kTokenOption = "-vantix_token:'";

// The length of the line break that starts at `i`, or 0: LF, VT, FF, CR,
// NEL, and the line and paragraph separators.
std::size_t lineBreakAt(std::string_view text, std::size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c == '\n' || c == '\v' || c == '\f' || c == '\r') return 1;
  if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) return 2;
  if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80) {
    const auto d = static_cast<unsigned char>(text[i + 2]);
    if (d == 0xA8 || d == 0xA9) return 3;
  }
  return 0;
}

// The first "-vantix_token:'{...}'" in `text`, where "..." is the shortest
// run of characters other than line breaks. One pass over the text.
std::optional<std::string_view> firstTokenOption(std::string_view text) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t start = text.find(kTokenOption, from);
    if (start == std::string_view::npos) return std::nullopt;
    const std::size_t brace = start + kTokenOption.size();
    if (brace >= text.size()) return std::nullopt;
    if (text[brace] != '{') {
      from = start + 1;
      continue;
    }
    std::size_t i = brace + 1;
    std::size_t lineBreak = 0;
    for (; i < text.size(); ++i) {
      lineBreak = lineBreakAt(text, i);
      if (lineBreak > 0) break;
      if (text[i] == '}' && i + 1 < text.size() && text[i + 1] == '\'') return text.substr(start, i + 2 - start);
    }
    // No later start before this line break can match either.
    if (i >= text.size()) return std::nullopt;
    from = i + lineBreak;
  }
}

// (game code, tag) from the query's game value: "<code>" or "<code>@<tag>".
std::pair<std::uint32_t, std::string> gameCodeInfo(const QueryMap& map) {
  const auto game = map.find("game");
  if (game == map.end()) throw URLParserError::invalidURL("invalid gameCode");

  std::vector<std::string_view> parts;
  std::string_view rest = game->second;
  for (;;) {
    const std::size_t at = rest.find('@');
    parts.push_back(rest.substr(0, at));
    if (at == std::string_view::npos) break;
    rest = rest.substr(at + 1);
  }

  const std::string_view digits = parts.front();
  if (digits.empty()) throw URLParserError::invalidURL("invalid gameCode");
  std::uint64_t code = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') throw URLParserError::invalidURL("invalid gameCode");
    code = code * 10 + static_cast<std::uint64_t>(c - '0');
    if (code > 0xFFFFFFFFull) throw URLParserError::invalidURL("invalid gameCode");
  }
  // A tag only from exactly "<code>@<tag>"; further parts drop it.
  std::string tag = parts.size() == 2 ? std::string(parts[1]) : std::string();
  return {static_cast<std::uint32_t>(code), std::move(tag)};
}

// The sign-in token: the vantixToken value, else the -vantix_token option
// inside windowsArgs. Never throws.
std::optional<VantixToken> vantixToken(const QueryMap& map) {
  if (const auto token = map.find("vantixToken"); token != map.end()) {
    if (auto decoded = VantixToken::tryDecode(token->second)) return decoded;
  }

  // windowsArgs was decoded once with the query; its options are escaped once more.
  std::optional<std::string> args;
  if (const auto windowsArgs = map.find("windowsArgs"); windowsArgs != map.end()) {
    args = urlkit::percentDecode(windowsArgs->second);
  }
  if (!args) {
    logError("windowsArgs nil");
    return std::nullopt;
  }

  const auto option = firstTokenOption(*args);
  if (!option) {
    logError("not exist -vantix_token key");
    return std::nullopt;
  }
  std::string json;
  for (char c : option->substr(kTokenOption.size())) {
    if (c != '\'') json.push_back(c);
  }
  if (!urlkit::isValidUTF8(json)) {
    logError("failed replacing string");
    return std::nullopt;
  }
  return VantixToken::tryDecode(json);
}

}  // namespace

GameExecuteInfo parse(const urlkit::URL& url) {
  std::optional<std::vector<urlkit::QueryItem>> items;
  if (url.query() && !url.query()->empty()) items = url.queryItems();
  if (!items || items->empty()) throw URLParserError::invalidURL("invalid URLComponents");

  QueryMap map;
  for (auto& item : *items) {
    if (item.value) map.insert_or_assign(std::move(item.name), std::move(*item.value));
  }

  auto [gameCode, obdTag] = gameCodeInfo(map);

  GameExecuteInfo info;
  info.gameCode = gameCode;
  info.obdTag = std::move(obdTag);
  info.vantixToken = vantixToken(map);
  info.url = url.absoluteString();
  if (const auto passarg = map.find("passarg"); passarg != map.end()) {
    info.passarg = passarg->second;
  } else if (const auto windowsArgs = map.find("windowsArgs"); windowsArgs != map.end()) {
    info.passarg = windowsArgs->second;
  }
  info.ignoreOSVersion = false;
  info.isAutoExecute = true;
  return info;
}

GameExecuteInfo parse(std::string_view text) {
  const auto url = urlkit::URL::parse(text);
  if (!url) throw URLParserError::invalidURL("invalid URLComponents");
  return parse(*url);
}

}  // namespace starturl
