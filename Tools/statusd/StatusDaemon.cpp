// jorvu-statusd: runs the status server for one game on its own, for load
// tests and manual checks.
//   jorvu-statusd --game N [--address 127.0.0.1]
// Prints "listening <port>" once the port listens; SIGTERM or SIGINT stops it.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Infra/HttpServer/HttpServer.hpp"

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  long long game = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--game") == 0) {
      char* end = nullptr;
      game = std::strtoll(argv[i + 1], &end, 10);
      if (*end != '\0' || game < 0 || game > 0xFFFFFFFFll) game = -1;
    } else if (std::strcmp(argv[i], "--address") == 0) {
      address = argv[i + 1];
    }
  }
  if (game < 0) {
    std::fprintf(stderr, "usage: jorvu-statusd --game <game code> [--address <IPv4 address>]\n");
    return 2;
  }
  // Every thread started from here on inherits the blocked signals, so that
  // sigwait below is the only one to take them.
  signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto& server = httpserver::HttpServer::shared();
  auto code = static_cast<std::uint32_t>(game);
  try {
    server.start(address, code);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "jorvu-statusd: %s\n", error.what());
    return 1;
  }
  std::printf("listening %u\n", httpserver::HttpServer::port(code));
  std::fflush(stdout);
  int received = 0;
  sigwait(&stopSignals, &received);
  server.stop(code);
  return 0;
}
