#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Common/Logger/VornLogger.hpp"
#include "Tests/Support/TempRoot.hpp"

using testsupport::readFileOrEmpty;
using testsupport::TempRoot;

namespace {

std::chrono::system_clock::time_point localTime(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// Runs `body` in a child process (the shared logger is made once per process)
// and returns its exit status.
int inChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int rc = 99;
    try {
      rc = body();
    } catch (...) {
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(VornLogger, WritesLinesByteForByteAndDropsDebug) {
  TempRoot root;
  const std::string dir = root.path() + "/logs";
  {
    VornLogger logger(dir, "JorvuVornHelper", 812);
    auto when = localTime(2026, 12, 6, 10, 5, 22);
    logger.log(when, VornLogLevel::info, "hello");
    logger.log(when, VornLogLevel::debug, "never");
    logger.log(when, VornLogLevel::error, "bad thing");
    logger.log(when, VornLogLevel::report, "gc=1&tp=2");
    logger.waitIdle();
    EXPECT_EQ(logger.errorState(), VornLogErrorState::occurred);
  }
  EXPECT_EQ(readFileOrEmpty(dir + "/JorvuVornHelper.log"),
            "[2026-12-06 10:05:22][812][JorvuVornHelper][INFO] hello\n"
            "***[2026-12-06 10:05:22][812][JorvuVornHelper][ERROR] bad thing\n");
}

TEST(VornLogger, AppendsToAnExistingFile) {
  TempRoot root;
  const std::string dir = root.path() + "/logs";
  testsupport::writeFile(dir + "/p.log", "earlier\n");
  VornLogger logger(dir, "p", 1);
  logger.log(localTime(2026, 1, 2, 3, 4, 5), VornLogLevel::info, "later");
  logger.waitIdle();
  EXPECT_EQ(readFileOrEmpty(dir + "/p.log"), "earlier\n[2026-01-02 03:04:05][1][p][INFO] later\n");
}

TEST(VornLogger, StopsAtTheSizeLimitAfterOneLineAndTheNote) {
  TempRoot root;
  const std::string dir = root.path() + "/logs";
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/p.log";
  {
    std::ofstream(file).close();
    std::filesystem::resize_file(file, VornLogger::maxFileSize);  // sparse
  }
  VornLogger logger(dir, "p", 1);
  auto when = localTime(2026, 1, 2, 3, 4, 5);
  logger.log(when, VornLogLevel::info, "last");
  logger.log(when, VornLogLevel::error, "dropped");
  logger.log(when, VornLogLevel::info, "dropped too");
  logger.waitIdle();
  // The ERROR after the limit neither reaches the file nor marks the state.
  EXPECT_EQ(logger.errorState(), VornLogErrorState::success);

  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(VornLogger::maxFileSize));
  std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(tail, "[2026-01-02 03:04:05][1][p][INFO] last\nmax file size. no longer write logs to files.\n");
}

TEST(VornLogger, ReportsGoToTheHandlerNotTheFile) {
  TempRoot root;
  std::mutex m;
  std::vector<std::string> reports;
  VornLogger::setReportHandler([&](const std::string& q, const std::optional<TavloCookies>& c) {
    std::lock_guard lock(m);
    reports.push_back(q + (c && c->count("errorCode") ? "|" + c->at("errorCode") : ""));
  });
  const std::string dir = root.path() + "/logs";
  {
    VornLogger logger(dir, "p", 1);
    logger.log(std::chrono::system_clock::now(), VornLogLevel::report, "gc=5&tp=14", TavloCookies{{"errorCode", "-60"}});
    logger.waitIdle();
  }
  VornLogger::setReportHandler(nullptr);
  EXPECT_EQ(reports, std::vector<std::string>{"gc=5&tp=14|-60"});
  EXPECT_EQ(readFileOrEmpty(dir + "/p.log"), "");
}

TEST(VornLogger, UnwritableFolderMeansNoOutputAndNoFailure) {
  TempRoot root;
  testsupport::writeFile(root.path() + "/file", "x");
  VornLogger logger(root.path() + "/file/logs", "p", 1);  // a file where the folder should be
  logger.log(std::chrono::system_clock::now(), VornLogLevel::error, "nowhere");
  logger.waitIdle();
  EXPECT_FALSE(std::filesystem::exists(root.path() + "/file/logs"));
}

TEST(VornLogger, ManyThreadsLoseNoLine) {
  TempRoot root;
  const std::string dir = root.path() + "/logs";
  {
    VornLogger logger(dir, "p", 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) logger.log(std::chrono::system_clock::now(), VornLogLevel::info, "x");
      });
    }
    for (auto& t : threads) t.join();
  }  // the destructor writes out what is queued
  std::ifstream in(dir + "/p.log");
  int lines = 0;
  for (std::string line; std::getline(in, line);) lines++;
  EXPECT_EQ(lines, 1600);
}

// The shared logger: the folder is deleted at clearLogFile unless an ERROR was
// logged or the configuration keeps it.
TEST(VornLoggerShared, ClearLogFileKeepsOrDeletesTheFolder) {
  struct Case {
    const char* name;
    const char* config;  // nullptr: no file
    bool logError;
    bool keep;
  };
  const Case cases[] = {
      {"no config, no error", nullptr, false, false},
      {"an ERROR line", nullptr, true, true},
      {"config keeps it", R"({"common":{"isRemainLogFile":true},"games":[]})", false, true},
      {"config says no", R"({"common":{"isRemainLogFile":false},"games":[]})", false, false},
      // The invalid file's own ERROR line must count, though it is logged by clearLogFile itself.
      {"invalid config", R"({"games":[]})", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot root;
    if (c.config) testsupport::writeFile(root.path() + "/Library/Application Support/Jorvu/VornConfig.json", c.config);
    const std::string dir = root.home() + "/Library/Logs/JorvuLauncher";
    int rc = inChild([&] {
      logInfo("started");
      if (c.logError) logError("boom");
      VornLogger::clearLogFile();
      return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::filesystem::exists(dir), c.keep);
  }
}

TEST(VornLoggerShared, LinesLoggedJustBeforeExitAreWritten) {
  TempRoot root;
  const std::string file = root.home() + "/Library/Logs/JorvuLauncher/common_tests.log";
  int rc = inChild([]() -> int {
    for (int i = 0; i < 100; ++i) logInfo("line " + std::to_string(i));
    std::exit(0);  // atexit handlers run, the queue is drained
  });
  EXPECT_EQ(rc, 0);
  std::string text = readFileOrEmpty(file);
  EXPECT_NE(text.find("[INFO] line 99\n"), std::string::npos);
}

TEST(VornLoggerShared, IsRemainLogFileFallsBackToTheStoredValue) {
  TempRoot root;
  EXPECT_FALSE(VornLogger::isRemainLogFile());
  VornLogger::setIsRemainLogFile(true);
  EXPECT_TRUE(VornLogger::isRemainLogFile());
  testsupport::writeFile(root.path() + "/Library/Application Support/Jorvu/VornConfig.json",
                         R"({"common":{"isRemainLogFile":false},"games":[]})");
  EXPECT_FALSE(VornLogger::isRemainLogFile());
  VornLogger::setIsRemainLogFile(false);
}

TEST(VornLogLevel, RawValues) {
  EXPECT_EQ(vornLogLevel(0), VornLogLevel::error);
  EXPECT_EQ(vornLogLevel(3), VornLogLevel::report);
  EXPECT_EQ(vornLogLevel(4), std::nullopt);
  EXPECT_EQ(vornLogLevel(-1), std::nullopt);
}
