// The configuration file decoder on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Common/Config/VornConfig.hpp"
#include "Common/Json/JsonReading.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    (void)VornConfig::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const jsoncoding::DecodingError&) {
  }
  return 0;
}
