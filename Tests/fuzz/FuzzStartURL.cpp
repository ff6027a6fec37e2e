// The start-URL parser and the strict Base64 decoder on arbitrary bytes:
// either a launch record or URLParserError, never anything else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "Common/App/StartURL.hpp"
#include "Platform/Base64.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parser logs ERROR lines for tokens it cannot find: keep them out of
  // the user's log folder.
  static std::string home = (std::filesystem::temp_directory_path() / "jorvu-fuzz-XXXXXX").string();
  if (::mkdtemp(home.data()) == nullptr) return 0;
  ::setenv("HOME", home.c_str(), 1);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const GameExecuteInfo info = starturl::parse(text);
    if (!info.isAutoExecute || info.ignoreOSVersion || info.url != std::string(text)) std::abort();
  } catch (const URLParserError&) {
  }
  if (auto decoded = platform::base64Decode(text)) {
    if (decoded->size() != size / 4 * 3 - (size > 0 && text.back() == '=') - (size > 1 && text[size - 2] == '=')) {
      std::abort();
    }
  }
  return 0;
}
