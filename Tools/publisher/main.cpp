// jorvu-publisher --root DIR [--port N] [--host ADDR] [--app BUNDLE [--app-version V]]
// A local stand-in for the publisher's services (see Publisher.hpp). Prints
// the port it listens on as one line on standard output, then serves until
// SIGINT or SIGTERM. With --app it also serves that app bundle as the app's
// own release (game 128000), its version set to V when given.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "Tools/publisher/Publisher.hpp"

namespace {

int usage() {
  std::cerr << "usage: jorvu-publisher --root DIR [--port N] [--host 127.0.0.1] [--app BUNDLE [--app-version V]]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  std::string host = "127.0.0.1";
  std::string app;
  std::string appVersion;
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--root" || arg == "--port" || arg == "--host" || arg == "--app" || arg == "--app-version") &&
        i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--app") {
        app = value;
      } else if (arg == "--app-version") {
        appVersion = value;
      } else if (arg == "--root") {
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
  if (root.empty() || (app.empty() && !appVersion.empty())) return usage();

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
  if (!app.empty()) {
    try {
      const std::string release = server.publishApp(app, appVersion);
      std::cerr << "jorvu-publisher: the app is served as release " << release << "\n";
    } catch (const std::exception& e) {
      std::cerr << "jorvu-publisher: " << e.what() << "\n";
      server.stop();
      return 1;
    }
  }
  std::cout << server.port() << std::endl;
  std::cerr << "jorvu-publisher: serving " << root << " on " << server.origin() << "\n";

  int sig = 0;
  sigwait(&stopSignals, &sig);
  server.stop();
  return 0;
}
