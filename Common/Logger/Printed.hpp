#pragma once
#include <string>
#include <string_view>

// A text as the logs and error descriptions print it: in double quotes, with
// quotes, backslashes and line feeds escaped (a text never breaks a log line).
inline std::string printedString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}
