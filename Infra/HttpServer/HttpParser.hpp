#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Infra/HttpServer/Socket.hpp"

namespace httpserver {

struct HttpRequest {
  std::string path;
  std::vector<std::pair<std::string, std::string>> queryParams;
  std::string method;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::vector<std::uint8_t> body;
  std::optional<std::string> address = std::string();
  std::map<std::string, std::string> params;
};

class HttpParserError : public std::runtime_error {
 public:
  enum class Kind {
    invalidStatusLine,
    negativeContentLength,
    // Our own refusals: the request goes beyond one of the parser's bounds
    // (a Content-Length too large to hold included), or its body comes in
    // a transfer coding (chunked) that this server does not read.
    requestTooLarge,
    unsupportedTransferEncoding,
  };
  HttpParserError(Kind kind, std::string text = {});
  Kind kind() const { return kind_; }
  // The offending line for invalidStatusLine, the bound for requestTooLarge,
  // the coding for unsupportedTransferEncoding.
  const std::string& text() const { return text_; }

 private:
  Kind kind_;
  std::string text_;
};

// Bounds on what a client may send. A request line or header line longer
// than `maxLineLength` fails the read (recvFailure); more headers or a longer
// body fail with requestTooLarge. Either way the connection is closed
// without a reply. `maxHeadLength` bounds the request line and headers
// together where a request is gathered before it is parsed (RequestFraming).
struct HttpParserLimits {
  std::size_t maxLineLength = 8192;
  std::size_t maxHeaderCount = 100;
  std::int64_t maxBodyLength = 65536;
  std::size_t maxHeadLength = 65536;
};

// Finds the end of a request's head (the request line and the header lines,
// up to the first empty line) in bytes that arrive piece by piece, by the
// parser's line rule, so that an event loop parses a request only once it
// is there. Bytes are handed in order, each once.
class RequestFraming {
 public:
  enum class State { incomplete, headEnded, malformed };

  explicit RequestFraming(const HttpParserLimits& limits) : limits_(limits) {}
  // Looks at the next bytes; once the head has ended, `headLength()` is the
  // count of head bytes (its empty line included) and later bytes are not
  // looked at. Beyond a bound of `limits` the request is malformed.
  State take(const std::uint8_t* bytes, std::size_t count);
  std::size_t headLength() const { return headLength_; }

 private:
  HttpParserLimits limits_;
  State state_ = State::incomplete;
  std::size_t seen_ = 0;      // head bytes looked at so far
  std::size_t lineRaw_ = 0;   // raw bytes of the current line
  bool lineEmpty_ = true;     // nothing above byte 13 in the current line
  std::size_t lines_ = 0;     // lines ended so far, the request line included
  std::size_t headLength_ = 0;
};

// Reads exactly one HTTP/1.x request from a client socket. Stateless: one
// instance serves the whole process.
class HttpParser {
 public:
  using Limits = HttpParserLimits;

  static const HttpParser& shared();

  HttpRequest readHttpRequest(ByteReader& reader, const Limits& limits = Limits()) const;

  // The request line and headers only: the request without its body, and
  // the body's length by the Content-Length header (0 without one).
  struct Head {
    HttpRequest request;
    std::int64_t bodyLength = 0;
  };
  Head readHead(ByteReader& reader, const Limits& limits = Limits()) const;

  // The steps of the target's decoding, public for the tests and the fuzzer.
  static std::string percentEncodeQueryAllowed(const std::string& text);
  // Percent-decodes a text; nothing when an escape is malformed or the
  // result is not UTF-8.
  static std::optional<std::string> removingPercentEncoding(const std::string& text);
  // Splits a request target into its decoded path and query items.
  static void parseTarget(const std::string& target, HttpRequest& request);

 private:
  std::map<std::string, std::string> readHeaders(ByteReader& reader, const Limits& limits) const;
};

}  // namespace httpserver
