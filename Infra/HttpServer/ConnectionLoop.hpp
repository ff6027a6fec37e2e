#pragma once
// The clients of one listening port, served together on one thread: an
// event loop (epoll) over non-blocking sockets. Each connection goes
// through three phases, each with its own deadline:
//
//   reading   accept .. the whole request is in   (requestTimeout)
//   writing   the reply is being sent             (writeTimeout)
//   draining  sending side shut, what the client  (drainTime)
//             still sends is read and dropped
//
// and is then closed: one request per connection. A connection that misses
// its deadline, or breaks a bound of the parser, is closed without a reply.
// At most `maxConnections` are open at once; a client beyond that makes room
// by closing the oldest one, so that a fresh request is answered at once
// whatever other clients do. Running out of descriptors does the same, or
// pauses accepting for a moment when there is nothing to close.
//
// The loop's descriptor is made with the object, so that a port counts its
// descriptors from the moment it listens.
//
// Thread: run() blocks the calling thread until the listening socket is
// closed (from any thread: the close wakes the loop) or `stopRequested`
// says so after a wake-up. Everything else happens on that thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "Infra/HttpServer/HttpParser.hpp"
#include "Infra/HttpServer/Socket.hpp"

namespace httpserver {

struct ConnectionLoopOptions {
  std::chrono::milliseconds requestTimeout{5000};
  std::chrono::milliseconds writeTimeout{5000};
  std::chrono::milliseconds drainTime{200};
  std::size_t maxConnections = 1024;
  std::size_t maxDrainBytes = 65536;
  HttpParser::Limits limits;
};

class ConnectionLoop {
 public:
  // Turns a complete request into the reply's bytes; an exception closes the
  // connection without a reply.
  using Responder = std::function<std::string(HttpRequest& request)>;

  ConnectionLoop(Socket& listener, ConnectionLoopOptions options, Responder responder,
                 std::function<bool()> stopRequested = {});
  ~ConnectionLoop();
  ConnectionLoop(const ConnectionLoop&) = delete;
  ConnectionLoop& operator=(const ConnectionLoop&) = delete;

  // Serves until the listener is closed; then closes every connection.
  // False when the loop could not start (no epoll, or not listening). Runs
  // once.
  bool run();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Phase { reading, writing, draining };
  enum class Step { wait, done, fail };

  struct Client {
    int fd = -1;
    Phase phase = Phase::reading;
    Clock::time_point deadline;
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    std::string received;
    RequestFraming framing;
    std::size_t need = 0;  // head and body, once the head is in
    HttpParser::Head head;
    std::string reply;
    std::size_t sent = 0;
    std::size_t dropped = 0;
    bool wantsOutput = false;
    std::list<Client>::iterator self;  // its place in its phase's list

    explicit Client(const HttpParser::Limits& limits) : framing(limits) {}
  };
  using Clients = std::list<Client>;
  using ClientRef = Clients::iterator;

  void acceptWaiting();
  bool acceptOne();
  void pauseAccepting();
  void resumeAccepting();
  void advance(ClientRef client);
  Step readRequest(Client& client);
  Step sendReply(Client& client);
  Step drain(Client& client);
  void moveTo(ClientRef client, Phase phase);
  Clients& list(Phase phase);
  void close(ClientRef client);
  bool evictOldest();
  void expire();
  int waitMilliseconds() const;

  Socket& listener_;
  ConnectionLoopOptions options_;
  Responder responder_;
  std::function<bool()> stopRequested_;
  int epoll_ = -1;
  int listenFd_ = -1;
  Clients reading_, writing_, draining_;
  std::size_t open_ = 0;
  Clock::time_point now_;
  bool acceptPaused_ = false;
  Clock::time_point resumeAt_;
  std::chrono::milliseconds backoff_{0};
};

}  // namespace httpserver
