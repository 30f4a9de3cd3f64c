#include "platform/linux/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace ql::linux_backend {

namespace {

// Regular files ignore O_NONBLOCK, but the flag lives in the open file
// description that a child inherits as its stdout: take it off so that
// nothing downstream ever sees a non-blocking log.
void makeBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

struct Temporary {
  UniqueFd fd;
  std::string path;
};

// A new file of our own beside `path`. The first name tried is the one a
// crashed run of this process id would have left, so it is cleared first
// (unlink takes a planted link itself, never its target); a name that is
// taken again by the time we create it is skipped, never opened.
Result<Temporary> createTemporaryBeside(const std::string& path, mode_t mode) {
  std::string base = path + ".tmp." + std::to_string(::getpid());
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = attempt == 0 ? base : base + "." + std::to_string(attempt);
    if (attempt == 0) (void)::unlink(name.c_str());
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return Temporary{UniqueFd(fd), std::move(name)};
    if (errno != EEXIST) return Status::Posix(errno);
  }
  return Status::Posix(EEXIST);
}

// Puts a fresh empty file at `path` in one rename, whatever was there.
Result<UniqueFd> replaceWithEmptyFile(const std::string& path, mode_t mode) {
  Result<Temporary> tmp = createTemporaryBeside(path, mode);
  if (!tmp.ok()) return tmp.status();
  if (::rename(tmp->path.c_str(), path.c_str()) != 0) {
    Status s = Status::Posix(errno);
    ::unlink(tmp->path.c_str());
    return s;
  }
  return std::move(tmp->fd);
}

}  // namespace

FdFileHandle::~FdFileHandle() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

Status FdFileHandle::write(std::string_view bytes) { return writeAll(fd_, bytes); }

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Status writeAll(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Posix(errno);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return Status::OK();
}

Result<UniqueFd> openRegularForReading(const std::string& path, bool followLink) {
  if (unusablePath(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  UniqueFd fd(::open(path.c_str(), flags));
  if (fd.get() < 0) return Status::Posix(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Status::Posix(errno);
  if (S_ISDIR(st.st_mode)) return Status::Posix(EISDIR);
  // A FIFO, socket or device could block or never end: not a file to read.
  if (!S_ISREG(st.st_mode)) return Status::Posix(EINVAL);
  makeBlocking(fd.get());
  return fd;
}

Result<std::string> readRegularFile(const std::string& path, size_t maxBytes, bool followLink) {
  Result<UniqueFd> fd = openRegularForReading(path, followLink);
  if (!fd.ok()) return fd.status();
  struct stat st;
  if (::fstat(fd->get(), &st) != 0) return Status::Posix(errno);
  if (static_cast<uint64_t>(st.st_size) > maxBytes) return Status::Posix(EFBIG);
  std::string data;
  data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd->get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Posix(errno);
    }
    if (n == 0) break;
    // The size checked above can grow under us; the bound holds regardless.
    if (data.size() + static_cast<size_t>(n) > maxBytes) return Status::Posix(EFBIG);
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

Result<UniqueFd> openEmptiedForWriting(const std::string& path, mode_t mode) {
  if (unusablePath(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  // Two rounds: an entry that disappears between our look and our open is
  // simply created on the second.
  for (int round = 0; round < 2; ++round) {
    int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (created >= 0) return UniqueFd(created);
    if (errno != EEXIST) return Status::Posix(errno);

    struct stat seen;
    if (::lstat(path.c_str(), &seen) != 0) {
      if (errno == ENOENT) continue;
      return Status::Posix(errno);
    }
    if (S_ISDIR(seen.st_mode)) return Status::Posix(EISDIR);
    // Links, FIFOs, sockets and devices are never opened: opening a device
    // reaches its driver, and O_TRUNC through a link empties its target.
    if (!S_ISREG(seen.st_mode)) return replaceWithEmptyFile(path, mode);

    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
      // Swapped for a link (ELOOP) or a FIFO (ENXIO) since the lstat.
      if (errno == ELOOP || errno == ENXIO) return replaceWithEmptyFile(path, mode);
      if (errno == ENOENT) continue;
      return Status::Posix(errno);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Status::Posix(errno);
    // Another hard link means another name whose contents we would destroy.
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return replaceWithEmptyFile(path, mode);
    if (::ftruncate(fd.get(), 0) != 0) return Status::Posix(errno);
    makeBlocking(fd.get());
    return fd;
  }
  return Status::Posix(ENOENT);
}

Status replaceFileContents(const std::string& path, std::string_view data, mode_t mode) {
  if (unusablePath(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  Result<Temporary> tmp = createTemporaryBeside(path, mode);
  if (!tmp.ok()) return tmp.status();
  Status s = writeAll(tmp->fd.get(), data);
  tmp->fd.reset();
  if (s.ok() && ::rename(tmp->path.c_str(), path.c_str()) != 0) s = Status::Posix(errno);
  if (!s.ok()) ::unlink(tmp->path.c_str());
  return s;
}

}  // namespace ql::linux_backend
