#include "Infra/HttpClient/ServiceHosts.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

#include "Common/Logger/VornLogger.hpp"

namespace {

bool isHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

ServiceHost fromEnvironment(const char* name, ServiceHost fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  if (auto parsed = ServiceHost::parse(value)) return *parsed;
  logError(std::string("ignoring ") + name + ": not of the form scheme://host[:port]");
  return fallback;
}

}  // namespace

std::string ServiceHost::origin() const {
  std::string out = scheme + "://" + host;
  if (port) out += ":" + std::to_string(*port);
  return out;
}

std::optional<ServiceHost> ServiceHost::parse(const std::string& text) {
  ServiceHost out;
  std::string rest;
  if (text.rfind("http://", 0) == 0) {
    out.scheme = "http";
    rest = text.substr(7);
  } else if (text.rfind("https://", 0) == 0) {
    out.scheme = "https";
    rest = text.substr(8);
  } else {
    return std::nullopt;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string portText;
  if (!rest.empty() && rest.front() == '[') {
    auto close = rest.find(']');
    if (close == std::string::npos || close < 2) return std::nullopt;
    std::string inner = rest.substr(1, close - 1);
    if (!std::all_of(inner.begin(), inner.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; })) {
      return std::nullopt;
    }
    out.host = rest.substr(0, close + 1);
    rest = rest.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      portText = rest.substr(1);
      if (portText.empty()) return std::nullopt;
    }
  } else {
    auto colon = rest.find(':');
    out.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      portText = rest.substr(colon + 1);
      if (portText.empty()) return std::nullopt;
    }
    if (out.host.empty() || !std::all_of(out.host.begin(), out.host.end(), isHostChar)) return std::nullopt;
  }
  if (!portText.empty()) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (ec != std::errc() || end != portText.data() + portText.size() || value == 0 || value > 65535) {
      return std::nullopt;
    }
    out.port = static_cast<std::uint16_t>(value);
  }
  return out;
}

namespace servicehosts {

ServiceHost catalogueLive() { return fromEnvironment(catalogueLiveEnv, {"https", "catalogue.jorvu.com", std::nullopt}); }
ServiceHost catalogueTest() {
  return fromEnvironment(catalogueTestEnv, {"https", "catalogue-test.jorvu.com", std::nullopt});
}
// Reports go over plain HTTP on port 80.
ServiceHost report() { return fromEnvironment(reportEnv, {"http", "stat.jorvu.com", std::nullopt}); }
ServiceHost ticket() { return fromEnvironment(ticketEnv, {"https", "api-ias.jorvu.com", std::nullopt}); }

}  // namespace servicehosts
