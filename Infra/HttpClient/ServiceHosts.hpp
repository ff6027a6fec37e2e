#pragma once
// The publisher's services that the programs talk to, in one place. Each has
// a fixed default and an environment override of the form
// "scheme://host[:port]" (for tests and the demo, which point them at
// 127.0.0.1):
//   JORVU_CATALOGUE_LIVE_HOST   live catalogue service
//   JORVU_CATALOGUE_TEST_HOST   test catalogue service
//   JORVU_REPORT_HOST           statistics report endpoint
//   JORVU_TICKET_HOST           sign-in ticket service
// The environment is read on every use. An override that is not of that form
// is logged at ERROR and the default is used.
#include <cstdint>
#include <optional>
#include <string>

struct ServiceHost {
  std::string scheme;  // "http" or "https"
  std::string host;    // a name, an IPv4 address or a bracketed IPv6 address
  std::optional<std::uint16_t> port;

  // "scheme://host[:port]", with no trailing slash.
  std::string origin() const;
  bool operator==(const ServiceHost&) const = default;

  // Reads "scheme://host[:port]"; nothing when the text is not of that form.
  static std::optional<ServiceHost> parse(const std::string& text);
};

namespace servicehosts {

inline constexpr const char* catalogueLiveEnv = "JORVU_CATALOGUE_LIVE_HOST";
inline constexpr const char* catalogueTestEnv = "JORVU_CATALOGUE_TEST_HOST";
inline constexpr const char* reportEnv = "JORVU_REPORT_HOST";
inline constexpr const char* ticketEnv = "JORVU_TICKET_HOST";

ServiceHost catalogueLive();
ServiceHost catalogueTest();
ServiceHost report();
ServiceHost ticket();

}  // namespace servicehosts
