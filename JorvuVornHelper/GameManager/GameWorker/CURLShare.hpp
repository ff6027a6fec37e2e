#pragma once
// What the transfers of one job share: libcurl's connection cache, its host
// name cache and TLS sessions. Each transfer still has its own easy handle;
// a connection that one transfer leaves open is taken up by the next, on any
// of the job's threads, so a job of many objects opens a handful of
// connections instead of one per object (and, over TLS, makes a handful of
// handshakes).
//
// libcurl calls the lock functions around every use of the shared data, from
// whichever thread runs a transfer; one mutex per kind of data. The share
// must outlive every easy handle that uses it.
#include <curl/curl.h>

#include <array>
#include <mutex>

class CURLShare {
 public:
  // Without a share (libcurl could not make one, or refused an option) the
  // transfers simply go alone: get() is then null.
  CURLShare();
  ~CURLShare();
  CURLShare(const CURLShare&) = delete;
  CURLShare& operator=(const CURLShare&) = delete;

  CURLSH* get() const { return handle_; }

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self);
  static void Unlock(CURL*, curl_lock_data data, void* self);
  std::mutex& MutexFor(curl_lock_data data);

  CURLSH* handle_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};
