#include "JorvuVornHelper/HelperMain.hpp"

#include <semaphore.h>
#include <signal.h>

#include <cerrno>
#include <memory>
#include <string>

#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/VornHelperXPC.hpp"
#include "JorvuVornHelper/VornHelper.hpp"
#include "JorvuVornHelper/WorkerFactory.hpp"
#include "Infra/HttpClient/HTTPClient.hpp"
#include "Infra/HttpClient/HTTPReportSender.hpp"
#include "Platform/Memory.hpp"
#include "Platform/XPC/XPCListener.hpp"

namespace {

sem_t stopSignal;

extern "C" void onStopSignal(int) { ::sem_post(&stopSignal); }

void installSignalHandlers() {
  // A peer that goes away must never kill us through a write.
  ::signal(SIGPIPE, SIG_IGN);
  ::sem_init(&stopSignal, 0, 0);
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  ::sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
}

}  // namespace

int runVornHelper() {
  installSignalHandlers();
  platform::keepLargeBuffersOutOfTheHeap();
  httpGlobalInit();  // before any thread
  // Outlives the helper: its end waits for the last reports and joins the
  // reporter's threads.
  const auto reports = connectStatisticsReports();
  auto helper = std::make_shared<VornHelper>(serviceWorkerFactory());
  std::string error;
  auto listener = platform::xpc::Listener::forService(vornHelperServiceName, vornhelperxpc::interface(), &error);
  if (!listener) {
    // Unreachable, the helper would only wait for nothing: end instead.
    logError(std::string("An error occurred: cannot listen on ") + vornHelperServiceName + ": " + error);
    return 1;
  }
  listener->setDelegate([helper](const std::shared_ptr<platform::xpc::Connection>& connection) {
    return helper->shouldAcceptNewConnection(connection);
  });
  listener->resume();
  logDebug("vornHelperApp load");

  // Parked until launchd (or whoever started us) ends the job.
  while (::sem_wait(&stopSignal) != 0 && errno == EINTR) {
  }
  listener->invalidate();
  helper->shutdown();
  return 0;
}
