#pragma once
// The progress message that the setup panel hands to its page, and the text
// of the script call that carries it.
//
// The page receives the compact JSON text
//   {"type":"progress","progress":{"step":"install","rate":0.5}}
// as the one string argument of ktz.progressCallback(...).
#include <string>

#include "Common/Protocol/PayloadCoding.hpp"
#include "JorvuVorn/Model/GameWorkInfo.hpp"

struct WebViewProgressData {
  using record_tag = void;
  std::string type = "progress";
  GameWorkInfo progress;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("type", s.type);
    f("progress", s.progress);
  }
  bool operator==(const WebViewProgressData&) const = default;

  // Compact JSON; throws jsoncoding::EncodingError (a rate that is not a
  // finite number).
  std::string encode() const { return payload::encode(*this); }
};

// `text` as the body of a double-quoted JavaScript string literal: the
// double quote, the backslash, line breaks and the other control characters,
// and U+2028/U+2029 (line terminators inside a literal) are escaped, so no
// text can end the literal or the call. Other bytes pass unchanged.
std::string javaScriptStringBody(const std::string& text);

// ktz.progressCallback("<the message's JSON, escaped>")
std::string progressCallbackCall(const std::string& json);
