// jorvu-publisher --root DIR [--port N] [--host ADDR]
// A local stand-in for the publisher's services (see Publisher.hpp). Prints
// the port it listens on as one line on standard output, then serves until
// SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "Tools/publisher/Publisher.hpp"

namespace {

int usage() {
  std::cerr << "usage: jorvu-publisher --root DIR [--port N] [--host 127.0.0.1]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  std::string host = "127.0.0.1";
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--root" || arg == "--port" || arg == "--host") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--root") {
        root = value;
      } else if (arg == "--host") {
        host = value;
      } else {
        try {
          std::size_t used = 0;
          port = std::stoi(value, &used);
          if (used != value.size() || port < 0 || port > 65535) return usage();
        } catch (const std::exception&) {
          return usage();
        }
      }
    } else {
      return usage();
    }
  }
  if (root.empty()) return usage();

  // Signals are taken by sigwait below, not by the serving threads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  publisher::Publisher server(root);
  try {
    server.start(host, port);
  } catch (const std::exception& e) {
    std::cerr << "jorvu-publisher: " << e.what() << "\n";
    return 1;
  }
  std::cout << server.port() << std::endl;
  std::cerr << "jorvu-publisher: serving " << root << " on " << server.origin() << "\n";

  int sig = 0;
  sigwait(&stopSignals, &sig);
  server.stop();
  return 0;
}
