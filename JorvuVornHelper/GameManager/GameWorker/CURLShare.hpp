#pragma once
// What the transfers of one job share across its threads: libcurl's host
// name cache and TLS sessions, so that a job looks a host up once and, over
// TLS, resumes its sessions instead of making a full handshake for every
// connection. Connections themselves are kept by each download thread's
// multi handle (CURLMulti), which hands a connection one transfer leaves
// open to the thread's next: libcurl documents its shared connection cache
// as unsafe between threads (it reads connections that another thread is
// using), so it is not shared.
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
