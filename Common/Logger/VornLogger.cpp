#include "Common/Logger/VornLogger.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "Common/Config/VornConfig.hpp"
#include "Platform/Bundle.hpp"
#include "Platform/Paths.hpp"
#include "Platform/SystemInfo.hpp"

namespace {

std::mutex& reportHandlerMutex() {
  static std::mutex m;
  return m;
}
VornLogger::ReportHandler& reportHandler() {
  static VornLogger::ReportHandler h;
  return h;
}

std::atomic<bool> isRemainLogFileValue{false};

std::string queueLabel() {
  std::string id = "com.jorvu.vorn";
  if (auto bundle = platform::Bundle::main()) {
    if (auto bid = bundle->identifier(); bid && !bid->empty()) id = *bid;
  }
  return id + ".log.queue";
}

std::string formatTime(std::chrono::system_clock::time_point date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return std::string(buf, n);
}

void writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses the line, nothing more
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::optional<VornLogLevel> vornLogLevel(int raw) {
  if (raw < 0 || raw > 3) return std::nullopt;
  return static_cast<VornLogLevel>(raw);
}

VornLogger& VornLogger::shared() {
  static VornLogger* instance = [] {
    // Leaked on purpose: threads may still log while the process exits.
    auto* logger = new VornLogger(platform::logDirectory(), platform::processName(),
                                  static_cast<std::int32_t>(platform::processID()));
    std::atexit([] { VornLogger::shared().waitIdle(); });
    return logger;
  }();
  return *instance;
}

VornLogger::VornLogger(std::string parentDirectory, std::string processName, std::int32_t processID)
    : processID_(processID),
      parentDirectory_(std::move(parentDirectory)),
      processName_(std::move(processName)),
      filePath_(parentDirectory_ + "/" + processName_ + ".log"),
      queue_(std::make_unique<platform::SerialQueue>(queueLabel())) {
  createFile();
  fd_ = ::open(filePath_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
}

VornLogger::~VornLogger() {
  queue_.reset();  // drains
  if (fd_ >= 0) ::close(fd_);
}

void VornLogger::createFile() {
  std::error_code ec;
  if (!std::filesystem::exists(parentDirectory_, ec)) {
    std::filesystem::create_directories(parentDirectory_, ec);
    if (ec) return;
  }
  if (!std::filesystem::exists(filePath_, ec)) {
    int fd = ::open(filePath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
}

void VornLogger::logging(VornLogLevel level, std::string message, std::optional<TavloCookies> tavloCookies) {
  if (level == VornLogLevel::debug) return;
  shared().log(std::chrono::system_clock::now(), level, std::move(message), std::move(tavloCookies));
}

void VornLogger::log(std::chrono::system_clock::time_point date, VornLogLevel level, std::string message,
                     std::optional<TavloCookies> tavloCookies) {
  if (level == VornLogLevel::debug) return;
  queue_->async([this, date, level, message = std::move(message), cookies = std::move(tavloCookies)] {
    if (level == VornLogLevel::report) {
      ReportHandler handler;
      {
        std::lock_guard lock(reportHandlerMutex());
        handler = reportHandler();
      }
      if (handler) handler(message, cookies);
      return;
    }
    write(date, level, message);
  });
}

void VornLogger::write(std::chrono::system_clock::time_point date, VornLogLevel level, const std::string& message) {
  if (isMaxFileSize_) return;
  struct stat st {};
  if (::stat(filePath_.c_str(), &st) != 0) return;
  if (static_cast<std::uint64_t>(st.st_size) >= maxFileSize) isMaxFileSize_ = true;

  std::string line;
  const char* levelName = "INFO";
  if (level == VornLogLevel::error) {
    levelName = "ERROR";
    if (errorStateValue_.load() != 1) {
      std::lock_guard lock(errorStateValueLock_);
      errorStateValue_.store(1);
    }
    line = "***";
  }
  line += "[" + formatTime(date) + "][" + std::to_string(processID_) + "][" + processName_ + "][" + levelName + "] " +
          message + "\n";
  if (isMaxFileSize_) {
    line += maxFileSizeNote;
    line += "\n";
  }
  if (fd_ >= 0) writeAll(fd_, line);
}

void VornLogger::waitIdle() { queue_->waitIdle(); }

void VornLogger::clearLogFile() { shared().clear(); }

void VornLogger::clear() {
  // Read the configuration first: an invalid file logs an ERROR line, and that
  // line must be written (and counted) before the error state is looked at.
  const bool remain = isRemainLogFile();
  queue_->waitIdle();
  queue_->sync([this] {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    isMaxFileSize_ = true;  // nothing more is written after this
  });
  if (remain) return;
  if (errorStateValue_.load() != 0) return;
  std::error_code ec;
  if (std::filesystem::exists(parentDirectory_, ec)) std::filesystem::remove_all(parentDirectory_, ec);
}

bool VornLogger::isRemainLogFile() {
  if (auto config = VornConfig::load()) return config->common.isRemainLogFile;
  return isRemainLogFileValue.load();
}

void VornLogger::setIsRemainLogFile(bool value) { isRemainLogFileValue.store(value); }

VornLogErrorState VornLogger::errorState() const {
  int v = errorStateValue_.load();
  if (v <= 0) return VornLogErrorState::success;
  if (v == 1) return VornLogErrorState::occurred;
  return VornLogErrorState::unknown;
}

void VornLogger::setErrorState(VornLogErrorState state) {
  int raw = static_cast<int>(state);
  if (errorStateValue_.load() == raw) return;
  std::lock_guard lock(errorStateValueLock_);
  errorStateValue_.store(raw);
}

void VornLogger::setReportHandler(ReportHandler handler) {
  std::lock_guard lock(reportHandlerMutex());
  reportHandler() = std::move(handler);
}
