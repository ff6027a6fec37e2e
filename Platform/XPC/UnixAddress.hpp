#pragma once
// The address of a Unix socket at a path, for bind() and connect(). A socket
// address holds at most 107 bytes of path, and an install root deep in a
// home folder can make a longer one: such a path is reached through its
// folder, which is opened and named "/proc/self/fd/<n>/<socket name>"; the
// kernel follows that name to the same file, with the same permission
// checks. Keep the value alive until bind() or connect() has returned.
//
// Thread contract: a value belongs to one thread.
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace platform::xpc {

class UnixAddress {
 public:
  explicit UnixAddress(const std::string& path);
  ~UnixAddress();
  UnixAddress(const UnixAddress&) = delete;
  UnixAddress& operator=(const UnixAddress&) = delete;

  // False for an empty path, a file name too long on its own, or a long
  // path whose folder cannot be opened.
  bool valid() const { return valid_; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr_); }
  socklen_t size() const { return sizeof addr_; }

 private:
  bool set(const std::string& path);

  sockaddr_un addr_{};
  int folderFD_ = -1;
  bool valid_ = false;
};

}  // namespace platform::xpc
