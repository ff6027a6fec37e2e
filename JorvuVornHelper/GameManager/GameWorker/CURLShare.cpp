#include "JorvuVornHelper/GameManager/GameWorker/CURLShare.hpp"

#include "JorvuVornHelper/GameManager/GameWorker/CURLGuard.hpp"

CURLShare::CURLShare() {
  CURLGuard::GlobalInit();
  handle_ = curl_share_init();
  if (handle_ == nullptr) return;
  auto ok = [](CURLSHcode c) { return c == CURLSHE_OK; };
  const bool set = ok(curl_share_setopt(handle_, CURLSHOPT_LOCKFUNC, &CURLShare::Lock)) &&
                   ok(curl_share_setopt(handle_, CURLSHOPT_UNLOCKFUNC, &CURLShare::Unlock)) &&
                   ok(curl_share_setopt(handle_, CURLSHOPT_USERDATA, this)) &&
                   ok(curl_share_setopt(handle_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS)) &&
                   ok(curl_share_setopt(handle_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION));
  if (!set) {
    curl_share_cleanup(handle_);
    handle_ = nullptr;
  }
}

CURLShare::~CURLShare() {
  if (handle_ != nullptr) curl_share_cleanup(handle_);
}

std::mutex& CURLShare::MutexFor(curl_lock_data data) {
  const auto index = static_cast<std::size_t>(data);
  return mutexes_[index < mutexes_.size() ? index : 0];
}

void CURLShare::Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
  static_cast<CURLShare*>(self)->MutexFor(data).lock();
}

void CURLShare::Unlock(CURL*, curl_lock_data data, void* self) {
  static_cast<CURLShare*>(self)->MutexFor(data).unlock();
}
