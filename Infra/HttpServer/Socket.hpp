#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

namespace httpserver {

enum class SocketState : int { listening = 0, stopped = 1, unknown = 2 };

// The raw-value constructor: nothing for a value outside 0...2.
std::optional<SocketState> socketState(int raw);

// The errno of the moment as "(<number>) <message>".
struct Errno {
  static std::string description();
  static std::string description(int code);
};

class SocketError : public std::runtime_error {
 public:
  enum class Kind {
    socketCreationFailure,
    socketSettingReUseAddrFailure,
    bindFailure,
    listenFailure,
    writeFailure,
    getPeerNameFailure,
    getNameInfoFailure,
    acceptFailure,
    recvFailure,
    getSockNameFailure,
    convertStringToCStringFailure,
    setNoSigPipeFailure,
    convertingPeerNameFailure,  // carries no text
  };

  SocketError(Kind kind, std::string text, int code = 0);

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  // The errno behind the failure (0 when there was none).
  int code() const { return code_; }
  static const char* name(Kind kind);

 private:
  Kind kind_;
  std::string text_;
  int code_;
};

// A file handed whole to a socket (writeFile).
namespace String {

struct FileError : std::runtime_error {
  explicit FileError(std::int32_t code);
  std::int32_t code;
};

class File {
 public:
  explicit File(std::FILE* stream) : stream_(stream) {}
  // Opens a file for reading; FileError with the errno when it cannot.
  static File openForReading(const std::string& path);
  ~File() { close(); }
  File(File&& other) noexcept : stream_(other.stream_) { other.stream_ = nullptr; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  void close();
  // Moves to an absolute offset from the start.
  bool seek(long offset);
  std::FILE* stream() const { return stream_; }

 private:
  std::FILE* stream_;
};

}  // namespace String

// What the request parser reads from: a connected socket, or the bytes of a
// request that an event loop has already received (ReceivedBytes). Both
// follow the same line rule and fail the same way (recvFailure).
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // One line up to a line feed, without bytes 0...13; bytes above 127 become
  // the characters U+0080...U+00FF (UTF-8 in the result). More than
  // `maxBytes` raw bytes without a line feed fail with recvFailure.
  virtual std::string readLine(std::size_t maxBytes) = 0;
  // Exactly `length` bytes; a length below 1 gives none.
  virtual std::vector<std::uint8_t> read(std::int64_t length) = 0;
};

// Takes the bytes of one line from [next, end) by the line rule, appending
// them to `line`; `raw` counts the line's raw bytes so far. True once the
// line feed was taken (`next` is then just behind it).
bool takeLineBytes(const std::uint8_t*& next, const std::uint8_t* end, std::string& line, std::size_t& raw,
                   std::size_t maxBytes);

// A request already received whole, read as a client socket would be: the
// end of the bytes is the end of the stream.
class ReceivedBytes final : public ByteReader {
 public:
  explicit ReceivedBytes(std::span<const std::uint8_t> bytes) : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  std::string readLine(std::size_t maxBytes) override;
  std::vector<std::uint8_t> read(std::int64_t length) override;
  // The bytes not read yet.
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - next_); }

 private:
  const std::uint8_t* next_;
  const std::uint8_t* end_;
};

// A blocking TCP socket over one descriptor. The listening socket may be
// closed from another thread while its owner blocks in accept: the close
// shuts the socket down, which wakes the accept, and the accepting thread
// then closes the descriptor itself.
//
// Client sockets are non-blocking underneath; every read and write waits
// for readiness until the socket's deadline (none by default), so a silent
// or stalled peer cannot hold a thread forever.
class Socket final : public ByteReader {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int bufferLength = 1024;

  explicit Socket(int descriptor);
  ~Socket();  // closes a descriptor that is still open
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  static std::unique_ptr<Socket> createSocketForListen(const std::string& listenAddress, std::uint16_t port);
  // Stands where other systems set SO_NOSIGPIPE, which Linux lacks: here every
  // send() passes MSG_NOSIGNAL and sendfile() runs with SIGPIPE blocked, so this
  // only checks that the descriptor is open (setNoSigPipeFailure otherwise).
  static void setNoSigPipe(int descriptor);

  std::unique_ptr<Socket> acceptClientSocket();

  // For an event loop that serves this listening socket while it runs: the
  // descriptor, now non-blocking, or -1 when the socket no longer listens.
  // Until endAccepting(), a close() from another thread only shuts the
  // socket down (which wakes the loop) and leaves the descriptor to
  // endAccepting(), called on the loop's thread when it ends.
  int beginAccepting();
  void endAccepting();
  std::uint16_t port() const;

  std::vector<std::uint8_t> read(std::int64_t length) override;
  // The line rule of ByteReader.
  std::string readLine(std::size_t maxBytes = std::numeric_limits<std::size_t>::max()) override;

  void writeUTF8(std::string_view text);
  void writeUInt8(std::span<const std::uint8_t> bytes);
  void writeData(const std::vector<std::uint8_t>& data) { writeUInt8(data); }
  void writeFile(String::File& file);

  std::string peername() const;
  // The numeric host text of an IPv4 or IPv6 address.
  static std::string numericHost(const sockaddr_storage& address, socklen_t length);

  // Shuts the sending side down, then reads and drops what the peer still
  // sends until it closes or `within` has passed (at most `maxBytes`), so
  // that the close that follows does not reset a reply not yet read.
  void finishSending(std::chrono::milliseconds within, std::size_t maxBytes = 65536);

  void close();
  // Waits until the socket is closed or `within` has passed; true when closed.
  bool waitUntilClosed(std::chrono::milliseconds within);

  // Reads and writes fail with ETIMEDOUT once this point has passed.
  void setDeadline(std::optional<Clock::time_point> deadline) { deadline_ = deadline; }

  int socketFileDescriptor() const;
  SocketState state() const;
  int stateValue() const;

  bool operator==(const Socket& other) const { return socketFileDescriptor() == other.socketFileDescriptor(); }

 private:
  void setState(SocketState state);
  // Waits until the descriptor is ready for `events`; false on time-out.
  bool waitReady(short events);
  // Fills the read buffer; false at the end of the stream.
  std::size_t fill(SocketError::Kind failure);
  void writeAll(const std::uint8_t* bytes, std::size_t count);

  int socketFileDescriptor_;
  mutable std::recursive_mutex stateLock_;
  std::condition_variable_any acceptDone_;
  std::condition_variable_any closed_;
  int stateValue_ = static_cast<int>(SocketState::stopped);
  bool accepting_ = false;
  std::optional<Clock::time_point> deadline_;
  std::vector<std::uint8_t> buffer_;  // read but not yet handed out
  std::size_t bufferStart_ = 0;
};

}  // namespace httpserver

template <>
struct std::hash<httpserver::Socket> {
  std::size_t operator()(const httpserver::Socket& socket) const noexcept {
    return std::hash<int>()(socket.socketFileDescriptor());
  }
};
