// The XPC client against a real listener of the helper's service in a
// temporary root, served by a scripted helper in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "Common/Json/JsonReading.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Common/Protocol/VornHelperXPC.hpp"
#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"
#include "Platform/Cancellation.hpp"
#include "Platform/XPC/XPCListener.hpp"
#include "Tests/Support/ErrorLines.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

using namespace std::chrono_literals;
using platform::xpc::Connection;
using platform::xpc::Listener;
using testlog::ErrorLines;
using Lines = std::vector<std::string>;

// Fixed before any test moves HOME.
[[maybe_unused]] VornLogger& logReady = testlog::logger();

struct Call {
  std::string method;
  std::uint32_t gameCode = 0;
  std::optional<std::string> text{};  // obdTag or passarg
  std::optional<std::string> data{};  // the token blob
  bool flag = false;
};

struct Answer {
  bool success = true;
  std::optional<std::string> data{};
  bool hold = false;  // keep the reply until release()
};

class ScriptedHelper : public VornHelperCommunicator {
 public:
  void answer(const std::string& method, Answer a) {
    std::lock_guard lock(mutex_);
    answers_[method] = std::move(a);
  }
  void setConnectFlag(bool flag) {
    std::lock_guard lock(mutex_);
    connectFlag_ = flag;
  }

  void connect(BoolReply with) override {
    bool flag;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back({"connect"});
      flag = connectFlag_;
      if (auto it = answers_.find("connect"); it != answers_.end() && it->second.hold) {
        held_.emplace_back(Call{"connect"}, [with](bool success, std::optional<std::string>) { with(success); });
        changed_.notify_all();
        return;
      }
    }
    with(flag);
  }
  void register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string> vantixTokenData,
                 DataReply with) override {
    handle({"register", gameCode, std::move(obdTag), std::move(vantixTokenData)}, std::move(with));
  }
  void execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) override {
    handle({"execute", gameCode, std::move(passarg)}, std::move(with));
  }
  void work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) override {
    handle({"work", gameCode, {}, {}, ignoreOSVersion}, std::move(with));
  }
  void getGameStatus(std::uint32_t gameCode, DataReply with) override {
    handle({"getGameStatus", gameCode}, std::move(with));
  }
  void getGamePanelInfo(std::uint32_t gameCode, DataReply with) override {
    handle({"getGamePanelInfo", gameCode}, std::move(with));
  }
  void cancel(std::uint32_t gameCode, DataReply with) override { handle({"cancel", gameCode}, std::move(with)); }
  void clearGame(std::uint32_t gameCode, DataReply with) override { handle({"clearGame", gameCode}, std::move(with)); }

  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // Waits until `count` replies are held; false after 10 s.
  bool waitHeld(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return held_.size() >= count; });
  }
  // Answers the held replies, last first; `make` gives each its answer.
  void release(const std::function<Answer(const Call&)>& make) {
    std::vector<std::pair<Call, DataReply>> held;
    {
      std::lock_guard lock(mutex_);
      held.swap(held_);
    }
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
      const Answer a = make(it->first);
      it->second(a.success, a.data);
    }
  }

 private:
  void handle(Call call, DataReply with) {
    Answer a;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(call);
      if (auto it = answers_.find(call.method); it != answers_.end()) a = it->second;
      if (a.hold) {
        held_.emplace_back(std::move(call), std::move(with));
        changed_.notify_all();
        return;
      }
    }
    with(a.success, a.data);
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Answer> answers_;
  bool connectFlag_ = true;
  std::vector<Call> calls_;
  std::vector<std::pair<Call, DataReply>> held_;
};

std::string errorStatus(VornHelperError error) { return ErrorStatus{std::move(error)}.encode(); }

// What a call ended with, as one text.
template <typename F>
std::string outcome(F&& call) {
  try {
    call();
    return "ok";
  } catch (const VornHelperError& e) {
    return "VornHelperError " + e.description();
  } catch (const XPCError& e) {
    return std::string("XPCError ") + e.description();
  } catch (const SafeCheckedContinuationError& e) {
    return "SafeCheckedContinuationError " + e.description();
  } catch (const jsoncoding::DecodingError&) {
    return "DecodingError";
  } catch (const platform::CancellationError&) {
    return "CancellationError";
  }
}

class XPCClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XPCClient::setProxy(nullptr);
    startHelper();
  }
  void TearDown() override {
    listener_.reset();
    XPCClient::setProxy(nullptr);
  }

  void startHelper() {
    helper_ = std::make_shared<ScriptedHelper>();
    std::string error;
    listener_ = Listener::forService(vornHelperServiceName, vornhelperxpc::interface(), &error);
    ASSERT_TRUE(listener_) << error;
    auto exported = vornhelperxpc::exportedObject(helper_);
    listener_->setDelegate([exported](const std::shared_ptr<Connection>& c) {
      c->setExportedObject(exported);
      c->resume();
      return true;
    });
    listener_->resume();
  }

  testsupport::TempRoot root_;
  std::shared_ptr<ScriptedHelper> helper_;
  std::unique_ptr<Listener> listener_;
};

TEST_F(XPCClientTest, CallsPassTheirArgumentsAndDecodeTheReplies) {
  XPCClient client(10s);
  client.connection();
  const auto proxy = XPCClient::proxy();
  ASSERT_TRUE(proxy);
  XPCClient other(10s);
  other.connection();  // the link exists already
  EXPECT_EQ(XPCClient::proxy(), proxy);

  // The check succeeds whenever the helper answers.
  EXPECT_EQ(outcome([&] { other.checkConnect(); }), "ok");
  helper_->setConnectFlag(false);
  EXPECT_EQ(outcome([&] { client.checkConnect(); }), "ok");

  const GameStatus status{7, GameStatus::Status::install, GameStatus::ProgressInfo{1, 18446744073709551615ull, 5, true}};
  const GamePanelInfo panel{7, "https://example.invalid/panel?a=1", 800, 600};
  helper_->answer("getGameStatus", {true, status.encode()});
  helper_->answer("getGamePanelInfo", {true, panel.encode()});
  // A call without a payload ignores any data of a successful reply.
  helper_->answer("work", {true, std::string("ignored")});

  client.register_(7, "beta", VantixToken{"G/1", "tok\"en"});
  client.register_(8, "", std::nullopt);
  client.execute(7, std::nullopt);
  client.execute(7, std::string("-a 'b c'"));
  client.work(7, true);
  client.work(7, false);
  EXPECT_EQ(client.getGameStatus(7), status);
  EXPECT_EQ(client.getGamePanelInfo(7), panel);
  client.cancel(9);
  client.clearGame(10);

  const auto calls = helper_->calls();
  ASSERT_EQ(calls.size(), 12u);
  EXPECT_EQ(calls[2].method, "register");
  EXPECT_EQ(calls[2].gameCode, 7u);
  EXPECT_EQ(calls[2].text, "beta");
  ASSERT_TRUE(calls[2].data);
  EXPECT_EQ(VantixToken::decode(*calls[2].data), (VantixToken{"G/1", "tok\"en"}));
  EXPECT_EQ(calls[3].data, std::nullopt);
  EXPECT_EQ(calls[3].text, "");
  EXPECT_EQ(calls[4].text, std::nullopt);
  EXPECT_EQ(calls[5].text, "-a 'b c'");
  EXPECT_EQ(calls[6].method, "work");
  EXPECT_TRUE(calls[6].flag);
  EXPECT_FALSE(calls[7].flag);
  EXPECT_EQ(calls[8].method, "getGameStatus");
  EXPECT_EQ(calls[9].method, "getGamePanelInfo");
  EXPECT_EQ(calls[10].method, "cancel");
  EXPECT_EQ(calls[10].gameCode, 9u);
  EXPECT_EQ(calls[11].method, "clearGame");
  EXPECT_EQ(calls[11].gameCode, 10u);
}

// g++ 12 with ThreadSanitizer reports the table's empty optionals as maybe
// used uninitialized when their temporaries are destroyed: a false report.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
TEST_F(XPCClientTest, FailedRepliesBecomeTheHelpersErrorOrInvalidResponse) {
  XPCClient client(10s);
  client.connection();
  struct Case {
    const char* method;
    Answer answer;
    std::string expected;
  };
  const std::string unknownCase = R"({"error":{"Unknown":{}}})";
  const Case cases[] = {
      {"work", {false, errorStatus(VornHelperError::NoWorkRequired{})}, "VornHelperError NoWorkRequired"},
      {"work", {false, errorStatus(VornHelperError::WorkingAnotherGame{42})},
       "VornHelperError WorkingAnotherGame(gameCode: 42)"},
      {"execute", {false, errorStatus(VornHelperError::Maintenance{"s", "e", "r", "l"})},
       "VornHelperError Maintenance(startTime: \"s\", endTime: \"e\", reason: \"r\", relatedLink: \"l\")"},
      {"register", {false, errorStatus(VornHelperError::NetworkError{-60, 0, 0, 0})},
       "VornHelperError NetworkError(errorCode: -60, errorOperation: 0, mainErrorCode: 0, subErrorCode: 0)"},
      {"getGameStatus", {false, errorStatus(VornHelperError::DiskSizeLack{10, 5, GameStatus::Status::patch})},
       "VornHelperError DiskSizeLack(require: 10, total: 5, status: patch)"},
      {"getGamePanelInfo", {false, errorStatus(VornHelperError::GameNotExist{})}, "VornHelperError GameNotExist"},
      // No usable data.
      {"register", {false, std::nullopt}, "XPCError invalidResponse"},
      {"cancel", {false, std::string("{}")}, "XPCError invalidResponse"},
      {"clearGame", {false, std::string("not json")}, "XPCError invalidResponse"},
      {"execute", {false, unknownCase}, "XPCError invalidResponse"},
      {"getGameStatus", {true, std::nullopt}, "XPCError invalidResponse"},
      {"getGamePanelInfo", {false, std::nullopt}, "XPCError invalidResponse"},
      {"getGamePanelInfo", {false, std::string("[]")}, "XPCError invalidResponse"},
      // A payload that does not decode is the decoder's error.
      {"getGameStatus", {true, std::string(R"({"gameCode":1})")}, "DecodingError"},
      {"getGamePanelInfo", {true, std::string("garbage")}, "DecodingError"},
  };
  for (const auto& c : cases) {
    helper_->answer(c.method, c.answer);
    const std::string method = c.method;
    const std::string got = outcome([&] {
      if (method == "register") client.register_(1, "t", std::nullopt);
      if (method == "execute") client.execute(1, std::nullopt);
      if (method == "work") client.work(1, false);
      if (method == "getGameStatus") client.getGameStatus(1);
      if (method == "getGamePanelInfo") client.getGamePanelInfo(1);
      if (method == "cancel") client.cancel(1);
      if (method == "clearGame") client.clearGame(1);
    });
    EXPECT_EQ(got, c.expected) << c.method;
  }
}
#pragma GCC diagnostic pop

TEST_F(XPCClientTest, WithoutALinkEveryCallFailsAtOnce) {
  // Never connected.
  XPCClient client(10s);
  auto everyCall = [&] {
    return Lines{outcome([&] { client.checkConnect(); }),
                 outcome([&] { client.register_(1, "", VantixToken{"g", "w"}); }),
                 outcome([&] { client.execute(1, std::nullopt); }),
                 outcome([&] { client.work(1, true); }),
                 outcome([&] { client.getGameStatus(1); }),
                 outcome([&] { client.getGamePanelInfo(1); }),
                 outcome([&] { client.cancel(1); }),
                 outcome([&] { client.clearGame(1); })};
  };
  const Lines invalid(8, "XPCError invalidResponse");
  EXPECT_EQ(everyCall(), invalid);

  // No helper listening: the link cannot be made.
  listener_.reset();
  const auto start = std::chrono::steady_clock::now();
  client.connection();
  EXPECT_EQ(XPCClient::proxy(), nullptr);
  EXPECT_EQ(everyCall(), invalid);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(helper_->calls().empty());
}

TEST_F(XPCClientTest, ACallWithoutReplyEndsByItsTimeOutAndItsLateReplyIsDropped) {
  XPCClient client(300ms);
  client.connection();
  ErrorLines mark;
  // Answered in time: its timer is cancelled and never fires.
  client.cancel(1);

  helper_->answer("work", {true, std::nullopt, true});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome([&] { client.work(2, false); }), "SafeCheckedContinuationError timeout");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 5s);
  EXPECT_EQ(mark.since(), Lines{"[XPC] throw error=timeout"});

  // The late reply changes nothing; the link still serves calls.
  ASSERT_TRUE(helper_->waitHeld(1));
  helper_->release([](const Call&) { return Answer{false, errorStatus(VornHelperError::Crash{})}; });
  helper_->answer("getGameStatus", {true, GameStatus{3, GameStatus::Status::ready, std::nullopt}.encode()});
  EXPECT_EQ(client.getGameStatus(3).status, GameStatus::Status::ready);
  EXPECT_EQ(mark.since(), Lines{"[XPC] throw error=timeout"});
}

TEST_F(XPCClientTest, SeveralCallsInFlightGetTheirOwnReplies) {
  XPCClient client(10s);
  client.connection();
  helper_->answer("getGameStatus", {true, std::nullopt, true});
  std::vector<std::future<GameStatus>> results;
  for (std::uint32_t code = 1; code <= 4; ++code) {
    results.push_back(std::async(std::launch::async, [&client, code] { return client.getGameStatus(code); }));
  }
  ASSERT_TRUE(helper_->waitHeld(4));
  helper_->release([](const Call& call) {
    return Answer{true, GameStatus{call.gameCode, GameStatus::Status::patch, std::nullopt}.encode()};
  });
  for (std::uint32_t code = 1; code <= 4; ++code) EXPECT_EQ(results[code - 1].get().gameCode, code);
}

TEST_F(XPCClientTest, AHelperThatGoesAwayLeavesNoLinkUntilTheNextConnection) {
  XPCClient client(500ms);
  client.connection();
  helper_->answer("execute", {true, std::nullopt, true});
  auto call = std::async(std::launch::async, [&client] { return outcome([&] { client.execute(5, "x"); }); });
  ASSERT_TRUE(helper_->waitHeld(1));

  // The helper's process ends: its answer never comes.
  listener_.reset();
  EXPECT_EQ(call.get(), "SafeCheckedContinuationError timeout");
  EXPECT_EQ(XPCClient::proxy(), nullptr);
  EXPECT_EQ(outcome([&] { client.clearGame(5); }), "XPCError invalidResponse");

  // The helper is started again; the next connection reaches it.
  startHelper();
  EXPECT_EQ(outcome([&] { client.clearGame(5); }), "XPCError invalidResponse");
  client.connection();
  EXPECT_EQ(outcome([&] { client.clearGame(5); }), "ok");
  ASSERT_EQ(helper_->calls().size(), 1u);
  EXPECT_EQ(helper_->calls()[0].method, "clearGame");
}

// A task that cannot wait for a helper that does not answer is cancelled:
// its waiting calls end at once, its later calls fail unsent, and the link
// still serves everyone else.
TEST_F(XPCClientTest, ACancelledTasksCallsEndAtOnceAndTheLinkStaysForOthers) {
  XPCClient client(60s);
  client.connection();
  helper_->answer("connect", {true, std::nullopt, true});
  helper_->answer("getGameStatus", {true, std::nullopt, true});
  std::stop_source stop;
  // Each call in a task of its own, cancelled by the same source.
  auto inTask = [&client, token = stop.get_token()](auto call) {
    return std::async(std::launch::async, [&client, token, call] {
      platform::CancellationScope task(token);
      return outcome([&] { call(client); });
    });
  };
  auto check = inTask([](XPCClient& c) { c.checkConnect(); });
  auto status = inTask([](XPCClient& c) { c.getGameStatus(1); });
  ASSERT_TRUE(helper_->waitHeld(2));

  const auto start = std::chrono::steady_clock::now();
  stop.request_stop();
  EXPECT_EQ(check.get(), "CancellationError");
  EXPECT_EQ(status.get(), "CancellationError");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(inTask([](XPCClient& c) { c.register_(1, "", VantixToken{"g", "w"}); }).get(), "CancellationError");
  EXPECT_EQ(inTask([](XPCClient& c) { c.clearGame(1); }).get(), "CancellationError");
  EXPECT_EQ(helper_->calls().size(), 2u);

  // The late replies change nothing; the same client outside the task still
  // has the link.
  helper_->release([](const Call&) { return Answer{true, GameStatus{1, GameStatus::Status::ready, std::nullopt}.encode()}; });
  helper_->answer("connect", {});
  EXPECT_EQ(outcome([&] { client.checkConnect(); }), "ok");
}

// Every launch's register step opens the link: callers at the same time make
// one connection between them, on one shared client.
TEST_F(XPCClientTest, ConcurrentConnectionsMakeOneLink) {
  auto accepted = std::make_shared<std::atomic<int>>(0);
  auto exported = vornhelperxpc::exportedObject(helper_);
  listener_->setDelegate([exported, accepted](const std::shared_ptr<Connection>& c) {
    ++*accepted;
    c->setExportedObject(exported);
    c->resume();
    return true;
  });
  XPCClient client(10s);
  std::vector<std::thread> callers;
  for (int i = 0; i < 8; ++i) callers.emplace_back([&client] { client.connection(); });
  for (auto& t : callers) t.join();
  ASSERT_NE(XPCClient::proxy(), nullptr);
  helper_->answer("clearGame", {true, std::nullopt, false});
  EXPECT_EQ(outcome([&] { client.clearGame(5); }), "ok");
  EXPECT_EQ(*accepted, 1);
}

}  // namespace
