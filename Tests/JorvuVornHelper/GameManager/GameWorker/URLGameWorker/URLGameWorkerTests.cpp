#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "Common/Protocol/ErrorInfo.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/FolderPermission.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/URLGameWorker/URLGameWorker.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/WaitUntil.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testsupport::TempRoot;
using testsupport::waitUntil;

namespace {

// A gate that a server handler waits at until the test opens it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 20s, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// An HTTP server on 127.0.0.1 with a handler per path; unknown paths get 404.
class LocalServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  LocalServer() {
    server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      Handler handler;
      {
        std::lock_guard lock(mutex_);
        ++hits_[req.method + " " + req.path];
        auto it = handlers_.find(req.path);
        if (it != handlers_.end()) handler = it->second;
      }
      if (handler) handler(req, res);
      else res.status = 404;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    warmUp();
  }
  ~LocalServer() {
    server_.stop();
    thread_.join();
  }

  void on(const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[path] = std::move(handler);
  }
  void serve(const std::string& path, std::string body) {
    on(path, [body](const httplib::Request&, httplib::Response& res) { res.set_content(body, "application/zip"); });
  }
  int hits(const std::string& methodAndPath) {
    std::lock_guard lock(mutex_);
    return hits_[methodAndPath];
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

 private:
  // One request answered before the test's own: the loop runs by then, so
  // that stop() is not lost, and the library's function-local statics that
  // the first requests build (the methods it knows, the Range pattern) are
  // built. The library is not built for ThreadSanitizer, which cannot see
  // that a static's guard orders its first build before another thread's
  // use: two first requests at once would be reported as a race.
  void warmUp() {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(60);
    client.set_read_timeout(60);
    auto answer = client.Get("/warm-up", {{"Range", "bytes=0-0"}});
    ASSERT_TRUE(answer) << "the test server did not answer";
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::map<std::string, Handler> handlers_;
  std::map<std::string, int> hits_;
};

struct Report {
  std::string query;
  TavloCookies cookies;
};

ErrorInfo errorRecord(URLGameWorker& worker) { return ErrorInfo::decode(worker.getErrorInfo()); }
GameStatus::ProgressInfo progressRecord(URLGameWorker& worker) {
  return GameStatus::ProgressInfo::decode(worker.getProgressInfo());
}

class URLGameWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(gamesRoot);
    VornLogger::setReportHandler([this](const std::string& query, const std::optional<TavloCookies>& cookies) {
      std::lock_guard lock(reportsMutex);
      reports.push_back({query, cookies.value_or(TavloCookies{})});
    });
  }
  void TearDown() override {
    VornLogger::shared().waitIdle();  // a report still on its way lands before `reports` goes
    VornLogger::setReportHandler(nullptr);
  }

  std::vector<Report> takeReports() {
    VornLogger::shared().waitIdle();
    std::lock_guard lock(reportsMutex);
    return reports;
  }

  // A zip holding Game.app/Contents/MacOS/Game (and an Info.plist).
  std::string makeArchive() {
    const std::string src = root.path() + "/src";
    testsupport::writeFile(src + "/Game.app/Contents/MacOS/Game", "#!/bin/sh\necho game\n");
    testsupport::writeFile(src + "/Game.app/Contents/Info.plist", "<plist><dict/></plist>\n");
    // Modes that let anybody write, and a link out of the game's folder, kept in the archive.
    ::chmod((src + "/Game.app/Contents/MacOS/Game").c_str(), 0777);
    ::chmod((src + "/Game.app/Contents/Info.plist").c_str(), 0666);
    ::chmod((src + "/Game.app/Contents").c_str(), 0777);
    testsupport::writeFile(outsideFile(), "not the game's");
    ::chmod(outsideFile().c_str(), 0600);
    std::error_code ec;
    fs::create_symlink(outsideFile(), src + "/Game.app/Contents/outside", ec);
    const std::string zip = root.path() + "/Game.zip";
    auto r = CommandLineLauncher::runCommand("/bin/sh", {"-c", "cd \"$1\" && /usr/bin/zip -qry \"$2\" Game.app", "sh", src, zip},
                                             true);
    EXPECT_EQ(r.status, 0) << r.output.value_or("");
    return testsupport::readFileOrEmpty(zip);
  }

  std::string outsideFile() const { return root.path() + "/outside.txt"; }

  // Names in the games root that the worker or the downloader made for a job.
  std::vector<std::string> leftovers() {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(gamesRoot)) {
      std::string name = entry.path().filename().string();
      if (!name.empty() && name[0] == '.') out.push_back(name);
    }
    return out;
  }

  bool waitForEnd(URLGameWorker& worker) {
    return waitUntil([&] { return worker.getWorkMode() != 1; });
  }

  TempRoot root;
  const std::string gamesRoot = root / "/Library/Application Support/Jorvu";
  const std::string gameFolder = gamesRoot + "/Game";
  std::mutex reportsMutex;
  std::vector<Report> reports;
  LocalServer server;
};

}  // namespace

TEST_F(URLGameWorkerTest, NewWorkerChecksTheBundleExecutableAndReportsNothingYet) {
  URLGameWorker worker(77, server.url("/Game.zip"), "/Library/Application Support/Jorvu/G", "Game.app");
  EXPECT_EQ(worker.getWorkMode(), 1u);
  EXPECT_TRUE(worker.needWork());
  testsupport::writeFile(gamesRoot + "/G/Game.app/Contents/MacOS/Game", "x");
  EXPECT_FALSE(worker.needWork());

  auto progress = progressRecord(worker);
  EXPECT_EQ(progress.operationType, 11000u);
  EXPECT_EQ(progress.totalSize, 0u);
  EXPECT_EQ(progress.currentSize, 0u);
  EXPECT_FALSE(progress.isRetry);
  auto error = errorRecord(worker);
  EXPECT_EQ(error.errorCode, 0);
  EXPECT_EQ(error.mainErrorCode, 0u);
  EXPECT_EQ(error.errorOperation, 11000u);
  EXPECT_EQ(error.errorMessage, "");
}

TEST_F(URLGameWorkerTest, HeadNotFoundIsADownloadFailureAndALaterWorkStartsAnew) {
  URLGameWorker worker(77, server.url("/Game.zip"), "/Library/Application Support/Jorvu/Game", "Game.app");
  EXPECT_TRUE(worker.work());
  ASSERT_TRUE(waitForEnd(worker));
  EXPECT_EQ(worker.getWorkMode(), 6u);
  auto error = errorRecord(worker);
  EXPECT_EQ(error.errorCode, -60);
  EXPECT_EQ(error.mainErrorCode, 917u);
  EXPECT_EQ(error.errorOperation, 13000u);
  EXPECT_EQ(error.subErrorCode, 0u);
  EXPECT_EQ(error.errorMessage, "");
  EXPECT_EQ(server.hits("GET /Game.zip"), 0);  // the HEAD check stopped it

  auto sent = takeReports();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].query, "gc=77&tp=14");
  EXPECT_EQ(sent[0].cookies["errorCode"], "-60");
  EXPECT_EQ(sent[0].cookies["mainErrorCode"], "917");
  EXPECT_NE(sent[0].cookies["errorLog"].find("statusCode=404"), std::string::npos) << sent[0].cookies["errorLog"];

  // The failed download was forgotten: the next work downloads again.
  server.serve("/Game.zip", makeArchive());
  EXPECT_TRUE(worker.work());
  ASSERT_TRUE(waitForEnd(worker));
  EXPECT_EQ(worker.getWorkMode(), 4u);
  EXPECT_EQ(errorRecord(worker).errorCode, 0);
  EXPECT_EQ(takeReports().size(), 1u);
}

TEST_F(URLGameWorkerTest, SuccessfulInstallReplacesTheOldFolder) {
  const std::string archive = makeArchive();
  server.serve("/Game.zip", archive);
  testsupport::writeFile(gameFolder + "/stale.txt", "old");

  URLGameWorker worker(77, server.url("/Game.zip"), "/Library/Application Support/Jorvu/Game", "Game.app");
  ASSERT_TRUE(worker.needWork());
  EXPECT_TRUE(worker.work());
  ASSERT_TRUE(waitForEnd(worker));
  ASSERT_EQ(worker.getWorkMode(), 4u) << worker.getErrorInfo();

  auto progress = progressRecord(worker);
  EXPECT_EQ(progress.operationType, 12000u);
  EXPECT_EQ(progress.totalSize, archive.size());
  EXPECT_EQ(progress.currentSize, progress.totalSize);
  EXPECT_TRUE(fs::is_regular_file(gameFolder + "/Game.app/Contents/MacOS/Game"));
  EXPECT_FALSE(fs::exists(gameFolder + "/stale.txt"));
  EXPECT_FALSE(worker.needWork());
  // One mode for all (umask 022: 0755), whatever the archive said; the link
  // is unpacked as a link and what it points at is not changed.
  const mode_t expected = 0700 | (0055 & ~FolderPermission::processUmask());
  struct stat st {};
  ASSERT_EQ(::lstat(gameFolder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, expected);
  for (const auto& entry : fs::recursive_directory_iterator(gameFolder)) {
    ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
    if (!S_ISLNK(st.st_mode)) {
      EXPECT_EQ(st.st_mode & 07777, expected) << entry.path();
    }
  }
  EXPECT_TRUE(fs::is_symlink(gameFolder + "/Game.app/Contents/outside"));
  ASSERT_EQ(::stat(outsideFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // The old folder and the temporary file go once the new folder is in place.
  EXPECT_TRUE(waitUntil([&] { return leftovers().empty(); })) << ::testing::PrintToString(leftovers());
  EXPECT_TRUE(takeReports().empty());  // a successful install sends no report of its own
}

TEST_F(URLGameWorkerTest, UnpackFailuresKeepTheOldFolder) {
  struct Case {
    std::string name;
    std::function<void(const httplib::Request&, httplib::Response&)> handler;
    std::int32_t errorCode;
    std::uint32_t mainErrorCode;
  };
  const std::vector<Case> cases = {
      {"corrupt archive", [](const httplib::Request&, httplib::Response& res) { res.set_content("not a zip file", "application/zip"); },
       -40, 301},
      // An error status on the GET is never an archive to unpack.
      {"error status on the GET",
       [](const httplib::Request& req, httplib::Response& res) {
         if (req.method == "HEAD") res.set_content("", "application/zip");
         else {
           res.status = 500;
           res.set_content("server error page", "text/html");
         }
       },
       -60, 917},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(gameFolder);
    testsupport::writeFile(gameFolder + "/Game.app/Contents/MacOS/Game", "installed");
    server.on("/Game.zip", c.handler);
    URLGameWorker worker(77, server.url("/Game.zip"), "/Library/Application Support/Jorvu/Game", "Game.app");
    worker.work();
    ASSERT_TRUE(waitForEnd(worker));
    EXPECT_EQ(worker.getWorkMode(), 6u);
    auto error = errorRecord(worker);
    EXPECT_EQ(error.errorCode, c.errorCode);
    EXPECT_EQ(error.mainErrorCode, c.mainErrorCode);
    EXPECT_EQ(testsupport::readFileOrEmpty(gameFolder + "/Game.app/Contents/MacOS/Game"), "installed");
    EXPECT_TRUE(waitUntil([&] { return leftovers().empty(); })) << ::testing::PrintToString(leftovers());
  }
  auto sent = takeReports();
  ASSERT_EQ(sent.size(), cases.size());
  EXPECT_EQ(sent[0].cookies["errorCode"], "-40");
  EXPECT_EQ(sent[0].cookies["mainErrorCode"], "301");
}

TEST_F(URLGameWorkerTest, CancelDuringASlowDownloadStaysCancelled) {
  const std::string archive = makeArchive();
  auto gate = std::make_shared<Gate>();  // outlives a handler still running at the end
  server.on("/Game.zip", [gate](const httplib::Request&, httplib::Response& res) {
    const std::size_t total = 1 << 20;
    res.set_content_provider(total, "application/zip", [gate](std::size_t offset, std::size_t, httplib::DataSink& sink) {
      if (offset > 0) {  // the first 64 KiB, then nothing until the test ends
        gate->wait();
        return false;
      }
      std::string chunk(64 * 1024, 'x');
      return sink.write(chunk.data(), chunk.size());
    });
  });
  URLGameWorker worker(77, server.url("/Game.zip"), "/Library/Application Support/Jorvu/Game", "Game.app");
  worker.work();
  ASSERT_TRUE(waitUntil([&] {
    auto p = progressRecord(worker);
    return p.currentSize > 0 && p.totalSize > 0;
  }));
  EXPECT_EQ(progressRecord(worker).totalSize, 1u << 20);
  ASSERT_EQ(leftovers().size(), 1u);  // the temporary file, beside the game folders

  worker.cancel();
  EXPECT_EQ(worker.getWorkMode(), 5u);
  EXPECT_TRUE(waitUntil([&] { return leftovers().empty(); }));
  EXPECT_EQ(worker.getWorkMode(), 5u);
  EXPECT_EQ(errorRecord(worker).errorOperation, 42000u);
  EXPECT_EQ(errorRecord(worker).errorCode, 0);
  EXPECT_FALSE(fs::exists(gameFolder));
  gate->open();

  // A new work after the cancel downloads again and installs.
  server.serve("/Game.zip", archive);
  worker.work();
  ASSERT_TRUE(waitForEnd(worker));
  EXPECT_EQ(worker.getWorkMode(), 4u);
  EXPECT_TRUE(takeReports().empty());  // a cancel is no failure
}

TEST_F(URLGameWorkerTest, CancelDuringTheCheckIsHonoured) {
  auto gate = std::make_shared<Gate>();  // outlives a handler still running at the end
  auto headArrived = std::make_shared<std::atomic<bool>>(false);
  server.on("/Game.zip", [gate, headArrived](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "HEAD") {
      *headArrived = true;
      gate->wait();
    }
    res.set_content("not reached", "application/zip");
  });
  {
    URLGameWorker worker(77, server.url("/Game.zip"), "/Library/Application Support/Jorvu/Game", "Game.app");
    worker.work();
    ASSERT_TRUE(waitUntil([&] { return headArrived->load(); }));
    worker.cancel();
    gate->open();
    EXPECT_EQ(worker.getWorkMode(), 5u);
  }  // the worker's end waits for the download's thread
  EXPECT_EQ(server.hits("GET /Game.zip"), 0);
  EXPECT_TRUE(leftovers().empty());
  EXPECT_TRUE(takeReports().empty());
}

TEST_F(URLGameWorkerTest, AStalledDownloadFailsButASlowOneFinishes) {
  URLDownloaderSettings quick;
  quick.stallTimeout = 2s;
  auto gate = std::make_shared<Gate>();  // outlives a handler still running at the end
  server.on("/stalled.zip", [gate](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(100000, "application/zip", [gate](std::size_t offset, std::size_t, httplib::DataSink& sink) {
      if (offset > 0) {
        gate->wait();
        return false;
      }
      return sink.write("PK", 2);
    });
  });
  // Longer than the stall time-out in all, but never silent for long.
  auto archive = std::make_shared<const std::string>(makeArchive());
  server.on("/slow.zip", [archive](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "HEAD") return res.set_content("", "application/zip");
    res.set_content_provider(archive->size(), "application/zip", [archive](std::size_t offset, std::size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(200ms);
      const std::size_t n = std::min<std::size_t>(archive->size() - offset, archive->size() / 12 + 1);
      return sink.write(archive->data() + offset, n);
    });
  });

  URLGameWorker stalled(77, server.url("/stalled.zip"), "/Library/Application Support/Jorvu/Game", "Game.app", quick);
  URLGameWorker slow(78, server.url("/slow.zip"), "/Library/Application Support/Jorvu/Slow", "Game.app", quick);
  stalled.work();
  slow.work();
  ASSERT_TRUE(waitForEnd(stalled));
  gate->open();
  EXPECT_EQ(stalled.getWorkMode(), 6u);
  EXPECT_EQ(errorRecord(stalled).errorCode, -60);
  ASSERT_TRUE(waitForEnd(slow));
  EXPECT_EQ(slow.getWorkMode(), 4u) << slow.getErrorInfo() << " " << takeReports().back().cookies["errorLog"];
  EXPECT_TRUE(fs::exists(gamesRoot + "/Slow/Game.app/Contents/MacOS/Game"));
}

TEST_F(URLGameWorkerTest, ARefusedOptionFailsTheDownloadBeforeAnythingIsSent) {
  URLDownloaderSettings refused;
  refused.connectTimeout = -1s;  // libcurl refuses a negative time-out
  server.serve("/Game.zip", makeArchive());
  URLGameWorker worker(77, server.url("/Game.zip"), "/Library/Application Support/Jorvu/Game", "Game.app", refused);
  EXPECT_TRUE(worker.work());
  ASSERT_TRUE(waitForEnd(worker));
  EXPECT_EQ(worker.getWorkMode(), 6u);
  EXPECT_EQ(errorRecord(worker).errorCode, -60);
  EXPECT_EQ(server.hits("HEAD /Game.zip") + server.hits("GET /Game.zip"), 0);
  auto sent = takeReports();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].cookies["errorLog"].find("CURLOPT_CONNECTTIMEOUT refused"), std::string::npos)
      << sent[0].cookies["errorLog"];
}

TEST_F(URLGameWorkerTest, NeverTouchesAFolderOutsideTheGamesRoot) {
  testsupport::writeFile(root / "/Library/Application Support/Elsewhere/keep.txt", "mine");
  server.serve("/Game.zip", makeArchive());
  for (const std::string folder : {"/Library/Application Support/Jorvu/../Elsewhere", "/Library/Application Support/Jorvu",
                                   "/Library/Application Support/Jorvu/"}) {
    SCOPED_TRACE(folder);
    URLGameWorker worker(77, server.url("/Game.zip"), folder, "Game.app");
    EXPECT_FALSE(worker.work());
    EXPECT_EQ(worker.getWorkMode(), 6u);
    auto error = errorRecord(worker);
    EXPECT_EQ(error.errorCode, -40);
    EXPECT_EQ(error.mainErrorCode, 0u);
  }
  EXPECT_EQ(testsupport::readFileOrEmpty(root / "/Library/Application Support/Elsewhere/keep.txt"), "mine");
  EXPECT_EQ(server.hits("HEAD /Game.zip"), 0);
}

TEST_F(URLGameWorkerTest, StrictlyBelowTheGamesRoot) {
  fs::create_directories(root / "/outside");
  fs::create_directory_symlink(root / "/outside", gamesRoot + "/link");
  const std::vector<std::pair<std::string, bool>> cases = {
      {gamesRoot + "/Game", true},
      {gamesRoot + "/Game/", true},
      {"/Library/Application Support/Jorvu/Game", true},
      {gamesRoot + "/a/../Game", true},
      {gamesRoot, false},
      {gamesRoot + "/", false},
      {gamesRoot + "/.", false},
      {gamesRoot + "/../Jorvu", false},
      {gamesRoot + "/../Other", false},
      {gamesRoot + "/link/Game", false},  // through a link that leads out
      {"relative/Game", false},
      {"", false},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(URLGameWorker::isStrictlyBelowGamesRoot(path), expected) << path;
  }
}
