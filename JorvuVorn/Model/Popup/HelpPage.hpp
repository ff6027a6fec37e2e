#pragma once
// The publisher's help page that the troubleshooting button opens.
//
// Plain functions; any thread.
#include <optional>
#include <string>

// The help web site: JORVU_HELP_HOST (scheme://host[:port], for tests) when
// set and not empty, else the publisher's site.
std::string helpHost();

// host + "/KTZ/HTML/error_page.html?main_error_code=" + errorCode +
// "&sub_error_code=" + subErrorCode, the codes inserted as they are; nothing
// when the result is not a valid URL.
std::optional<std::string> troubleshootURL(const std::string& host, const std::string& errorCode,
                                           const std::string& subErrorCode);
