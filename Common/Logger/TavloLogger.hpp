#pragma once
// Statistics reports: every level-3 log message is one HTTP GET of the report
// endpoint, with the message as its query, "User-Agent: MacKTZ" and cookies
// describing the machine. Fire and forget: the reports run on a few worker
// threads of the reporter's connection, and the helper can wait for the
// reports started so far (SendTasks::waitDone()). How a report travels is the
// connected TavloReportSender's business (the HTTP client's, in Infra).
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Common/Logger/TavloReportSender.hpp"
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
  using Failure = TavloFailure;
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

  // The reporter's link to its sender and its worker threads, made by
  // connect(). Destroying it disconnects the logger, lets every report
  // already started end and joins the workers.
  class Connection {
   public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    struct State;

   private:
    friend class TavloLogger;
    explicit Connection(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  // Reports sent at the same time, at most.
  static constexpr std::size_t maxReportWorkers = 4;

  // Makes the logger hand its level-3 messages to send(), and send() hand
  // each report to `sender` on a worker thread. One connection at a time: a
  // later one takes over.
  static std::unique_ptr<Connection> connect(std::shared_ptr<TavloReportSender> sender);

  // Starts one report and returns without waiting for it. A query that
  // cannot make a URL, or a report while nothing is connected, is dropped.
  static void send(const std::string& args, const std::optional<TavloCookies>& cookies);

  // "os_version", "os_architecture", "app_version": computed once.
  static const TavloCookies& defaultCookies();
  // The caller's cookies over the defaults (the caller's value wins).
  static TavloCookies mergedCookies(const std::optional<TavloCookies>& cookies);
  // "<report origin>/ifc/ktz.aspx?" + query, or nothing when the query
  // holds characters a URL cannot or nothing is connected.
  static std::optional<std::string> reportURL(const std::string& query);
};
