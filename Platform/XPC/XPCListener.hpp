#pragma once
// The service side of our XPC stand-in: a listening Unix stream socket for a
// service name. Only peers of the listener's own user are served.
#include <sys/types.h>
#include <sys/un.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "Platform/XPC/XPCConnection.hpp"
#include "Platform/XPC/UnixAddress.hpp"

namespace platform::xpc {

// Where the service of this user lives: "<service name>" in the install's
// runtime folder (platform::runtimeDirectory()). "" for a name that is
// empty, holds "/" or is "." or "..".
std::string servicePath(const std::string& serviceName);

// Makes the folder of the user's services with mode 0700 (and the folders
// above it), or checks that it is a real folder of this user and sets it to
// 0700. False, with the reason in `error` and its errno in `cause`,
// otherwise (platform::preparePrivateFolderTree()).
bool prepareServiceFolder(const std::string& folder, std::string* error, int* cause = nullptr);

// Whether a service still answers at `path` (a connection is accepted or
// pending); false for a stale socket file or none.
bool isAnswering(const std::string& path);

// The listening socket handed over by whoever started this process
// (LISTEN_PID and LISTEN_FDS, descriptors from 3; LISTEN_FDNAMES picks the one
// named after the service when there are several). Nothing when none was
// handed over; a descriptor that is not a listening Unix stream socket is an
// error. The variables are removed so that children do not see them.
std::optional<int> takeActivatedSocket(const std::string& serviceName, std::string* error);

// For whoever starts a service with its socket handed over (our launchctl):
// the listening socket at servicePath(), bound the way a listener binds it
// (folder checked, socket renamed into place). -1, with the reason in
// `error`, when the name is bad or a service still answers there.
int bindServiceSocket(const std::string& serviceName, std::string* error);

class Listener {
 public:
  // Decides on every new connection (on the accepting thread): set it up and
  // resume it, and return true; false invalidates it.
  using Delegate = std::function<bool(const std::shared_ptr<Connection>& connection)>;

  // The service's socket: the one handed over, else one bound at
  // servicePath(). A stale socket file is replaced; a socket that still
  // answers belongs to a running service and is left alone (an error).
  // Nothing, with the reason in `error`, when there is no socket to serve.
  static std::unique_ptr<Listener> forService(const std::string& serviceName, const Interface& exported,
                                              std::string* error);
  // Binds at a given path (its folder must exist).
  static std::unique_ptr<Listener> atPath(const std::string& socketPath, const Interface& exported,
                                          std::string* error);
  // Serves a listening socket that the caller owned until now.
  static std::unique_ptr<Listener> adopt(int fd, const Interface& exported);

  ~Listener();  // invalidate()
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void setDelegate(Delegate delegate);
  // Starts accepting connections.
  void resume();
  // Stops accepting, invalidates every connection and removes the socket
  // file that this listener made.
  void invalidate();

  const std::string& path() const { return path_; }
  std::size_t connectionCount() const;

 private:
  struct Connections {
    std::mutex mutex;
    std::set<std::shared_ptr<Connection>> open;
  };

  Listener(int fd, const Interface& exported, std::string path, bool ownsPath);
  void acceptLoop();
  void serve(int fd);

  const Interface* interface_;
  int fd_;
  std::string path_;
  bool ownsPath_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  Delegate delegate_;
  std::shared_ptr<Connections> connections_ = std::make_shared<Connections>();
  int wakePipe_[2] = {-1, -1};
  std::thread acceptor_;
};

}  // namespace platform::xpc
