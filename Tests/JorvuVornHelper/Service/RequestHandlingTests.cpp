// The request handlers on the registered game, called in the process with a
// scripted worker and the local publisher.
#include <gtest/gtest.h>

#include <algorithm>

#include "Common/Protocol/ErrorInfo.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "JorvuVornHelper/VornHelper.hpp"
#include "Tests/JorvuVornHelper/Common/GameTestSupport.hpp"

namespace {

using namespace gametest;

using DataAnswer = std::pair<bool, std::optional<std::string>>;

class RequestHandlingTest : public GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    helper = std::make_shared<VornHelper>(factory);
  }
  void TearDown() override {
    helper->shutdown();
    helper.reset();
    GameFixture::TearDown();
  }

  // Calls a request and waits for its one reply; a second reply fails the test.
  template <typename Invoke>
  DataAnswer ask(Invoke invoke) {
    platform::OneShot<DataAnswer> done;
    auto replies = std::make_shared<std::atomic<int>>(0);
    invoke(*helper, [done, replies](bool ok, std::optional<std::string> data) {
      if (++*replies > 1) ADD_FAILURE() << "a second reply";
      done.resolve({ok, std::move(data)});
    });
    auto answer = done.waitFor(20s);
    EXPECT_TRUE(answer) << "no reply";
    return answer.value_or(DataAnswer{false, "<no reply>"});
  }
  DataAnswer registerGame(std::uint32_t code, const std::string& tag = "",
                          std::optional<std::string> token = std::nullopt) {
    return ask([&](VornHelper& h, auto r) { h.register_(code, tag, token, r); });
  }
  DataAnswer work(std::uint32_t code, bool ignore = false) {
    return ask([&](VornHelper& h, auto r) { h.work(code, ignore, r); });
  }
  DataAnswer status(std::uint32_t code) {
    return ask([&](VornHelper& h, auto r) { h.getGameStatus(code, r); });
  }
  DataAnswer execute(std::uint32_t code, std::optional<std::string> passarg = std::nullopt) {
    return ask([&](VornHelper& h, auto r) { h.execute(code, passarg, r); });
  }
  static DataAnswer failed(const VornHelperError& error) { return {false, ErrorStatus{error}.encode()}; }
  static DataAnswer ok() { return {true, std::nullopt}; }

  std::shared_ptr<VornHelper> helper;
};

TEST_F(RequestHandlingTest, RegisterOnceAndMapItsFailures) {
  serve(9001, Record(9001));
  EXPECT_EQ(registerGame(9001), ok());
  const std::size_t fetched = server.catalogueRequests().size();
  EXPECT_EQ(registerGame(9001), failed(VornHelperError::GameAlreadyRegistered{}));
  EXPECT_EQ(server.catalogueRequests().size(), fetched);  // refused before the fetch

  EXPECT_EQ(registerGame(9404), failed(VornHelperError::NetworkError{-60, 0, 0, 0}));
  serve(9002, Record(9002).erase("mac_executable_file_name"));
  EXPECT_EQ(registerGame(9002), failed(VornHelperError::UnsupportedOS{}));
  serve(9003, Record(9003).erase("registry_root_key"));  // not a record
  EXPECT_EQ(registerGame(9003), failed(VornHelperError::Crash{}));
  serve(9004, Record(9004));
  EXPECT_EQ(registerGame(9004, "", std::string(R"({"gid":1})")), failed(VornHelperError::Crash{}));
  EXPECT_EQ(registerGame(9004, "bad/../tag"), failed(VornHelperError::Crash{}));
  // A worker that cannot be made is a crash, and nothing is registered.
  factory.makeManifestWorker = nullptr;
  helper = std::make_shared<VornHelper>(factory);
  EXPECT_EQ(registerGame(9004), failed(VornHelperError::Crash{}));
  EXPECT_EQ(status(9004), failed(VornHelperError::GameNotExist{}));
}

TEST_F(RequestHandlingTest, RegisterWithoutTheDataFolderIsACrash) {
  std::filesystem::remove_all(root / "/Library/Application Support/Jorvu");
  serve(9010, Record(9010));
  EXPECT_EQ(registerGame(9010), failed(VornHelperError::Crash{}));
  EXPECT_TRUE(server.catalogueRequests().empty());
}

TEST_F(RequestHandlingTest, TwoConcurrentRegistersOfOneCodeRegisterItOnce) {
  serve(9020, Record(9020));
  server.setFault("/game-info/9020", publisher::Fault::stall());  // held until cleared
  platform::OneShot<DataAnswer> first, second;
  helper->register_(9020, "", std::nullopt, [first](bool ok, auto data) { first.resolve({ok, data}); });
  helper->register_(9020, "", std::nullopt, [second](bool ok, auto data) { second.resolve({ok, data}); });
  // Both passed the check and wait for the catalogue.
  ASSERT_TRUE(server.waitForRequests("/game-info/9020", 2, 10s));
  server.clearFault("/game-info/9020");
  auto a = first.waitFor(20s), b = second.waitFor(20s);
  ASSERT_TRUE(a && b);
  std::vector<DataAnswer> answers{*a, *b};
  std::sort(answers.begin(), answers.end());
  EXPECT_EQ(answers, (std::vector<DataAnswer>{failed(VornHelperError::GameAlreadyRegistered{}), ok()}));
  EXPECT_EQ(made.size(), 2u);  // both made a worker; only one is kept
}

TEST_F(RequestHandlingTest, WorkIsRefusedWhileAnyGameWorks) {
  serve(9030, Record(9030));
  serve(9031, Record(9031));
  ASSERT_EQ(registerGame(9030), ok());
  ASSERT_EQ(registerGame(9031), ok());
  EXPECT_EQ(work(9030), ok());
  ASSERT_TRUE(worker->waitForWork(1));
  for (std::uint32_t code : {9030u, 9031u, 12345u}) {
    EXPECT_EQ(work(code), failed(VornHelperError::WorkingAnotherGame{9030})) << code;
  }
  // Cancel lets go of it.
  EXPECT_EQ(ask([](VornHelper& h, auto r) { h.cancel(9030, r); }), ok());
  EXPECT_EQ(work(12345), failed(VornHelperError::GameNotExist{}));
  worker->needs = false;
  EXPECT_EQ(work(9031), failed(VornHelperError::NoWorkRequired{}));
  worker->needs = true;
  setSystemVersion("12.0");
  serve(9032, Record(9032).text("mac_os_version", "13.5"));
  ASSERT_EQ(registerGame(9032), ok());
  worker->mode = WorkMode::Install;
  EXPECT_EQ(work(9032), failed(VornHelperError::OSVersionLimit{12.0f, 13.5f}));
  EXPECT_EQ(work(9032, true), ok());
}

// A worker whose decision on work takes as long as the test wants, as reading
// and inflating a large local manifest does.
class SlowDecisionWorker : public FakeWorker {
 public:
  platform::OneShot<bool> deciding, decided;
  bool needWork() override {
    deciding.resolve(true);
    decided.waitFor(20s);
    return FakeWorker::needWork();
  }
};

TEST_F(RequestHandlingTest, OtherGamesAnswerWhileAWorkerDecidesAndTheFirstToStartWins) {
  auto slow = std::make_shared<SlowDecisionWorker>();
  factory.makeManifestWorker = [this, slow](std::uint32_t code, auto&&...) -> std::shared_ptr<GameWorkerable> {
    if (code == 9091) return slow;
    return worker;
  };
  helper = std::make_shared<VornHelper>(factory);
  serve(9090, Record(9090));
  serve(9091, Record(9091));
  ASSERT_EQ(registerGame(9090), ok());
  ASSERT_EQ(registerGame(9091), ok());

  platform::OneShot<DataAnswer> slowWork;
  helper->work(9091, false, [slowWork](bool ok, auto data) { slowWork.resolve({ok, data}); });
  ASSERT_TRUE(slow->deciding.waitFor(10s));
  // Game 9090's requests are answered while 9091's worker decides.
  platform::OneShot<DataAnswer> statusAnswer;
  helper->getGameStatus(9090, [statusAnswer](bool ok, auto data) { statusAnswer.resolve({ok, data}); });
  const auto answered = statusAnswer.waitFor(5s);
  ASSERT_TRUE(answered) << "the status waited for the other game's decision";
  EXPECT_TRUE(answered->first);
  EXPECT_EQ(work(9090), ok());
  ASSERT_TRUE(worker->waitForWork(1));
  // The slow request finds 9090 working when it is ready to start.
  slow->decided.resolve(true);
  EXPECT_EQ(slowWork.waitFor(20s), failed(VornHelperError::WorkingAnotherGame{9090}));
  EXPECT_EQ(slow->works(), 0);
  EXPECT_EQ(ask([](VornHelper& h, auto r) { h.cancel(9090, r); }), ok());
}

TEST_F(RequestHandlingTest, StatusMapsTheWorkersErrorAndFreesTheWorkingFlag) {
  serve(9040, Record(9040));
  serve(9041, Record(9041));
  ASSERT_EQ(registerGame(9040), ok());
  ASSERT_EQ(registerGame(9041), ok());
  EXPECT_EQ(work(9040), ok());
  auto running = status(9040);
  ASSERT_TRUE(running.first);
  EXPECT_EQ(GameStatus::decode(*running.second).status, GameStatus::Status::install);

  const std::string capacity = CapacityInfo{5000, 10, 2}.encode();
  struct Case {
    ErrorInfo error;
    VornHelperError expected;
  };
  const std::vector<Case> table = {
      {{-60, 13000, 917, 3, "x"}, VornHelperError::NetworkError{-60, 13000, 917, 3}},
      {{-40, 13000, 933, 0, capacity}, VornHelperError::DiskSizeLack{5000, 10, GameStatus::Status::patch}},
      {{-40, 13000, 933, 0, ""}, VornHelperError::WorkFailed{-40, 13000, 933, 0}},
      {{-40, 13000, 933, 0, "junk"}, VornHelperError::Crash{}},
      {{-50, 32000, 914, 0, "ignored"}, VornHelperError::WorkFailed{-50, 32000, 914, 0}},
  };
  worker->mode = WorkMode::Error;
  for (const auto& c : table) {
    worker->setTexts("null", c.error.encode());
    EXPECT_EQ(status(9040), failed(c.expected)) << c.error.encode();
  }
  // The failed job no longer holds the service: another game may work.
  worker->mode = WorkMode::Install;
  EXPECT_EQ(work(9041), ok());
  EXPECT_EQ(status(12345), failed(VornHelperError::GameNotExist{}));
}

TEST_F(RequestHandlingTest, ExecuteMapsItsFailures) {
  const auto now = std::chrono::system_clock::now();
  const std::string exe = makeBundle("GameFolder", "Game.app");
  serve(9050, Record(9050).text("command_line_info", "%ARG%"));
  serve(9051, Record(9051).set("game_maintenance", maintenance(false, kstText(now - std::chrono::hours(1)),
                                                               kstText(now + std::chrono::hours(1)))));
  serve(9052, Record(9052).text("install_folder_name", "Missing"));
  serve(9053, Record(9053).text("command_line_info", "%DOM%").set("use_vantix_token", "true"));
  ASSERT_EQ(registerGame(9050), ok());
  ASSERT_EQ(registerGame(9051), ok());
  ASSERT_EQ(registerGame(9052), ok());
  ASSERT_EQ(registerGame(9053, "", std::string(R"({"gid":"g","webtoken":"w"})")), ok());

  EXPECT_EQ(execute(9050), failed(VornHelperError::WorkRequired{}));
  worker->needs = false;
  EXPECT_EQ(execute(9050, "go"), ok());
  EXPECT_EQ(launchedArguments(exe), std::vector<std::string>{"go"});
  EXPECT_EQ(execute(9051), failed(VornHelperError::Maintenance{
                               kstText(now - std::chrono::hours(1)), kstText(now + std::chrono::hours(1)),
                               "server work", "https://example.test/notice"}));
  EXPECT_EQ(execute(9052), failed(VornHelperError::ExecuteFailed{}));
  EXPECT_EQ(execute(12345), failed(VornHelperError::GameNotExist{}));
  testsupport::writeFile(root.path() + "/ticket/status", "401");
  testsupport::writeFile(root.path() + "/ticket/body", R"({"error":{"code":14}})");
  EXPECT_EQ(execute(9053), failed(VornHelperError::VantixError{14}));
  testsupport::writeFile(root.path() + "/ticket/body", R"({"nothing":1})");
  EXPECT_EQ(execute(9053), failed(VornHelperError::Crash{}));
}

TEST_F(RequestHandlingTest, AWorkerThatThrowsIsACrashAnsweredOnce) {
  struct ThrowingWorker : FakeWorker {
    bool needWork() override { throw std::runtime_error("broken worker"); }
    GameWorkerWrapperWorkMode getWorkMode() override { throw 7; }
  };
  worker = std::make_shared<ThrowingWorker>();
  serve(9060, Record(9060));
  ASSERT_EQ(registerGame(9060), ok());
  EXPECT_EQ(work(9060), failed(VornHelperError::Crash{}));
  EXPECT_EQ(execute(9060), failed(VornHelperError::Crash{}));
  EXPECT_EQ(status(9060), failed(VornHelperError::Crash{}));
  EXPECT_EQ(ask([](VornHelper& h, auto r) { h.getGamePanelInfo(9060, r); }), failed(VornHelperError::Crash{}));
}

TEST_F(RequestHandlingTest, PanelCancelAndClearWithTheirClosingLines) {
  serve(9070, Record(9070), "beta");
  ASSERT_EQ(registerGame(9070, "beta"), ok());
  testnet::LogMark mark;
  auto panel = ask([](VornHelper& h, auto r) { h.getGamePanelInfo(9070, r); });
  ASSERT_TRUE(panel.first);
  EXPECT_EQ(GamePanelInfo::decode(*panel.second).gameCode, 9070u);
  EXPECT_EQ(ask([](VornHelper& h, auto r) { h.cancel(9070, r); }), ok());
  EXPECT_EQ(ask([](VornHelper& h, auto r) { h.clearGame(9070, r); }), ok());
  // The cancel's report 62 has reached the publisher before the clear answered.
  EXPECT_EQ(server.reports().size(), 1u);
  EXPECT_EQ(server.reports().at(0).query, "gc=9070&tp=62");
  EXPECT_EQ(ask([](VornHelper& h, auto r) { h.clearGame(9070, r); }), failed(VornHelperError::GameNotExist{}));
  EXPECT_EQ(ask([](VornHelper& h, auto r) { h.cancel(9070, r); }), failed(VornHelperError::GameNotExist{}));
  status(9070);

  const std::string notExist = R"((false, {"error":{"GameNotExist":{}}}))";
  const std::vector<std::string> expected = {
      "gameCode=9070, reply=(true, " + *panel.second + ")",
      "gameCode=9070, reply=(true, nil)",
      "wait tavlo send",
      "done tavlo send",
      "gameCode=9070, reply=(true, nil)",
      "gameCode=9070, reply=" + notExist,
      "gameCode=9070, reply=" + notExist,
  };
  // A closing line is written just after its reply: wait for the last one.
  auto closingLines = [&] {
    std::vector<std::string> closing;
    for (const auto& line : mark.since()) {
      auto at = line.find("[INFO] ");
      if (at == std::string::npos) continue;
      const std::string m = line.substr(at + 7);
      if (m.rfind("gameCode=9070, reply=", 0) == 0 || m.find("tavlo send") != std::string::npos) closing.push_back(m);
    }
    return closing;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (closingLines().size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
    VornLogger::shared().waitIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Each handler writes its line after its reply, so the next request's line
  // may come first: compare the lines, not their order.
  auto sorted = [](std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  EXPECT_EQ(sorted(closingLines()), sorted(expected));
}

TEST_F(RequestHandlingTest, ClearGameWaitsForAReportStillInTheLoggersQueue) {
  serve(9080, Record(9080));
  ASSERT_EQ(registerGame(9080), ok());
  // The logger hands each report to the reporter from its own queue: hold
  // the cancel's report there.
  platform::OneShot<bool> gate, holding;
  VornLogger::setReportHandler([gate, holding](const std::string& query, const std::optional<TavloCookies>& cookies) {
    holding.resolve(true);
    gate.waitFor(20s);
    TavloLogger::send(query, cookies);
  });
  EXPECT_EQ(ask([](VornHelper& h, auto r) { h.cancel(9080, r); }), ok());
  ASSERT_TRUE(holding.waitFor(10s));
  platform::OneShot<DataAnswer> cleared;
  helper->clearGame(9080, [cleared](bool ok, std::optional<std::string> data) { cleared.resolve({ok, data}); });
  // No send task exists yet, and still the clear waits for the report.
  EXPECT_FALSE(cleared.waitFor(300ms).has_value());
  gate.resolve(true);
  EXPECT_EQ(cleared.waitFor(20s), ok());
  ASSERT_EQ(server.reports().size(), 1u);
  EXPECT_EQ(server.reports().at(0).query, "gc=9080&tp=62");
}

}  // namespace
