#pragma once
// What the setup-archive worker needs from the worker interface and from the
// payload records, in minimal form, until the shared declarations land:
//   - GameWorkerable and GameWorkerWrapperWorkMode (the worker interface),
//   - GameStatus.ProgressInfo and ErrorInfo with their compact JSON writing.
// Kept in a namespace of their own so that they cannot clash with the shared
// ones; switching over means replacing `urlsupport::` by the real names.
#include <cstdint>
#include <string>

namespace urlsupport {

// The worker's mode: 0 none, 1 install, 2 patch, 3 restore, 4 ready,
// 5 user abort, 6 error.
using GameWorkerWrapperWorkMode = std::uint32_t;

// The interface through which the service drives a game's worker.
class GameWorkerable {
 public:
  virtual ~GameWorkerable() = default;
  virtual GameWorkerWrapperWorkMode getWorkMode() = 0;
  virtual bool needWork() = 0;
  virtual bool work() = 0;
  virtual void cancel() = 0;
  virtual std::string getErrorInfo() = 0;
  virtual std::string getProgressInfo() = 0;
};

// GameStatus.ProgressInfo.
struct ProgressInfo {
  std::uint32_t operationType = 10000;
  std::uint64_t totalSize = 0;
  std::uint64_t currentSize = 0;
  bool isRetry = false;
};

struct ErrorInfo {
  std::int32_t errorCode = 0;
  std::uint32_t errorOperation = 0;
  std::uint32_t mainErrorCode = 0;
  std::uint32_t subErrorCode = 0;
  std::string errorMessage;
};

// Compact JSON objects keyed by the field names.
std::string encodeJSON(const ProgressInfo& info);
std::string encodeJSON(const ErrorInfo& info);

}  // namespace urlsupport
