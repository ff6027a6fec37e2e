#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/SerialQueue.hpp"

enum class VornLogLevel : int { error = 0, info = 1, debug = 2, report = 3 };

// Maps a raw level; nothing for a raw value outside 0...3.
std::optional<VornLogLevel> vornLogLevel(int raw);

enum class VornLogErrorState : int { success = 0, occurred = 1, unknown = 2 };

using TavloCookies = std::map<std::string, std::string>;

// One log file per process: <home>/Library/Logs/JorvuLauncher/<process>.log.
// Logging only enqueues; all file work runs on one serial queue.
class VornLogger {
 public:
  static constexpr std::uint64_t maxFileSize = 104857600;
  static constexpr const char* maxFileSizeNote = "max file size. no longer write logs to files.";

  // Level-3 messages go here instead of the file (the statistics reporter
  // installs itself); the call runs on the log queue and must not block.
  using ReportHandler = std::function<void(const std::string& query, const std::optional<TavloCookies>& cookies)>;

  // The process-wide logger, made on first use; it is never destroyed, and
  // queued lines are written out at exit.
  static VornLogger& shared();

  // A logger with its own folder and names (tests; shared() uses the defaults).
  VornLogger(std::string parentDirectory, std::string processName, std::int32_t processID);
  ~VornLogger();
  VornLogger(const VornLogger&) = delete;
  VornLogger& operator=(const VornLogger&) = delete;

  // The caller's file, function and line are not written, so they are not taken.
  static void logging(VornLogLevel level, std::string message,
                      std::optional<TavloCookies> tavloCookies = std::nullopt);
  // The same, on this instance.
  void log(std::chrono::system_clock::time_point date, VornLogLevel level, std::string message,
           std::optional<TavloCookies> tavloCookies = std::nullopt);

  // App exit: writes out what is queued, closes the file and deletes the log
  // folder unless the configuration keeps it or an ERROR line was written.
  static void clearLogFile();
  void clear();

  // The configuration file's common.isRemainLogFile when the file is valid,
  // otherwise the stored value.
  static bool isRemainLogFile();
  static void setIsRemainLogFile(bool value);

  VornLogErrorState errorState() const;
  void setErrorState(VornLogErrorState state);

  static void setReportHandler(ReportHandler handler);

  // Waits until every line queued so far has been handled.
  void waitIdle();

  const std::string& parentDirectory() const { return parentDirectory_; }
  const std::string& filePath() const { return filePath_; }
  const std::string& processName() const { return processName_; }
  std::int32_t processID() const { return processID_; }

 private:
  void createFile();
  void write(std::chrono::system_clock::time_point date, VornLogLevel level, const std::string& message);

  std::int32_t processID_;
  std::string parentDirectory_;
  std::string processName_;
  std::string filePath_;
  int fd_ = -1;                 // touched on queue_ only
  bool isMaxFileSize_ = false;  // touched on queue_ only
  std::atomic<int> errorStateValue_{0};
  std::recursive_mutex errorStateValueLock_;
  std::unique_ptr<platform::SerialQueue> queue_;
};

// Shorthands used all over the system.
inline void logError(std::string message) {
  VornLogger::logging(VornLogLevel::error, std::move(message));
}
inline void logInfo(std::string message) {
  VornLogger::logging(VornLogLevel::info, std::move(message));
}
// DEBUG lines are dropped at the call.
inline void logDebug(const std::string&) {}
inline void logReport(std::string query, std::optional<TavloCookies> cookies = std::nullopt) {
  VornLogger::logging(VornLogLevel::report, std::move(query), std::move(cookies));
}
