// The download threads of a job: take work items from the first queue, fetch
// each object and pass it on to the file step.
#include <cerrno>

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

}  // namespace

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

  std::uint64_t bytes = 0;
  std::uint64_t duration = 0;
  // A transfer in flight ends at once when the job is cancelled or another
  // thread has failed.
  auto abort = [this] { return !InProgress() || IsErrorOccured(); };

  while (!IsErrorOccured() && InProgress()) {
    OBDBuffer::Element element;
    if (!in.GetElement(element)) break;
    if (element.already_present) {
      out.AddElement(std::move(element));
      continue;
    }

    const std::string name = ObjectName(element);
    const std::string url = sourceURL + "/" + name;
    const std::uint64_t start = NowMs();
    const bool received = RetryWithWaits(kDownloadTries, waits_.download_retry, [&] {
      CURLGuard guard;
      guard.SetAbortCheck(abort);
      guard.SetMaxBodySize(kMaxObjectBodySize);
      if (share_ != nullptr) guard.SetShare(share_->get());
      const bool done = guard.Download(url);
      const int systemError = errno;
      std::vector<std::uint8_t> body = guard.TakeData();
      if (done && !body.empty()) {
        bytes += body.size();
        element.data = std::move(body);
        return Try::Done;
      }
      if (abort()) return Try::Stop;
      OBD_LOG_ERROR("%s download fail : %d", name.c_str(), systemError);
      return Try::Again;
    });
    duration += NowMs() - start;

    if (!received) {
      // Given up on a cancel or on another thread's failure: not a download
      // failure of its own.
      if (!abort()) Fail(EngineErrors::Download, 0);
      break;
    }
    out.AddElement(std::move(element));
  }

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
