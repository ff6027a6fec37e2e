#include "JorvuVorn/Model/WebViewProgressData.hpp"

#include <cstdio>

std::string javaScriptStringBody(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
      continue;
    }
    // U+2028 and U+2029 are E2 80 A8 and E2 80 A9 in UTF-8.
    if (c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(text[i + 2]) == 0xa8 || static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
      out += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
      i += 2;
      continue;
    }
    out += static_cast<char>(c);
  }
  return out;
}

std::string progressCallbackCall(const std::string& json) {
  return "ktz.progressCallback(\"" + javaScriptStringBody(json) + "\")";
}
