#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Infra/HttpServer/HttpServer.hpp"
#include "TestNet.hpp"

using namespace httpserver;

namespace {

// The exact bytes that respond() puts on the wire.
std::string written(const HttpResponse& response) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  {
    Socket socket(fds[0]);
    HttpServerHandler::respond(socket, response);
  }
  std::string bytes = testnet::readAll(fds[1]).bytes;
  ::close(fds[1]);
  return bytes;
}

std::shared_ptr<const rapidjson::Value> jsonOf(const char* text) {
  auto document = std::make_shared<rapidjson::Document>();
  document->Parse(text);
  return std::shared_ptr<const rapidjson::Value>(document, document.get());
}

}  // namespace

TEST(HttpResponseTest, StatusReply) {
  testnet::expectStatusReply(
      testnet::parseReply(written(HttpResponse::ok(HttpResponseBody::json(ResponseAPI::status())))));
}

TEST(HttpResponseTest, CasesWithoutBody) {
  EXPECT_EQ(written(HttpResponse::notFound()), "HTTP/1.1 404 Not Found\r\nServer: \r\n\r\n");
  struct Case {
    HttpResponse response;
    std::string expected;
  };
  const Case cases[] = {
      {HttpResponse::created(), "HTTP/1.1 201 Created\r\nServer: \r\n\r\n"},
      {HttpResponse::accepted(), "HTTP/1.1 202 Accepted\r\nServer: \r\n\r\n"},
      {HttpResponse::movedPermanently("http://a/"), "HTTP/1.1 301 Moved Permanently\r\nLocation: http://a/\r\nServer: \r\n\r\n"},
      {HttpResponse::movedTemporarily("/b"), "HTTP/1.1 307 Moved Temporarily\r\nLocation: /b\r\nServer: \r\n\r\n"},
      {HttpResponse::badRequest(), "HTTP/1.1 400 Bad Request\r\nServer: \r\n\r\n"},
      {HttpResponse::unauthorized(), "HTTP/1.1 401 Unauthorized\r\nServer: \r\n\r\n"},
      {HttpResponse::forbidden(), "HTTP/1.1 403 Forbidden\r\nServer: \r\n\r\n"},
      {HttpResponse::notAcceptable(), "HTTP/1.1 406 Not Acceptable\r\nServer: \r\n\r\n"},
      {HttpResponse::tooManyRequests(), "HTTP/1.1 429 Too Many Requests\r\nServer: \r\n\r\n"},
      {HttpResponse::internalServerError(), "HTTP/1.1 500 Internal Server Error\r\nServer: \r\n\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(written(c.response), c.expected);
}

TEST(HttpResponseTest, BodyKinds) {
  EXPECT_EQ(written(HttpResponse::ok(HttpResponseBody::htmlBody("x"))),
            "HTTP/1.1 200 OK\r\nContent-Length: 49\r\nServer: \r\n\r\n"
            "<html><meta charset=\"UTF-8\"><body>x</body></html>");
  EXPECT_EQ(written(HttpResponse::ok(HttpResponseBody::html("<p>"))),
            "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Type: text/html\r\nServer: \r\n\r\n<p>");
  EXPECT_EQ(written(HttpResponse::ok(HttpResponseBody::text(""))), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nServer: \r\n\r\n");
  EXPECT_EQ(written(HttpResponse::ok(HttpResponseBody::data({1, 2}, "application/x-y"))),
            std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: application/x-y\r\nServer: \r\n\r\n\x01\x02"));
  EXPECT_EQ(written(HttpResponse::badRequest(HttpResponseBody::json(jsonOf("[1]")))),
            "HTTP/1.1 400 Bad Request\r\nContent-Length: 3\r\nServer: \r\n\r\n[1]");
  EXPECT_EQ(written(HttpResponse::ok(HttpResponseBody::custom(std::any(7), [](const std::any& v) {
              return std::to_string(std::any_cast<int>(v));
            }))),
            "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nServer: \r\n\r\n7");
}

TEST(HttpResponseTest, SerialisationFailuresStillReply) {
  auto parsed = testnet::parseReply(written(HttpResponse::ok(HttpResponseBody::json(jsonOf("\"plain text\"")))));
  EXPECT_EQ(parsed.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(parsed.body.rfind("Serialisation error: ", 0), 0u);
  EXPECT_EQ(parsed.headers.at("Content-Length"), std::to_string(parsed.body.size()));
  EXPECT_EQ(parsed.headers.at("Content-Type"), "application/json");
  EXPECT_EQ(testnet::parseReply(written(HttpResponse::ok(HttpResponseBody::json(nullptr)))).body.rfind("Serialisation error: ", 0), 0u);

  auto failing = HttpResponse::ok(HttpResponseBody::custom({}, [](const std::any&) -> std::string {
    throw std::runtime_error("no text");
  }));
  EXPECT_EQ(testnet::parseReply(written(failing)).body, "Serialisation error: no text");
}

TEST(HttpResponseTest, RawReplies) {
  auto raw = HttpResponse::raw(299, "Custom", std::map<std::string, std::string>{{"Server", "mine"}, {"X-A", "b"}},
                               [](HttpResponseBodyWriter& writer) {
                                 writer.write(std::string_view("part1,"));
                                 writer.write(std::vector<std::uint8_t>{'p', '2'});
                               });
  EXPECT_EQ(written(raw), "HTTP/1.1 299 Custom\r\nServer: mine\r\nX-A: b\r\n\r\npart1,p2");
  EXPECT_EQ(written(HttpResponse::raw(204, "No Content")), "HTTP/1.1 204 No Content\r\nServer: \r\n\r\n");
  // A writer's failure comes out of respond.
  auto throwing = HttpResponse::raw(200, "OK", std::nullopt, [](HttpResponseBodyWriter&) {
    throw SocketError(SocketError::Kind::writeFailure, "(32) Broken pipe", EPIPE);
  });
  EXPECT_THROW(written(throwing), SocketError);
}
