#include "Common/Locale/LanguageCode.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>

std::string currentLanguageCode() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    const std::string locale(value);
    std::string code = locale.substr(0, locale.find_first_of("_.@"));
    if (code == "C" || code == "POSIX") return "";
    const bool plain = !code.empty() && code.size() <= 8 && std::all_of(code.begin(), code.end(), [](char c) {
      return std::isalpha(static_cast<unsigned char>(c)) != 0;
    });
    if (!plain) return "";
    for (char& c : code) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return code;
  }
  return "";
}
