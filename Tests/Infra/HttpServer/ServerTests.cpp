#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include "Infra/HttpServer/HttpServer.hpp"
#include "TestNet.hpp"
#include "Tests/Support/FreePorts.hpp"

using namespace httpserver;

namespace {

// Each test listens on game codes whose ports are free when it starts (from
// 1024 up a code is its own port): CTest runs the tests in parallel
// processes, and other programs on the machine may hold ports of their own.
const std::string statusRequest = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string notFoundReply = "HTTP/1.1 404 Not Found\r\nServer: \r\n\r\n";
const std::string statusBody = R"({"product":"KTZ","status":"running"})";

bool answersStatus(std::uint16_t port) {
  auto reply = testnet::exchange(port, statusRequest);
  return reply && testnet::parseReply(reply->bytes).body == statusBody;
}

}  // namespace

TEST(HttpServerTest, PortRule) {
  const std::pair<std::uint32_t, std::uint16_t> cases[] = {
      {0, 19999}, {5, 20004}, {1023, 21022}, {1024, 1024}, {65535, 65535}, {65536, 19999}, {65541, 20004},
      {128000, 62464}, {0xFFFFFFFFu, 65535}, {0x10003FFu, 21022},
  };
  for (auto [code, port] : cases) EXPECT_EQ(HttpServer::port(code), port) << code;

  // Listening for real on the ports the rule gives: a code below 1024 and
  // codes above 65535, each with a port that is free now.
  const std::optional<std::uint32_t> low = testsupport::firstFreeCode(0, 1024, HttpServer::port);
  ASSERT_TRUE(low) << "every port from 19999 to 21022 is taken";
  const std::vector<std::uint16_t> ports = testsupport::freePorts(2);
  ASSERT_EQ(ports.size(), 2u);
  HttpServer server;
  for (std::uint32_t code : {*low, 65536u + ports[0], 2 * 65536u + ports[1]}) {
    server.start("127.0.0.1", code);
    EXPECT_TRUE(server.isListening(HttpServer::port(code)));
    EXPECT_TRUE(answersStatus(HttpServer::port(code))) << code;
    server.stop(code);
  }
}

TEST(HttpServerTest, StatusReplyByteForByte) {
  const std::uint16_t port = testsupport::freePort();
  HttpServer server;
  server.start("127.0.0.1", port);
  auto reply = testnet::exchange(port, statusRequest);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->closed);  // closed after the reply, not reset
  testnet::expectStatusReply(testnet::parseReply(reply->bytes));
  EXPECT_NE(reply->bytes.find("\r\nServer: \r\n"), std::string::npos) << reply->bytes;
  EXPECT_EQ(reply->bytes.size(), reply->bytes.find("\r\n\r\n") + 4 + 36);
}

TEST(HttpServerTest, RoutingOnTheWire) {
  const std::uint16_t port = testsupport::freePort();
  HttpServer server;
  server.start("127.0.0.1", port);
  struct Case {
    std::string requestLine;
    bool status;
  };
  const Case cases[] = {
      {"GET /status HTTP/1.1", true},   {"GET /status?x HTTP/1.1", true},  {"GET //status HTTP/1.1", true},
      {"GET /%73tatus HTTP/1.1", true}, {"GET /status/ HTTP/1.0", true},   {"GET /status#top HTTP/1.1", false},
      {"GET /Status HTTP/1.1", false},  {"GET / HTTP/1.1", false},         {"POST /status HTTP/1.1", false},
      {"HEAD /status HTTP/1.1", false}, {"GET /status/x HTTP/1.1", false}, {"GET /favicon.ico HTTP/1.1", false},
  };
  for (const auto& c : cases) {
    auto reply = testnet::exchange(port, c.requestLine + "\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(reply) << c.requestLine;
    EXPECT_TRUE(reply->closed) << c.requestLine;
    if (c.status) {
      EXPECT_EQ(testnet::parseReply(reply->bytes).body, statusBody) << c.requestLine;
    } else {
      EXPECT_EQ(reply->bytes, notFoundReply) << c.requestLine;
    }
  }
}

TEST(HttpServerTest, OneRequestPerConnection) {
  const std::uint16_t port = testsupport::freePort();
  HttpServer server;
  server.start("127.0.0.1", port);
  // Keep-alive asked for, a second request pipelined and more bytes behind
  // it: one reply, then an orderly close (no reset eating the reply).
  std::string sent = "GET /status HTTP/1.1\r\nConnection: keep-alive\r\n\r\n" + statusRequest + std::string(20000, 'z');
  auto reply = testnet::exchange(port, sent);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->closed) << reply->error;
  EXPECT_EQ(testnet::parseReply(reply->bytes).body, statusBody);

  // A body is read whole, by its Content-Length, before the reply.
  int fd = testnet::connectTo(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(testnet::sendAll(fd, "GET /status HTTP/1.1\r\nContent-Length: 10\r\n\r\n01234"));
  pollfd entry{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&entry, 1, 200), 0);  // nothing before the rest of the body
  ASSERT_TRUE(testnet::sendAll(fd, "56789"));
  EXPECT_EQ(testnet::parseReply(testnet::readAll(fd).bytes).body, statusBody);
  ::close(fd);
}

TEST(HttpServerTest, StartStopAndStartAgain) {
  const std::uint16_t port = testsupport::freePort();
  HttpServer server;
  server.start("127.0.0.1", port);
  server.start("127.0.0.1", port);  // already listening: nothing changes
  EXPECT_EQ(server.runningHandlers(), 1u);
  EXPECT_TRUE(answersStatus(port));
  server.stop(port);
  EXPECT_FALSE(server.isListening(port));
  EXPECT_EQ(testnet::connectTo(port), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  server.stop(port);  // twice is harmless
  server.start("127.0.0.1", port);
  EXPECT_TRUE(answersStatus(port));

  // Two games on one port share the listener; stopping either closes it.
  const std::uint32_t other = port + 65536u;
  server.start("127.0.0.1", other);
  EXPECT_TRUE(answersStatus(port));
  server.stop(other);
  EXPECT_EQ(testnet::connectTo(port), -1);

  // A failed listen is thrown and records nothing.
  EXPECT_THROW(server.start("not-an-address", port), SocketError);
  EXPECT_FALSE(server.isListening(port));
}

TEST(HttpServerTest, ClearClosesEveryPort) {
  const std::vector<std::uint16_t> ports = testsupport::freePorts(2);
  ASSERT_EQ(ports.size(), 2u);
  const std::uint16_t one = ports[0], two = ports[1];
  {
    HttpServer server;
    server.start("127.0.0.1", one);
    server.start("127.0.0.1", two);
    EXPECT_TRUE(answersStatus(one));
    server.clear();
    EXPECT_FALSE(server.isListening(one));
    EXPECT_EQ(testnet::connectTo(one), -1);
    EXPECT_EQ(testnet::connectTo(two), -1);
    server.start("127.0.0.1", two);
    EXPECT_TRUE(answersStatus(two));
  }  // destroying the server ends every loop
  EXPECT_EQ(testnet::connectTo(two), -1);
}

TEST(HttpServerTest, IdleClientIsCutOffAtTheDeadline) {
  HttpServerOptions options;
  options.requestTimeout = std::chrono::milliseconds(300);
  const std::uint16_t port = testsupport::freePort();
  HttpServer server(options);
  server.start("127.0.0.1", port);
  int idle = testnet::connectTo(port);
  ASSERT_GE(idle, 0);
  int slow = testnet::connectTo(port);  // trickles bytes, never finishes
  ASSERT_TRUE(testnet::sendAll(slow, "GET /sta"));

  auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(answersStatus(port));
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_LT(took, std::chrono::seconds(3));

  auto idleReply = testnet::readAll(idle);  // closed by the server, no reply
  EXPECT_TRUE(idleReply.bytes.empty());
  EXPECT_EQ(idleReply.error, 0) << "the client timed out instead of the server";
  EXPECT_TRUE(testnet::readAll(slow).bytes.empty());
  ::close(idle);
  ::close(slow);
}

TEST(HttpServerTest, BadRequestsAreDroppedAndThePortStaysUp) {
  const std::uint16_t port = testsupport::freePort();
  HttpServer server;
  server.start("127.0.0.1", port);
  const std::string bad[] = {
      "garbage\r\n\r\n",
      "GET /status\r\n\r\n",
      "GET /status HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
      "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n",
      "POST /status HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n",
      std::string("\0\0\0\xff\xfe\r\n\r\n", 9),
  };
  std::string manyHeaders = "GET /status HTTP/1.1\r\n";
  for (int i = 0; i < 150; ++i) manyHeaders += "X-" + std::to_string(i) + ": v\r\n";
  int before = testnet::openDescriptors();
  std::vector<std::string> requests(std::begin(bad), std::end(bad));
  requests.push_back(manyHeaders + "\r\n");
  for (const auto& request : requests) {
    auto reply = testnet::exchange(port, request);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->bytes.empty()) << request.substr(0, 40);
  }
  // Clients that go away at once, politely or with a reset.
  for (int i = 0; i < 20; ++i) {
    int fd = testnet::connectTo(port);
    if (i % 2) {
      linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(fd);
  }
  EXPECT_TRUE(answersStatus(port));
  EXPECT_EQ(testnet::settledDescriptors(before), before);
}

TEST(HttpServerTest, ChildProcessesDoNotKeepThePort) {
  const std::uint16_t port = testsupport::freePort();
  HttpServer server;
  server.start("127.0.0.1", port);
  pid_t child = 0;
  char sleepPath[] = "/bin/sleep", seconds[] = "30";
  char* argv[] = {sleepPath, seconds, nullptr};
  ASSERT_EQ(::posix_spawn(&child, "/bin/sleep", nullptr, nullptr, argv, environ), 0);
  server.stop(port);
  EXPECT_EQ(testnet::connectTo(port), -1);
  server.start("127.0.0.1", port);  // the child holds no copy of the old socket
  EXPECT_TRUE(answersStatus(port));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

TEST(HttpServerTest, Curl) {
  const std::uint16_t port = testsupport::freePort();
  HttpServer server;
  server.start("127.0.0.1", port);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  const std::string curl = "curl -sS --max-time 10 ";
  std::string out = testnet::commandOutput(curl + "-i " + base + "/status 2>&1");
  EXPECT_EQ(out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("Content-Type: application/json\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - statusBody.size()), statusBody);
  EXPECT_EQ(testnet::commandOutput(curl + "-o /dev/null -w '%{http_code}' '" + base + "/status?game=1' 2>&1"), "200");
  EXPECT_EQ(testnet::commandOutput(curl + "-i " + base + "/other 2>&1"), notFoundReply);
  EXPECT_EQ(testnet::commandOutput(curl + "-o /dev/null -w '%{http_code}' -X POST -d a=b " + base + "/status 2>&1"), "404");
}

TEST(HttpServerTest, HandlerMiddlewareAndNotFoundHandler) {
  std::shared_ptr<Socket> listener = Socket::createSocketForListen("127.0.0.1", 0);
  auto router = std::make_shared<HttpRouter>();
  router->register_("GET", "/items/:id", [](const HttpRequest& request) {
    return HttpResponse::ok(HttpResponseBody::text(request.params.at(":id") + " from " + *request.address));
  });
  std::vector<HttpServerHandler::Middleware> middleware{[](const HttpRequest& request) -> std::optional<HttpResponse> {
    if (request.queryParams.empty()) return std::nullopt;
    return HttpResponse::forbidden();
  }};
  auto notFound = [](const HttpRequest& request) { return HttpResponse::raw(418, "Teapot " + request.method); };
  auto handler = std::make_shared<HttpServerHandler>(router, notFound, middleware, listener);
  std::thread loop([&] { handler->main(); });
  std::uint16_t port = listener->port();

  auto body = [&](const std::string& line) { return testnet::exchange(port, line + "\r\n\r\n")->bytes; };
  EXPECT_EQ(testnet::parseReply(body("GET /items/%41%42 HTTP/1.1")).body, "AB from 127.0.0.1");
  EXPECT_EQ(body("GET /items/1?x HTTP/1.1"), "HTTP/1.1 403 Forbidden\r\nServer: \r\n\r\n");
  EXPECT_EQ(body("PUT /other HTTP/1.1"), "HTTP/1.1 418 Teapot PUT\r\nServer: \r\n\r\n");
  router.reset();  // routing is skipped once the router is gone
  EXPECT_EQ(body("GET /items/1 HTTP/1.1"), "HTTP/1.1 418 Teapot GET\r\nServer: \r\n\r\n");

  listener->close();
  loop.join();
  EXPECT_EQ(testnet::connectTo(port), -1);
}
