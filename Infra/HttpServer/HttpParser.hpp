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
    // Our own refusal: the request goes beyond one of the parser's bounds.
    requestTooLarge,
  };
  HttpParserError(Kind kind, std::string text = {});
  Kind kind() const { return kind_; }
  // The offending line for invalidStatusLine, the bound for requestTooLarge.
  const std::string& text() const { return text_; }

 private:
  Kind kind_;
  std::string text_;
};

// Bounds on what a client may send. A request line or header line longer
// than `maxLineLength` fails the read (recvFailure); more headers or a longer
// body fail with requestTooLarge. Either way the connection is closed
// without a reply.
struct HttpParserLimits {
  std::size_t maxLineLength = 8192;
  std::size_t maxHeaderCount = 100;
  std::int64_t maxBodyLength = 65536;
};

// Reads exactly one HTTP/1.x request from a client socket. Stateless: one
// instance serves the whole process.
class HttpParser {
 public:
  using Limits = HttpParserLimits;

  static const HttpParser& shared();

  HttpRequest readHttpRequest(Socket& socket, const Limits& limits = Limits()) const;

  // The steps of the target's decoding, public for the tests and the fuzzer.
  static std::string percentEncodeQueryAllowed(const std::string& text);
  // Percent-decodes a text; nothing when an escape is malformed or the
  // result is not UTF-8.
  static std::optional<std::string> removingPercentEncoding(const std::string& text);
  // Splits a request target into its decoded path and query items.
  static void parseTarget(const std::string& target, HttpRequest& request);

 private:
  std::map<std::string, std::string> readHeaders(Socket& socket, const Limits& limits) const;
};

}  // namespace httpserver
