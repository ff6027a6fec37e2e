#include "Infra/HttpServer/HttpResponse.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace httpserver {

SerializationError::SerializationError(Kind kind)
    : std::runtime_error(kind == Kind::invalidObject ? "invalidObject" : "notSupported"), kind_(kind) {}

HttpResponseBody HttpResponseBody::json(std::shared_ptr<const rapidjson::Value> value) {
  HttpResponseBody body;
  body.kind_ = Kind::json;
  body.json_ = std::move(value);
  return body;
}

HttpResponseBody HttpResponseBody::ofText(Kind kind, std::string text) {
  HttpResponseBody body;
  body.kind_ = kind;
  body.text_ = std::move(text);
  return body;
}

HttpResponseBody HttpResponseBody::html(std::string text) { return ofText(Kind::html, std::move(text)); }

HttpResponseBody HttpResponseBody::htmlBody(std::string text) { return ofText(Kind::htmlBody, std::move(text)); }

HttpResponseBody HttpResponseBody::text(std::string text) { return ofText(Kind::text, std::move(text)); }

HttpResponseBody HttpResponseBody::data(std::vector<std::uint8_t> bytes, std::optional<std::string> contentType) {
  HttpResponseBody body;
  body.kind_ = Kind::data;
  body.bytes_ = std::move(bytes);
  body.contentType_ = std::move(contentType);
  return body;
}

HttpResponseBody HttpResponseBody::custom(std::any value, std::function<std::string(const std::any&)> serialise) {
  HttpResponseBody body;
  body.kind_ = Kind::custom;
  body.value_ = std::move(value);
  body.serialise_ = std::move(serialise);
  return body;
}

namespace {

std::string serialisationError(const std::string& description) { return "Serialisation error: " + description; }

std::string serialiseJson(const rapidjson::Value* value) {
  if (!value || !(value->IsObject() || value->IsArray())) throw SerializationError(SerializationError::Kind::invalidObject);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  // The writer refuses what JSON cannot hold (NaN, infinities).
  if (!value->Accept(writer)) throw SerializationError(SerializationError::Kind::invalidObject);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::pair<std::int64_t, HttpBodyWriterFunction> textContent(std::string text) {
  auto shared = std::make_shared<const std::string>(std::move(text));
  return {static_cast<std::int64_t>(shared->size()),
          [shared](HttpResponseBodyWriter& writer) { writer.write(std::string_view(*shared)); }};
}

}  // namespace

std::pair<std::int64_t, HttpBodyWriterFunction> HttpResponseBody::content() const {
  switch (kind_) {
    case Kind::json:
      try {
        return textContent(serialiseJson(json_.get()));
      } catch (const std::exception& error) {
        return textContent(serialisationError(error.what()));
      }
    case Kind::custom:
      try {
        if (!serialise_) throw SerializationError(SerializationError::Kind::invalidObject);
        return textContent(serialise_(value_));
      } catch (const std::exception& error) {
        return textContent(serialisationError(error.what()));
      }
    case Kind::html:
    case Kind::text:
      return textContent(text_);
    case Kind::htmlBody:
      return textContent("<html><meta charset=\"UTF-8\"><body>" + text_ + "</body></html>");
    case Kind::data: {
      auto shared = std::make_shared<const std::vector<std::uint8_t>>(bytes_);
      return {static_cast<std::int64_t>(shared->size()),
              [shared](HttpResponseBodyWriter& writer) { writer.write(*shared); }};
    }
  }
  return {0, nullptr};
}

HttpResponse HttpResponse::ok(HttpResponseBody body) {
  HttpResponse response(Kind::ok);
  response.body_ = std::move(body);
  return response;
}

HttpResponse HttpResponse::movedPermanently(std::string url) {
  HttpResponse response(Kind::movedPermanently);
  response.url_ = std::move(url);
  return response;
}

HttpResponse HttpResponse::movedTemporarily(std::string url) {
  HttpResponse response(Kind::movedTemporarily);
  response.url_ = std::move(url);
  return response;
}

HttpResponse HttpResponse::badRequest(std::optional<HttpResponseBody> body) {
  HttpResponse response(Kind::badRequest);
  response.body_ = std::move(body);
  return response;
}

HttpResponse HttpResponse::raw(int statusCode, std::string reasonPhrase,
                               std::optional<std::map<std::string, std::string>> headers,
                               HttpBodyWriterFunction writer) {
  HttpResponse response(Kind::raw);
  response.rawCode_ = statusCode;
  response.rawPhrase_ = std::move(reasonPhrase);
  response.rawHeaders_ = std::move(headers);
  response.rawWriter_ = std::move(writer);
  return response;
}

int HttpResponse::statusCode() const {
  switch (kind_) {
    case Kind::ok: return 200;
    case Kind::created: return 201;
    case Kind::accepted: return 202;
    case Kind::movedPermanently: return 301;
    case Kind::movedTemporarily: return 307;
    case Kind::badRequest: return 400;
    case Kind::unauthorized: return 401;
    case Kind::forbidden: return 403;
    case Kind::notFound: return 404;
    case Kind::notAcceptable: return 406;
    case Kind::tooManyRequests: return 429;
    case Kind::internalServerError: return 500;
    case Kind::raw: return rawCode_;
  }
  return 500;
}

std::string HttpResponse::reasonPhrase() const {
  switch (kind_) {
    case Kind::ok: return "OK";
    case Kind::created: return "Created";
    case Kind::accepted: return "Accepted";
    case Kind::movedPermanently: return "Moved Permanently";
    case Kind::movedTemporarily: return "Moved Temporarily";
    case Kind::badRequest: return "Bad Request";
    case Kind::unauthorized: return "Unauthorized";
    case Kind::forbidden: return "Forbidden";
    case Kind::notFound: return "Not Found";
    case Kind::notAcceptable: return "Not Acceptable";
    case Kind::tooManyRequests: return "Too Many Requests";
    case Kind::internalServerError: return "Internal Server Error";
    case Kind::raw: return rawPhrase_;
  }
  return {};
}

std::map<std::string, std::string> HttpResponse::headers() const {
  std::map<std::string, std::string> headers{{"Server", ""}};
  switch (kind_) {
    case Kind::ok:
      switch (body_->kind()) {
        case HttpResponseBody::Kind::json:
          headers["Content-Type"] = "application/json";
          headers["Access-Control-Allow-Origin"] = "*";
          break;
        case HttpResponseBody::Kind::html:
          headers["Content-Type"] = "text/html";
          break;
        case HttpResponseBody::Kind::data:
          if (body_->contentType()) headers["Content-Type"] = *body_->contentType();
          break;
        default:
          break;
      }
      break;
    case Kind::movedPermanently:
    case Kind::movedTemporarily:
      headers["Location"] = url_;
      break;
    case Kind::raw:
      if (rawHeaders_) {
        for (const auto& [name, value] : *rawHeaders_) headers[name] = value;
      }
      break;
    default:
      break;
  }
  return headers;
}

std::pair<std::int64_t, HttpBodyWriterFunction> HttpResponse::content() const {
  switch (kind_) {
    case Kind::ok:
      return body_->content();
    case Kind::badRequest:
      if (body_) return body_->content();
      return {-1, nullptr};
    case Kind::raw:
      return {-1, rawWriter_};
    default:
      return {-1, nullptr};
  }
}

}  // namespace httpserver
