#pragma once
// The game's folder as the engine writes into it. Every folder the file step
// creates, and every file it creates, truncates, renames or deletes, is
// reached through an open folder whose real place has been checked to lie
// inside the game's folder; the name is then opened relative to that open
// folder, so nothing can swap a folder between the check and the use.
//
// Symbolic links inside the game's folder are followed when they lead to a
// place inside it (a game's bundle links its own parts, some with absolute
// paths); a link that leads outside fails with EXDEV, as the kernel's own
// "beneath" resolution does. Keys never hold "." or ".." segments (they are
// refused when decoded), so only links can lead anywhere else.
//
// Not shared between threads: each step that writes keeps its own.
#include <memory>
#include <mutex>
#include <string>

// An owned file descriptor, closed by its destructor.
class OBDFd {
 public:
  OBDFd() = default;
  explicit OBDFd(int fd) : fd_(fd) {}
  ~OBDFd();
  OBDFd(OBDFd&& other) noexcept : fd_(other.release()) {}
  OBDFd& operator=(OBDFd&& other) noexcept;
  OBDFd(const OBDFd&) = delete;
  OBDFd& operator=(const OBDFd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

class OBDGameFolder {
 public:
  // Opens the folder (links in its own path are followed: that path is the
  // game's folder as configured) and notes where it really is. When it
  // cannot be opened, every later call fails with the reason.
  explicit OBDGameFolder(std::string root);

  const std::string& Root() const { return root_; }

  // The open folder that holds `path`, a path below the root as the engine
  // builds it (root + "/" + relative path). With `create`, missing folders
  // are made on the way. `name` receives the last component. Null with
  // errno set when the folder cannot be had: EXDEV when it lies outside the
  // game's folder, EINVAL when the path is not below the root.
  std::shared_ptr<OBDFd> OpenFolderOf(const std::string& path, bool create, std::string& name) const;

  // True when the open folder lies inside the game's folder (or is it).
  bool IsInside(int folderFd) const;

 private:
  // One step down from `folder` into the folder named `component`.
  OBDFd Descend(int folder, const std::string& component, bool create) const;

  std::string root_;  // as given, without a trailing "/"
  OBDFd rootFd_;
  int openError_ = 0;
  std::string realRoot_;  // where the root really is
};

// The file system of a job's game folder, synced through one descriptor of
// the folder opened when the job starts. Linux tells a sync of a write-back
// error only through descriptors opened before the error, and through each
// only once: the job's own descriptor sees every error since the job began,
// and a sync that failed fails every later sync of the job too.
//
// Any thread; one sync at a time.
class OBDSyncFolder {
 public:
  explicit OBDSyncFolder(const std::string& folder);

  // Syncs the file system (through `fallbackFd`, a file in the folder, when
  // the folder could not be opened); false with errno set when this or an
  // earlier sync failed.
  bool Sync(int fallbackFd);

 private:
  std::mutex mutex_;
  OBDFd fd_;
  int error_ = 0;  // of the first sync that failed
};
