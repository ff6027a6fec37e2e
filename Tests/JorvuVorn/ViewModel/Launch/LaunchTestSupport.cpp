#include "Tests/JorvuVorn/ViewModel/Launch/LaunchTestSupport.hpp"

#include <fstream>

#include "Common/Protocol/GamePanelInfo.hpp"
#include "Common/Protocol/VornHelperXPC.hpp"
#include "Tests/Support/ErrorLines.hpp"

namespace launchtest {

Answer ok() { return {}; }

Answer failed(const VornHelperError& error) { return {false, ErrorStatus{error}.encode()}; }

Answer status(std::uint32_t code, GameStatus::Status value, std::uint64_t current, std::uint64_t total,
              bool withProgress) {
  GameStatus s{code, value, std::nullopt};
  if (withProgress) s.progress = GameStatus::ProgressInfo{1, total, current, false};
  return {true, s.encode()};
}

// ---- ScriptedHelper ----

void ScriptedHelper::script(const std::string& method, std::uint32_t code, std::vector<Answer> answers) {
  std::lock_guard lock(mutex_);
  script_[{method, code}] = std::deque<Answer>(answers.begin(), answers.end());
}

void ScriptedHelper::onCall(std::function<void(const Call&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

std::vector<Call> ScriptedHelper::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<Call> ScriptedHelper::calls(const std::string& method, std::uint32_t code) const {
  std::vector<Call> out;
  for (const auto& c : calls()) {
    if (c.method == method && c.gameCode == code) out.push_back(c);
  }
  return out;
}

bool ScriptedHelper::waitForCalls(const std::string& method, std::uint32_t code, std::size_t count,
                                  std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    std::size_t n = 0;
    for (const auto& c : calls_) n += (c.method == method && c.gameCode == code) ? 1 : 0;
    return n >= count;
  });
}

void ScriptedHelper::release() {
  std::vector<std::pair<Answer, DataReply>> held;
  {
    std::lock_guard lock(mutex_);
    held.swap(held_);
  }
  for (auto& [answer, reply] : held) reply(answer.success, answer.data);
}

Answer ScriptedHelper::next(const Call& call) {
  auto it = script_.find({call.method, call.gameCode});
  if (it == script_.end() || it->second.empty()) {
    if (call.method == "getGamePanelInfo") {
      return {true, GamePanelInfo{call.gameCode, "https://games.example/panel", 640, 480}.encode()};
    }
    return ok();
  }
  Answer a = it->second.front();
  if (it->second.size() > 1) it->second.pop_front();
  return a;
}

void ScriptedHelper::handle(Call call, DataReply with) {
  std::function<void(const Call&)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(call);
  Answer a;
  {
    std::lock_guard lock(mutex_);
    a = next(call);
    calls_.push_back(call);
    changed_.notify_all();
    if (a.hold) {
      a.hold = false;
      held_.emplace_back(a, std::move(with));
      return;
    }
  }
  with(a.success, a.data);
}

void ScriptedHelper::connect(BoolReply with) { with(true); }
void ScriptedHelper::register_(std::uint32_t gameCode, std::string obdTag, std::optional<std::string>,
                               DataReply with) {
  handle({"register", gameCode, std::move(obdTag)}, std::move(with));
}
void ScriptedHelper::execute(std::uint32_t gameCode, std::optional<std::string> passarg, DataReply with) {
  handle({"execute", gameCode, std::move(passarg)}, std::move(with));
}
void ScriptedHelper::work(std::uint32_t gameCode, bool ignoreOSVersion, DataReply with) {
  handle({"work", gameCode, std::nullopt, ignoreOSVersion}, std::move(with));
}
void ScriptedHelper::getGameStatus(std::uint32_t gameCode, DataReply with) {
  handle({"getGameStatus", gameCode}, std::move(with));
}
void ScriptedHelper::getGamePanelInfo(std::uint32_t gameCode, DataReply with) {
  handle({"getGamePanelInfo", gameCode}, std::move(with));
}
void ScriptedHelper::cancel(std::uint32_t gameCode, DataReply with) { handle({"cancel", gameCode}, std::move(with)); }
void ScriptedHelper::clearGame(std::uint32_t gameCode, DataReply with) {
  handle({"clearGame", gameCode}, std::move(with));
}

// ---- HelperService ----

HelperService::HelperService() : helper_(std::make_shared<ScriptedHelper>()) {
  std::string error;
  listener_ = platform::xpc::Listener::forService(vornHelperServiceName, vornhelperxpc::interface(), &error);
  if (!listener_) throw std::runtime_error("cannot serve the helper: " + error);
  auto exported = vornhelperxpc::exportedObject(helper_);
  listener_->setDelegate([exported](const std::shared_ptr<platform::xpc::Connection>& c) {
    c->setExportedObject(exported);
    c->resume();
    return true;
  });
  listener_->resume();
}

HelperService::~HelperService() { listener_.reset(); }

// ---- TestMainThread ----

TestMainThread::TestMainThread() {
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      auto work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work();
      work = nullptr;
      lock.lock();
      wake_.notify_all();
    }
  });
}

TestMainThread::~TestMainThread() {
  stop();
  if (thread_.joinable()) thread_.join();
}

void TestMainThread::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;  // dropped: destroyed when this returns
    queue_.push_back(std::move(work));
  }
  wake_.notify_all();
}

bool TestMainThread::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void TestMainThread::stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(queue_);
  }
  wake_.notify_all();
}

void TestMainThread::drain() {
  bool done = false;
  std::mutex m;
  std::condition_variable cv;
  post([&] {
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  std::unique_lock lock(m);
  cv.wait_for(lock, 10s, [&] { return done; });
}

// ---- RecordingInterface ----

void RecordingInterface::loadSetupView(const GamePanelInfo& panelInfo, const GameExecuteInfo&,
                                       std::shared_ptr<GameWorkInfoObserver> observer, CancelHandler cancelHandler) {
  {
    std::lock_guard lock(mutex_);
    panels_.push_back(panelInfo);
  }
  subscriptions_.push_back(observer->subscribe([this, cancelHandler](const GameWorkInfo& info) {
    {
      std::lock_guard lock(mutex_);
      progress_.push_back(info);
    }
    if (onProgress) onProgress(info, cancelHandler);
  }));
}

void RecordingInterface::loadPopupView(const VornHelperError& error, const GameExecuteInfo& info,
                                       ViewCloseHandler viewCloseHandler) {
  {
    std::lock_guard lock(mutex_);
    popups_.push_back({error, info.gameCode});
  }
  // The cases that only log.
  if (error.is<VornHelperError::WorkingAnotherGame>() || error.is<VornHelperError::GameAlreadyRegistered>() ||
      error.is<VornHelperError::WorkRequired>() || error.is<VornHelperError::NoWorkRequired>()) {
    return;
  }
  const auto answer = popupAnswer(error);
  if (!answer) throw InterfaceError("invalid window.contentView");
  viewCloseHandler(*answer);
}

void RecordingInterface::showDebugAlert(std::function<void()> done) {
  {
    std::lock_guard lock(mutex_);
    ++debugAlerts_;
  }
  done();
}

std::vector<RecordingInterface::Popup> RecordingInterface::popups() const {
  std::lock_guard lock(mutex_);
  return popups_;
}
std::vector<GamePanelInfo> RecordingInterface::panels() const {
  std::lock_guard lock(mutex_);
  return panels_;
}
std::vector<GameWorkInfo> RecordingInterface::progress() const {
  std::lock_guard lock(mutex_);
  return progress_;
}
int RecordingInterface::debugAlerts() const {
  std::lock_guard lock(mutex_);
  return debugAlerts_;
}

// ---- LogMark ----

namespace {

std::vector<std::string> allMessages() {
  testlog::logger().waitIdle();
  std::ifstream in(testlog::logger().filePath());
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    for (const char* level : {"[INFO] ", "[ERROR] "}) {
      const auto at = line.find(level);
      if (at != std::string::npos) {
        out.push_back(std::string(level) + line.substr(at + std::string(level).size()));
        break;
      }
    }
  }
  return out;
}

}  // namespace

LogMark::LogMark() : start_(allMessages().size()) {}

std::vector<std::string> LogMark::messages() const {
  const auto all = allMessages();
  std::vector<std::string> out;
  for (std::size_t i = start_; i < all.size(); ++i) {
    if (all[i].rfind("[INFO] ", 0) == 0) out.push_back(all[i].substr(7));
  }
  return out;
}

std::vector<std::string> LogMark::errors() const {
  const auto all = allMessages();
  std::vector<std::string> out;
  for (std::size_t i = start_; i < all.size(); ++i) {
    if (all[i].rfind("[ERROR] ", 0) == 0) out.push_back(all[i].substr(8));
  }
  return out;
}

std::vector<std::string> LogMark::steps(std::uint32_t gameCode) const {
  const std::string prefix = "gameCode=" + std::to_string(gameCode) + ", step [";
  std::vector<std::string> out;
  for (const auto& m : messages()) {
    if (m.rfind(prefix, 0) != 0) continue;
    std::string rest = m.substr(prefix.size());  // old]->[new]
    const auto mid = rest.find("]->[");
    if (mid == std::string::npos || rest.back() != ']') continue;
    out.push_back(rest.substr(0, mid) + "->" + rest.substr(mid + 4, rest.size() - mid - 5));
  }
  return out;
}

std::size_t LogMark::count(const std::string& message) const {
  std::size_t n = 0;
  for (const auto& m : messages()) n += m == message ? 1 : 0;
  return n;
}

}  // namespace launchtest
