#pragma once
// The progress and error records of one manifest worker, with the job's
// in-progress flag, under one mutex: the only lock a job shares with the
// service's request threads.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "JorvuVornHelper/GameManager/ProgressInfoManager/EngineErrors.hpp"

// Operation types (progress operationType and error errorOperation).
namespace OperationType {
inline constexpr std::uint32_t None = 10000;
inline constexpr std::uint32_t Install = 11000;
inline constexpr std::uint32_t InstallCompleted = 12000;
inline constexpr std::uint32_t InstallError = 13000;
inline constexpr std::uint32_t PatchCompleted = 31000;
inline constexpr std::uint32_t PatchError = 32000;
inline constexpr std::uint32_t PatchPrepare = 33000;
inline constexpr std::uint32_t PatchRestore = 38000;
inline constexpr std::uint32_t UserAbort = 42000;
inline constexpr std::uint32_t PatchDownload = 51000;
}  // namespace OperationType

class ProgressInfoManager {
 public:
  struct ProgressInfo {
    std::uint32_t operationType = OperationType::None;
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

  void GetProgressInfo(ProgressInfo* out) const;
  void GetErrorInfo(ErrorInfo* out) const;
  std::int32_t GetErrorCode() const;
  void SetErrorCode(std::int32_t code);
  void SetOperationType(std::uint32_t type);
  void SetOperationTypeAndSizeReset(std::uint32_t type);
  void SetTotalSize(std::uint64_t n);
  void SetCurrentSize(std::uint64_t n);
  void AddCurrentSize(std::uint64_t n);
  // Never goes below zero.
  void SubCurrentSize(std::uint64_t n);
  void SetRetry();
  void SetLastErrorCode(std::int32_t code, std::uint32_t mainCode, std::uint32_t subCode);
  // The same for one of the engine's named errors.
  void SetLastError(EngineError error, std::uint32_t subCode = 0) { SetLastErrorCode(error.code, error.main, subCode); }
  void SetLastErrorMessage(const std::string& text);
  void ResetLastErrorCode();
  bool GetProgress() const;
  void SetProgress(bool flag);
  void Cancel();
  // Waits up to `timeout` while the job is in progress; true at once (or as
  // soon as it happens) when the flag is clear, false when the time passed.
  // A job's retry waits use it, so that a cancel ends them at once.
  bool WaitForCancel(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable progressChanged_;
  ProgressInfo progress_;
  ErrorInfo error_;
  bool inProgress_ = false;
};

// The two texts the service reads (built by hand, in this exact layout).
//   {"operationType": 11000, "totalSize": 5, "currentSize": 2, "isRetry":false}
//   {"errorCode": -60 , "errorOperation": 11000, "mainErrorCode": 917, "subErrorCode": 0, "errorMessage": ""}
// The message is written as a JSON string body, so any message keeps the
// text valid JSON.
std::string MakeProgressInfoJson(const ProgressInfoManager::ProgressInfo& info);
std::string MakeErrorInfoJson(const ProgressInfoManager::ErrorInfo& info);

// The message stored with main error 933 (a lack of disk space), as plain
// JSON: {"total": <free>, "require": <needed>, "status": <1 install, 2 patch>}.
// Inside the error text it comes out with its quotes escaped.
std::string MakeCapacityMessage(std::uint64_t total, std::uint64_t require, std::uint32_t status);

// A text as the inside of a JSON string: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string EscapeJsonStringBody(const std::string& text);
