#include "Infra/HttpServer/Socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace httpserver {

std::optional<SocketState> socketState(int raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<SocketState>(raw);
}

std::string Errno::description() { return description(errno); }

std::string Errno::description(int code) {
  // Appended piece by piece: g++ 12 at -O3 warns falsely about "(" + std::string.
  std::string text = "(";
  text += std::to_string(code);
  text += ") ";
  text += std::strerror(code);
  return text;
}

const char* SocketError::name(Kind kind) {
  switch (kind) {
    case Kind::socketCreationFailure: return "socketCreationFailure";
    case Kind::socketSettingReUseAddrFailure: return "socketSettingReUseAddrFailure";
    case Kind::bindFailure: return "bindFailure";
    case Kind::listenFailure: return "listenFailure";
    case Kind::writeFailure: return "writeFailure";
    case Kind::getPeerNameFailure: return "getPeerNameFailure";
    case Kind::getNameInfoFailure: return "getNameInfoFailure";
    case Kind::acceptFailure: return "acceptFailure";
    case Kind::recvFailure: return "recvFailure";
    case Kind::getSockNameFailure: return "getSockNameFailure";
    case Kind::convertStringToCStringFailure: return "convertStringToCStringFailure";
    case Kind::setNoSigPipeFailure: return "setNoSigPipeFailure";
    case Kind::convertingPeerNameFailure: return "convertingPeerNameFailure";
  }
  return "unknown";
}

SocketError::SocketError(Kind kind, std::string text, int code)
    : std::runtime_error(std::string(name(kind)) + (text.empty() ? "" : ": " + text)),
      kind_(kind),
      text_(std::move(text)),
      code_(code) {}

namespace {

[[noreturn]] void fail(SocketError::Kind kind, int code) {
  throw SocketError(kind, Errno::description(code), code);
}

}  // namespace

// MARK: - String::File

namespace String {

FileError::FileError(std::int32_t code)
    : std::runtime_error("file error " + std::to_string(code)), code(code) {}

File File::openForReading(const std::string& path) {
  std::FILE* stream = std::fopen(path.c_str(), "rbe");  // "e": close-on-exec
  if (!stream) throw FileError(errno);
  return File(stream);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    stream_ = other.stream_;
    other.stream_ = nullptr;
  }
  return *this;
}

void File::close() {
  if (stream_) std::fclose(stream_);
  stream_ = nullptr;
}

bool File::seek(long offset) { return stream_ && std::fseek(stream_, offset, SEEK_SET) == 0; }

}  // namespace String

// MARK: - ReceivedBytes

std::string ReceivedBytes::readLine(std::size_t maxBytes) {
  std::string line;
  std::size_t raw = 0;
  if (!takeLineBytes(next_, end_, line, raw, maxBytes)) {
    throw SocketError(SocketError::Kind::recvFailure, "(0) end of stream", 0);
  }
  return line;
}

std::vector<std::uint8_t> ReceivedBytes::read(std::int64_t length) {
  if (length < 1) return {};
  if (static_cast<std::uint64_t>(length) > remaining()) {
    throw SocketError(SocketError::Kind::recvFailure, "(0) end of stream", 0);
  }
  std::vector<std::uint8_t> bytes(next_, next_ + length);
  next_ += length;
  return bytes;
}

// MARK: - Socket

Socket::Socket(int descriptor) : socketFileDescriptor_(descriptor) {}

Socket::~Socket() {
  std::lock_guard lock(stateLock_);
  if (socketFileDescriptor_ >= 0) ::close(socketFileDescriptor_);
  socketFileDescriptor_ = -1;
}

int Socket::socketFileDescriptor() const {
  std::lock_guard lock(stateLock_);
  return socketFileDescriptor_;
}

SocketState Socket::state() const { return socketState(stateValue()).value_or(SocketState::unknown); }

int Socket::stateValue() const {
  std::lock_guard lock(stateLock_);
  return stateValue_;
}

void Socket::setState(SocketState state) {
  std::lock_guard lock(stateLock_);
  stateValue_ = static_cast<int>(state);
}

void Socket::setNoSigPipe(int descriptor) {
  if (::fcntl(descriptor, F_GETFD) == -1) fail(SocketError::Kind::setNoSigPipeFailure, errno);
}

std::unique_ptr<Socket> Socket::createSocketForListen(const std::string& listenAddress, std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd == -1) fail(SocketError::Kind::socketCreationFailure, errno);
  auto closeAndFail = [fd](SocketError::Kind kind, int code) {
    ::close(fd);
    fail(kind, code);
  };
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) {
    closeAndFail(SocketError::Kind::socketSettingReUseAddrFailure, errno);
  }
  try {
    setNoSigPipe(fd);
  } catch (...) {
    ::close(fd);
    throw;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  int converted = ::inet_pton(AF_INET, listenAddress.c_str(), &address.sin_addr);
  if (converted != 1) closeAndFail(SocketError::Kind::convertStringToCStringFailure, converted == 0 ? EINVAL : errno);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    closeAndFail(SocketError::Kind::bindFailure, errno);
  }
  if (::listen(fd, 128) == -1) closeAndFail(SocketError::Kind::listenFailure, errno);
  auto socket = std::make_unique<Socket>(fd);
  socket->setState(SocketState::listening);
  return socket;
}

std::unique_ptr<Socket> Socket::acceptClientSocket() {
  int listener;
  {
    std::lock_guard lock(stateLock_);
    if (socketFileDescriptor_ < 0 || stateValue_ != static_cast<int>(SocketState::listening)) {
      fail(SocketError::Kind::acceptFailure, EBADF);
    }
    listener = socketFileDescriptor_;
    accepting_ = true;
  }
  int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  int code = errno;
  {
    std::lock_guard lock(stateLock_);
    accepting_ = false;
    if (stateValue_ != static_cast<int>(SocketState::listening)) {
      // Closed while we were blocked: the descriptor is ours to close.
      if (socketFileDescriptor_ >= 0) ::close(socketFileDescriptor_);
      socketFileDescriptor_ = -1;
      acceptDone_.notify_all();
      if (client >= 0) ::close(client);
      fail(SocketError::Kind::acceptFailure, client >= 0 ? EBADF : code);
    }
  }
  if (client == -1) fail(SocketError::Kind::acceptFailure, code);
  try {
    setNoSigPipe(client);
  } catch (...) {
    ::close(client);
    throw;
  }
  return std::make_unique<Socket>(client);
}

int Socket::beginAccepting() {
  std::lock_guard lock(stateLock_);
  if (socketFileDescriptor_ < 0 || stateValue_ != static_cast<int>(SocketState::listening)) return -1;
  int flags = ::fcntl(socketFileDescriptor_, F_GETFL);
  if (flags == -1 || ::fcntl(socketFileDescriptor_, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
  accepting_ = true;
  return socketFileDescriptor_;
}

void Socket::endAccepting() {
  std::lock_guard lock(stateLock_);
  accepting_ = false;
  if (stateValue_ != static_cast<int>(SocketState::listening) && socketFileDescriptor_ >= 0) {
    // Closed while the loop served it: the descriptor is ours to close.
    ::close(socketFileDescriptor_);
    socketFileDescriptor_ = -1;
  }
  acceptDone_.notify_all();
}

std::uint16_t Socket::port() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(socketFileDescriptor(), reinterpret_cast<sockaddr*>(&address), &length) == -1) {
    fail(SocketError::Kind::getSockNameFailure, errno);
  }
  return ntohs(address.sin_port);
}

bool Socket::waitReady(short events) {
  for (;;) {
    int timeout = -1;
    if (deadline_) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    pollfd entry{socketFileDescriptor_, events, 0};
    int ready = ::poll(&entry, 1, timeout);
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // let the call itself report it
  }
}

std::size_t Socket::fill(SocketError::Kind failure) {
  std::uint8_t chunk[bufferLength];
  for (;;) {
    ssize_t got = ::recv(socketFileDescriptor_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      if (bufferStart_ == buffer_.size()) {
        buffer_.clear();
        bufferStart_ = 0;
      }
      buffer_.insert(buffer_.end(), chunk, chunk + got);
      return static_cast<std::size_t>(got);
    }
    if (got == 0) throw SocketError(failure, "(0) end of stream", 0);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!waitReady(POLLIN)) fail(failure, ETIMEDOUT);
      continue;
    }
    fail(failure, errno);
  }
}

std::vector<std::uint8_t> Socket::read(std::int64_t length) {
  if (length < 1) return {};
  std::vector<std::uint8_t> bytes;
  try {
    bytes.reserve(static_cast<std::size_t>(length));
  } catch (const std::exception&) {
    fail(SocketError::Kind::recvFailure, ENOMEM);
  }
  auto wanted = static_cast<std::size_t>(length);
  while (bytes.size() < wanted) {
    if (bufferStart_ == buffer_.size()) fill(SocketError::Kind::recvFailure);
    std::size_t take = std::min(wanted - bytes.size(), buffer_.size() - bufferStart_);
    bytes.insert(bytes.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(bufferStart_),
                 buffer_.begin() + static_cast<std::ptrdiff_t>(bufferStart_ + take));
    bufferStart_ += take;
  }
  return bytes;
}

bool takeLineBytes(const std::uint8_t*& next, const std::uint8_t* end, std::string& line, std::size_t& raw,
                   std::size_t maxBytes) {
  while (next < end) {
    std::uint8_t byte = *next++;
    if (byte == 10) return true;
    if (++raw > maxBytes) fail(SocketError::Kind::recvFailure, EMSGSIZE);
    if (byte <= 13) continue;
    if (byte < 0x80) {
      line.push_back(static_cast<char>(byte));
    } else {
      line.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      line.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return false;
}

std::string Socket::readLine(std::size_t maxBytes) {
  std::string line;
  std::size_t raw = 0;
  for (;;) {
    if (bufferStart_ == buffer_.size()) fill(SocketError::Kind::recvFailure);
    const std::uint8_t* next = buffer_.data() + bufferStart_;
    bool complete = takeLineBytes(next, buffer_.data() + buffer_.size(), line, raw, maxBytes);
    bufferStart_ = static_cast<std::size_t>(next - buffer_.data());
    if (complete) return line;
  }
}

void Socket::writeAll(const std::uint8_t* bytes, std::size_t count) {
  std::size_t offset = 0;
  while (offset < count) {
    ssize_t sent = ::send(socketFileDescriptor_, bytes + offset, count - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      offset += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == -1 && errno == EINTR) continue;
    if (sent == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitReady(POLLOUT)) fail(SocketError::Kind::writeFailure, ETIMEDOUT);
      continue;
    }
    fail(SocketError::Kind::writeFailure, sent == 0 ? EPIPE : errno);
  }
}

void Socket::writeUTF8(std::string_view text) {
  writeAll(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void Socket::writeUInt8(std::span<const std::uint8_t> bytes) { writeAll(bytes.data(), bytes.size()); }

void Socket::writeFile(String::File& file) {
  auto sendfileFailure = [](int code) {
    throw SocketError(SocketError::Kind::writeFailure, "sendfile: " + Errno::description(code), code);
  };
  if (!file.stream()) sendfileFailure(EBADF);
  int source = ::fileno(file.stream());
  struct stat info {};
  if (::fstat(source, &info) == -1) sendfileFailure(errno);
  int flags = ::fcntl(socketFileDescriptor_, F_GETFL);
  if (flags != -1 && !(flags & O_NONBLOCK)) ::fcntl(socketFileDescriptor_, F_SETFL, flags | O_NONBLOCK);

  // sendfile has no MSG_NOSIGNAL: hold SIGPIPE back on this thread and take
  // away one that we raised, so that a closed peer is an error, not a signal.
  sigset_t pipe, old, pending;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  sigpending(&pending);
  bool wasPending = sigismember(&pending, SIGPIPE);
  auto restore = [&] {
    sigpending(&pending);
    if (!wasPending && sigismember(&pending, SIGPIPE)) {
      timespec zero{0, 0};
      sigtimedwait(&pipe, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  };

  off_t offset = 0;
  const off_t size = info.st_size;
  int code = 0;
  while (offset < size) {
    ssize_t sent = ::sendfile(socketFileDescriptor_, source, &offset, static_cast<std::size_t>(size - offset));
    if (sent > 0) continue;
    if (sent == 0) break;  // the file got shorter: it is sent up to its end
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      if (waitReady(POLLOUT)) continue;
      code = ETIMEDOUT;
    } else {
      code = errno;
    }
    break;
  }
  restore();
  if (code != 0) sendfileFailure(code);
}

std::string Socket::peername() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(socketFileDescriptor(), reinterpret_cast<sockaddr*>(&address), &length) == -1) {
    fail(SocketError::Kind::getPeerNameFailure, errno);
  }
  return numericHost(address, length);
}

std::string Socket::numericHost(const sockaddr_storage& address, socklen_t length) {
  char host[1025];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0) {
    fail(SocketError::Kind::getNameInfoFailure, errno);
  }
  return host;
}

void Socket::finishSending(std::chrono::milliseconds within, std::size_t maxBytes) {
  int fd = socketFileDescriptor();
  if (fd < 0) return;
  if (::shutdown(fd, SHUT_WR) == -1) return;
  auto saved = deadline_;
  deadline_ = Clock::now() + within;
  std::size_t dropped = 0;
  std::uint8_t chunk[bufferLength];
  while (dropped <= maxBytes) {
    ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      dropped += static_cast<std::size_t>(got);
      continue;
    }
    if (got == -1 && errno == EINTR) continue;
    if (got == -1 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitReady(POLLIN)) continue;
    break;  // end of stream, time-out or error
  }
  deadline_ = saved;
}

void Socket::close() {
  std::unique_lock lock(stateLock_);
  stateValue_ = static_cast<int>(SocketState::stopped);
  closed_.notify_all();
  if (socketFileDescriptor_ < 0) return;
  if (accepting_) {
    // Another thread is blocked in accept on it: shutting the socket down
    // wakes it, and it closes the descriptor once it is out of the call.
    ::shutdown(socketFileDescriptor_, SHUT_RDWR);
    acceptDone_.wait(lock, [&] { return !accepting_; });
    return;
  }
  ::close(socketFileDescriptor_);
  socketFileDescriptor_ = -1;
}

bool Socket::waitUntilClosed(std::chrono::milliseconds within) {
  std::unique_lock lock(stateLock_);
  return closed_.wait_for(lock, within, [&] { return stateValue_ != static_cast<int>(SocketState::listening); });
}

}  // namespace httpserver
