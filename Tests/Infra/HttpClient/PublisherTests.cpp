#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "Infra/HttpClient/HTTPClient.hpp"
#include "Tests/Infra/HttpClient/TestNetwork.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/WaitUntil.hpp"
#include "Tools/publisher/Publisher.hpp"

extern char** environ;

namespace {

const bool processReady = testnet::setUpProcess();
using namespace std::chrono_literals;
using publisher::Fault;

// More connections than a pool of threads for a small server would have.
constexpr int kHeldConnections = 40;

// A connection to 127.0.0.1:`port` that has sent one GET for `path` and is
// left waiting for the answer; its descriptor.
int sendGet(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    ADD_FAILURE() << "cannot send a request on port " << port;
  }
  return fd;
}

bool answered(int fd) {
  pollfd watched{fd, POLLIN, 0};
  return ::poll(&watched, 1, 0) != 0;
}

std::size_t openDescriptors() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                std::filesystem::directory_iterator()));
}

// A request that either gets its answer soon or fails.
HTTPResponse getSoon(const std::string& url) {
  URLSession session;
  session.requestTimeout = 10s;
  session.resourceTimeout = 10s;
  return HTTPClient(session).request(url, "GET", {}, std::nullopt, std::nullopt);
}

class PublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(processReady);
    server.start();
  }
  HTTPResponse get(const std::string& path, const std::string& method = "GET") {
    return HTTPClient().request(server.origin() + path, method, {}, std::nullopt, std::nullopt);
  }

  testsupport::TempRoot root;
  publisher::Publisher server{root.path()};
};

TEST_F(PublisherTest, ServesCatalogueRecordsWithScriptedStatus) {
  testsupport::writeFile(root.path() + "/game-info/128000.json", R"({"game_code":128000})");
  testsupport::writeFile(root.path() + "/game-info/5@beta.json", "not a record");
  testsupport::writeFile(root.path() + "/game-info/5@beta.status", "500\n");
  testsupport::writeFile(root.path() + "/secret.json", "secret");

  auto ok = get("/game-info/128000");
  EXPECT_EQ(ok.statusCode, 200);
  EXPECT_EQ(*ok.data, R"({"game_code":128000})");
  auto scripted = get("/game-info/5@beta");
  EXPECT_EQ(scripted.statusCode, 500);
  EXPECT_EQ(*scripted.data, "not a record");
  EXPECT_EQ(get("/game-info/6").statusCode, 404);
  EXPECT_EQ(get("/game-info/..%2Fsecret").statusCode, 404);
  EXPECT_EQ(server.catalogueRequests().size(), 4u);

  // A tag with "/" between names: a record in a folder of its own.
  testsupport::writeFile(root.path() + "/game-info/128000@678e/dev.json", R"({"dev":true})");
  EXPECT_EQ(*get("/game-info/128000@678e/dev").data, R"({"dev":true})");
  EXPECT_EQ(get("/game-info/128000@678e/.dev").statusCode, 404);
  EXPECT_EQ(get("/game-info/128000@678e//dev").statusCode, 404);
}

TEST_F(PublisherTest, ServesStaticFilesInsideTheRootOnly) {
  testsupport::writeFile(root.path() + "/src/a/obj.bin", "0123456789");
  testsupport::writeFile(root.path() + "/../outside-" + std::to_string(::getpid()), "no");
  EXPECT_EQ(*get("/src/a/obj.bin").data, "0123456789");
  auto head = get("/src/a/obj.bin", "HEAD");
  EXPECT_EQ(head.statusCode, 200);
  bool sawLength = false;
  for (const auto& [k, v] : head.response.headerFields) {
    if (k == "Content-Length") sawLength = v == "10";
  }
  EXPECT_TRUE(sawLength);
  for (const std::string& bad : std::vector<std::string>{"/../outside-" + std::to_string(::getpid()), "/src/%2e%2e/%2e%2e/x", "/src/a",
                                "/missing"}) {
    EXPECT_EQ(get(bad).statusCode, 404) << bad;
  }
  std::filesystem::remove(root.path() + "/../outside-" + std::to_string(::getpid()));
}

TEST_F(PublisherTest, ServesWebPagesWithTheirMediaTypes) {
  testsupport::writeFile(root.path() + "/site/game.html", "<!doctype html>");
  testsupport::writeFile(root.path() + "/site/game.js", "1;");
  testsupport::writeFile(root.path() + "/src/obj.zqgz", "x");
  auto typeOf = [&](const std::string& path) {
    for (const auto& [k, v] : get(path).response.headerFields) {
      if (k == "Content-Type") return v;
    }
    return std::string();
  };
  EXPECT_EQ(typeOf("/site/game.html"), "text/html; charset=utf-8");
  EXPECT_EQ(typeOf("/site/game.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(typeOf("/src/obj.zqgz"), "application/octet-stream");
}

TEST_F(PublisherTest, SwitchesACatalogueRecordWhole) {
  testsupport::writeFile(root.path() + "/records/7-release-1.json", R"({"release":1})");
  testsupport::writeFile(root.path() + "/records/7-release-2.json", R"({"release":2})");
  testsupport::writeFile(root.path() + "/secret.json", "secret");
  auto post = [&](const std::string& body) {
    return HTTPClient()
        .request(server.origin() + "/_publisher/catalogue", "POST", {}, body, std::nullopt)
        .statusCode;
  };
  EXPECT_EQ(get("/game-info/7").statusCode, 404);
  EXPECT_EQ(post(R"({"game":"7","record":"7-release-1"})"), 204);
  EXPECT_EQ(*get("/game-info/7").data, R"({"release":1})");
  EXPECT_EQ(post(R"({"game":"7","record":"7-release-2"})"), 204);
  EXPECT_EQ(*get("/game-info/7").data, R"({"release":2})");
  EXPECT_EQ(post(R"({"game":"7@beta","record":"7-release-1"})"), 204);
  EXPECT_EQ(*get("/game-info/7@beta").data, R"({"release":1})");

  EXPECT_EQ(post(R"({"game":"7","record":"7-release-3"})"), 404);
  for (const char* bad : {R"({"game":"7","record":"../secret"})", R"({"game":"../7","record":"7-release-1"})",
                                 R"({"game":"x7","record":"7-release-1"})", R"({"game":"7@a@b","record":"7-release-1"})",
                                 R"({"game":"7","record":".hidden"})", R"({"game":7,"record":"7-release-1"})", "{"}) {
    EXPECT_EQ(post(bad), 400) << bad;
  }
  EXPECT_EQ(*get("/game-info/7").data, R"({"release":2})");
  for (const auto& entry : std::filesystem::directory_iterator(root.path() + "/game-info")) {
    const std::string name = entry.path().filename();
    EXPECT_TRUE(name == "7.json" || name == "7@beta.json") << name;  // nothing half-written left
  }
}

TEST_F(PublisherTest, FaultsFailTimesThenServe) {
  testsupport::writeFile(root.path() + "/src/o", "data");
  server.setFault("/src/", Fault::failTimes(2, 503, "busy"));
  auto first = get("/src/o");
  EXPECT_EQ(first.statusCode, 503);
  EXPECT_EQ(*first.data, "busy");
  EXPECT_EQ(get("/src/o").statusCode, 503);
  EXPECT_EQ(*get("/src/o").data, "data");
  EXPECT_EQ(server.requestCount("/src/o"), 3u);
}

TEST_F(PublisherTest, FaultsHead404AndRespond) {
  testsupport::writeFile(root.path() + "/setup.zip", "PK");
  server.setFault("/setup.zip", Fault::head404());
  EXPECT_EQ(get("/setup.zip", "HEAD").statusCode, 404);
  EXPECT_EQ(*get("/setup.zip").data, "PK");
  server.setFault("/setup.zip", Fault::respond(500, "oops"));
  EXPECT_EQ(*get("/setup.zip").data, "oops");
  server.clearFault("/setup.zip");
  EXPECT_EQ(get("/setup.zip").statusCode, 200);
}

TEST_F(PublisherTest, AStallEndsWhenClearedAndStopDoesNotHang) {
  testsupport::writeFile(root.path() + "/f", std::string(5000, 'a'));
  server.setFault("/f", Fault::stall({}, 100));  // after 100 bytes of the body
  std::optional<HTTPResponse> result;
  std::thread client([&] { result = get("/f"); });
  // Wait for the request to arrive, then release it.
  ASSERT_TRUE(server.waitForRequests("/f", 1, 10s));
  server.clearFaults();
  client.join();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->data->size(), 5000u);

  server.setFault("/f", Fault::stall());
  std::thread stuck([&] {
    try {
      get("/f");
    } catch (const HTTPClientError&) {
    }
  });
  ASSERT_TRUE(server.waitForRequests("/f", 2, 10s));
  const auto start = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  stuck.join();
}

// A held answer holds only its own connection: many of them leave every
// other request answered at once, and each ends when its peer goes away
// (a client that gave up on it leaves nothing behind).
TEST_F(PublisherTest, HeldAnswersLeaveTheOtherRequestsAnsweredAndEndWithTheirPeers) {
  testsupport::writeFile(root.path() + "/head", "head");
  testsupport::writeFile(root.path() + "/body", std::string(5000, 'b'));
  testsupport::writeFile(root.path() + "/free", "free");
  const std::size_t before = openDescriptors();
  server.setFault("/head", Fault::stall());
  server.setFault("/body", Fault::stall({}, 100));
  std::vector<int> held;
  for (int i = 0; i < kHeldConnections; ++i) held.push_back(sendGet(server.port(), i % 2 == 0 ? "/head" : "/body"));
  ASSERT_TRUE(server.waitForRequests("/head", kHeldConnections / 2, 10s));
  ASSERT_TRUE(server.waitForRequests("/body", kHeldConnections / 2, 10s));

  EXPECT_EQ(*getSoon(server.origin() + "/free").data, "free");
  EXPECT_FALSE(answered(held.front()));
  for (const int fd : held) ::close(fd);
  // The server's end of each connection is closed once its answer is over.
  EXPECT_TRUE(testsupport::waitUntil([&] { return openDescriptors() <= before; }, 20s))
      << openDescriptors() << " descriptors open, " << before << " before";
}

TEST_F(PublisherTest, AnswersTicketsAsScripted) {
  HTTPClient client;
  auto r = client.request(server.origin() + "/ias/live/public/v1/issue/ticket/by-web-token", "POST",
                          {{"Content-Type", "application/json"}}, std::string(R"({"gid":"g\"1"})"), std::nullopt);
  EXPECT_EQ(r.statusCode, 200);
  EXPECT_EQ(*r.data, R"({"ticket":"ticket-g\"1"})");
  testsupport::writeFile(root.path() + "/ticket/status", "401");
  testsupport::writeFile(root.path() + "/ticket/body", R"({"error":{"code":14}})");
  r = client.request(server.origin() + "/ias/live/public/v1/issue/ticket/by-web-token", "POST", {},
                     std::string("{}"), std::nullopt);
  EXPECT_EQ(r.statusCode, 401);
  EXPECT_EQ(*r.data, R"({"error":{"code":14}})");
  ASSERT_EQ(server.ticketRequests().size(), 2u);
  EXPECT_EQ(server.ticketRequests()[0].body, R"({"gid":"g\"1"})");
}

// The program: prints its port, takes faults over HTTP, records reports to a
// file and ends cleanly on SIGTERM, even with answers held by stalls.
TEST(PublisherProgram, ServesUntilSigterm) {
  ASSERT_TRUE(processReady);
  testsupport::TempRoot root;
  testsupport::writeFile(root.path() + "/o.bin", "object");
  testsupport::writeFile(root.path() + "/p.bin", "other");
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string program = testsupport::binDir() + "/jorvu-publisher";
  std::vector<std::string> args = {program, "--root", root.path(), "--port", "0"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string line;
  char c = 0;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  const std::string origin = "http://127.0.0.1:" + line;
  ASSERT_GT(std::stoi(line), 0);

  HTTPClient client;
  EXPECT_EQ(*client.request(origin + "/o.bin", "GET", {}, std::nullopt, std::nullopt).data, "object");
  auto set = client.request(origin + "/_publisher/fault", "POST", {},
                            std::string(R"({"path":"/o.bin","kind":"failTimes","count":1,"status":500})"),
                            std::nullopt);
  EXPECT_EQ(set.statusCode, 204);
  EXPECT_EQ(client.request(origin + "/o.bin", "GET", {}, std::nullopt, std::nullopt).statusCode, 500);
  EXPECT_EQ(client.request(origin + "/o.bin", "GET", {}, std::nullopt, std::nullopt).statusCode, 200);
  EXPECT_EQ(client.request(origin + "/_publisher/fault", "POST", {}, std::string("{}"), std::nullopt).statusCode, 400);
  client.request(origin + "/ifc/ktz.aspx?gc=9&tp=1", "GET", {{"User-Agent", "MacKTZ"}}, std::nullopt,
                 HTTPCookies{{"a", "1"}});
  EXPECT_EQ(testsupport::readFileOrEmpty(root.path() + "/reports.log"),
            "{\"query\":\"gc=9&tp=1\",\"userAgent\":\"MacKTZ\",\"cookies\":{\"a\":\"1\"}}\n");

  EXPECT_EQ(client.request(origin + "/_publisher/fault", "POST", {}, std::string(R"({"path":"/o.bin","kind":"stall"})"),
                           std::nullopt)
                .statusCode,
            204);
  std::vector<int> held;
  for (int i = 0; i < kHeldConnections; ++i) held.push_back(sendGet(std::stoi(line), "/o.bin"));
  EXPECT_EQ(*getSoon(origin + "/p.bin").data, "other");
  EXPECT_FALSE(answered(held.back()));

  ::kill(pid, SIGTERM);
  int status = 0;
  const bool ended = testsupport::waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s);
  for (const int fd : held) ::close(fd);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended) << "SIGTERM did not end it";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
