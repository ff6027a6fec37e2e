#pragma once
// Download statistics of one job. Kept for diagnosis; neither shown nor sent.
#include <cstdint>
#include <ctime>
#include <string>

// A monotonic start mark in milliseconds.
class CTickCounter {
 public:
  CTickCounter() { Start(); }
  virtual ~CTickCounter() = default;
  void Start();
  std::uint64_t ElapsedMilliseconds() const;

 private:
  std::uint64_t startMs_ = 0;
};

class DownloadMonitor {
 public:
  enum EndStates : std::uint32_t { Completed = 1, FailedOrCancelled = 2 };

  struct DownloadMonitoringDataSet {
    std::string start_time;  // "yyyy-mm-dd hh:mm:ss", local time
    std::string end_time;
    std::uint64_t duration = 0;  // seconds
    std::uint64_t total_size = 0;
    std::uint64_t average_speed = 0;  // bytes per second
    std::uint32_t end_state = 0;
    std::string host_name;
    std::string local_address;
    std::string remote_address;
  };

  void SetStartTime();
  void SetEndTime();
  void SetDuration(std::uint64_t milliseconds);
  void SetTotalSize(std::uint64_t bytes);
  void SetEndPointInfo(const std::string& hostName, const std::string& remoteAddress, const std::string& localAddress);
  void SetEndState(std::uint32_t state);
  void FillExtraData();
  void CalculateAverageSpeed();
  DownloadMonitoringDataSet GetDataSet() const;

  // "yyyy-mm-dd hh:mm:ss" of a calendar time in local time.
  static std::string FormatTime(std::time_t t);

 private:
  std::time_t startTime_ = 0;
  std::time_t endTime_ = 0;
  std::uint64_t duration_ = 0;
  std::uint64_t totalSize_ = 0;
  std::uint64_t averageSpeed_ = 0;
  std::uint32_t endState_ = 0;
  std::string hostName_;
  std::string localAddress_;
  std::string remoteAddress_;
  CTickCounter tick_;
};
