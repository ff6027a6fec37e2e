#include "JorvuVornHelper/Common/VANTIXAuthentication.hpp"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <utility>
#include <vector>

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

// The writer recurses once per level: a value from the service nested deeper
// than this is not printed, so it cannot run the stack out.
constexpr int kMaxPrintedDepth = 64;

std::string compact(const rapidjson::Value& v) {
  if (!jsoncoding::withinDepth(v, kMaxPrintedDepth)) return "(nested too deeply to print)";
  rapidjson::StringBuffer buf;
  rapidjson::Writer<rapidjson::StringBuffer> w(buf);
  v.Accept(w);
  return std::string(buf.GetString(), buf.GetSize());
}

// Status 200 passes; otherwise the service's own code when the body has one.
void checkResponse(int statusCode, const jsoncoding::ObjectReader& body) {
  if (statusCode == 200) return;
  const rapidjson::Value* error = body.find("error");
  if (error != nullptr && error->IsObject()) {
    if (const rapidjson::Value* code = jsoncoding::ObjectReader(*error, "error").find("code")) {
      std::optional<std::int64_t> value;
      try {
        value = jsoncoding::toI64(*code, "code");
      } catch (const jsoncoding::DecodingError&) {
      }
      if (value) {
        logError("VANTIXAuthenticationError error=" + compact(*error) + ")");
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

  const rapidjson::Document doc = jsoncoding::parseDocument(*response.data);  // not JSON: DecodingError
  if (!doc.IsObject()) throw VANTIXAuthenticationError::jsonParseFailure();
  const jsoncoding::ObjectReader answer(doc, "response");
  logDebug("statusCode=" + std::to_string(response.statusCode));
  checkResponse(response.statusCode, answer);

  const rapidjson::Value* ticket = answer.find("ticket");
  if (ticket == nullptr || !ticket->IsString()) throw VANTIXAuthenticationError::invalidResponse();
  return jsoncoding::toString(*ticket, "ticket");
}
