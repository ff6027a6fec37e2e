#include <gtest/gtest.h>

#include <thread>

#include "Common/Json/JsonReading.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/CURLGuard.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/DownloadMonitor.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/ProgressInfoManager/ProgressInfoManager.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"

using testsupport::TempRoot;

namespace {

std::string progressText(const ProgressInfoManager& m) {
  ProgressInfoManager::ProgressInfo p;
  m.GetProgressInfo(&p);
  return MakeProgressInfoJson(p);
}

std::string errorText(const ProgressInfoManager& m) {
  ProgressInfoManager::ErrorInfo e;
  m.GetErrorInfo(&e);
  return MakeErrorInfoJson(e);
}

}  // namespace

TEST(ProgressInfoManager, TextsOfAWorkerThatNeverRan) {
  ProgressInfoManager m;
  EXPECT_EQ(progressText(m), R"({"operationType": 10000, "totalSize": 0, "currentSize": 0, "isRetry":false})");
  EXPECT_EQ(errorText(m),
            R"({"errorCode": 0 , "errorOperation": 0, "mainErrorCode": 0, "subErrorCode": 0, "errorMessage": ""})");
  EXPECT_FALSE(m.GetProgress());
  m.GetProgressInfo(nullptr);
  m.GetErrorInfo(nullptr);
}

TEST(ProgressInfoManager, RecordsMoveAsTheJobGoes) {
  ProgressInfoManager m;
  m.SetProgress(true);
  m.SetLastErrorCode(0, 0, 0);
  EXPECT_EQ(errorText(m),
            R"({"errorCode": 0 , "errorOperation": 10000, "mainErrorCode": 0, "subErrorCode": 0, "errorMessage": ""})");
  m.SetOperationTypeAndSizeReset(OperationType::Install);
  m.SetTotalSize(18446744073709551615u);
  m.SetCurrentSize(5);
  m.AddCurrentSize(7);
  EXPECT_EQ(progressText(m),
            R"({"operationType": 11000, "totalSize": 18446744073709551615, "currentSize": 12, "isRetry":false})");
  m.SubCurrentSize(2);
  EXPECT_EQ(progressText(m).find("\"currentSize\": 10,") != std::string::npos, true);
  m.SubCurrentSize(100);  // never below zero
  EXPECT_NE(progressText(m).find("\"currentSize\": 0,"), std::string::npos);

  m.SetLastErrorCode(-60, 917, 0);
  EXPECT_EQ(errorText(m),
            R"({"errorCode": -60 , "errorOperation": 11000, "mainErrorCode": 917, "subErrorCode": 0, "errorMessage": ""})");
  m.SetOperationType(OperationType::InstallError);  // moves errorOperation too
  m.SetErrorCode(-40);
  EXPECT_EQ(m.GetErrorCode(), -40);
  EXPECT_EQ(errorText(m),
            R"({"errorCode": -40 , "errorOperation": 13000, "mainErrorCode": 917, "subErrorCode": 0, "errorMessage": ""})");
  m.SetOperationTypeAndSizeReset(OperationType::PatchDownload);  // errorOperation unchanged
  EXPECT_NE(errorText(m).find("\"errorOperation\": 13000,"), std::string::npos);
  m.ResetLastErrorCode();
  EXPECT_EQ(errorText(m),
            R"({"errorCode": 0 , "errorOperation": 10000, "mainErrorCode": 0, "subErrorCode": 0, "errorMessage": ""})");
  m.SetRetry();
  EXPECT_NE(progressText(m).find("\"isRetry\":true}"), std::string::npos);
  m.Cancel();
  EXPECT_FALSE(m.GetProgress());
}

TEST(ProgressInfoManager, CapacityTextComesOutByteForByteAndReadsBackInTwoStages) {
  ProgressInfoManager m;
  m.SetOperationType(OperationType::Install);
  m.SetLastErrorCode(-61, 933, 0);
  m.SetLastErrorMessage(MakeCapacityMessage(100, 200, 1));
  const std::string text = errorText(m);
  EXPECT_EQ(text,
            "{\"errorCode\": -61 , \"errorOperation\": 11000, \"mainErrorCode\": 933, \"subErrorCode\": 0, "
            "\"errorMessage\": \"{\\\"total\\\": 100, \\\"require\\\": 200, \\\"status\\\": 1}\"}");

  // The service's reading: the error record first, then its message.
  const auto doc = jsoncoding::parseDocument(text);
  jsoncoding::ObjectReader error(doc, "ErrorInfo");
  EXPECT_EQ(error.i32("errorCode"), -61);
  EXPECT_EQ(error.u32("errorOperation"), 11000u);
  EXPECT_EQ(error.u32("mainErrorCode"), 933u);
  EXPECT_EQ(error.u32("subErrorCode"), 0u);
  const std::string message = error.string("errorMessage");
  const auto inner = jsoncoding::parseDocument(message);
  jsoncoding::ObjectReader capacity(inner, "CapacityInfo");
  EXPECT_EQ(capacity.u64("require"), 200u);
  EXPECT_EQ(capacity.u64("total"), 100u);
  EXPECT_EQ(capacity.u32("status"), 1u);

  EXPECT_EQ(MakeCapacityMessage(5, 6, 2), R"({"total": 5, "require": 6, "status": 2})");
}

TEST(ProgressInfoManager, AnyMessageKeepsTheErrorTextValid) {
  for (const std::string& message : {std::string("plain"), std::string("quote \" back \\ slash"),
                                    std::string("line\nfeed\ttab\x01"), std::string("bad utf8 \xff\xc3"),
                                    std::string("ok utf8 \xc3\xa9 \xf0\x9f\x98\x80"), std::string("\xed\xa0\x80")}) {
    ProgressInfoManager::ErrorInfo e;
    e.errorCode = -70;
    e.errorMessage = message;
    const std::string text = MakeErrorInfoJson(e);
    rapidjson::Document doc;
    ASSERT_NO_THROW(doc = jsoncoding::parseDocument(text)) << text;
    jsoncoding::ObjectReader reader(doc, "ErrorInfo");
    const std::string back = reader.string("errorMessage");
    if (message.find('\xff') == std::string::npos && message.find('\xed') == std::string::npos) {
      EXPECT_EQ(back, message);
    }
  }
}

TEST(ProgressInfoManager, ConcurrentReadersSeeConsistentRecords) {
  ProgressInfoManager m;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) {
      m.SetOperationTypeAndSizeReset(OperationType::Install);
      m.SetTotalSize(100);
      m.AddCurrentSize(1);
      m.SetLastErrorCode(-60, 917, static_cast<std::uint32_t>(i));
    }
    stop = true;
  });
  while (!stop) {
    ProgressInfoManager::ProgressInfo p;
    m.GetProgressInfo(&p);
    EXPECT_LE(p.currentSize, 1u);
  }
  writer.join();
}

// ---- Transfers ----

TEST(CURLGuard, FetchesBodiesWhateverTheStatus) {
  TempRoot root;
  const std::string body = enginetest::repeatBytes(5 * 1024 * 1024 + 3, 1);
  testsupport::writeFile(root.path() + "/pub/obj.zqgz", body);
  enginetest::FileServer server(root.path() + "/pub");
  server.server().Get("/error-with-body", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("oops", "text/plain");
  });
  server.server().Get("/redirect", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/obj.zqgz");
  });

  CURLGuard guard;
  ASSERT_TRUE(guard.Download(server.url() + "/obj.zqgz"));
  auto info = guard.GetDownloadInfo();
  EXPECT_EQ(info.code, 0u);
  EXPECT_EQ(std::string(info.data.begin(), info.data.end()), body);

  // The status is not looked at: the body counts as received.
  ASSERT_TRUE(guard.Download(server.url() + "/error-with-body"));
  info = guard.GetDownloadInfo();
  EXPECT_EQ(std::string(info.data.begin(), info.data.end()), "oops");
  // Redirects are not followed: the (empty) redirect answer is what arrives.
  ASSERT_TRUE(guard.Download(server.url() + "/redirect"));
  EXPECT_TRUE(guard.GetDownloadInfo().data.empty());

  bool ok = false;
  EXPECT_TRUE(Util::DownloadData(server.url() + "/redirect", ok).empty());
  EXPECT_FALSE(ok);  // an empty body leaves ok alone
  const auto data = Util::DownloadData(server.url() + "/obj.zqgz", ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(data.size(), body.size());
}

TEST(CURLGuard, FailuresAreFailedTransfers) {
  TempRoot root;
  testsupport::writeFile(root.path() + "/secret", "local file");
  CURLGuard guard;
  EXPECT_FALSE(guard.Download("http://127.0.0.1:" + std::to_string(enginetest::closedPort()) + "/x"));
  EXPECT_EQ(guard.GetDownloadInfo().code, static_cast<std::uint32_t>(CURLE_COULDNT_CONNECT));
  // Only HTTP(S): a source address never reads local files.
  EXPECT_FALSE(guard.Download("file://" + root.path() + "/secret"));
  EXPECT_TRUE(guard.GetDownloadInfo().data.empty());
  bool ok = true;
  EXPECT_TRUE(Util::DownloadData("file://" + root.path() + "/secret", ok).empty());
  EXPECT_TRUE(ok);  // untouched

  // A body past the size limit, and an abort asked for while it runs.
  testsupport::writeFile(root.path() + "/pub/big", std::string(3 * 1024 * 1024, 'x'));
  enginetest::FileServer server(root.path() + "/pub");
  CURLGuard small;
  small.SetMaxBodySize(1024 * 1024);
  EXPECT_FALSE(small.Download(server.url() + "/big"));
  CURLGuard aborted;
  aborted.SetAbortCheck([] { return true; });
  EXPECT_FALSE(aborted.Download(server.url() + "/big"));
  EXPECT_EQ(aborted.GetDownloadInfo().code, static_cast<std::uint32_t>(CURLE_ABORTED_BY_CALLBACK));
}

TEST(DownloadMonitor, StatisticsAndTimeTexts) {
  DownloadMonitor m;
  m.SetStartTime();
  m.SetTotalSize(10000);
  m.SetEndTime();  // well under a second: duration stays 0 until filled
  m.FillExtraData();
  auto set = m.GetDataSet();
  EXPECT_EQ(set.duration, 1u);
  EXPECT_EQ(set.average_speed, 10000u);
  m.SetDuration(4999);
  m.CalculateAverageSpeed();
  set = m.GetDataSet();
  EXPECT_EQ(set.duration, 4u);
  EXPECT_EQ(set.average_speed, 2500u);
  m.SetEndState(DownloadMonitor::Completed);
  m.SetEndPointInfo("", "1.2.3.4", "127.0.0.1");
  set = m.GetDataSet();
  EXPECT_EQ(set.end_state, 1u);
  EXPECT_EQ(set.remote_address, "1.2.3.4");
  EXPECT_EQ(set.start_time.size(), 19u);
  EXPECT_EQ(set.start_time[4], '-');
  EXPECT_EQ(set.start_time[10], ' ');
  EXPECT_EQ(set.start_time[13], ':');
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 0;
  tm.tm_mday = 2;
  tm.tm_hour = 3;
  tm.tm_min = 4;
  tm.tm_sec = 5;
  tm.tm_isdst = -1;
  EXPECT_EQ(DownloadMonitor::FormatTime(std::mktime(&tm)), "2026-01-02 03:04:05");
}
