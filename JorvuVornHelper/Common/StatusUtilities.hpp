#pragma once
// Small conversions shared by the helper's service and its launch conditions.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "Common/Protocol/GameStatus.hpp"

// The worker's work mode as the status the app sees: 0 registered, 1 install,
// 2 patch, 3 restore, 4 ready, 5 cancel, 6 and every larger value error.
GameStatus::Status toStatus(std::uint32_t workMode);

// The running system's major and minor version as one number (14.2.1 gives
// 14.2, 10.15.7 gives 10.15); 0 when it does not read as a number.
float getOSVersion();
// The same from version numbers.
float osVersionNumber(int major, int minor);

// A catalogue time "yyyy-MM-dd HH:mm" in Korea Standard Time (UTC+09:00, no
// daylight saving) as an instant; nothing when the text is not of that form
// or names no real date.
std::optional<std::chrono::system_clock::time_point> toDate(std::string_view text);
