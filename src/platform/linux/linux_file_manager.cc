#include "platform/linux/linux_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "platform/linux/file_handle.h"

namespace ql::linux_backend {

namespace {

// Closes a descriptor when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }

 private:
  int fd_;
};

class UniqueDir {
 public:
  explicit UniqueDir(DIR* d) : d_(d) {}
  ~UniqueDir() {
    if (d_) ::closedir(d_);
  }
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  DIR* get() const { return d_; }

 private:
  DIR* d_;
};

// A path the kernel would see differently from the string we hold: empty,
// or with an embedded NUL that would silently cut it short at c_str().
bool unusable(const std::string& path) { return path.empty() || path.find('\0') != std::string::npos; }

std::vector<std::string> splitComponents(const std::string& path) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) out.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

std::string currentDirectory() {
  std::vector<char> buf(PATH_MAX);
  if (::getcwd(buf.data(), buf.size()) == nullptr) return "/";
  return buf.data();
}

// Copies file contents with the kernel's help where it can (copy_file_range
// shares extents or copies in-kernel), falling back to sendfile.
Status copyContents(int in, int out, off_t size) {
  off_t done = 0;
  bool useCopyRange = true;
  while (done < size) {
    ssize_t n;
    if (useCopyRange) {
      n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(size - done), 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
        useCopyRange = false;
        continue;
      }
    } else {
      n = ::sendfile(out, in, nullptr, static_cast<size_t>(size - done));
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Posix(errno);
    }
    if (n == 0) break;  // the file shrank while we copied
    done += n;
  }
  return Status::OK();
}

// Carries the user.* extended attributes over, as a copy on macOS keeps its
// extended attributes: a downloaded bundle's quarantine mark must survive the
// install copy so that the quarantine step has something to clear. Other
// namespaces (security.*, trusted.*) belong to the system's policy, not to
// the file, and are left to it. A file system without them is not an error.
void copyUserXattrs(const std::string& from, const std::string& to) {
  ssize_t len = ::llistxattr(from.c_str(), nullptr, 0);
  if (len <= 0) return;
  std::vector<char> names(static_cast<size_t>(len));
  len = ::llistxattr(from.c_str(), names.data(), names.size());
  if (len <= 0) return;
  for (size_t i = 0; i < static_cast<size_t>(len);) {
    std::string name(&names[i]);
    i += name.size() + 1;
    if (name.rfind("user.", 0) != 0) continue;
    ssize_t vlen = ::lgetxattr(from.c_str(), name.c_str(), nullptr, 0);
    if (vlen < 0) continue;
    std::vector<char> value(static_cast<size_t>(vlen) + 1);
    vlen = ::lgetxattr(from.c_str(), name.c_str(), value.data(), value.size());
    if (vlen < 0) continue;
    (void)::lsetxattr(to.c_str(), name.c_str(), value.data(), static_cast<size_t>(vlen), 0);
  }
}

Status copyRecursive(const std::string& from, const std::string& to) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return Status::Posix(errno);
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> buf(static_cast<size_t>(st.st_size) + 1 > PATH_MAX ? st.st_size + 1 : PATH_MAX);
    ssize_t n = ::readlink(from.c_str(), buf.data(), buf.size());
    if (n < 0) return Status::Posix(errno);
    if (::symlink(std::string(buf.data(), static_cast<size_t>(n)).c_str(), to.c_str()) != 0)
      return Status::Posix(errno);
    return Status::OK();
  }
  if (S_ISDIR(st.st_mode)) {
    if (::mkdir(to.c_str(), 0700) != 0) return Status::Posix(errno);
    UniqueDir dir(::opendir(from.c_str()));
    if (!dir.get()) return Status::Posix(errno);
    while (dirent* e = ::readdir(dir.get())) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      Status s = copyRecursive(from + "/" + name, to + "/" + name);
      if (!s.ok()) return s;
    }
    copyUserXattrs(from, to);
    if (::chmod(to.c_str(), st.st_mode & 07777) != 0) return Status::Posix(errno);
    return Status::OK();
  }
  if (S_ISREG(st.st_mode)) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return Status::Posix(errno);
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) return Status::Posix(errno);
    Status s = copyContents(in.get(), out.get(), st.st_size);
    if (!s.ok()) return s;
    copyUserXattrs(from, to);
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) return Status::Posix(errno);
    return Status::OK();
  }
  // Devices, sockets and FIFOs have no place in a bundle.
  return Status::Posix(ENOTSUP);
}

Status removeRecursive(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return Status::Posix(errno);
  if (S_ISDIR(st.st_mode)) {
    {
      UniqueDir dir(::opendir(path.c_str()));
      if (!dir.get()) return Status::Posix(errno);
      Status first;
      while (dirent* e = ::readdir(dir.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        Status s = removeRecursive(path + "/" + name);
        if (!s.ok() && first.ok()) first = s;
      }
      if (!first.ok()) return first;
    }
    if (::rmdir(path.c_str()) != 0) return Status::Posix(errno);
    return Status::OK();
  }
  if (::unlink(path.c_str()) != 0) return Status::Posix(errno);
  return Status::OK();
}

}  // namespace

std::string standardizePath(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& c : splitComponents(path)) {
    if (c == ".") continue;
    if (c == "..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(c);
  }
  std::string r;
  for (const std::string& c : out) r += "/" + c;
  return r.empty() ? "/" : r;
}

LinuxFileManager::LinuxFileManager() : stderr_(std::make_shared<FdFileHandle>(STDERR_FILENO, false)) {}

EntryType LinuxFileManager::entryType(const std::string& path) {
  struct stat st;
  if (unusable(path) || ::lstat(path.c_str(), &st) != 0) return EntryType::kNone;
  if (S_ISDIR(st.st_mode)) return EntryType::kDirectory;
  if (S_ISLNK(st.st_mode)) return EntryType::kSymbolicLink;
  if (S_ISREG(st.st_mode)) return EntryType::kRegular;
  return EntryType::kOther;
}

std::optional<std::string> LinuxFileManager::linkText(const std::string& path) {
  if (unusable(path)) return std::nullopt;
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

std::string LinuxFileManager::resolvedPath(const std::string& path) {
  if (unusable(path)) return path;
  std::string absolute = path[0] == '/' ? path : currentDirectory() + "/" + path;
  // Walk the components, resolving each link we meet; once a component is
  // missing, the rest is kept as written (folded textually).
  std::vector<std::string> pending = splitComponents(absolute);
  std::reverse(pending.begin(), pending.end());
  std::string resolved;  // "" stands for "/"
  int linksFollowed = 0;
  bool missing = false;
  while (!pending.empty()) {
    std::string c = pending.back();
    pending.pop_back();
    if (c == ".") continue;
    if (c == "..") {
      size_t slash = resolved.rfind('/');
      resolved = slash == std::string::npos ? "" : resolved.substr(0, slash);
      continue;
    }
    std::string next = resolved + "/" + c;
    if (missing) {
      resolved = next;
      continue;
    }
    struct stat st;
    if (::lstat(next.c_str(), &st) != 0) {
      missing = true;
      resolved = next;
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      auto text = linkText(next);
      if (!text || ++linksFollowed > 40) {
        // A loop or an unreadable link: leave the path as written from here.
        resolved = next;
        missing = true;
        continue;
      }
      std::vector<std::string> parts = splitComponents(*text);
      for (auto it = parts.rbegin(); it != parts.rend(); ++it) pending.push_back(*it);
      if (!text->empty() && (*text)[0] == '/') resolved = "";
      continue;
    }
    resolved = next;
  }
  return resolved.empty() ? "/" : resolved;
}

bool LinuxFileManager::fileExists(const std::string& path) {
  struct stat st;
  return !unusable(path) && ::stat(path.c_str(), &st) == 0;
}

bool LinuxFileManager::fileExists(const std::string& path, bool* isDirectory) {
  struct stat st;
  if (unusable(path) || ::stat(path.c_str(), &st) != 0) return false;
  if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
  return true;
}

bool LinuxFileManager::isExecutableFile(const std::string& path) {
  struct stat st;
  if (unusable(path) || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::access(path.c_str(), X_OK) == 0;
}

bool LinuxFileManager::isWritableFile(const std::string& path) {
  return !unusable(path) && ::access(path.c_str(), W_OK) == 0;
}

Status LinuxFileManager::createDirectory(const std::string& path, bool withIntermediates) {
  if (unusable(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  if (!withIntermediates) {
    if (::mkdir(path.c_str(), 0777) != 0) return Status::Posix(errno);
    return Status::OK();
  }
  std::string prefix = path[0] == '/' ? "" : ".";
  for (const std::string& c : splitComponents(path)) {
    prefix += "/" + c;
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return Status::Posix(errno);
  }
  bool isDir = false;
  if (!fileExists(path, &isDir) || !isDir) return Status::Posix(ENOTDIR);
  return Status::OK();
}

Status LinuxFileManager::createFile(const std::string& path) {
  if (unusable(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Status::Posix(errno);
  ::close(fd);
  return Status::OK();
}

Status LinuxFileManager::removeItem(const std::string& path) {
  if (unusable(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  // lstat("link/") follows the link, and the recursion would then empty the
  // link's target. Without the trailing slashes the link itself is removed.
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return removeRecursive(p);
}

Status LinuxFileManager::copyItem(const std::string& from, const std::string& to) {
  if (unusable(from) || unusable(to)) return Status::Posix(EINVAL);
  if (entryType(to) != EntryType::kNone) return Status::Posix(EEXIST);
  return copyRecursive(from, to);
}

Status LinuxFileManager::copyFileLimitingPermissions(const std::string& from, const std::string& to,
                                                     unsigned allowed) {
  if (unusable(from) || unusable(to)) return Status::Posix(EINVAL);
  // O_NONBLOCK: a FIFO in the source's place must not stall the open; the
  // type check refuses it.
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (in.get() < 0) return Status::Posix(errno);
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return Status::Posix(errno);
  if (!S_ISREG(st.st_mode)) return Status::Posix(S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP);
  // Private while it is written; fchmod then widens it to the limited mode
  // and never beyond.
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) return Status::Posix(errno);
  Status s = copyContents(in.get(), out.get(), st.st_size);
  if (!s.ok()) return s;
  if (::fchmod(out.get(), st.st_mode & allowed & 07777) != 0) return Status::Posix(errno);
  return Status::OK();
}

Status LinuxFileManager::rename(const std::string& from, const std::string& to) {
  if (unusable(from) || unusable(to)) return Status::Posix(EINVAL);
  if (::rename(from.c_str(), to.c_str()) != 0) return Status::Posix(errno);
  return Status::OK();
}

Status LinuxFileManager::exchange(const std::string& a, const std::string& b) {
  if (unusable(a) || unusable(b)) return Status::Posix(EINVAL);
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0)
    return Status::Posix(errno);
  return Status::OK();
}

Status LinuxFileManager::createSymbolicLink(const std::string& path, const std::string& destination) {
  if (unusable(path) || unusable(destination)) return Status::Posix(EINVAL);
  if (::symlink(destination.c_str(), path.c_str()) != 0) return Status::Posix(errno);
  return Status::OK();
}

Status LinuxFileManager::setUserImmutable(const std::string& path, bool immutable) {
  // O_NOFOLLOW|O_PATH cannot carry ioctls; a link has no flags of its own.
  // On a device node or FIFO the ioctl would reach the driver, not the file
  // system, so only files and directories are touched.
  EntryType type = entryType(path);
  if (type == EntryType::kNone) return Status::Posix(unusable(path) ? EINVAL : ENOENT);
  if (type != EntryType::kRegular && type != EntryType::kDirectory) return Status::Posix(ENOTSUP);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return Status::Posix(errno);
  int flags = 0;
  if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return Status::Posix(errno);
  int wanted = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  if (wanted == flags) return Status::OK();
  if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &wanted) != 0) return Status::Posix(errno);
  return Status::OK();
}

Result<std::vector<std::string>> LinuxFileManager::contentsOfDirectory(const std::string& path) {
  if (unusable(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  UniqueDir dir(::opendir(path.c_str()));
  if (!dir.get()) return Status::Posix(errno);
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  return names;
}

Result<std::string> LinuxFileManager::readFile(const std::string& path, size_t maxBytes) {
  if (unusable(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
  // that may never come. Only regular files are read; a FIFO, socket or
  // device could block or never end.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return Status::Posix(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Status::Posix(errno);
  if (S_ISDIR(st.st_mode)) return Status::Posix(EISDIR);
  if (!S_ISREG(st.st_mode)) return Status::Posix(EINVAL);
  if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > maxBytes) return Status::Posix(EFBIG);
  std::string data;
  data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Posix(errno);
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > maxBytes) return Status::Posix(EFBIG);
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

Status LinuxFileManager::writeFile(const std::string& path, std::string_view data, bool atomically) {
  if (unusable(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  std::string target = atomically ? path + ".tmp." + std::to_string(::getpid()) : path;
  {
    // The temporary is always a new file of our own: a leftover of a crashed
    // run is removed first, and a link planted at that name is never
    // followed.
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (atomically) {
      flags |= O_EXCL | O_NOFOLLOW;
      (void)::unlink(target.c_str());
    }
    UniqueFd fd(::open(target.c_str(), flags, 0644));
    if (fd.get() < 0) return Status::Posix(errno);
    FdFileHandle h(fd.release(), true);
    // No fsync: "atomic" here promises readers the old or the new contents,
    // not durability across a power cut. The one atomic writer, the seed
    // marker, is re-derived from the bundle (a torn marker only costs a
    // reseed), and syncing right after the binary's rename made seeding wait
    // for ext4 to flush the whole new binary.
    Status s = h.write(data);
    if (!s.ok()) {
      if (atomically) ::unlink(target.c_str());
      return s;
    }
  }
  if (atomically && ::rename(target.c_str(), path.c_str()) != 0) {
    Status s = Status::Posix(errno);
    ::unlink(target.c_str());
    return s;
  }
  return Status::OK();
}

std::shared_ptr<FileHandle> LinuxFileManager::openForWriting(const std::string& path) {
  if (unusable(path)) return nullptr;
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_shared<FdFileHandle>(fd, true);
}

}  // namespace ql::linux_backend
