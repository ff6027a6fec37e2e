#include "JorvuVornHelper/GameManager/GameWorker/DownloadMonitor.hpp"

#include <chrono>
#include <cstdio>

void CTickCounter::Start() {
  startMs_ = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

std::uint64_t CTickCounter::ElapsedMilliseconds() const {
  const auto now = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
  return now >= startMs_ ? now - startMs_ : 0;
}

void DownloadMonitor::SetStartTime() {
  startTime_ = std::time(nullptr);
  duration_ = 0;
  tick_.Start();
}

void DownloadMonitor::SetEndTime() {
  endTime_ = std::time(nullptr);
  if (duration_ == 0) duration_ = tick_.ElapsedMilliseconds() / 1000;
}

void DownloadMonitor::SetDuration(std::uint64_t milliseconds) { duration_ = milliseconds / 1000; }

void DownloadMonitor::SetTotalSize(std::uint64_t bytes) { totalSize_ = bytes; }

void DownloadMonitor::SetEndPointInfo(const std::string& hostName, const std::string& remoteAddress,
                                      const std::string& localAddress) {
  hostName_ = hostName;
  remoteAddress_ = remoteAddress;
  localAddress_ = localAddress;
}

void DownloadMonitor::SetEndState(std::uint32_t state) { endState_ = state; }

void DownloadMonitor::FillExtraData() { CalculateAverageSpeed(); }

void DownloadMonitor::CalculateAverageSpeed() {
  if (duration_ == 0) duration_ = 1;
  averageSpeed_ = totalSize_ / duration_;
}

std::string DownloadMonitor::FormatTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[80];  // room for any values the fields can hold
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

DownloadMonitor::DownloadMonitoringDataSet DownloadMonitor::GetDataSet() const {
  DownloadMonitoringDataSet set;
  set.start_time = FormatTime(startTime_);
  set.end_time = FormatTime(endTime_);
  set.duration = duration_;
  set.total_size = totalSize_;
  set.average_speed = averageSpeed_;
  set.end_state = endState_;
  set.host_name = hostName_;
  set.local_address = localAddress_;
  set.remote_address = remoteAddress_;
  return set;
}
