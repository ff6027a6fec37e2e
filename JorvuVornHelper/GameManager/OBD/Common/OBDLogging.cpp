#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "Common/Logger/VornLogger.hpp"

void loggingWrapper(const char* /*file*/, const char* /*function*/, std::int32_t /*line*/, std::uint32_t level,
                    const char* format, ...) {
  // The logger does not write the caller's position, so file, function and
  // line are taken for the interface only.
  const std::uint32_t kept = level < 4 ? level : 2;
  if (kept == 2 || format == nullptr) return;  // debug lines are dropped at the call

  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message;
  if (needed > 0) {
    message.resize(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(message.data(), message.size(), format, args);
    message.resize(static_cast<std::size_t>(needed));
  }
  va_end(args);

  if (kept == 3) {
    VornLogger::logging(VornLogLevel::report, std::move(message));
    return;
  }
  VornLogger::logging(kept == 0 ? VornLogLevel::error : VornLogLevel::info, kOBDLogTag + message);
}
