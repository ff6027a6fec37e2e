#include "Infra/HttpClient/HTTPReportSender.hpp"

#include "Infra/HttpClient/HTTPClient.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"

std::string HTTPReportSender::reportOrigin() const { return servicehosts::report().origin(); }

std::optional<TavloFailure> HTTPReportSender::send(const TavloRequest& request) {
  try {
    HTTPClient client(URLSession::standard());
    HTTPResponse response = client.request(request.url, "GET", request.headers, std::nullopt, request.cookies);
    logDebug("tavlo response, url=" + request.url + ", statusCode=" + std::to_string(response.statusCode));
    return std::nullopt;
  } catch (const HTTPClientError& e) {
    return TavloFailure{e.text(), e.localizedDescription()};
  } catch (const std::exception& e) {
    return TavloFailure{e.what(), e.what()};
  }
}

std::unique_ptr<TavloLogger::Connection> connectStatisticsReports() {
  return TavloLogger::connect(std::make_shared<HTTPReportSender>());
}
