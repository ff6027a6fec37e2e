#include <gtest/gtest.h>

#include <chrono>

#include "Infra/HttpClient/HTTPClient.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"
#include "Tests/Infra/HttpClient/TestNetwork.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace {

const bool processReady = testnet::setUpProcess();

class HTTPClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(processReady);
    server.start();
  }
  std::string url(const std::string& path) const { return server.origin() + path; }

  testsupport::TempRoot root;
  publisher::Publisher server{root.path()};
};

TEST_F(HTTPClientTest, ErrorStatusesReturnNormallyWithTheirBody) {
  server.setFault("/x", publisher::Fault::respond(500, "broken today"));
  testnet::LogMark mark;
  HTTPResponse r = HTTPClient().request(url("/x"), "GET", {}, std::nullopt, std::nullopt);
  EXPECT_EQ(r.statusCode, 500);
  ASSERT_TRUE(r.data);
  EXPECT_EQ(*r.data, "broken today");
  EXPECT_TRUE(mark.errors().empty());
}

TEST_F(HTTPClientTest, SendsMethodHeadersBodyAndOneCookieHeader) {
  testsupport::writeFile(root.path() + "/game-info/7.json", "{}");
  HTTPCookies cookies{{"b", "2"}, {"a", "1"}, {"bad;name", "x"}, {"c", "split\r\nX-Evil: 1"}, {"d", "x;y"},
                      {"os_version", "macOS 14.2.1"}};
  HTTPResponse r = HTTPClient().request(url("/game-info/7"), "PUT", {{"X-One", "1"}, {"Content-Type", "text/plain"}},
                                        std::string("payload"), cookies);
  EXPECT_EQ(r.statusCode, 200);
  auto seen = server.catalogueRequests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "PUT");
  EXPECT_EQ(seen[0].body, "payload");
  EXPECT_EQ(seen[0].header("X-One"), "1");
  EXPECT_EQ(seen[0].headerCount("Cookie"), 1u);
  EXPECT_EQ(seen[0].header("Cookie"), "a=1; b=2; os_version=macOS 14.2.1");
  EXPECT_FALSE(seen[0].header("X-Evil"));
  EXPECT_FALSE(seen[0].header("Accept"));
  EXPECT_FALSE(seen[0].header("User-Agent"));
}

TEST_F(HTTPClientTest, NoCookieHeaderWithoutCookiesOrWithAnEmptyMap) {
  for (const auto& cookies : {std::optional<HTTPCookies>{}, std::optional<HTTPCookies>{HTTPCookies{}},
                              std::optional<HTTPCookies>{HTTPCookies{{"", "x"}}}}) {
    HTTPClient().request(url("/game-info/1"), "GET", {}, std::nullopt, cookies);
  }
  auto seen = server.catalogueRequests();
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& r : seen) EXPECT_EQ(r.headerCount("Cookie"), 0u);
}

TEST(HTTPClientCookies, NeedAHost) {
  HTTPCookies cookies{{"a", "1"}};
  EXPECT_FALSE(HTTPClient::cookieHeader(std::nullopt, cookies));
  EXPECT_FALSE(HTTPClient::cookieHeader(std::string(""), cookies));
  EXPECT_EQ(HTTPClient::cookieHeader(std::string("example.com"), cookies), "a=1");
  EXPECT_FALSE(HTTPClient::hostOf("file:///etc/passwd"));
  EXPECT_EQ(HTTPClient::hostOf("http://127.0.0.1:99/x"), "127.0.0.1");
}

TEST_F(HTTPClientTest, RefusesUnsafeHeaderTextsBeforeSending) {
  struct Case {
    std::string url;
    HTTPHeaders headers;
  };
  const std::vector<Case> cases = {
      {url("/game-info/1"), {{"x-ias-web-token", "abc\r\nX-Evil: 1"}}},
      {url("/game-info/1"), {{"x-ias-web-token", std::string("abc\0def", 7)}}},
      {url("/game-info/1"), {{"Bad Name", "v"}}},
      {url("/game-info/1\r\nX-Evil: 1"), {}},
      {url("/game-info/1 x"), {}},
  };
  for (const auto& c : cases) {
    testnet::LogMark mark;
    try {
      HTTPClient().request(c.url, "GET", c.headers, std::nullopt, std::nullopt);
      ADD_FAILURE() << "sent " << c.url;
    } catch (const HTTPClientError& e) {
      EXPECT_EQ(e.kind(), HTTPClientError::Kind::networkError);
    }
    EXPECT_EQ(mark.errors("request failed, err=").size(), 1u);
  }
  EXPECT_TRUE(server.catalogueRequests().empty());
}

TEST_F(HTTPClientTest, TransportFailuresThrowNetworkErrorWithOneErrorLine) {
  testsupport::writeFile(root.path() + "/big.bin", std::string(100000, 'z'));
  server.setFault("/big.bin", publisher::Fault::dropMidBody(1000));
  const std::vector<std::string> urls = {"http://127.0.0.1:" + std::to_string(testnet::closedPort()) + "/x",
                                         url("/big.bin")};
  for (const auto& u : urls) {
    testnet::LogMark mark;
    EXPECT_THROW(HTTPClient().request(u, "GET", {}, std::nullopt, std::nullopt), HTTPClientError) << u;
    EXPECT_EQ(mark.errors("request failed, err=").size(), 1u) << u;
    EXPECT_EQ(mark.errors().size(), 1u) << u;
  }
}

TEST_F(HTTPClientTest, ABodyOverTheLimitIsANetworkError) {
  testsupport::writeFile(root.path() + "/full.bin", std::string(HTTPClient::maxResponseBody, 'a'));
  testsupport::writeFile(root.path() + "/over.bin", std::string(HTTPClient::maxResponseBody + 1, 'a'));
  HTTPResponse full = HTTPClient().request(url("/full.bin"), "GET", {}, std::nullopt, std::nullopt);
  ASSERT_TRUE(full.data);
  EXPECT_EQ(full.data->size(), HTTPClient::maxResponseBody);

  testnet::LogMark mark;
  EXPECT_THROW(HTTPClient().request(url("/over.bin"), "GET", {}, std::nullopt, std::nullopt), HTTPClientError);
  const auto errors = mark.errors("request failed, err=");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("response body larger than"), std::string::npos) << errors[0];
}

TEST_F(HTTPClientTest, TimesOutOnAStalledServer) {
  server.setFault("/slow", publisher::Fault::stall());
  URLSession session;
  session.requestTimeout = std::chrono::seconds(1);
  session.resourceTimeout = std::chrono::seconds(2);
  testnet::LogMark mark;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(HTTPClient(session).request(url("/slow"), "GET", {}, std::nullopt, std::nullopt), HTTPClientError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  auto errors = mark.errors("request failed, err=");
  ASSERT_EQ(errors.size(), 1u);
  // Either limit may end it first under load.
  EXPECT_TRUE(errors[0].find("too slow") != std::string::npos || errors[0].find("timed out") != std::string::npos)
      << errors[0];
}

TEST_F(HTTPClientTest, ARefusedOptionFailsTheRequestBeforeAnythingIsSent) {
  URLSession session;
  session.allowedProtocols = "http,no-such-protocol";  // libcurl refuses the whole list
  testnet::LogMark mark;
  try {
    HTTPClient(session).request(url("/game-info/1"), "GET", {}, std::nullopt, std::nullopt);
    ADD_FAILURE() << "sent without its protocol restriction";
  } catch (const HTTPClientError& e) {
    EXPECT_EQ(e.kind(), HTTPClientError::Kind::networkError);
    EXPECT_NE(e.underlying().find("CURLOPT_PROTOCOLS_STR refused"), std::string::npos) << e.underlying();
  }
  EXPECT_EQ(mark.errors("request failed, err=CURLOPT_PROTOCOLS_STR refused").size(), 1u);
  EXPECT_TRUE(server.catalogueRequests().empty());
}

TEST(ServiceHosts, ParseOriginsAndOverrides) {
  EXPECT_EQ(ServiceHost::parse("http://127.0.0.1:8080"), (ServiceHost{"http", "127.0.0.1", 8080}));
  EXPECT_EQ(ServiceHost::parse("https://example.com/"), (ServiceHost{"https", "example.com", std::nullopt}));
  EXPECT_EQ(ServiceHost::parse("http://[::1]:9"), (ServiceHost{"http", "[::1]", 9}));
  for (const char* bad : {"ftp://x", "http://", "http://a:0", "http://a:65536", "http://a:x", "http://a/b",
                          "http://a b", "http://a:", "127.0.0.1:80", "http://[::1"}) {
    EXPECT_FALSE(ServiceHost::parse(bad)) << bad;
  }
  {
    testnet::ScopedEnv env(servicehosts::ticketEnv, "http://127.0.0.1:4242");
    EXPECT_EQ(servicehosts::ticket().origin(), "http://127.0.0.1:4242");
  }
  EXPECT_EQ(servicehosts::ticket().scheme, "https");
  EXPECT_EQ(servicehosts::report().scheme, "http");
  EXPECT_EQ(servicehosts::catalogueLive().scheme, "https");
  EXPECT_NE(servicehosts::catalogueLive(), servicehosts::catalogueTest());
  testnet::ScopedEnv bad(servicehosts::reportEnv, "javascript:alert(1)");
  testnet::LogMark mark;
  EXPECT_EQ(servicehosts::report().host, "stat.jorvu.com");
  EXPECT_EQ(mark.errors("ignoring JORVU_REPORT_HOST").size(), 1u);
}

}  // namespace
