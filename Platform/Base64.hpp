#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Strict standard Base64 (RFC 4648 alphabet, "=" padding): the text's length
// is a multiple of four and "=" appears only as its last one or two
// characters. Any other character, line breaks and blanks included, makes
// the whole text invalid. Nothing when invalid.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace platform
