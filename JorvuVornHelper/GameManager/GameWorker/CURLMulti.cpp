#include "JorvuVornHelper/GameManager/GameWorker/CURLMulti.hpp"

#include <algorithm>

#include "JorvuVornHelper/GameManager/GameWorker/CURLGuard.hpp"

namespace {

// A failure of the multi handle itself, told as curl_easy_perform tells it.
CURLcode FromMulti(CURLMcode code) {
  return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
}

}  // namespace

CURLMulti::CURLMulti() {
  CURLGuard::GlobalInit();
  handle_ = curl_multi_init();
}

CURLMulti::~CURLMulti() {
  if (handle_ == nullptr) return;
  for (CURL* easy : added_) curl_multi_remove_handle(handle_, easy);
  curl_multi_cleanup(handle_);
}

CURLcode CURLMulti::Add(CURL* easy) {
  if (handle_ == nullptr) return CURLE_OUT_OF_MEMORY;
  if (const CURLMcode code = curl_multi_add_handle(handle_, easy); code != CURLM_OK) return FromMulti(code);
  added_.push_back(easy);
  return CURLE_OK;
}

void CURLMulti::Remove(CURL* easy) {
  const auto found = std::find(added_.begin(), added_.end(), easy);
  if (found == added_.end()) return;
  added_.erase(found);
  curl_multi_remove_handle(handle_, easy);
}

bool CURLMulti::Collect(const std::function<void(CURL*, CURLcode)>& ended) {
  bool any = false;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(handle_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode result = message->data.result;
    Remove(easy);
    ended(easy, result);
    any = true;
  }
  return any;
}

void CURLMulti::EndAll(CURLcode code, const std::function<void(CURL*, CURLcode)>& ended) {
  while (!added_.empty()) {
    CURL* easy = added_.back();
    Remove(easy);
    ended(easy, code);
  }
}

void CURLMulti::Run(std::chrono::milliseconds wait, const std::function<void(CURL*, CURLcode)>& ended) {
  if (added_.empty()) return;
  int running = 0;
  CURLMcode code = curl_multi_perform(handle_, &running);
  if (code == CURLM_OK && !Collect(ended) && running > 0) {
    // libcurl shortens the wait to its own time-outs.
    code = curl_multi_poll(handle_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    if (code == CURLM_OK) code = curl_multi_perform(handle_, &running);
    if (code == CURLM_OK) Collect(ended);
  }
  if (code != CURLM_OK) {
    EndAll(FromMulti(code), ended);
  } else if (running == 0 && !added_.empty()) {
    // Ended without a word: never left to be waited on.
    Collect(ended);
    EndAll(CURLE_GOT_NOTHING, ended);
  }
}
