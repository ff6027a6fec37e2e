#include "JorvuVornHelper/Common/VANTIXAuthentication.hpp"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Common/Json/JsonReading.hpp"
#include "Common/Json/JsonWriting.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Infra/HttpClient/HTTPClient.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"

namespace {

const char* kindText(VANTIXAuthenticationError::Kind kind) {
  switch (kind) {
    case VANTIXAuthenticationError::Kind::statusCodeFailure: return "statusCodeFailure";
    case VANTIXAuthenticationError::Kind::jsonParseFailure: return "jsonParseFailure";
    case VANTIXAuthenticationError::Kind::invalidUrl: return "invalidUrl";
    case VANTIXAuthenticationError::Kind::invalidResponse: return "invalidResponse";
  }
  return "unknown";
}

std::string compact(const rapidjson::Value& v) {
  rapidjson::StringBuffer buf;
  rapidjson::Writer<rapidjson::StringBuffer> w(buf);
  v.Accept(w);
  return buf.GetString();
}

// Status 200 passes; otherwise the service's own code when the body has one.
void checkResponse(int statusCode, const rapidjson::Value& body) {
  if (statusCode == 200) return;
  auto error = body.FindMember("error");
  if (error != body.MemberEnd() && error->value.IsObject()) {
    auto code = error->value.FindMember("code");
    if (code != error->value.MemberEnd()) {
      std::optional<std::int64_t> value;
      try {
        value = jsoncoding::toI64(code->value, "code");
      } catch (const jsoncoding::DecodingError&) {
      }
      if (value) {
        logError("VANTIXAuthenticationError error=" + compact(error->value) + ")");
        throw VANTIXAuthenticationError::statusCodeFailure(*value);
      }
    }
  }
  throw VANTIXAuthenticationError::invalidResponse();
}

}  // namespace

VANTIXAuthenticationError::VANTIXAuthenticationError(Kind kind, std::int64_t code)
    : std::runtime_error(kind == Kind::statusCodeFailure ? "statusCodeFailure(" + std::to_string(code) + ")"
                                                         : std::string(kindText(kind))),
      kind_(kind),
      code_(code) {}

VANTIXAuthenticationError VANTIXAuthenticationError::statusCodeFailure(std::int64_t code) {
  return VANTIXAuthenticationError(Kind::statusCodeFailure, code);
}
VANTIXAuthenticationError VANTIXAuthenticationError::jsonParseFailure() {
  return VANTIXAuthenticationError(Kind::jsonParseFailure, 0);
}
VANTIXAuthenticationError VANTIXAuthenticationError::invalidUrl() {
  return VANTIXAuthenticationError(Kind::invalidUrl, 0);
}
VANTIXAuthenticationError VANTIXAuthenticationError::invalidResponse() {
  return VANTIXAuthenticationError(Kind::invalidResponse, 0);
}

std::string VANTIXAuthentication::ticketURL() {
  return servicehosts::ticket().origin() + "/ias/live/public/v1/issue/ticket/by-web-token";
}

std::string VANTIXAuthentication::requestBody(const VantixToken& vantixToken) {
  jsoncoding::JsonWriter w;
  w.beginObject().key("gid").string(vantixToken.gid).endObject();
  return w.take();
}

std::string VANTIXAuthentication::receiveTicketByAPICall(const VantixToken& vantixToken) {
  const std::string url = ticketURL();
  if (!HTTPClient::hostOf(url)) {
    logError("url convert failed");
    throw VANTIXAuthenticationError::invalidUrl();
  }
  const std::string body = requestBody(vantixToken);

  // The client refuses a web token that could split the header, before
  // anything is sent.
  HTTPClient client(URLSession::standard());
  HTTPResponse response = client.request(
      url, "POST", {{"Content-Type", "application/json"}, {"x-ias-web-token", vantixToken.webtoken}}, body,
      std::nullopt);
  if (!response.data) throw VANTIXAuthenticationError::invalidResponse();

  rapidjson::Document doc = jsoncoding::parseDocument(*response.data);  // not JSON: DecodingError
  if (!doc.IsObject()) throw VANTIXAuthenticationError::jsonParseFailure();
  logDebug("statusCode=" + std::to_string(response.statusCode));
  checkResponse(response.statusCode, doc);

  auto ticket = doc.FindMember("ticket");
  if (ticket == doc.MemberEnd() || !ticket->value.IsString()) throw VANTIXAuthenticationError::invalidResponse();
  return std::string(ticket->value.GetString(), ticket->value.GetStringLength());
}
