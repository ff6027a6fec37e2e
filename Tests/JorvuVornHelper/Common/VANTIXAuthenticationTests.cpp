#include <gtest/gtest.h>

#include "Infra/HttpClient/HTTPClient.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"
#include "JorvuVornHelper/Common/VANTIXAuthentication.hpp"
#include "Tests/Infra/HttpClient/TestNetwork.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace {

const bool processReady = testnet::setUpProcess();

class VANTIXAuthenticationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(processReady);
    server.start();
    env = std::make_unique<testnet::ScopedEnv>(servicehosts::ticketEnv, server.origin());
  }
  // Scripts the service's next answers.
  void script(int status, const std::string& body) {
    testsupport::writeFile(root.path() + "/ticket/status", std::to_string(status));
    testsupport::writeFile(root.path() + "/ticket/body", body);
  }
  // The failure of one ticket request, or the ticket itself as the text.
  std::string outcome(const VantixToken& token = {"g", "w"}) {
    try {
      return "ticket " + VANTIXAuthentication::receiveTicketByAPICall(token);
    } catch (const VANTIXAuthenticationError& e) {
      return e.what();
    } catch (const HTTPClientError& e) {
      return "HTTPClientError " + e.text();
    } catch (const jsoncoding::DecodingError&) {
      return "DecodingError";
    }
  }

  testsupport::TempRoot root;
  publisher::Publisher server{root.path()};
  std::unique_ptr<testnet::ScopedEnv> env;
};

TEST_F(VANTIXAuthenticationTest, SendsExactlyTheTicketRequest) {
  EXPECT_EQ(VANTIXAuthentication::receiveTicketByAPICall({"gid/1", "web.token"}), "ticket-gid/1");
  auto seen = server.ticketRequests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/ias/live/public/v1/issue/ticket/by-web-token");
  EXPECT_EQ(seen[0].body, R"({"gid":"gid\/1"})");
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].header("x-ias-web-token"), "web.token");
  EXPECT_EQ(seen[0].headerCount("Cookie"), 0u);
  std::vector<std::string> names;
  for (const auto& [name, value] : seen[0].headers) names.push_back(name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Content-Length", "Content-Type", "Host", "x-ias-web-token"}));
}

TEST_F(VANTIXAuthenticationTest, JudgesTheAnswer) {
  struct Case {
    int status;
    std::string body;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {200, R"({"ticket":"T-1"})", "ticket T-1"},
      {200, R"({"error":{"code":3},"ticket":"T-2"})", "ticket T-2"},
      {200, R"({"ticket":123})", "invalidResponse"},
      {200, R"({})", "invalidResponse"},
      {401, R"({"error":{"code":14}})", "statusCodeFailure(14)"},
      {403, R"({"error":{"code":-7,"message":"x"}})", "statusCodeFailure(-7)"},
      {500, R"({})", "invalidResponse"},
      {500, R"({"error":{"code":"14"}})", "invalidResponse"},
      {500, R"({"error":"boom"})", "invalidResponse"},
      {200, R"([1,2])", "jsonParseFailure"},
      {200, R"("ticket")", "jsonParseFailure"},
      {200, "<html>", "DecodingError"},
      {200, "", "DecodingError"},
  };
  for (const auto& c : cases) {
    script(c.status, c.body);
    EXPECT_EQ(outcome(), c.expected) << c.status << " " << c.body;
  }
}

TEST_F(VANTIXAuthenticationTest, AServiceCodeIsLoggedOnceEndingInAParenthesis) {
  script(401, R"({"error":{"code":14}})");
  testnet::LogMark mark;
  try {
    VANTIXAuthentication::receiveTicketByAPICall({"g", "w"});
    ADD_FAILURE();
  } catch (const VANTIXAuthenticationError& e) {
    EXPECT_EQ(e, VANTIXAuthenticationError::statusCodeFailure(14));
  }
  EXPECT_EQ(mark.errors(), std::vector<std::string>{R"(VANTIXAuthenticationError error={"code":14}))"});
}

// The error object is printed into the log; one nested far too deeply for the
// recursive writer still gives the service's code, not a crash.
TEST_F(VANTIXAuthenticationTest, ADeeplyNestedErrorIsNotPrinted) {
  const std::size_t depth = 200000;
  script(500, R"({"error":{"code":9,"detail":)" + std::string(depth, '[') + std::string(depth, ']') + "}}");
  testnet::LogMark mark;
  EXPECT_EQ(outcome(), "statusCodeFailure(9)");
  EXPECT_EQ(mark.errors(), std::vector<std::string>{"VANTIXAuthenticationError error=(nested too deeply to print))"});
}

TEST_F(VANTIXAuthenticationTest, NetworkFailuresAndUnsafeTokensAreNetworkErrors) {
  for (const std::string& token : {std::string("w\r\nX-Evil: 1"), std::string("w\n"), std::string("w\0x", 3)}) {
    EXPECT_EQ(outcome({"g", token}).rfind("HTTPClientError networkError(", 0), 0u);
  }
  EXPECT_TRUE(server.ticketRequests().empty());
  testnet::ScopedEnv closed(servicehosts::ticketEnv, "http://127.0.0.1:" + std::to_string(testnet::closedPort()));
  testnet::LogMark mark;
  EXPECT_EQ(outcome().rfind("HTTPClientError networkError(", 0), 0u);
  EXPECT_EQ(mark.errors("request failed, err=").size(), 1u);
}

}  // namespace
