#pragma once
// The app's start URL: only its query is read (keys game, vantixToken,
// windowsArgs and passarg); its scheme, host and path are not looked at.
#include <exception>
#include <string>
#include <string_view>

#include "Common/App/GameExecuteInfo.hpp"
#include "Common/Url/Url.hpp"

class URLParserError : public std::exception {
 public:
  // The one case; its text is "invalid URLComponents" or "invalid gameCode".
  static URLParserError invalidURL(std::string text);

  const std::string& text() const { return text_; }
  // invalidURL("invalid gameCode")
  const std::string& description() const { return description_; }
  // A sentence for people.
  std::string localizedDescription() const { return "The start URL is not valid: " + text_ + "."; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const URLParserError& other) const { return text_ == other.text_; }

 private:
  explicit URLParserError(std::string text);
  std::string text_;
  std::string description_;
};

namespace starturl {

// The launch record of a start URL. Throws URLParserError. A missing or
// malformed sign-in token is no error: the launch goes on without one, after
// an ERROR line.
GameExecuteInfo parse(const urlkit::URL& url);
// The same for a URL text; a text that is no URL is "invalid URLComponents".
GameExecuteInfo parse(std::string_view text);

}  // namespace starturl
