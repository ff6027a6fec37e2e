#pragma once
// One small HTTP request on libcurl's easy interface, set up the way the
// system's own requests (statistics reports, catalogue records, sign-in
// tickets) expect: redirects followed, TLS verified, time-outs, no cache.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Each program calls this once in main, before it starts any thread
// (libcurl's global set-up is not thread-safe). Calling it again does nothing.
void httpGlobalInit();

// The settings a caller gives its requests; each caller makes its own.
struct URLSession {
  // Longest time without any progress (connecting, or waiting for data).
  std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};
  // Longest time for the whole transfer.
  std::chrono::milliseconds resourceTimeout{std::chrono::seconds(60)};
  // Accept cookies the server sets and send them on within the same request
  // (redirects).
  bool cookieHandling = true;
  // Nothing is cached in this client; kept so that every caller states it.
  bool reloadIgnoringLocalCacheData = true;
  // The schemes a request and its redirects may use, as libcurl names them.
  std::string allowedProtocols = "http,https";

  // 60-second request and resource time-outs, no cache, cookies on.
  static URLSession standard() { return URLSession{}; }
};

// The response as received.
struct URLResponse {
  std::string url;  // after redirects
  long statusCode = 0;
  std::vector<std::pair<std::string, std::string>> headerFields;
};

struct HTTPResponse {
  std::optional<std::string> data;
  URLResponse response;
  int statusCode = 0;
};

class HTTPClientError : public std::runtime_error {
 public:
  enum class Kind { networkError, statusCodeError, invalidURL, invalidStatusCode };

  // A network failure carrying the underlying error's text.
  static HTTPClientError networkError(std::string underlying);
  static HTTPClientError statusCodeError(int code);
  static HTTPClientError invalidURL();
  static HTTPClientError invalidStatusCode();

  Kind kind() const { return kind_; }
  // The underlying error of a network failure ("" otherwise).
  const std::string& underlying() const { return underlying_; }
  int statusCode() const { return statusCode_; }
  // "networkError(...)" and the like.
  std::string text() const;
  // A sentence for people.
  std::string localizedDescription() const;

 private:
  HTTPClientError(Kind kind, std::string underlying, int statusCode);
  Kind kind_;
  std::string underlying_;
  int statusCode_ = 0;
};

using HTTPHeaders = std::map<std::string, std::string>;
using HTTPCookies = std::map<std::string, std::string>;

class HTTPClient {
 public:
  explicit HTTPClient(URLSession session = URLSession::standard()) : session_(session) {}

  // Sends one request and waits for its answer; any status code is returned.
  // Throws HTTPClientError::networkError (after one ERROR line "request
  // failed, err=...") on a transport failure, a time-out or a bad URL, when
  // a header name or value holds CR, LF or NUL, and when libcurl refuses one
  // of the request's options (nothing is sent in these last cases).
  HTTPResponse request(const std::string& url, const std::string& method, const HTTPHeaders& headers,
                       const std::optional<std::string>& requestBody,
                       const std::optional<HTTPCookies>& cookies) const;

  // The same request without the ERROR line: for callers that judge and
  // report failures themselves. Throws HTTPClientError::networkError.
  HTTPResponse perform(const std::string& url, const std::string& method, const HTTPHeaders& headers,
                       const std::optional<std::string>& requestBody,
                       const std::optional<HTTPCookies>& cookies) const;

  const URLSession& session() const { return session_; }

  // The largest body a request accepts: the answers are small records, and a
  // longer body ends the request as a network error rather than filling memory.
  static constexpr std::size_t maxResponseBody = 16 * 1024 * 1024;

  // The "Cookie" header value for a URL's host, or nothing when there is no
  // host or no usable cookie. Entries that cannot be a cookie are skipped.
  static std::optional<std::string> cookieHeader(const std::optional<std::string>& host,
                                                 const std::optional<HTTPCookies>& cookies);
  // An HTTP token (visible ASCII without separators): what a method, a
  // header name and a cookie name must be.
  static bool isToken(const std::string& text);
  static bool isCookieValue(const std::string& value);
  // True when the text holds no CR, LF or NUL (safe in a header or a path).
  static bool isSafeHeaderText(const std::string& text);
  // The host of an absolute URL ("" host gives nothing).
  static std::optional<std::string> hostOf(const std::string& url);

 private:
  URLSession session_;
};
