#include "JorvuVornHelper/GameManager/GameWorker/URLGameWorker/URLDownloader.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Common/Logger/Printed.hpp"
#include "Common/Logger/VornLogger.hpp"

namespace {

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string quoted(const std::string& text) { return printedString(text); }

struct CurlHandle {
  CURL* handle = curl_easy_init();
  ~CurlHandle() {
    if (handle != nullptr) curl_easy_cleanup(handle);
  }
};

// Every option is required: one that libcurl refuses fails the transfer
// before anything is sent, rather than sending it without that option.
template <typename T>
void setOption(CURL* curl, CURLoption option, T value, const char* name) {
  const CURLcode rc = curl_easy_setopt(curl, option, value);
  if (rc != CURLE_OK) {
    throw URLDownloaderError::transportFailure(rc, std::string(name) + " refused: " + curl_easy_strerror(rc));
  }
}

// Options shared by the check and the download.
void setCommonOptions(CURL* curl, const std::string& url, const URLDownloaderSettings& settings, char* errorBuffer) {
  setOption(curl, CURLOPT_ERRORBUFFER, errorBuffer, "CURLOPT_ERRORBUFFER");
  setOption(curl, CURLOPT_URL, url.c_str(), "CURLOPT_URL");
  setOption(curl, CURLOPT_NOSIGNAL, 1L, "CURLOPT_NOSIGNAL");
  setOption(curl, CURLOPT_PROTOCOLS_STR, "http,https", "CURLOPT_PROTOCOLS_STR");
  setOption(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https", "CURLOPT_REDIR_PROTOCOLS_STR");
  setOption(curl, CURLOPT_FOLLOWLOCATION, 1L, "CURLOPT_FOLLOWLOCATION");
  setOption(curl, CURLOPT_MAXREDIRS, 10L, "CURLOPT_MAXREDIRS");
  setOption(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings.connectTimeout.count()), "CURLOPT_CONNECTTIMEOUT");
  // No byte for stallTimeout seconds: the transfer has stalled.
  setOption(curl, CURLOPT_LOW_SPEED_LIMIT, 1L, "CURLOPT_LOW_SPEED_LIMIT");
  setOption(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings.stallTimeout.count()), "CURLOPT_LOW_SPEED_TIME");
  setOption(curl, CURLOPT_HTTPGET, 1L, "CURLOPT_HTTPGET");
}

std::string transportText(CURLcode code, const char* errorBuffer) {
  std::string text = curl_easy_strerror(code);
  if (errorBuffer != nullptr && errorBuffer[0] != '\0') text += ": " + std::string(errorBuffer);
  return text;
}

// Progress callback of the check: only watches the cancel flag.
int checkProgress(void* cancelled, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* flag = static_cast<const std::atomic<bool>*>(cancelled);
  return flag != nullptr && flag->load() ? 1 : 0;
}

}  // namespace

URLDownloaderError URLDownloaderError::urlConnectionFailure(const std::string& text) {
  return URLDownloaderError("urlConnectionFailure(" + quoted(text) + ")");
}

URLDownloaderError URLDownloaderError::transportFailure(int code, const std::string& text) {
  return URLDownloaderError("transportFailure(" + std::to_string(code) + ", " + quoted(text) + ")");
}

URLDownloader::URLDownloader(std::string url, std::string temporaryDirectory, CompletionHandler completionHandler,
                             URLDownloaderSettings settings)
    : url_(std::move(url)),
      temporaryDirectory_(std::move(temporaryDirectory)),
      completionHandler_(std::move(completionHandler)),
      settings_(settings) {
  initialiseCurlOnce();
}

URLDownloader::~URLDownloader() {
  std::vector<std::shared_ptr<Task>> tasks;
  {
    std::lock_guard lock(mutex_);
    for (auto& task : tasks_) task->cancelled = true;
    downloadTask_.reset();
    tasks.swap(tasks_);
  }
  for (auto& task : tasks) {
    if (task->thread.joinable()) task->thread.join();
  }
}

void URLDownloader::reapFinishedTasks() {
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    if ((*it)->done) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = tasks_.erase(it);
    } else {
      ++it;
    }
  }
}

std::uint64_t URLDownloader::resume() {
  std::lock_guard lock(mutex_);
  reapFinishedTasks();
  if (downloadTask_) return downloadTask_->serial;
  auto task = std::make_shared<Task>();
  task->serial = ++lastSerial_;
  currentSize_ = 0;
  totalSize_ = 0;
  task->thread = std::thread([this, task] { run(task); });  // may throw; nothing is registered then
  downloadTask_ = task;
  tasks_.push_back(task);
  return task->serial;
}

void URLDownloader::cancel() {
  logInfo("cancel download url=" + url_);
  std::lock_guard lock(mutex_);
  if (downloadTask_) {
    downloadTask_->cancelled = true;
    downloadTask_.reset();
  }
}

URLDownloader::Progress URLDownloader::progress() const {
  return Progress{currentSize_.load(), totalSize_.load()};
}

void URLDownloader::checkStatusCode(const std::string& url, const URLDownloaderSettings& settings,
                                    const std::atomic<bool>* cancelled) {
  initialiseCurlOnce();
  logInfo("checkStatusCode=" + url);
  CurlHandle curl;
  if (curl.handle == nullptr) throw URLDownloaderError::transportFailure(CURLE_FAILED_INIT, "no transfer handle");
  char errorBuffer[CURL_ERROR_SIZE] = {};
  setCommonOptions(curl.handle, url, settings, errorBuffer);
  setOption(curl.handle, CURLOPT_NOBODY, 1L, "CURLOPT_NOBODY");
  setOption(curl.handle, CURLOPT_TIMEOUT, static_cast<long>(settings.checkTimeout.count()), "CURLOPT_TIMEOUT");
  setOption(curl.handle, CURLOPT_NOPROGRESS, 0L, "CURLOPT_NOPROGRESS");
  setOption(curl.handle, CURLOPT_XFERINFOFUNCTION, checkProgress, "CURLOPT_XFERINFOFUNCTION");
  setOption(curl.handle, CURLOPT_XFERINFODATA, static_cast<void*>(const_cast<std::atomic<bool>*>(cancelled)),
            "CURLOPT_XFERINFODATA");
  CURLcode rc = curl_easy_perform(curl.handle);
  if (rc != CURLE_OK) throw URLDownloaderError::transportFailure(rc, transportText(rc, errorBuffer));
  long status = 0;
  curl_easy_getinfo(curl.handle, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) throw URLDownloaderError::urlConnectionFailure("statusCode parsing failure");
  if (status != 200) throw URLDownloaderError::urlConnectionFailure("statusCode=" + std::to_string(status));
  logInfo("done");
}

namespace {

struct DownloadContext {
  int fd = -1;
  int writeErrno = 0;
  const std::atomic<bool>* cancelled = nullptr;
  std::atomic<std::uint64_t>* currentSize = nullptr;
  std::atomic<std::uint64_t>* totalSize = nullptr;
  CURL* handle = nullptr;
};

size_t writeToFile(char* data, size_t size, size_t count, void* userData) {
  auto* ctx = static_cast<DownloadContext*>(userData);
  const size_t total = size * count;
  size_t written = 0;
  while (written < total) {
    ssize_t n = ::write(ctx->fd, data + written, total - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ctx->writeErrno = errno;
      return 0;  // aborts the transfer
    }
    written += static_cast<size_t>(n);
  }
  // The announced size is known once the headers are in: take it before the
  // first bytes count, so the progress never shows more done than expected.
  if (ctx->totalSize->load() == 0 && ctx->handle != nullptr) {
    curl_off_t expected = -1;
    if (curl_easy_getinfo(ctx->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected) == CURLE_OK && expected > 0) {
      *ctx->totalSize = static_cast<std::uint64_t>(expected);
    }
  }
  *ctx->currentSize += total;
  return total;
}

int downloadProgress(void* userData, curl_off_t expected, curl_off_t, curl_off_t, curl_off_t) {
  auto* ctx = static_cast<DownloadContext*>(userData);
  if (ctx->cancelled->load()) return 1;
  // An unknown size is reported as 0 (never negative).
  if (expected > 0) *ctx->totalSize = static_cast<std::uint64_t>(expected);
  return 0;
}

}  // namespace

std::string URLDownloader::download(Task& task) {
  std::string path = temporaryDirectory_ + "/.jorvu-download-XXXXXX";
  int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    throw URLDownloaderError::transportFailure(CURLE_WRITE_ERROR, "cannot make a temporary file in " +
                                                                      temporaryDirectory_ + ": " + std::strerror(error));
  }
  struct Cleanup {
    int fd;
    std::string path;
    bool keep = false;
    ~Cleanup() {
      ::close(fd);
      if (!keep) ::unlink(path.c_str());
    }
  } cleanup{fd, path};

  CurlHandle curl;
  if (curl.handle == nullptr) throw URLDownloaderError::transportFailure(CURLE_FAILED_INIT, "no transfer handle");
  char errorBuffer[CURL_ERROR_SIZE] = {};
  DownloadContext ctx{fd, 0, &task.cancelled, &currentSize_, &totalSize_, curl.handle};
  setCommonOptions(curl.handle, url_, settings_, errorBuffer);
  setOption(curl.handle, CURLOPT_FAILONERROR, 1L, "CURLOPT_FAILONERROR");
  setOption(curl.handle, CURLOPT_WRITEFUNCTION, writeToFile, "CURLOPT_WRITEFUNCTION");
  setOption(curl.handle, CURLOPT_WRITEDATA, static_cast<void*>(&ctx), "CURLOPT_WRITEDATA");
  setOption(curl.handle, CURLOPT_NOPROGRESS, 0L, "CURLOPT_NOPROGRESS");
  setOption(curl.handle, CURLOPT_XFERINFOFUNCTION, downloadProgress, "CURLOPT_XFERINFOFUNCTION");
  setOption(curl.handle, CURLOPT_XFERINFODATA, static_cast<void*>(&ctx), "CURLOPT_XFERINFODATA");
  logInfo("resume download url=" + url_);

  CURLcode rc = curl_easy_perform(curl.handle);
  long status = 0;
  curl_easy_getinfo(curl.handle, CURLINFO_RESPONSE_CODE, &status);
  if (rc == CURLE_HTTP_RETURNED_ERROR) {
    throw URLDownloaderError::urlConnectionFailure("statusCode=" + std::to_string(status));
  }
  if (rc == CURLE_WRITE_ERROR && ctx.writeErrno != 0) {
    throw URLDownloaderError::transportFailure(rc, "writing " + path + ": " + std::strerror(ctx.writeErrno));
  }
  if (rc != CURLE_OK) throw URLDownloaderError::transportFailure(rc, transportText(rc, errorBuffer));
  // Only a whole archive is worth unpacking; an error page never is.
  if (status != 200) throw URLDownloaderError::urlConnectionFailure("statusCode=" + std::to_string(status));
  if (::fsync(fd) != 0) {
    int error = errno;
    throw URLDownloaderError::transportFailure(CURLE_WRITE_ERROR, "writing " + path + ": " + std::strerror(error));
  }
  cleanup.keep = true;
  return path;
}

void URLDownloader::run(const std::shared_ptr<Task>& task) {
  Result result;
  try {
    checkStatusCode(url_, settings_, &task->cancelled);
    if (!task->cancelled) {
      result.path = download(*task);
      result.success = true;
    }
  } catch (const URLDownloaderError& e) {
    result.error = e.description();
  } catch (const std::exception& e) {
    result.error = e.what();
  }
  {
    std::lock_guard lock(mutex_);
    if (downloadTask_ == task) downloadTask_.reset();
  }
  if (!task->cancelled) {
    if (result.success) {
      logDebug("download complete. url=" + url_ + ", path=" + result.path);
      std::uint64_t total = totalSize_.load();
      if (total == 0) totalSize_ = currentSize_.load();  // the size was never announced
      else currentSize_ = total;
    } else {
      logError("download err=" + result.error);
    }
    if (completionHandler_) {
      try {
        completionHandler_(task->serial, result);
      } catch (const std::exception& e) {
        logError("download completion failed: " + std::string(e.what()));
      }
    }
  }
  if (!result.path.empty()) ::unlink(result.path.c_str());
  task->done = true;
}
