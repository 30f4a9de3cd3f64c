// File handles over POSIX descriptors, and the two primitives every reader
// and writer of the backend goes through (the access rule is stated in
// platform/file_manager.h).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/file_manager.h"

namespace ql::linux_backend {

// Owns `fd` and closes it on destruction (unless it is a standard stream).
class FdFileHandle : public FileHandle {
 public:
  FdFileHandle(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~FdFileHandle() override;
  FdFileHandle(const FdFileHandle&) = delete;
  FdFileHandle& operator=(const FdFileHandle&) = delete;
  Status write(std::string_view bytes) override;
  int descriptor() const override { return fd_; }

 private:
  int fd_;
  bool owned_;
};

// Closes a descriptor when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset();

 private:
  int fd_;
};

// A path the kernel would see differently from the string we hold: empty,
// or with an embedded NUL that would silently cut it short at c_str().
inline bool unusablePath(const std::string& path) {
  return path.empty() || path.find('\0') != std::string::npos;
}

// Writes all of `bytes` to `fd` (retrying short writes and EINTR).
Status writeAll(int fd, std::string_view bytes);

// Opens a regular file for reading without ever waiting on what the name
// holds: O_NONBLOCK (a FIFO opens at once), O_NOFOLLOW unless `followLink`,
// then fstat on the descriptor. A directory is EISDIR, a FIFO, socket or
// device EINVAL, a final link (when not followed) ELOOP. The descriptor is
// switched back to blocking reads before it is returned.
Result<UniqueFd> openRegularForReading(const std::string& path, bool followLink);

// The whole of a regular file opened as above; EFBIG past `maxBytes`, also
// when the file grows past it while being read.
Result<std::string> readRegularFile(const std::string& path, size_t maxBytes, bool followLink);

// Creates `path` empty, or empties what is there, and returns a blocking
// write descriptor at offset 0, never through what the name holds:
// - nothing there: a new file (O_CREAT|O_EXCL|O_NOFOLLOW, `mode` under the
//   umask);
// - a regular file with no other hard link: emptied in place (ftruncate on
//   the descriptor that fstat checked), so its owner and mode stay;
// - a symbolic link (dangling or not), FIFO, socket, device or a file with
//   other hard links: replaced by a fresh file renamed over the name, the
//   link's target or the other names left untouched;
// - a directory: EISDIR.
Result<UniqueFd> openEmptiedForWriting(const std::string& path, mode_t mode);

// Writes `data` to a fresh temporary beside `path` (O_CREAT|O_EXCL|
// O_NOFOLLOW, so a name planted there is never written through) and renames
// it over `path`: readers see the old or the new contents, and whatever was
// at `path` (a link included) is replaced, not followed. No fsync.
Status replaceFileContents(const std::string& path, std::string_view data, mode_t mode);

}  // namespace ql::linux_backend
