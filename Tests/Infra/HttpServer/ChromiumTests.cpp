// A real browser reads the status from a page of another loopback origin,
// as the publisher's page does: headless Chromium, the page served by a
// small server on 127.0.0.2, its fetch result posted back to that server.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "Infra/HttpServer/HttpServer.hpp"
#include "Platform/OneShot.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

const char* pageTemplate = R"(<!doctype html>
<html><body><script>
function report(text) { fetch('/result', {method: 'POST', body: text}); }
fetch('http://127.0.0.1:PORT/PATH')
  .then(r => r.text().then(t => report(r.status + ' ' + r.headers.get('content-type') + ' ' + t)))
  .catch(e => report('failed ' + e));
</script></body></html>
)";

// Starts Chromium in a process group of its own, so that all of its
// processes go at the end.
struct Browser {
  Browser(const std::string& profile, const std::string& url) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-quic", "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile,
                                     url};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    started = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  ~Browser() {
    if (!started) return;
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  pid_t pid = 0;
  bool started = false;
};

std::string fetchFromPage(std::uint16_t statusPort, const std::string& path) {
  testsupport::TempRoot root;
  std::string page = pageTemplate;
  page.replace(page.find("PORT"), 4, std::to_string(statusPort));
  page.replace(page.find("PATH"), 4, path);

  platform::OneShot<std::string> result;
  httplib::Server site;
  site.Get("/", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(page, "text/html");
  });
  site.Post("/result", [&](const httplib::Request& request, httplib::Response& response) {
    result.resolve(request.body);
    response.set_content("", "text/plain");
  });
  int sitePort = site.bind_to_any_port("127.0.0.2");
  EXPECT_GT(sitePort, 0);
  std::thread serving([&] { site.listen_after_bind(); });

  std::string answer;
  {
    Browser browser(root / "/profile", "http://127.0.0.2:" + std::to_string(sitePort) + "/");
    EXPECT_TRUE(browser.started);
    answer = result.waitFor(std::chrono::seconds(60)).value_or("no answer from the page");
  }
  site.stop();
  serving.join();
  return answer;
}

}  // namespace

TEST(HttpServerBrowserTest, PageOfAnotherOriginReadsTheStatus) {
  if (::access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed (scripts/install-deps)";
  const std::uint16_t port = testsupport::freePort();
  httpserver::HttpServer server;
  server.start("127.0.0.1", port);
  EXPECT_EQ(fetchFromPage(port, "status"), R"(200 application/json {"product":"KTZ","status":"running"})");
}
