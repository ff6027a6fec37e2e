#pragma once
// One XPC connection of our stand-in: a Unix stream socket with one reader
// thread and one serial queue (the connection's queue), on which every
// handler runs: incoming calls, replies, errors, invalidation and interruption.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Platform/SerialQueue.hpp"
#include "Platform/XPC/XPCMessage.hpp"

namespace platform::xpc {

struct Error {
  enum class Code {
    interrupted,   // the peer went away (its process ended)
    invalidated,   // the connection was invalidated or could never be made
    replyDropped,  // the peer let go of the call without answering it
    badMessage,    // the call does not fit the interface; nothing was sent
  };
  Code code;
  std::string description;
};

class Connection;

// The callee's side of one call. Copies share one answer: the first send()
// goes out, later ones are refused. When the last copy goes away unanswered,
// the caller is told that the call was dropped, so every call ends exactly
// once on the caller's side. send() may be called from any thread.
class Reply {
 public:
  Reply() = default;
  // False when already answered or the connection is gone. Values that do not
  // fit the method's reply signature are not sent: the call is dropped.
  bool send(Values values) const;
  bool isAnswered() const;

 private:
  friend class Connection;
  struct State;
  explicit Reply(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

class RemoteProxy;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using CallHandler = std::function<void(const std::string& selector, Values arguments, Reply reply)>;
  using ReplyHandler = std::function<void(Values values)>;
  using ErrorHandler = std::function<void(const Error& error)>;

  // How many calls one peer may leave unanswered at once.
  static constexpr std::size_t maxCallsInFlight = 256;

  // A client connection to a service of this user, found at servicePath().
  // `remote` must live as long as the program (a static table).
  static std::shared_ptr<Connection> toService(const std::string& serviceName, const Interface& remote);
  // A client connection to a socket file.
  static std::shared_ptr<Connection> toPath(const std::string& socketPath, const Interface& remote);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Set before resume(). The exported object answers the calls of the peer.
  void setExportedObject(CallHandler handler);
  void setInvalidationHandler(std::function<void()> handler);
  void setInterruptionHandler(std::function<void()> handler);

  // Starts the connection: a client connects here. A failed connect
  // invalidates the connection (its handlers run on its queue).
  void resume();
  // Ends the connection; pending calls get their error handler, then the
  // invalidation handler runs. Safe to call more than once, from any thread.
  void invalidate();

  // A proxy that keeps this connection alive; `errorHandler` gets every call
  // of the proxy that fails (the reply handler of that call never runs).
  RemoteProxy remoteObjectProxy(ErrorHandler errorHandler);

  // A call to the peer. Exactly one of the two handlers runs, on the queue.
  void call(std::string selector, Values arguments, ReplyHandler onReply, ErrorHandler onError);

  bool isOpen() const;
  // The peer's user and process (SO_PEERCRED); nothing before the connect.
  std::optional<uid_t> peerUID() const;
  std::optional<pid_t> peerPID() const;
  SerialQueue& queue() { return *queue_; }

 private:
  friend class Listener;
  friend class Reply;
  enum class State { created, open, ended };
  struct Pending {
    std::string selector;
    ReplyHandler onReply;
    ErrorHandler onError;
  };

  Connection(const Interface& interface, bool isClient, std::string path, int fd);
  static std::shared_ptr<Connection> make(const Interface& interface, bool isClient, std::string path, int fd);
  static void destroy(Connection* connection);
  // Server side: a connection that the listener accepted.
  static std::shared_ptr<Connection> accepted(int fd, const Interface& exported, uid_t uid, pid_t pid);
  void setCloseHook(std::function<void()> hook);

  void startReader();
  void readLoop();
  // False when the frame breaks the protocol.
  bool handleFrame(Frame frame);
  void end(Error::Code code);
  void finish(std::map<std::uint64_t, Pending> pending, Error::Code code);
  bool writeBytes(const std::string& bytes);
  void answer(std::uint64_t serial, const std::string& selector, Values values);

  const Interface* interface_;
  const bool isClient_;
  const std::string path_;

  mutable std::mutex mutex_;
  State state_ = State::created;
  std::optional<Error::Code> endCode_;
  std::map<std::uint64_t, Pending> pending_;
  std::uint64_t nextSerial_ = 1;
  std::size_t callsInFlight_ = 0;
  std::optional<uid_t> peerUID_;
  std::optional<pid_t> peerPID_;
  CallHandler exported_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  std::function<void()> closeHook_;

  std::mutex writeMutex_;
  int fd_ = -1;
  std::thread reader_;
  std::unique_ptr<SerialQueue> queue_;
};

// The caller's view of the peer's exported object.
class RemoteProxy {
 public:
  RemoteProxy() = default;
  RemoteProxy(std::shared_ptr<Connection> connection, Connection::ErrorHandler errorHandler)
      : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}

  // The reply handler runs on the connection's queue, or on failure the
  // proxy's error handler does.
  void call(std::string selector, Values arguments, Connection::ReplyHandler onReply) const;
  const std::shared_ptr<Connection>& connection() const { return connection_; }
  explicit operator bool() const { return connection_ != nullptr; }

 private:
  std::shared_ptr<Connection> connection_;
  Connection::ErrorHandler errorHandler_;
};

}  // namespace platform::xpc
