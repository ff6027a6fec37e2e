#include "JorvuVornHelper/GameManager/ProgressInfoManager/ProgressInfoManager.hpp"

#include <cstdio>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDSize.hpp"

void ProgressInfoManager::GetProgressInfo(ProgressInfo* out) const {
  if (out == nullptr) return;
  std::lock_guard lock(mutex_);
  *out = progress_;
}

void ProgressInfoManager::GetErrorInfo(ErrorInfo* out) const {
  if (out == nullptr) return;
  std::lock_guard lock(mutex_);
  *out = error_;
}

std::int32_t ProgressInfoManager::GetErrorCode() const {
  std::lock_guard lock(mutex_);
  return error_.errorCode;
}

void ProgressInfoManager::SetErrorCode(std::int32_t code) {
  std::lock_guard lock(mutex_);
  error_.errorCode = code;
}

void ProgressInfoManager::SetOperationType(std::uint32_t type) {
  std::lock_guard lock(mutex_);
  progress_.operationType = type;
  error_.errorOperation = type;
}

void ProgressInfoManager::SetOperationTypeAndSizeReset(std::uint32_t type) {
  std::lock_guard lock(mutex_);
  progress_.operationType = type;
  progress_.totalSize = 0;
  progress_.currentSize = 0;
}

void ProgressInfoManager::SetTotalSize(std::uint64_t n) {
  std::lock_guard lock(mutex_);
  progress_.totalSize = n;
}

void ProgressInfoManager::SetCurrentSize(std::uint64_t n) {
  std::lock_guard lock(mutex_);
  progress_.currentSize = n;
}

void ProgressInfoManager::AddCurrentSize(std::uint64_t n) {
  std::lock_guard lock(mutex_);
  progress_.currentSize = obd::size::Add(progress_.currentSize, n);
}

void ProgressInfoManager::SubCurrentSize(std::uint64_t n) {
  std::lock_guard lock(mutex_);
  progress_.currentSize = progress_.currentSize > n ? progress_.currentSize - n : 0;
}

void ProgressInfoManager::SetRetry() {
  std::lock_guard lock(mutex_);
  progress_.isRetry = true;
}

void ProgressInfoManager::SetLastErrorCode(std::int32_t code, std::uint32_t mainCode, std::uint32_t subCode) {
  std::lock_guard lock(mutex_);
  error_.errorCode = code;
  error_.mainErrorCode = mainCode;
  error_.subErrorCode = subCode;
  error_.errorOperation = progress_.operationType;
}

void ProgressInfoManager::SetLastErrorMessage(const std::string& text) {
  std::lock_guard lock(mutex_);
  error_.errorMessage = text;
}

void ProgressInfoManager::ResetLastErrorCode() {
  std::lock_guard lock(mutex_);
  error_.errorCode = 0;
  error_.errorOperation = OperationType::None;
  error_.mainErrorCode = 0;
  error_.subErrorCode = 0;
}

bool ProgressInfoManager::GetProgress() const {
  std::lock_guard lock(mutex_);
  return inProgress_;
}

void ProgressInfoManager::SetProgress(bool flag) {
  {
    std::lock_guard lock(mutex_);
    inProgress_ = flag;
  }
  progressChanged_.notify_all();
}

void ProgressInfoManager::Cancel() {
  {
    std::lock_guard lock(mutex_);
    inProgress_ = false;
  }
  progressChanged_.notify_all();
}

bool ProgressInfoManager::WaitForCancel(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return progressChanged_.wait_for(lock, timeout, [this] { return !inProgress_; });
}

std::string MakeProgressInfoJson(const ProgressInfoManager::ProgressInfo& info) {
  return "{\"operationType\": " + std::to_string(info.operationType) +
         ", \"totalSize\": " + std::to_string(info.totalSize) +
         ", \"currentSize\": " + std::to_string(info.currentSize) +
         ", \"isRetry\":" + (info.isRetry ? "true" : "false") + "}";
}

std::string MakeErrorInfoJson(const ProgressInfoManager::ErrorInfo& info) {
  return "{\"errorCode\": " + std::to_string(info.errorCode) +
         " , \"errorOperation\": " + std::to_string(info.errorOperation) +
         ", \"mainErrorCode\": " + std::to_string(info.mainErrorCode) +
         ", \"subErrorCode\": " + std::to_string(info.subErrorCode) +
         ", \"errorMessage\": \"" + EscapeJsonStringBody(info.errorMessage) + "\"}";
}

std::string MakeCapacityMessage(std::uint64_t total, std::uint64_t require, std::uint32_t status) {
  return "{\"total\": " + std::to_string(total) + ", \"require\": " + std::to_string(require) +
         ", \"status\": " + std::to_string(status) + "}";
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
std::size_t utf8SequenceLength(const std::string& s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  std::size_t n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

}  // namespace

std::string EscapeJsonStringBody(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default: {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
          out += buf;
        }
      }
      ++i;
    } else {
      const std::size_t n = utf8SequenceLength(text, i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(text, i, n);
        i += n;
      }
    }
  }
  return out;
}
