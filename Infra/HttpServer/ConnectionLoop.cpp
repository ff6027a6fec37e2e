#include "Infra/HttpServer/ConnectionLoop.hpp"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace httpserver {

namespace {

constexpr std::size_t chunkSize = 4096;
constexpr int maxEvents = 256;
// Accepted per wake-up, so that a flood of connects does not starve the
// clients already in.
constexpr int maxAcceptsPerWake = 256;

}  // namespace

ConnectionLoop::ConnectionLoop(Socket& listener, ConnectionLoopOptions options, Responder responder,
                               std::function<bool()> stopRequested)
    : listener_(listener),
      options_(options),
      responder_(std::move(responder)),
      stopRequested_(std::move(stopRequested)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

ConnectionLoop::~ConnectionLoop() {
  for (Clients* clients : {&reading_, &writing_, &draining_}) {
    for (auto& client : *clients) ::close(client.fd);
  }
  if (epoll_ >= 0) ::close(epoll_);
}

bool ConnectionLoop::run() {
  if (epoll_ < 0) return false;
  listenFd_ = listener_.beginAccepting();
  if (listenFd_ < 0) return false;
  epoll_event listening{};
  listening.events = EPOLLIN;
  listening.data.ptr = nullptr;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, listenFd_, &listening) != 0) {
    listener_.endAccepting();
    return false;
  }

  epoll_event events[maxEvents];
  now_ = Clock::now();
  for (;;) {
    if (listener_.state() != SocketState::listening || (stopRequested_ && stopRequested_())) break;
    int ready = ::epoll_wait(epoll_, events, maxEvents, waitMilliseconds());
    now_ = Clock::now();
    if (ready < 0 && errno != EINTR) break;
    // Clients first: accepting may close some of them to make room, which
    // must not happen while their events are still to be handled.
    bool clientsWaiting = false;
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.ptr == nullptr) {
        clientsWaiting = true;
      } else {
        advance(static_cast<Client*>(events[i].data.ptr)->self);
      }
    }
    if (acceptPaused_ && now_ >= resumeAt_) resumeAccepting();
    if (clientsWaiting && !acceptPaused_) acceptWaiting();
    expire();
  }

  for (Clients* clients : {&reading_, &writing_, &draining_}) {
    while (!clients->empty()) close(clients->begin());
  }
  listener_.endAccepting();
  return true;
}

// MARK: - Accepting

void ConnectionLoop::acceptWaiting() {
  for (int i = 0; i < maxAcceptsPerWake && !acceptPaused_; ++i) {
    if (!acceptOne()) return;
  }
}

// False when no more clients wait (or accepting is paused).
bool ConnectionLoop::acceptOne() {
  if (open_ >= options_.maxConnections) evictOldest();
  Client fresh(options_.limits);
  fresh.peerLength = sizeof fresh.peer;
  int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&fresh.peer), &fresh.peerLength,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    switch (errno) {
      case EAGAIN:
        return false;
      case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
        // Out of descriptors or memory: room is made by the oldest client,
        // or, with none to close, the system gets a moment.
        if (evictOldest()) return true;
        pauseAccepting();
        return false;
      case ECONNABORTED: case EINTR: case EPROTO: case EPERM: case ENETDOWN: case ENOPROTOOPT:
      case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case ETIMEDOUT:
        return true;  // that client is gone; the next may be fine
      default:
        // The listener itself fails (shut down by a close, for one): the
        // loop's next round tells; a listener that still claims to listen
        // is not polled in a tight loop meanwhile.
        if (listener_.state() == SocketState::listening) pauseAccepting();
        return false;
    }
  }
  backoff_ = std::chrono::milliseconds{0};
  fresh.fd = fd;
  fresh.deadline = now_ + options_.requestTimeout;
  reading_.push_back(std::move(fresh));
  auto client = std::prev(reading_.end());
  client->self = client;
  ++open_;
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
  interest.data.ptr = &*client;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &interest) != 0) {
    close(client);
    return true;
  }
  // The request is often there already.
  advance(client);
  return true;
}

void ConnectionLoop::pauseAccepting() {
  backoff_ = std::min(std::max(backoff_ * 2, std::chrono::milliseconds{10}), std::chrono::milliseconds{1000});
  resumeAt_ = now_ + backoff_;
  acceptPaused_ = true;
  // No events asked for: a hang-up (the listener closed) is still reported.
  epoll_event none{};
  none.data.ptr = nullptr;
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listenFd_, &none);
}

void ConnectionLoop::resumeAccepting() {
  acceptPaused_ = false;
  epoll_event listening{};
  listening.events = EPOLLIN;
  listening.data.ptr = nullptr;
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listenFd_, &listening);
}

// MARK: - One connection

void ConnectionLoop::advance(ClientRef client) {
  if (client->phase == Phase::reading) {
    Step step = readRequest(*client);
    if (step == Step::wait) return;
    if (step == Step::fail) return close(client);
    try {
      client->reply = responder_(client->head.request);
    } catch (...) {
      return close(client);
    }
    client->received = std::string();
    moveTo(client, Phase::writing);
  }
  if (client->phase == Phase::writing) {
    Step step = sendReply(*client);
    if (step == Step::wait) return;
    if (step == Step::fail) return close(client);
    // Whatever the client sent beyond the request must not turn the close
    // into a reset that destroys the reply on its way: the sending side is
    // shut first, and the rest is read until the client closes.
    ::shutdown(client->fd, SHUT_WR);
    client->reply = std::string();
    moveTo(client, Phase::draining);
  }
  if (drain(*client) != Step::wait) close(client);
}

ConnectionLoop::Step ConnectionLoop::readRequest(Client& client) {
  std::uint8_t chunk[chunkSize];
  while (client.need == 0 || client.received.size() < client.need) {
    ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (got == 0) return Step::fail;  // closed before the request was whole
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? Step::wait : Step::fail;
    }
    auto count = static_cast<std::size_t>(got);
    if (client.need > 0) {
      // Body bytes; what comes behind the request is not kept.
      client.received.append(reinterpret_cast<const char*>(chunk),
                             std::min(count, client.need - client.received.size()));
      continue;
    }
    client.received.append(reinterpret_cast<const char*>(chunk), count);
    auto state = client.framing.take(chunk, count);
    if (state == RequestFraming::State::malformed) return Step::fail;
    if (state == RequestFraming::State::incomplete) continue;
    // The head is in: parse it once, and learn how much body follows.
    const std::size_t headLength = client.framing.headLength();
    try {
      ReceivedBytes head(std::span(reinterpret_cast<const std::uint8_t*>(client.received.data()), headLength));
      client.head = HttpParser::shared().readHead(head, options_.limits);
    } catch (...) {
      return Step::fail;
    }
    client.need = headLength + static_cast<std::size_t>(client.head.bodyLength);
    if (client.received.size() > client.need) client.received.resize(client.need);
  }
  auto* body = reinterpret_cast<const std::uint8_t*>(client.received.data()) + client.framing.headLength();
  client.head.request.body.assign(body, body + client.head.bodyLength);
  try {
    client.head.request.address = Socket::numericHost(client.peer, client.peerLength);
  } catch (...) {
    return Step::fail;
  }
  return Step::done;
}

ConnectionLoop::Step ConnectionLoop::sendReply(Client& client) {
  while (client.sent < client.reply.size()) {
    ssize_t sent = ::send(client.fd, client.reply.data() + client.sent, client.reply.size() - client.sent,
                          MSG_NOSIGNAL);
    if (sent > 0) {
      client.sent += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!client.wantsOutput) {
        // Told when the client has read enough to take more.
        epoll_event interest{};
        interest.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        interest.data.ptr = &client;
        if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, client.fd, &interest) != 0) return Step::fail;
        client.wantsOutput = true;
      }
      return Step::wait;
    }
    return Step::fail;
  }
  return Step::done;
}

ConnectionLoop::Step ConnectionLoop::drain(Client& client) {
  std::uint8_t chunk[chunkSize];
  for (;;) {
    ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (got > 0) {
      client.dropped += static_cast<std::size_t>(got);
      if (client.dropped > options_.maxDrainBytes) return Step::done;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Step::wait;
    return Step::done;  // the client closed, or the connection broke
  }
}

// MARK: - Phases and deadlines

ConnectionLoop::Clients& ConnectionLoop::list(Phase phase) {
  switch (phase) {
    case Phase::reading: return reading_;
    case Phase::writing: return writing_;
    case Phase::draining: return draining_;
  }
  return reading_;
}

// Each phase has one allowance for all, so every list stays in deadline
// order by appending at its end.
void ConnectionLoop::moveTo(ClientRef client, Phase phase) {
  Clients& from = list(client->phase);
  Clients& to = list(phase);
  to.splice(to.end(), from, client);
  client->phase = phase;
  switch (phase) {
    case Phase::reading: client->deadline = now_ + options_.requestTimeout; break;
    case Phase::writing: client->deadline = now_ + options_.writeTimeout; break;
    case Phase::draining: client->deadline = now_ + options_.drainTime; break;
  }
}

void ConnectionLoop::close(ClientRef client) {
  // Taken out of the epoll set first: a child forked meanwhile may hold the
  // socket open past our close, and its events must not name a freed client.
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, client->fd, nullptr);
  ::close(client->fd);
  list(client->phase).erase(client);
  --open_;
}

// Closes the connection that has waited longest for its request (the
// likeliest to be idle or slow), else the oldest of the other phases.
bool ConnectionLoop::evictOldest() {
  for (Clients* clients : {&reading_, &draining_, &writing_}) {
    if (!clients->empty()) {
      close(clients->begin());
      return true;
    }
  }
  return false;
}

void ConnectionLoop::expire() {
  for (Clients* clients : {&reading_, &writing_, &draining_}) {
    while (!clients->empty() && clients->front().deadline <= now_) close(clients->begin());
  }
}

int ConnectionLoop::waitMilliseconds() const {
  std::optional<Clock::time_point> next;
  auto consider = [&](Clock::time_point at) {
    if (!next || at < *next) next = at;
  };
  for (const Clients* clients : {&reading_, &writing_, &draining_}) {
    if (!clients->empty()) consider(clients->front().deadline);
  }
  if (acceptPaused_) consider(resumeAt_);
  if (!next) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

}  // namespace httpserver
