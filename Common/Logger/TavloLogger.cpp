#include "Common/Logger/TavloLogger.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#include "Infra/HttpClient/HTTPClient.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"
#include "Platform/Bundle.hpp"
#include "Platform/SystemInfo.hpp"

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
  if (!isURLQueryText(query)) return std::nullopt;
  return servicehosts::report().origin() + "/ifc/ktz.aspx?" + query;
}

void TavloLogger::send(const std::string& args, const std::optional<TavloCookies>& cookies) {
  auto url = reportURL(args);
  if (!url) {
    logDebug("url convert failed");
    return;
  }
  auto task = std::make_shared<Task>();
  SendTasks::shared().append(task);
  auto run = [task, url = *url, cookies = mergedCookies(cookies)] {
    std::optional<Failure> failure;
    try {
      HTTPClient client(URLSession::standard());
      HTTPResponse response = client.request(url, "GET", {{"User-Agent", "MacKTZ"}}, std::nullopt, cookies);
      logDebug("tavlo response, url=" + url + ", statusCode=" + std::to_string(response.statusCode));
    } catch (const HTTPClientError& e) {
      failure = Failure{e.text(), e.localizedDescription()};
    } catch (const std::exception& e) {
      failure = Failure{e.what(), e.what()};
    }
    task->result.resolve(std::move(failure));
  };
  try {
    std::thread(std::move(run)).detach();
  } catch (const std::system_error& e) {
    task->result.resolve(Failure{e.what(), e.what()});  // never leave a task that nobody ends
  }
}

void TavloLogger::connectToLogger() {
  VornLogger::setReportHandler(
      [](const std::string& query, const std::optional<TavloCookies>& cookies) { send(query, cookies); });
}
