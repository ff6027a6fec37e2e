#pragma once
// File keys: the Base64 of a file's path relative to the game's folder.
#include <string>
#include <string_view>

namespace obd::utils {

// Standard Base64 (RFC 4648 alphabet), padded with "=".
std::string Base64Encode(std::string_view bytes);

// Decodes up to the first character outside the alphabet (so up to the "="
// padding); incomplete trailing bits are dropped.
std::string Base64Decode(std::string_view text);

// A relative path that stays inside its folder: not empty, not absolute, no
// empty, "." or ".." segment, no NUL byte. "\" counts as "/".
bool IsSafeRelativePath(std::string_view relative);

// The decoded key with every "\" turned into "/": the file's path below the
// game's folder. Empty for a key whose path would leave the folder (see
// IsSafeRelativePath).
std::string GetDecodedRelativePath(std::string_view key);

// target + "/" (unless it ends in one) + the decoded key with every "\"
// turned into "/". Keys come from the network: a key whose path would leave
// the target folder (see IsSafeRelativePath) gives an empty text.
std::string GetDecodedTargetFullPath(const std::string& target, std::string_view key);

}  // namespace obd::utils
