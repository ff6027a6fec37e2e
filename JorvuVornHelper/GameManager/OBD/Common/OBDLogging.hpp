#pragma once
// The patch engine's only way into the process logger. Levels: 0 error,
// 1 info, 2 debug (never written), 3 statistics report; any other level is
// treated as debug. Every written line starts with the engine's tag.
#include <cstdint>

// The tag in front of every engine line that is written to the log file.
// Reports (level 3) go out without it: their message is a query text.
inline constexpr const char* kOBDLogTag = "[OBD] ";

void loggingWrapper(const char* file, const char* function, std::int32_t line, std::uint32_t level,
                    const char* format, ...) __attribute__((format(printf, 5, 6)));

#define OBD_LOG(level, ...) ::loggingWrapper(__FILE__, __func__, __LINE__, (level), __VA_ARGS__)
#define OBD_LOG_ERROR(...) OBD_LOG(0u, __VA_ARGS__)
#define OBD_LOG_INFO(...) OBD_LOG(1u, __VA_ARGS__)
#define OBD_LOG_DEBUG(...) OBD_LOG(2u, __VA_ARGS__)
#define OBD_LOG_REPORT(...) OBD_LOG(3u, __VA_ARGS__)
