#pragma once
// Statistics reports: every level-3 log message is one HTTP GET of the report
// endpoint, with the message as its query, "User-Agent: MacKTZ" and cookies
// describing the machine. Fire and forget; the helper can wait for the
// reports started so far (SendTasks::waitDone()).
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Common/Logger/VornLogger.hpp"
#include "Platform/OneShot.hpp"

class TavloLoggerError : public std::runtime_error {
 public:
  enum class Kind { jsonParseFailure, invalidUrl, invalidResponse };
  explicit TavloLoggerError(Kind kind);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

class TavloLogger {
 public:
  // One report in flight. `result` is set once the request has ended: nothing
  // on an answer (any status), or the failure's text and description.
  struct Failure {
    std::string text;
    std::string localizedDescription;
  };
  struct Task {
    platform::OneShot<std::optional<Failure>> result;
  };

  // The collector of report tasks (one per process).
  class SendTasks {
   public:
    static SendTasks& shared();

    void append(std::shared_ptr<Task> task);
    // Waits, in start order, for every report started before the call; logs
    // each failure at ERROR and forgets the awaited reports. Reports started
    // during the wait stay for the next call.
    void waitDone();
    // The same; `whileWaiting` runs once the list has been taken, before the
    // first wait (lets a test start a report in the middle of a wait).
    void waitDone(const std::function<void()>& whileWaiting);
    std::size_t count() const;

   private:
    mutable std::mutex mutex_;
    std::mutex waitMutex_;  // one waitDone() at a time
    std::vector<std::shared_ptr<Task>> sendTasks_;
  };

  // Starts one report and returns without waiting for it. A query that
  // cannot make a URL is dropped.
  static void send(const std::string& args, const std::optional<TavloCookies>& cookies);

  // "os_version", "os_architecture", "app_version": computed once.
  static const TavloCookies& defaultCookies();
  // The caller's cookies over the defaults (the caller's value wins).
  static TavloCookies mergedCookies(const std::optional<TavloCookies>& cookies);
  // "http://<report host>/ifc/ktz.aspx?" + query, or nothing when the query
  // holds characters a URL cannot.
  static std::optional<std::string> reportURL(const std::string& query);

  // Makes the logger hand its level-3 messages to send(). Each program calls
  // it once at start.
  static void connectToLogger();
};
