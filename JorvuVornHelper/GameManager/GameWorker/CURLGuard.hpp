#pragma once
// One libcurl easy transfer that collects the body in memory. Every byte the
// patch engine fetches (manifests and objects) comes through here.
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CURLGuard {
 public:
  struct DownloadInfo {
    std::vector<std::uint8_t> data;
    std::uint32_t code = 0;  // libcurl's result code of the last transfer
    long system_error = 0;   // the system's error number of its last failed connect, or 0
  };

  // Asked while a transfer runs; true ends it at once.
  using AbortCheck = std::function<bool()>;

  static constexpr long kTimeoutSeconds = 60;
  static constexpr long kMaxRedirects = 3;
  // A body larger than this fails the transfer instead of filling memory;
  // callers that know what they fetch set a tighter bound.
  static constexpr std::size_t kDefaultMaxBodySize = std::size_t{1} << 30;

  CURLGuard() = default;
  CURLGuard(const CURLGuard&) = delete;
  CURLGuard& operator=(const CURLGuard&) = delete;

  // One transfer into this guard's data (which starts empty); true when
  // libcurl reports success. The HTTP status is not looked at.
  bool Download(const std::string& url);
  // Download in two parts, for a caller that runs several transfers at once
  // on its own multi handle: Start makes and sets up the new easy handle
  // (null when it cannot), Finish takes libcurl's result for it. The guard
  // must stay where it is in between.
  std::shared_ptr<CURL> Start(const std::string& url);
  bool Finish(CURL* handle, CURLcode code);

  // libcurl's global set-up, once per process, before the first handle.
  static void GlobalInit();
  // A new easy handle, released with curl_easy_cleanup by its last holder;
  // null when libcurl cannot make one.
  static std::shared_ptr<CURL> CreateEasyHandle();
  // Sets the transfer's options; false when one is refused.
  bool SetEasyHandle(const std::shared_ptr<CURL>& handle, const std::string& url);
  // libcurl's write callback: appends the bytes to the guard's data.
  static std::size_t WriteData(char* bytes, std::size_t size, std::size_t count, void* guardData);

  DownloadInfo GetDownloadInfo() const { return info_; }
  // Moves the received body out (no copy of a large object).
  std::vector<std::uint8_t> TakeData() {
    // A body of unknown length grew by doubling: it is trimmed before it is
    // held in a queue.
    if (info_.data.capacity() > info_.data.size() + info_.data.size() / 4) info_.data.shrink_to_fit();
    return std::move(info_.data);
  }

  // Optional: asked while a transfer runs; true aborts it at once (a job's
  // cancel reaches a transfer in flight this way).
  void SetAbortCheck(AbortCheck check) { abortCheck_ = std::move(check); }
  // A body announced or received beyond this many bytes fails the transfer.
  void SetMaxBodySize(std::size_t bytes) { maxBodySize_ = bytes; }
  // Optional: the job's shared connection cache (CURLShare), which must
  // outlive the transfer.
  void SetShare(CURLSH* share) { share_ = share; }

 private:
  struct Sink {
    std::vector<std::uint8_t>* data;
    std::size_t maxSize;
    CURL* handle;  // asked for the announced length at the first bytes
  };
  static int Progress(void* guard, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  DownloadInfo info_;
  Sink sink_{&info_.data, kDefaultMaxBodySize, nullptr};
  AbortCheck abortCheck_;
  std::size_t maxBodySize_ = kDefaultMaxBodySize;
  CURLSH* share_ = nullptr;
};
