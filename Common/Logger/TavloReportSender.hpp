#pragma once
// What the statistics reporter needs from the layers above it: where reports
// go, and sending one of them. The HTTP client implements it
// (Infra/HttpClient/HTTPReportSender.hpp); each program connects it to the
// reporter at start (TavloLogger::connect).
#include <map>
#include <optional>
#include <string>

#include "Common/Logger/VornLogger.hpp"

// A report that could not be sent: the error's text and its sentence.
struct TavloFailure {
  std::string text;
  std::string localizedDescription;
};

// One report: a GET of `url` with these header fields and cookies.
struct TavloRequest {
  std::string url;
  std::map<std::string, std::string> headers;
  TavloCookies cookies;
};

class TavloReportSender {
 public:
  virtual ~TavloReportSender() = default;

  // "scheme://host[:port]" of the report endpoint, read on every report.
  virtual std::string reportOrigin() const = 0;
  // Sends one report and waits for its end, which its time-outs bound:
  // nothing on any answer (whatever its status), the failure otherwise.
  // Called on the reporter's worker threads, several at a time; never throws.
  virtual std::optional<TavloFailure> send(const TavloRequest& request) = 0;
};
