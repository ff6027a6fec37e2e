#include "JorvuVornHelper/GameManager/GameWorker/CURLGuard.hpp"

#include <mutex>

void CURLGuard::GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::shared_ptr<CURL> CURLGuard::CreateEasyHandle() {
  GlobalInit();
  CURL* handle = curl_easy_init();
  if (handle == nullptr) return nullptr;
  return std::shared_ptr<CURL>(handle, [](CURL* h) { curl_easy_cleanup(h); });
}

bool CURLGuard::SetEasyHandle(const std::shared_ptr<CURL>& handle, const std::string& url) {
  if (!handle) return false;
  CURL* h = handle.get();
  sink_ = Sink{&info_.data, maxBodySize_, h};
  auto ok = [](CURLcode c) { return c == CURLE_OK; };
  // Certificates are verified: the manifest names every path and hash the
  // engine trusts, so its source must be who it claims to be.
  return ok(curl_easy_setopt(h, CURLOPT_URL, url.c_str())) &&
         ok(curl_easy_setopt(h, CURLOPT_TIMEOUT, kTimeoutSeconds)) &&
         ok(curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects)) &&
         ok(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L)) &&
         ok(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L)) &&
         ok(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CURLGuard::WriteData)) &&
         ok(curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink_)) &&
         // An announced length beyond the bound fails before any body arrives.
         ok(curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodySize_))) &&
         // Transfers run on the job's threads: no signals for time-outs.
         ok(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L)) &&
         // Source addresses come from the catalogue: only HTTP(S), never file:// and the like.
         ok(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https")) &&
         ok(curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CURLGuard::Progress)) &&
         ok(curl_easy_setopt(h, CURLOPT_XFERINFODATA, this)) &&
         ok(curl_easy_setopt(h, CURLOPT_NOPROGRESS, abortCheck_ ? 0L : 1L)) &&
         (share_ == nullptr || ok(curl_easy_setopt(h, CURLOPT_SHARE, share_)));
}

std::size_t CURLGuard::WriteData(char* bytes, std::size_t size, std::size_t count, void* guardData) {
  auto* sink = static_cast<Sink*>(guardData);
  const std::size_t n = size * count;
  if (sink->data->size() + n > sink->maxSize) return 0;  // libcurl fails the transfer
  if (sink->data->empty()) {
    // The announced length, when there is one, is what the body takes:
    // reserved at once, so a queued body holds no more memory than its bytes.
    curl_off_t announced = -1;
    if (curl_easy_getinfo(sink->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
        announced > 0 && static_cast<std::uint64_t>(announced) <= sink->maxSize) {
      sink->data->reserve(static_cast<std::size_t>(announced));
    }
  }
  sink->data->insert(sink->data->end(), reinterpret_cast<std::uint8_t*>(bytes),
                     reinterpret_cast<std::uint8_t*>(bytes) + n);
  return n;
}

int CURLGuard::Progress(void* guard, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* self = static_cast<CURLGuard*>(guard);
  return self->abortCheck_ && self->abortCheck_() ? 1 : 0;
}

std::shared_ptr<CURL> CURLGuard::Start(const std::string& url) {
  info_.data.clear();
  info_.code = static_cast<std::uint32_t>(CURLE_FAILED_INIT);
  info_.system_error = 0;
  std::shared_ptr<CURL> handle = CreateEasyHandle();
  if (!handle || !SetEasyHandle(handle, url)) return nullptr;
  return handle;
}

bool CURLGuard::Finish(CURL* handle, CURLcode code) {
  info_.code = static_cast<std::uint32_t>(code);
  long systemError = 0;
  if (curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &systemError) == CURLE_OK) info_.system_error = systemError;
  return code == CURLE_OK;
}

bool CURLGuard::Download(const std::string& url) {
  std::shared_ptr<CURL> handle = Start(url);
  if (!handle) return false;
  return Finish(handle.get(), curl_easy_perform(handle.get()));
}
