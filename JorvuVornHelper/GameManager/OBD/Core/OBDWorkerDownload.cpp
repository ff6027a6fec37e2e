// The download threads of a job: take work items from the first queue, fetch
// each object and pass it on to the file step.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/CURLMulti.hpp"

#include "JorvuVornHelper/GameManager/GameWorker/CURLGuard.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"

namespace {

// The host part of an address ("http://h:1/p" gives "h"), for the statistics.
std::string HostOf(const std::string& url) {
  std::size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  std::size_t end = url.find_first_of("/?#", start);
  std::string host = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (const std::size_t at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    return close == std::string::npos ? std::string() : host.substr(1, close - 1);
  }
  if (const std::size_t colon = host.find(':'); colon != std::string::npos) host.erase(colon);
  return host;
}

std::string ObjectName(const OBDBuffer::Element& element) {
  std::string name = element.key + "." + std::to_string(element.object_index) + "." + element.object_hash;
  if (element.source.empty()) return name + OBDWorker::kTempExtension;
  return name + "." + element.source + OBDWorker::kDeltaExtension;
}

std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// One object being fetched: its work item, and the try in flight (a guard
// with its easy handle) or the time of the next try.
struct Fetch {
  OBDBuffer::Element element;
  std::string name;
  std::string url;
  std::uint64_t expected = 0;  // the uncompressed bytes the object stands for
  int tries = 0;
  std::unique_ptr<CURLGuard> guard;
  std::shared_ptr<CURL> easy;
  std::chrono::steady_clock::time_point nextTry{};
};

}  // namespace

// A download thread keeps several transfers of small objects in flight on
// its multi handle, so that a release of many small files is not fetched at
// the pace of one round trip per object; it takes new items while the
// objects in flight stand for less than one block (so large objects still
// go one at a time) and there are fewer than kTransfersPerThread. Each
// object keeps its own tries and waits between them.
void OBDWorker::Download(const std::string& sourceURL, OBDBuffer& in, OBDBuffer& out) {
  const std::string hostName = Util::GetHostName(sourceURL);
  const std::string remoteAddress = Util::GetIPAddress(HostOf(sourceURL));
  const std::string localAddress = Util::GetIPAddress("localhost");
  {
    std::lock_guard lock(threadCountMutex_);
    if (!endPointNoted_) {
      SetEndPointInfo(hostName, remoteAddress, localAddress);
      endPointNoted_ = true;
    }
  }

  using Clock = std::chrono::steady_clock;
  const OBDManifest& live = controller_.GetLiveManifest();
  // A transfer in flight ends at once when the job is cancelled or another
  // thread has failed.
  auto abort = [this] { return !InProgress() || IsErrorOccured(); };
  CURLMulti multi;
  std::vector<std::unique_ptr<Fetch>> fetches;  // in flight or waiting for their next try
  std::uint64_t inFlightBytes = 0;
  std::uint64_t bytes = 0;
  std::uint64_t duration = 0;
  std::uint64_t busySince = 0;  // when the thread last went from no fetch to one
  bool inputOpen = true;

  auto startTry = [&](Fetch& fetch) {
    ++fetch.tries;
    fetch.guard = std::make_unique<CURLGuard>();
    fetch.guard->SetAbortCheck(abort);
    fetch.guard->SetMaxBodySize(kMaxObjectBodySize);
    if (share_ != nullptr) fetch.guard->SetShare(share_->get());
    fetch.easy = fetch.guard->Start(fetch.url);
    return fetch.easy && multi.Add(fetch.easy.get()) == CURLE_OK;
  };
  auto drop = [&](std::size_t i) {
    if (fetches[i]->easy) multi.Remove(fetches[i]->easy.get());
    inFlightBytes -= fetches[i]->expected;
    fetches.erase(fetches.begin() + static_cast<std::ptrdiff_t>(i));
    if (fetches.empty()) duration += NowMs() - busySince;
  };
  // A try that did not bring the object: another after a wait, or, after
  // the last, the end of the job. False when the thread must stop.
  auto failedTry = [&](Fetch& fetch, long systemError) {
    fetch.guard.reset();
    fetch.easy.reset();
    if (abort()) return false;  // given up on a cancel or another thread's failure: no failure of its own
    OBD_LOG_ERROR("%s download fail : %ld", fetch.name.c_str(), systemError);
    if (fetch.tries >= kDownloadTries) {
      Fail(EngineErrors::Download, 0);
      return false;
    }
    fetch.nextTry = Clock::now() + waits_.download_retry;
    return true;
  };
  auto room = [&] {
    return fetches.size() < static_cast<std::size_t>(kTransfersPerThread) && inFlightBytes < kBlockSize;
  };

  bool stop = false;
  while (!stop && !abort()) {
    // Take items while there is room; wait for one only with nothing else to do.
    while (inputOpen && room()) {
      OBDBuffer::Element element;
      const OBDBuffer::Take take = fetches.empty()
                                       ? (in.GetElement(element) ? OBDBuffer::Take::Taken : OBDBuffer::Take::Ended)
                                       : in.TryGetElement(element);
      if (take == OBDBuffer::Take::Empty) break;
      if (take == OBDBuffer::Take::Ended) {
        inputOpen = false;
        break;
      }
      if (element.already_present) {
        out.AddElement(std::move(element));
        continue;
      }
      auto fetch = std::make_unique<Fetch>();
      fetch->name = ObjectName(element);
      fetch->url = sourceURL + "/" + fetch->name;
      // A delta piece's size is not known before; nor is that of an object
      // the manifest cannot have: both count as a block.
      fetch->expected = element.source.empty() ? FullObjectSize(element.object_index, element.object_count,
                                                                live.GetUncompressedFileSize(element.key))
                                                     .value_or(kBlockSize)
                                               : kBlockSize;
      fetch->element = std::move(element);
      if (fetches.empty()) busySince = NowMs();
      inFlightBytes += fetch->expected;
      fetches.push_back(std::move(fetch));
      if (!startTry(*fetches.back()) && !failedTry(*fetches.back(), 0)) stop = true;
    }
    if (stop || fetches.empty()) break;

    // Wait for a transfer to move, or for the next try that comes due.
    const auto now = Clock::now();
    auto until = now + std::chrono::seconds(1);
    for (const auto& fetch : fetches) {
      if (!fetch->easy) until = std::min(until, fetch->nextTry);
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(std::max(until - now, Clock::duration{}));
    if (multi.HasTransfers()) {
      std::vector<std::pair<CURL*, CURLcode>> ended;
      multi.Run(wait, [&](CURL* easy, CURLcode code) { ended.emplace_back(easy, code); });
      for (const auto& [easy, code] : ended) {
        const auto found = std::find_if(fetches.begin(), fetches.end(),
                                        [easy = easy](const auto& f) { return f->easy.get() == easy; });
        if (found == fetches.end()) continue;
        Fetch& fetch = **found;
        const bool done = fetch.guard->Finish(easy, code);
        const long systemError = fetch.guard->GetDownloadInfo().system_error;
        std::vector<std::uint8_t> body = fetch.guard->TakeData();
        if (done && !body.empty()) {
          bytes += body.size();
          fetch.element.data = std::move(body);
          OBDBuffer::Element element = std::move(fetch.element);
          fetch.easy.reset();
          drop(static_cast<std::size_t>(found - fetches.begin()));
          out.AddElement(std::move(element));
        } else if (!failedTry(fetch, systemError)) {
          stop = true;
          break;
        }
      }
    } else if (wait.count() > 0 && !RetryWait(wait)) {
      break;  // cancelled while only waiting for tries to come due
    }
    // Tries that are due.
    const auto due = Clock::now();
    for (const auto& fetch : fetches) {
      if (stop) break;
      if (!fetch->easy && fetch->nextTry <= due && !startTry(*fetch) && !failedTry(*fetch, 0)) stop = true;
    }
  }
  while (!fetches.empty()) drop(fetches.size() - 1);  // given up: the job has ended or failed

  {
    std::lock_guard lock(threadCountMutex_);
    --downloadThreadCount_;
    downloadedBytes_ += bytes;
    downloadDuration_ += duration;
    if (downloadThreadCount_ == 0) out.AddElement(OBDBuffer::Element{});
  }
  if (IsErrorOccured() || !InProgress()) {
    in.Quit();
    out.Quit();
  }
}
