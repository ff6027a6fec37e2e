#include "Platform/XPC/XPCConnection.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "Platform/ThreadReaper.hpp"
#include "Platform/XPC/UnixAddress.hpp"
#include "Platform/XPC/XPCListener.hpp"

namespace platform::xpc {

namespace {

// A peer that stops reading must not hold a writer forever.
constexpr int sendTimeoutSeconds = 30;

const char* describe(Error::Code code) {
  switch (code) {
    case Error::Code::interrupted: return "The connection to the service was interrupted.";
    case Error::Code::invalidated: return "The connection to the service was invalidated.";
    case Error::Code::replyDropped: return "The service dropped the call without answering it.";
    case Error::Code::badMessage: return "The call does not fit the interface of the service.";
  }
  return "";
}

bool readFull(int fd, void* buffer, std::size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

// ---- Reply ----

struct Reply::State {
  std::weak_ptr<Connection> connection;
  std::uint64_t serial = 0;
  std::string selector;
  std::mutex mutex;
  bool answered = false;

  // Claims the one answer; false when it was taken already.
  bool claim() {
    std::lock_guard lock(mutex);
    if (answered) return false;
    answered = true;
    return true;
  }

  ~State() {
    if (!claim()) return;
    if (auto c = connection.lock()) {
      c->answer(serial, selector, {});
    }
  }
};

bool Reply::send(Values values) const {
  if (!state_ || !state_->claim()) return false;
  auto c = state_->connection.lock();
  if (!c) return false;
  c->answer(state_->serial, state_->selector, std::move(values));
  return true;
}

bool Reply::isAnswered() const {
  if (!state_) return true;
  std::lock_guard lock(state_->mutex);
  return state_->answered;
}

// ---- Connection ----

Connection::Connection(const Interface& interface, bool isClient, std::string path, int fd)
    : interface_(&interface),
      isClient_(isClient),
      path_(std::move(path)),
      fd_(fd),
      queue_(std::make_unique<SerialQueue>("com.jorvu.xpc.connection")) {}

void Connection::destroy(Connection* connection) {
  // The last owner may let go on one of the connection's own threads, which
  // cannot join themselves: the reaper's thread finishes the work then.
  if (connection->queue_->isCurrent() || connection->reader_.get_id() == std::this_thread::get_id()) {
    ThreadReaper::shared().post([connection] { delete connection; });
  } else {
    delete connection;
  }
}

std::shared_ptr<Connection> Connection::make(const Interface& interface, bool isClient, std::string path, int fd) {
  return std::shared_ptr<Connection>(new Connection(interface, isClient, std::move(path), fd), &Connection::destroy);
}

std::shared_ptr<Connection> Connection::toService(const std::string& serviceName, const Interface& remote) {
  return make(remote, true, servicePath(serviceName), -1);
}

std::shared_ptr<Connection> Connection::toPath(const std::string& socketPath, const Interface& remote) {
  return make(remote, true, socketPath, -1);
}

std::shared_ptr<Connection> Connection::accepted(int fd, const Interface& exported, uid_t uid, pid_t pid) {
  auto c = make(exported, false, {}, fd);
  c->peerUID_ = uid;
  c->peerPID_ = pid;
  return c;
}

Connection::~Connection() {
  {
    std::lock_guard lock(mutex_);
    if (!endCode_) endCode_ = Error::Code::invalidated;
  }
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  if (reader_.joinable()) reader_.join();
  queue_.reset();  // runs the handlers still queued
  if (fd_ >= 0) ::close(fd_);
}

void Connection::setExportedObject(CallHandler handler) {
  std::lock_guard lock(mutex_);
  exported_ = std::move(handler);
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  invalidationHandler_ = std::move(handler);
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  interruptionHandler_ = std::move(handler);
}

void Connection::setCloseHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  closeHook_ = std::move(hook);
}

bool Connection::isOpen() const {
  std::lock_guard lock(mutex_);
  return state_ == State::open;
}

std::optional<uid_t> Connection::peerUID() const {
  std::lock_guard lock(mutex_);
  return peerUID_;
}

std::optional<pid_t> Connection::peerPID() const {
  std::lock_guard lock(mutex_);
  return peerPID_;
}

void Connection::resume() {
  std::unique_lock lock(mutex_);
  if (state_ != State::created) return;
  if (!isClient_) {
    state_ = State::open;
    lock.unlock();
    startReader();
    return;
  }
  // Connect to the service; only a peer of our own user is trusted.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0;
  const UnixAddress addr(path_);
  if (ok && !addr.valid()) ok = false;
  if (ok) {
    int rc;
    do {
      rc = ::connect(fd, addr.get(), addr.size());
    } while (rc != 0 && errno == EINTR);
    ok = rc == 0;
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (ok) ok = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::geteuid();
  if (!ok) {
    if (fd >= 0) ::close(fd);
    state_ = State::ended;
    endCode_ = Error::Code::invalidated;
    lock.unlock();
    finish({}, Error::Code::invalidated);
    return;
  }
  timeval tv{sendTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  fd_ = fd;
  peerUID_ = cred.uid;
  peerPID_ = cred.pid;
  state_ = State::open;
  lock.unlock();
  startReader();
}

void Connection::startReader() {
  if (!isClient_) {
    timeval tv{sendTimeoutSeconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  try {
    reader_ = std::thread([this] { readLoop(); });
  } catch (const std::system_error&) {
    // No thread to be had (the process's limit): the connection ends at
    // once, as a broken one does, and the process goes on.
    end(Error::Code::invalidated);
  }
}

void Connection::invalidate() {
  std::unique_lock lock(mutex_);
  if (!endCode_) endCode_ = Error::Code::invalidated;
  if (state_ == State::created) {
    state_ = State::ended;
    lock.unlock();
    finish({}, Error::Code::invalidated);
    return;
  }
  lock.unlock();
  // The reader wakes up and ends the connection.
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::readLoop() {
  // A client whose peer goes away is interrupted; a connection that breaks
  // the protocol, and every connection of a listener, is invalidated.
  Error::Code code = isClient_ ? Error::Code::interrupted : Error::Code::invalidated;
  for (;;) {
    unsigned char prefix[4];
    if (!readFull(fd_, prefix, sizeof prefix)) break;
    auto length = decodeFrameLength(prefix);
    if (!length) {
      code = Error::Code::invalidated;
      break;
    }
    std::string body(*length, '\0');
    if (!readFull(fd_, body.data(), body.size())) break;
    auto frame = decodeFrameBody(body);
    if (!frame || !handleFrame(std::move(*frame))) {
      code = Error::Code::invalidated;
      break;
    }
  }
  end(code);
}

bool Connection::handleFrame(Frame frame) {
  if (frame.type == FrameType::call) {
    CallHandler handler;
    {
      std::lock_guard lock(mutex_);
      if (!exported_ || !interface_->acceptsCall(frame) || callsInFlight_ >= maxCallsInFlight) return false;
      ++callsInFlight_;
      handler = exported_;
    }
    auto state = std::make_shared<Reply::State>();
    state->connection = weak_from_this();
    state->serial = frame.serial;
    state->selector = frame.selector;
    queue_->async([handler = std::move(handler), selector = std::move(frame.selector),
                   values = std::move(frame.values), reply = Reply(std::move(state))]() mutable {
      handler(selector, std::move(values), reply);
    });
    return true;
  }
  Pending pending;
  {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(frame.serial);
    if (it == pending_.end() || it->second.selector != frame.selector) return false;
    if (frame.type == FrameType::reply && !interface_->acceptsReply(frame.selector, frame.values)) return false;
    pending = std::move(it->second);
    pending_.erase(it);
  }
  if (frame.type == FrameType::reply) {
    queue_->async([onReply = std::move(pending.onReply), values = std::move(frame.values)]() mutable {
      if (onReply) onReply(std::move(values));
    });
  } else {
    queue_->async([onError = std::move(pending.onError)] {
      if (onError) onError(Error{Error::Code::replyDropped, describe(Error::Code::replyDropped)});
    });
  }
  return true;
}

void Connection::end(Error::Code code) {
  std::map<std::uint64_t, Pending> pending;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::ended) return;
    state_ = State::ended;
    if (!endCode_) endCode_ = code;
    code = *endCode_;
    pending.swap(pending_);
  }
  ::shutdown(fd_, SHUT_RDWR);
  finish(std::move(pending), code);
}

void Connection::finish(std::map<std::uint64_t, Pending> pending, Error::Code code) {
  queue_->async([this, pending = std::move(pending), code]() mutable {
    for (auto& [serial, p] : pending) {
      if (p.onError) p.onError(Error{code, describe(code)});
    }
    pending.clear();
    std::function<void()> handler;
    std::function<void()> hook;
    {
      std::lock_guard lock(mutex_);
      handler = code == Error::Code::interrupted ? interruptionHandler_ : invalidationHandler_;
      hook = std::move(closeHook_);
      // The handlers may hold the connection; let them go with it.
      exported_ = nullptr;
      invalidationHandler_ = nullptr;
      interruptionHandler_ = nullptr;
    }
    if (handler) handler();
    handler = nullptr;
    if (hook) hook();  // may release the last reference; nothing of `this` after it
  });
}

void Connection::call(std::string selector, Values arguments, ReplyHandler onReply, ErrorHandler onError) {
  auto fail = [&](Error::Code code) {
    queue_->async([onError = std::move(onError), code] {
      if (onError) onError(Error{code, describe(code)});
    });
  };
  const MethodSignature* signature = interface_->find(selector);
  if (signature == nullptr || !matches(signature->arguments, arguments)) {
    fail(Error::Code::badMessage);
    return;
  }
  std::string bytes;
  std::uint64_t serial;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::open) {
      Error::Code code = endCode_.value_or(Error::Code::invalidated);
      fail(code);
      return;
    }
    serial = nextSerial_++;
    try {
      bytes = encodeFrame(Frame{FrameType::call, serial, selector, std::move(arguments)});
    } catch (const std::length_error&) {
      fail(Error::Code::badMessage);
      return;
    }
    pending_.emplace(serial, Pending{std::move(selector), std::move(onReply), std::move(onError)});
  }
  // On a failed write the reader ends the connection and fails this call.
  if (!writeBytes(bytes)) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::answer(std::uint64_t serial, const std::string& selector, Values values) {
  FrameType type = FrameType::reply;
  if (!interface_->acceptsReply(selector, values)) {
    type = FrameType::dropped;
    values.clear();
  }
  std::string bytes;
  try {
    bytes = encodeFrame(Frame{type, serial, selector, std::move(values)});
  } catch (const std::length_error&) {
    bytes = encodeFrame(Frame{FrameType::dropped, serial, selector, {}});
  }
  {
    std::lock_guard lock(mutex_);
    if (callsInFlight_ > 0) --callsInFlight_;
    if (state_ != State::open) return;
  }
  if (!writeBytes(bytes)) ::shutdown(fd_, SHUT_RDWR);
}

bool Connection::writeBytes(const std::string& bytes) {
  std::lock_guard lock(writeMutex_);
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// ---- RemoteProxy ----

RemoteProxy Connection::remoteObjectProxy(ErrorHandler errorHandler) {
  return RemoteProxy(shared_from_this(), std::move(errorHandler));
}

void RemoteProxy::call(std::string selector, Values arguments, Connection::ReplyHandler onReply) const {
  if (!connection_) return;
  connection_->call(std::move(selector), std::move(arguments), std::move(onReply), errorHandler_);
}

}  // namespace platform::xpc
