#pragma once
// Standard Base64 (RFC 4648 alphabet, "=" padding), with the two ways of
// reading it the system needs: strict for outside input, and the engine's
// lenient reading of the file keys it writes itself.
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Padded with "=" to a multiple of four characters.
std::string base64Encode(std::string_view bytes);

// Strict: the text's length is a multiple of four and "=" appears only as
// its last one or two characters. Any other character, line breaks and
// blanks included, makes the whole text invalid. Nothing when invalid.
std::optional<std::string> base64Decode(std::string_view text);

// Lenient: decodes up to the first character outside the alphabet (so up to
// the "=" padding); incomplete trailing bits are dropped.
std::string base64DecodePrefix(std::string_view text);

}  // namespace platform
