#pragma once
// The user's language, as both programs read it: the first of LC_ALL,
// LC_MESSAGES and LANG that is set and not empty decides, in POSIX order of
// precedence. Its language part ("ko" of "ko_KR.UTF-8") is returned in lower
// case; "C", "POSIX", or a value that is no plain language name gives "".
//
// Reads the environment on every call; any thread.
#include <string>

std::string currentLanguageCode();
