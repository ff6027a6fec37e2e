#pragma once
// The statistics reporter's way out: reports sent with the HTTP client to
// the report host of ServiceHosts. Any thread.
#include <memory>

#include "Common/Logger/TavloLogger.hpp"
#include "Common/Logger/TavloReportSender.hpp"

class HTTPReportSender final : public TavloReportSender {
 public:
  std::string reportOrigin() const override;
  std::optional<TavloFailure> send(const TavloRequest& request) override;
};

// Each program's start: connects the logger's statistics reports to the HTTP
// client. Call it from main after httpGlobalInit(); keep the result for the
// life of the program: its end waits for the reports already started and
// joins the reporter's threads.
std::unique_ptr<TavloLogger::Connection> connectStatisticsReports();
