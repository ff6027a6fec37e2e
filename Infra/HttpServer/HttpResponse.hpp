#pragma once
#include <rapidjson/document.h>

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace httpserver {

class SerializationError : public std::runtime_error {
 public:
  enum class Kind { invalidObject, notSupported };
  explicit SerializationError(Kind kind);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Where a response body goes; every write is complete or throws.
class HttpResponseBodyWriter {
 public:
  virtual ~HttpResponseBodyWriter() = default;
  virtual void write(std::span<const std::uint8_t> bytes) = 0;
  void write(const std::vector<std::uint8_t>& bytes) { write(std::span<const std::uint8_t>(bytes)); }
  void write(std::string_view bytes) {
    write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
};

using HttpBodyWriterFunction = std::function<void(HttpResponseBodyWriter&)>;

class HttpResponseBody {
 public:
  enum class Kind { json, html, htmlBody, text, data, custom };

  // A value meant as a JSON object or array (anything else fails to
  // serialise and becomes the "Serialisation error: " text).
  static HttpResponseBody json(std::shared_ptr<const rapidjson::Value> value);
  static HttpResponseBody html(std::string text);
  static HttpResponseBody htmlBody(std::string text);
  static HttpResponseBody text(std::string text);
  static HttpResponseBody data(std::vector<std::uint8_t> bytes, std::optional<std::string> contentType = std::nullopt);
  static HttpResponseBody custom(std::any value, std::function<std::string(const std::any&)> serialise);

  Kind kind() const { return kind_; }
  const std::optional<std::string>& contentType() const { return contentType_; }
  // The byte length and a writer that writes exactly those bytes.
  std::pair<std::int64_t, HttpBodyWriterFunction> content() const;

 private:
  static HttpResponseBody ofText(Kind kind, std::string text);

  Kind kind_ = Kind::text;
  std::shared_ptr<const rapidjson::Value> json_;
  std::string text_;
  std::vector<std::uint8_t> bytes_;
  std::optional<std::string> contentType_;
  std::any value_;
  std::function<std::string(const std::any&)> serialise_;
};

class HttpResponse {
 public:
  enum class Kind {
    ok,
    created,
    accepted,
    movedPermanently,
    movedTemporarily,
    badRequest,
    unauthorized,
    forbidden,
    notFound,
    notAcceptable,
    tooManyRequests,
    internalServerError,
    raw,
  };

  static HttpResponse ok(HttpResponseBody body);
  static HttpResponse created() { return HttpResponse(Kind::created); }
  static HttpResponse accepted() { return HttpResponse(Kind::accepted); }
  static HttpResponse movedPermanently(std::string url);
  static HttpResponse movedTemporarily(std::string url);
  static HttpResponse badRequest(std::optional<HttpResponseBody> body = std::nullopt);
  static HttpResponse unauthorized() { return HttpResponse(Kind::unauthorized); }
  static HttpResponse forbidden() { return HttpResponse(Kind::forbidden); }
  static HttpResponse notFound() { return HttpResponse(Kind::notFound); }
  static HttpResponse notAcceptable() { return HttpResponse(Kind::notAcceptable); }
  static HttpResponse tooManyRequests() { return HttpResponse(Kind::tooManyRequests); }
  static HttpResponse internalServerError() { return HttpResponse(Kind::internalServerError); }
  static HttpResponse raw(int statusCode, std::string reasonPhrase,
                          std::optional<std::map<std::string, std::string>> headers = std::nullopt,
                          HttpBodyWriterFunction writer = nullptr);

  Kind kind() const { return kind_; }
  int statusCode() const;
  std::string reasonPhrase() const;
  std::map<std::string, std::string> headers() const;
  // -1 as the length means no Content-Length line; the writer may be empty.
  std::pair<std::int64_t, HttpBodyWriterFunction> content() const;

 private:
  explicit HttpResponse(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::optional<HttpResponseBody> body_;
  std::string url_;
  int rawCode_ = 0;
  std::string rawPhrase_;
  std::optional<std::map<std::string, std::string>> rawHeaders_;
  HttpBodyWriterFunction rawWriter_;
};

}  // namespace httpserver
