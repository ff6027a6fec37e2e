#include <gtest/gtest.h>

#include "Common/Logger/TavloLogger.hpp"
#include "Infra/HttpClient/HTTPReportSender.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"
#include "Tests/Infra/HttpClient/TestNetwork.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace {

const bool processReady = testnet::setUpProcess();
using namespace std::chrono_literals;

class TavloLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(processReady);
    server.start();
    env = std::make_unique<testnet::ScopedEnv>(servicehosts::reportEnv, server.origin());
    reports = connectStatisticsReports();
  }
  void TearDown() override {
    server.clearFaults();
    TavloLogger::SendTasks::shared().waitDone();
    reports.reset();
  }

  testsupport::TempRoot root;
  publisher::Publisher server{root.path()};
  std::unique_ptr<testnet::ScopedEnv> env;
  std::unique_ptr<TavloLogger::Connection> reports;
};

TEST_F(TavloLoggerTest, ALevelThreeLineBecomesOneReportWithDefaultCookies) {
  testnet::LogMark mark;
  logReport("gc=123&tp=12");
  ASSERT_TRUE(server.waitForReports(1, 10s));
  TavloLogger::SendTasks::shared().waitDone();
  auto reports = server.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].query, "gc=123&tp=12");
  EXPECT_EQ(reports[0].userAgent, "MacKTZ");
  EXPECT_EQ(reports[0].cookieHeaderCount, 1u);
  EXPECT_EQ(reports[0].cookies, TavloLogger::defaultCookies());
  // The test program lies in no bundle.
  EXPECT_EQ(reports[0].cookies.at("app_version"), "unknown");
  EXPECT_FALSE(reports[0].cookies.at("os_architecture").empty());
  EXPECT_TRUE(mark.since().empty());  // nothing written to the log file
  EXPECT_NE(testsupport::readFileOrEmpty(root.path() + "/reports.log").find("\"query\":\"gc=123&tp=12\""),
            std::string::npos);
}

TEST_F(TavloLoggerTest, CallerCookiesWinAndUnusableOnesAreSkipped) {
  logReport("gc=1&tp=5", TavloCookies{{"os_version", "mine"},
                                      {"errorLog", "launch failed"},
                                      {"errorCode", "bad\r\nX-Evil: 1"},
                                      {"mainErrorCode", "917"}});
  ASSERT_TRUE(server.waitForReports(1, 10s));
  auto cookies = server.reports().at(0).cookies;
  EXPECT_EQ(cookies.at("os_version"), "mine");
  EXPECT_EQ(cookies.at("errorLog"), "launch failed");
  EXPECT_EQ(cookies.at("mainErrorCode"), "917");
  EXPECT_EQ(cookies.count("errorCode"), 0u);
  EXPECT_EQ(cookies.at("app_version"), "unknown");
}

TEST_F(TavloLoggerTest, AQueryThatMakesNoURLIsDropped) {
  EXPECT_FALSE(TavloLogger::reportURL("gc=1 tp=2"));
  EXPECT_FALSE(TavloLogger::reportURL("gc=1\r\nHost: evil"));
  EXPECT_EQ(TavloLogger::reportURL("gc=1&tp=2"), server.origin() + "/ifc/ktz.aspx?gc=1&tp=2");
  TavloLogger::send("gc=1 tp=2", std::nullopt);
  EXPECT_EQ(TavloLogger::SendTasks::shared().count(), 0u);
}

TEST_F(TavloLoggerTest, A404AnswerIsNotAnError) {
  server.setFault("/ifc/ktz.aspx", publisher::Fault::respond(404, "gone"));
  testnet::LogMark mark;
  TavloLogger::send("gc=1&tp=1", std::nullopt);
  TavloLogger::SendTasks::shared().waitDone();
  EXPECT_EQ(server.reports().size(), 1u);
  EXPECT_TRUE(mark.errors().empty());
  EXPECT_EQ(TavloLogger::SendTasks::shared().count(), 0u);
}

TEST_F(TavloLoggerTest, ARefusedReportIsOneErrorAtTheWait) {
  testnet::ScopedEnv closed(servicehosts::reportEnv, "http://127.0.0.1:" + std::to_string(testnet::closedPort()));
  testnet::LogMark mark;
  TavloLogger::send("gc=1&tp=1", std::nullopt);
  TavloLogger::SendTasks::shared().waitDone();
  // The client's own line when the request fails, and the wait's line.
  EXPECT_EQ(mark.errors("request failed, err=").size(), 1u);
  auto waited = mark.errors("An error occurred: ");
  ASSERT_EQ(waited.size(), 1u);
  EXPECT_NE(waited[0].find("networkError("), std::string::npos) << waited[0];
  EXPECT_EQ(mark.errors().size(), 2u);
  EXPECT_EQ(TavloLogger::SendTasks::shared().count(), 0u);
  TavloLogger::SendTasks::shared().waitDone();  // nothing left: no more lines
  EXPECT_EQ(mark.errors().size(), 2u);
}

TEST(TavloSendTasks, AReportStartedDuringTheWaitIsKeptForTheNextOne) {
  ASSERT_TRUE(processReady);
  TavloLogger::SendTasks tasks;
  auto first = std::make_shared<TavloLogger::Task>();
  auto late = std::make_shared<TavloLogger::Task>();
  tasks.append(first);
  testnet::LogMark mark;
  tasks.waitDone([&] {
    tasks.append(late);
    first->result.resolve(TavloLogger::Failure{"networkError(x)", "The request failed: x"});
  });
  EXPECT_EQ(tasks.count(), 1u);
  EXPECT_EQ(mark.errors(), std::vector<std::string>{"An error occurred: networkError(x) The request failed: x"});
  late->result.resolve(std::nullopt);
  tasks.waitDone();
  EXPECT_EQ(tasks.count(), 0u);
  EXPECT_EQ(mark.errors().size(), 1u);
}

TEST(TavloSendTasks, WaitWithNothingStartedReturnsAtOnce) {
  TavloLogger::SendTasks tasks;
  tasks.waitDone();
  EXPECT_EQ(tasks.count(), 0u);
}

}  // namespace
