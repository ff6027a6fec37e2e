#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Length of the well-formed UTF-8 sequence at `p` (`left` bytes available),
// or 0 with `consumed` set to the length of its maximal ill-formed prefix
// (at least 1). Overlong forms, surrogates and values past U+10FFFF are
// ill-formed.
std::size_t utf8SequenceLength(const unsigned char* p, std::size_t left, std::size_t& consumed);

bool isValidUTF8(std::string_view text);

// The text with each maximal ill-formed part replaced by U+FFFD.
std::string repairedUTF8(std::string_view bytes);

}  // namespace platform
