#pragma once
// The one interface between the helper's service and a game's worker. The
// registered game holds its worker as a shared reference of this type.
#include <cstdint>
#include <string>

// The worker's state as a number; no other value is ever stored.
using GameWorkerWrapperWorkMode = std::uint32_t;

namespace WorkMode {
inline constexpr GameWorkerWrapperWorkMode None = 0;
inline constexpr GameWorkerWrapperWorkMode Install = 1;
inline constexpr GameWorkerWrapperWorkMode Patch = 2;
inline constexpr GameWorkerWrapperWorkMode Restore = 3;
inline constexpr GameWorkerWrapperWorkMode Ready = 4;
inline constexpr GameWorkerWrapperWorkMode UserAbort = 5;
inline constexpr GameWorkerWrapperWorkMode Error = 6;
}  // namespace WorkMode

class GameWorkerable {
 public:
  virtual ~GameWorkerable() = default;
  virtual GameWorkerWrapperWorkMode getWorkMode() = 0;
  // The game needs an install or a patch now.
  virtual bool needWork() = 0;
  // Runs the job (or starts it, for a worker that works in the background);
  // true when it succeeded.
  virtual bool work() = 0;
  virtual void cancel() = 0;
  // The error and progress records as JSON texts.
  virtual std::string getErrorInfo() = 0;
  virtual std::string getProgressInfo() = 0;
};
