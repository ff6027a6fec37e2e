#include "JorvuVorn/Model/Popup/HelpPage.hpp"

#include <cstdlib>

#include "Common/Url/Url.hpp"

namespace {
constexpr const char* kHelpHost = "https://help.jorvu.com";
}

std::string helpHost() {
  const char* host = std::getenv("JORVU_HELP_HOST");
  return host != nullptr && *host != '\0' ? host : kHelpHost;
}

std::optional<std::string> troubleshootURL(const std::string& host, const std::string& errorCode,
                                           const std::string& subErrorCode) {
  const std::string text =
      host + "/KTZ/HTML/error_page.html?main_error_code=" + errorCode + "&sub_error_code=" + subErrorCode;
  const auto url = urlkit::URL::parse(text);
  if (!url || url->scheme().empty()) return std::nullopt;
  return url->absoluteString();
}
