#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// Time-outs of the setup-archive downloads. A large archive may take minutes,
// so the download has no overall cap: it fails when the connection cannot be
// made, or when no byte arrives for `stallTimeout`.
struct URLDownloaderSettings {
  std::chrono::seconds connectTimeout{30};
  std::chrono::seconds stallTimeout{30};
  std::chrono::seconds checkTimeout{60};  // the whole HEAD request
};

// A failed check or download. `description()` is the text the worker logs
// and reports: urlConnectionFailure("...") for an unexpected answer,
// transportFailure(code, "...") for a failed transfer.
class URLDownloaderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  static URLDownloaderError urlConnectionFailure(const std::string& text);
  static URLDownloaderError transportFailure(int code, const std::string& text);
  std::string description() const { return what(); }
};

// Downloads one URL into a temporary file with progress, on a thread of its
// own: a HEAD request first (anything but 200 fails), then the GET.
//
// The completion handler runs on the download's thread while the temporary
// file still exists (it is removed when the handler returns). A cancelled
// download never calls it. A finished, failed or cancelled download is
// forgotten, so that the next resume() starts a new one.
class URLDownloader {
 public:
  struct Progress {
    std::uint64_t currentSize = 0;
    std::uint64_t totalSize = 0;  // 0 while the size is unknown
  };
  struct Result {
    bool success = false;
    std::string path;   // the downloaded file, on success
    std::string error;  // the failure's description
  };
  // `task` is the number that resume() returned for this download.
  using CompletionHandler = std::function<void(std::uint64_t task, const Result& result)>;

  // The temporary file is made in `temporaryDirectory`.
  URLDownloader(std::string url, std::string temporaryDirectory, CompletionHandler completionHandler,
                URLDownloaderSettings settings = {});
  // Cancels the running download and waits for its thread.
  ~URLDownloader();
  URLDownloader(const URLDownloader&) = delete;
  URLDownloader& operator=(const URLDownloader&) = delete;

  // Starts a download unless one runs; returns the running download's number.
  std::uint64_t resume();
  // Cancels the running download, if any, and forgets it; returns at once.
  void cancel();
  Progress progress() const;
  const std::string& url() const { return url_; }

  // The HEAD check; throws URLDownloaderError. `cancelled` aborts it.
  static void checkStatusCode(const std::string& url, const URLDownloaderSettings& settings,
                              const std::atomic<bool>* cancelled = nullptr);

 private:
  struct Task {
    std::uint64_t serial = 0;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> done{false};
    std::thread thread;
  };

  void run(const std::shared_ptr<Task>& task);
  std::string download(Task& task);  // returns the temporary file's path
  void reapFinishedTasks();          // with mutex_ held

  const std::string url_;
  const std::string temporaryDirectory_;
  const CompletionHandler completionHandler_;
  const URLDownloaderSettings settings_;

  std::atomic<std::uint64_t> currentSize_{0};
  std::atomic<std::uint64_t> totalSize_{0};

  std::mutex mutex_;
  std::shared_ptr<Task> downloadTask_;       // the running download
  std::vector<std::shared_ptr<Task>> tasks_;  // every thread not joined yet
  std::uint64_t lastSerial_ = 0;
};
