#include "Infra/HttpServer/HttpParser.hpp"

#include <charconv>
#include <limits>

#include "Common/Url/Url.hpp"

namespace httpserver {

HttpParserError::HttpParserError(Kind kind, std::string text)
    : std::runtime_error(kind == Kind::invalidStatusLine       ? "invalidStatusLine: " + text
                         : kind == Kind::negativeContentLength ? std::string("negativeContentLength")
                         : kind == Kind::requestTooLarge       ? "requestTooLarge: " + text
                                                               : "unsupportedTransferEncoding: " + text),
      kind_(kind),
      text_(std::move(text)) {}

namespace {

// Splits at every separator; with `omitEmpty`, empty pieces are dropped and
// do not count against `maxSplits`.
std::vector<std::string> split(const std::string& text, char separator, bool omitEmpty,
                               std::size_t maxSplits = std::numeric_limits<std::size_t>::max()) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != separator) continue;
    bool added = false;
    if (!(omitEmpty && i == start)) {
      pieces.push_back(text.substr(start, i - start));
      added = true;
    }
    start = i + 1;
    if (added && pieces.size() == maxSplits) break;
  }
  if (start != text.size() || !omitEmpty) pieces.push_back(text.substr(start));
  return pieces;
}

// Lower-cases ASCII and the Latin-1 capitals, which is all readLine yields.
std::string lowercased(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c + 32));
    } else if (c == 0xC3 && i + 1 < text.size()) {
      auto next = static_cast<unsigned char>(text[i + 1]);
      // U+00C0...U+00DE but U+00D7 (×): the small letter is 0x20 above.
      if (next >= 0x80 && next <= 0x9E && next != 0x97) next = static_cast<unsigned char>(next + 0x20);
      out.push_back(static_cast<char>(c));
      out.push_back(static_cast<char>(next));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// Trims blanks and no-break spaces (U+00A0) from both ends.
std::string trimmedHorizontalWhitespace(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  for (;;) {
    if (begin < end && text[begin] == ' ') {
      ++begin;
    } else if (begin + 1 < end && text.compare(begin, 2, "\xC2\xA0") == 0) {
      begin += 2;
    } else {
      break;
    }
  }
  for (;;) {
    if (end > begin && text[end - 1] == ' ') {
      --end;
    } else if (end >= begin + 2 && text.compare(end - 2, 2, "\xC2\xA0") == 0) {
      end -= 2;
    } else {
      break;
    }
  }
  return text.substr(begin, end - begin);
}

bool isQueryAllowed(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
    case '-': case '.': case '/': case ':': case ';': case '=': case '?': case '@': case '_':
    case '~':
      return true;
    default:
      return false;
  }
}

// A Content-Length value: an optional sign and decimal digits only. Digits
// beyond what 64 bits hold still make a number, one too large to read.
struct ContentLength {
  bool negative = false;
  std::optional<std::int64_t> value;  // nothing when it does not fit
};

std::optional<ContentLength> parseContentLength(const std::string& text) {
  std::string_view digits(text);
  ContentLength length;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    length.negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return length;
  constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!length.negative && magnitude <= largest) length.value = static_cast<std::int64_t>(magnitude);
  if (length.negative && magnitude <= largest + 1) {
    length.value = magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
  }
  return length;
}

}  // namespace

std::string HttpParser::percentEncodeQueryAllowed(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (isQueryAllowed(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0x0F]);
    }
  }
  return out;
}

std::optional<std::string> HttpParser::removingPercentEncoding(const std::string& text) {
  return urlkit::percentDecode(text);
}

void HttpParser::parseTarget(const std::string& target, HttpRequest& request) {
  request.path.clear();
  request.queryParams.clear();
  // Everything outside the query-allowed set is escaped, "%", "#", "[" and
  // "]" included, so the escapes a client sent survive the decoding below.
  std::string encoded = percentEncodeQueryAllowed(target);

  std::string_view rest(encoded);
  auto query = rest.find('?');
  std::optional<std::string_view> queryText;
  if (query != std::string_view::npos) {
    queryText = rest.substr(query + 1);
    rest = rest.substr(0, query);
  }
  // An absolute target ("http://host/path"): skip the scheme and authority.
  // A target that starts with "/" is a path as a whole, "//" included.
  if (!rest.empty() && rest.front() != '/') {
    auto colon = rest.find(':');
    bool hasScheme = colon != std::string_view::npos && colon > 0 &&
                     ((rest[0] >= 'a' && rest[0] <= 'z') || (rest[0] >= 'A' && rest[0] <= 'Z'));
    for (std::size_t i = 1; hasScheme && i < colon; ++i) {
      char c = rest[i];
      hasScheme = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                  c == '-' || c == '.';
    }
    if (hasScheme) {
      rest = rest.substr(colon + 1);
      if (rest.substr(0, 2) == "//") {
        auto slash = rest.find('/', 2);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
      }
    }
  }
  auto path = removingPercentEncoding(std::string(rest));
  if (!path) return;
  std::vector<std::pair<std::string, std::string>> items;
  if (queryText && !queryText->empty()) {
    for (const auto& piece : split(std::string(*queryText), '&', false)) {
      auto equals = piece.find('=');
      auto name = removingPercentEncoding(piece.substr(0, equals));
      auto value = equals == std::string::npos ? std::optional<std::string>("")
                                               : removingPercentEncoding(piece.substr(equals + 1));
      if (!name || !value) return;
      items.emplace_back(std::move(*name), std::move(*value));
    }
  }
  request.path = std::move(*path);
  request.queryParams = std::move(items);
}

const HttpParser& HttpParser::shared() {
  static const HttpParser parser;
  return parser;
}

HttpRequest HttpParser::readHttpRequest(ByteReader& reader, const Limits& limits) const {
  Head head = readHead(reader, limits);
  head.request.body = reader.read(head.bodyLength);
  return std::move(head.request);
}

HttpParser::Head HttpParser::readHead(ByteReader& reader, const Limits& limits) const {
  Head head;
  HttpRequest& request = head.request;
  std::string statusLine = reader.readLine(limits.maxLineLength);
  auto parts = split(statusLine, ' ', false);
  if (parts.size() < 3) throw HttpParserError(HttpParserError::Kind::invalidStatusLine, statusLine);
  request.method = parts[0];
  parseTarget(parts[1], request);
  request.headers = readHeaders(reader, limits);
  // A body in a transfer coding cannot be told from the next request here.
  if (auto coding = request.headers.find("transfer-encoding"); coding != request.headers.end()) {
    throw HttpParserError(HttpParserError::Kind::unsupportedTransferEncoding, coding->second);
  }
  auto length = request.headers.find("content-length");
  if (length != request.headers.end()) {
    if (auto count = parseContentLength(length->second)) {
      if (count->negative && (!count->value || *count->value < 0)) {
        throw HttpParserError(HttpParserError::Kind::negativeContentLength);
      }
      if (!count->value || *count->value > limits.maxBodyLength) {
        throw HttpParserError(HttpParserError::Kind::requestTooLarge,
                              "body over " + std::to_string(limits.maxBodyLength) + " bytes");
      }
      head.bodyLength = *count->value;
    }
  }
  return head;
}

std::map<std::string, std::string> HttpParser::readHeaders(ByteReader& reader, const Limits& limits) const {
  std::map<std::string, std::string> headers;
  std::size_t lines = 0;
  for (;;) {
    std::string line = reader.readLine(limits.maxLineLength);
    if (line.empty()) return headers;
    if (++lines > limits.maxHeaderCount) {
      throw HttpParserError(HttpParserError::Kind::requestTooLarge,
                            "more than " + std::to_string(limits.maxHeaderCount) + " header lines");
    }
    auto pieces = split(line, ':', true, 1);
    if (pieces.empty()) continue;
    headers[lowercased(pieces.front())] = trimmedHorizontalWhitespace(pieces.back());
  }
}

RequestFraming::State RequestFraming::take(const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count && state_ == State::incomplete; ++i) {
    std::uint8_t byte = bytes[i];
    if (++seen_ > limits_.maxHeadLength) {
      state_ = State::malformed;
    } else if (byte == 10) {
      if (lines_ > 0 && lineEmpty_) {
        headLength_ = seen_;
        state_ = State::headEnded;
      } else if (++lines_ > limits_.maxHeaderCount + 1) {
        state_ = State::malformed;
      }
      lineRaw_ = 0;
      lineEmpty_ = true;
    } else if (++lineRaw_ > limits_.maxLineLength) {
      state_ = State::malformed;
    } else if (byte > 13) {
      lineEmpty_ = false;
    }
  }
  return state_;
}

}  // namespace httpserver
