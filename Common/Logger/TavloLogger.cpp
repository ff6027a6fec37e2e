#include "Common/Logger/TavloLogger.hpp"

#include <algorithm>
#include <cstring>

#include "Platform/Bundle.hpp"
#include "Platform/SystemInfo.hpp"
#include "Platform/WorkerPool.hpp"

namespace {

const char* kindText(TavloLoggerError::Kind kind) {
  switch (kind) {
    case TavloLoggerError::Kind::jsonParseFailure: return "jsonParseFailure";
    case TavloLoggerError::Kind::invalidUrl: return "invalidUrl";
    case TavloLoggerError::Kind::invalidResponse: return "invalidResponse";
  }
  return "unknown";
}

bool isURLQueryText(const std::string& text) {
  static const char* forbidden = " \"<>\\^`{|}";
  return std::all_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && std::strchr(forbidden, c) == nullptr;
  });
}

}  // namespace

struct TavloLogger::Connection::State {
  explicit State(std::shared_ptr<TavloReportSender> s) : sender(std::move(s)), workers(maxReportWorkers) {}
  const std::shared_ptr<TavloReportSender> sender;
  platform::WorkerPool workers;
};

namespace {

// The connection in use; send() takes a reference for the report it starts.
// Never destroyed: the log queue may still hand over a report at exit, and
// it then finds nothing connected.
struct CurrentConnection {
  std::mutex mutex;
  std::shared_ptr<TavloLogger::Connection::State> state;
};
CurrentConnection& current() {
  static auto* instance = new CurrentConnection();
  return *instance;
}

std::shared_ptr<TavloLogger::Connection::State> currentConnection() {
  std::lock_guard lock(current().mutex);
  return current().state;
}

std::optional<std::string> reportURLOf(const TavloReportSender& sender, const std::string& query) {
  if (!isURLQueryText(query)) return std::nullopt;
  return sender.reportOrigin() + "/ifc/ktz.aspx?" + query;
}

}  // namespace

TavloLoggerError::TavloLoggerError(Kind kind) : std::runtime_error(kindText(kind)), kind_(kind) {}

// ---- SendTasks ----

TavloLogger::SendTasks& TavloLogger::SendTasks::shared() {
  static SendTasks* instance = new SendTasks();  // outlives threads still reporting at exit
  return *instance;
}

void TavloLogger::SendTasks::append(std::shared_ptr<Task> task) {
  std::lock_guard lock(mutex_);
  sendTasks_.push_back(std::move(task));
}

std::size_t TavloLogger::SendTasks::count() const {
  std::lock_guard lock(mutex_);
  return sendTasks_.size();
}

void TavloLogger::SendTasks::waitDone() { waitDone({}); }

void TavloLogger::SendTasks::waitDone(const std::function<void()>& whileWaiting) {
  std::lock_guard serial(waitMutex_);
  // A report is started from the log queue: let every report logged before
  // this call start first, so that it is among the awaited ones.
  VornLogger::shared().waitIdle();
  std::vector<std::shared_ptr<Task>> awaited;
  {
    std::lock_guard lock(mutex_);
    awaited = sendTasks_;
  }
  if (whileWaiting) whileWaiting();
  for (const auto& task : awaited) {
    // Every request ends within its own time-outs.
    if (auto failure = task->result.wait()) {
      logError("An error occurred: " + failure->text + " " + failure->localizedDescription);
    }
  }
  std::lock_guard lock(mutex_);
  // New reports are only ever appended and waits run one at a time, so the
  // awaited tasks are still the first entries of the list.
  sendTasks_.erase(sendTasks_.begin(), sendTasks_.begin() + static_cast<std::ptrdiff_t>(awaited.size()));
}

// ---- reports ----

const TavloCookies& TavloLogger::defaultCookies() {
  // Never destroyed: a report may still be on its way while the process exits.
  static const TavloCookies* cookies = [] {
    auto* c = new TavloCookies;
    const platform::OSVersion os = platform::operatingSystemVersion();
    (*c)["os_version"] = os.name + " " + std::to_string(os.major) + "." + std::to_string(os.minor) + "." +
                         std::to_string(os.patch);
    (*c)["os_architecture"] = platform::architecture();
    std::string version = "unknown";
    if (auto bundle = platform::Bundle::main()) {
      if (auto v = bundle->shortVersion()) version = *v;
    }
    (*c)["app_version"] = version;
    return c;
  }();
  return *cookies;
}

TavloCookies TavloLogger::mergedCookies(const std::optional<TavloCookies>& cookies) {
  TavloCookies merged = defaultCookies();
  if (cookies) {
    for (const auto& [name, value] : *cookies) merged[name] = value;
  }
  return merged;
}

std::optional<std::string> TavloLogger::reportURL(const std::string& query) {
  auto state = currentConnection();
  if (!state) return std::nullopt;
  return reportURLOf(*state->sender, query);
}

void TavloLogger::send(const std::string& args, const std::optional<TavloCookies>& cookies) {
  auto state = currentConnection();
  if (!state) return;  // nothing connected: the report goes nowhere
  auto url = reportURLOf(*state->sender, args);
  if (!url) {
    logDebug("url convert failed");
    return;
  }
  auto task = std::make_shared<Task>();
  SendTasks::shared().append(task);
  TavloRequest request{*url, {{"User-Agent", "MacKTZ"}}, mergedCookies(cookies)};
  const bool started = state->workers.post([task, sender = state->sender, request = std::move(request)] {
    task->result.resolve(sender->send(request));
  });
  // Never leave a task that nobody ends.
  if (!started) task->result.resolve(Failure{"reporterClosed", "The statistics reporter is closed."});
}

std::unique_ptr<TavloLogger::Connection> TavloLogger::connect(std::shared_ptr<TavloReportSender> sender) {
  auto state = std::make_shared<Connection::State>(std::move(sender));
  {
    std::lock_guard lock(current().mutex);
    current().state = state;
  }
  VornLogger::setReportHandler(
      [](const std::string& query, const std::optional<TavloCookies>& cookies) { send(query, cookies); });
  return std::unique_ptr<Connection>(new Connection(std::move(state)));
}

TavloLogger::Connection::~Connection() {
  // Every report logged so far gets its start first.
  VornLogger::shared().waitIdle();
  bool wasCurrent = false;
  {
    std::lock_guard lock(current().mutex);
    if (current().state == state_) {
      current().state.reset();
      wasCurrent = true;
    }
  }
  if (wasCurrent) VornLogger::setReportHandler({});
  state_->workers.close();
}
