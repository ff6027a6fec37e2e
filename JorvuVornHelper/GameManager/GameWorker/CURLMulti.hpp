#pragma once
// Runs one thread's transfers on one libcurl multi handle. Every transfer
// still has a new easy handle of its own; what the thread keeps from one
// transfer to the next is the machinery around it (the multi handle with its
// wake-up sockets), which curl_easy_perform would make and tear down again
// for every transfer: a pair of sockets and a dozen system calls each time,
// a large share of what a small object costs. Several transfers may run on
// it at once.
//
// Owned and used by one thread. The share an easy handle names, if any,
// must outlive this; so must every easy handle added, until it is removed.
#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <vector>

class CURLMulti {
 public:
  // Without a multi handle (libcurl could not make one) get() is null and
  // every Add fails.
  CURLMulti();
  ~CURLMulti();
  CURLMulti(const CURLMulti&) = delete;
  CURLMulti& operator=(const CURLMulti&) = delete;

  CURLM* get() const { return handle_; }
  bool HasTransfers() const { return !added_.empty(); }

  // Starts the transfer of `easy`; libcurl's failure when it cannot.
  CURLcode Add(CURL* easy);
  // Takes a transfer off before its end (nothing happens for one not on it).
  void Remove(CURL* easy);
  // Lets the transfers go on, waiting up to `wait` for one of them to have
  // something to do. Each transfer that ended is taken off and handed to
  // `ended` with libcurl's result; when the multi handle itself fails, every
  // transfer ends with that failure.
  void Run(std::chrono::milliseconds wait, const std::function<void(CURL*, CURLcode)>& ended);

 private:
  // Hands over every transfer that ended; true when there was one.
  bool Collect(const std::function<void(CURL*, CURLcode)>& ended);
  void EndAll(CURLcode code, const std::function<void(CURL*, CURLcode)>& ended);

  CURLM* handle_ = nullptr;
  std::vector<CURL*> added_;
};
