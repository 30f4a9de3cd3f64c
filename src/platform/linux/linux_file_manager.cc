#include "platform/linux/linux_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/file_handle.h"

namespace ql::linux_backend {

namespace {

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

// The walks below hold a descriptor on every directory they are inside and
// name each entry relative to it (openat, fstatat, unlinkat, mkdirat,
// symlinkat). A directory swapped for a link between our look at it and our
// open of it then fails the open (O_NOFOLLOW|O_DIRECTORY) instead of leading
// the walk into the link's target.

// The leaf and the folder that holds it, "." for a bare name.
std::pair<std::string, std::string> splitParent(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string stripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

Result<std::string> readLinkAt(int dirFd, const char* name) {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlinkat(dirFd, name, buf.data(), buf.size());
    if (n < 0) return Status::Posix(errno);
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

int openDirectoryAt(int dirFd, const char* name) {
  return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// Whether the file system has shown, during one copy, that it lacks a fast
// path: tried once per copy, not once per file.
struct CopyPaths {
  bool clone = true;
  bool copyRange = true;
};

bool unsupported(int err) {
  return err == EOPNOTSUPP || err == ENOTTY || err == EXDEV || err == EINVAL || err == ENOSYS || err == EBADF ||
         err == ETXTBSY || err == EPERM;
}

// The kernel's fastest copy first: a reflink (FICLONE) shares the extents
// and costs no data I/O at all; copy_file_range copies inside the kernel
// (and reflinks on its own where it can); plain reads and writes are the
// fallback for file systems with neither. copy_file_range and read/write
// both continue from the descriptors' offsets, so a fallback in mid-file
// resumes where the faster path stopped.
Status copyContents(int in, int out, off_t size, CopyPaths& paths) {
  if (size <= 0) return Status::OK();
  if (paths.clone) {
    if (::ioctl(out, FICLONE, in) == 0) return Status::OK();
    if (!unsupported(errno)) return Status::Posix(errno);
    paths.clone = false;
  }
  off_t done = 0;
  while (paths.copyRange && done < size) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(size - done), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!unsupported(errno)) return Status::Posix(errno);
      paths.copyRange = false;
      break;
    }
    if (n == 0) return Status::OK();  // the file shrank while we copied
    done += n;
  }
  if (done >= size) return Status::OK();
  std::vector<char> buf(size_t(1) << 17);
  while (done < size) {
    ssize_t n = ::read(in, buf.data(), std::min(buf.size(), static_cast<size_t>(size - done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Posix(errno);
    }
    if (n == 0) break;
    Status s = writeAll(out, std::string_view(buf.data(), static_cast<size_t>(n)));
    if (!s.ok()) return s;
    done += n;
  }
  return Status::OK();
}

// Carries the user.* extended attributes over, as a copy on macOS keeps its
// extended attributes: a downloaded bundle's quarantine mark must survive the
// install copy so that the quarantine step has something to clear. Other
// namespaces (security.*, trusted.*) belong to the system's policy, not to
// the file, and are left to it. Most entries carry none, and one empty list
// is all they cost; a file system without attributes is not an error.
void copyUserXattrs(int from, int to) {
  ssize_t len = ::flistxattr(from, nullptr, 0);
  if (len <= 0) return;
  std::vector<char> names(static_cast<size_t>(len));
  len = ::flistxattr(from, names.data(), names.size());
  if (len <= 0) return;
  for (size_t i = 0; i < static_cast<size_t>(len);) {
    std::string name(&names[i]);
    i += name.size() + 1;
    if (name.rfind("user.", 0) != 0) continue;
    ssize_t vlen = ::fgetxattr(from, name.c_str(), nullptr, 0);
    if (vlen < 0) continue;
    std::vector<char> value(static_cast<size_t>(vlen) + 1);
    vlen = ::fgetxattr(from, name.c_str(), value.data(), value.size());
    if (vlen < 0) continue;
    (void)::fsetxattr(to, name.c_str(), value.data(), static_cast<size_t>(vlen), 0);
  }
}

// The processors this process may run on (its affinity mask, which a
// container or taskset narrows), at least one.
unsigned usableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// A regular file whose entry the walk has made: both ends are open, the
// source checked to be a regular file, the copy created by us (O_EXCL) and
// still private (0600). What is left goes through these two descriptors
// only, so it needs neither the names nor the folders any more.
struct ContentJob {
  UniqueFd in, out;
  off_t size = 0;
  mode_t mode = 0;
  size_t order = 0;   // the file's place in the walk
  std::string shown;  // its source path, for the test observer
};

// Copies file contents on worker threads while the walk goes on creating
// entries. The copy of a tree on ext4 without reflinks is mostly the kernel
// copying page-cache pages, one file at a time on one core; the walk (opens,
// mkdir, fstat, symlink) is usually the smaller part. Handing the contents
// to workers puts the other cores to work without changing what the walk
// does or in which order it creates entries. (Creating files stays on the
// walk; on ext4 without a journal it is the slow part for minutes after a
// large tree was removed, as each new inode is checked against recently
// deleted ones.)
//
// The queue holds at most kMaxPending files, two descriptors each, so a
// folder of many thousand files cannot exhaust the descriptor limit; when it
// is full the walk copies the oldest file itself. Files start in walk order,
// so the error of the earliest failing file is the one kept, as a copy on
// one thread would have stopped there; once a file failed, nothing more is
// started and the walk stops at its next entry.
class ContentCopier {
 public:
  // 128 descriptors at most in the queue: deep enough that a worker never
  // waits for the walk, far below the usual limit of 1024 per process.
  static constexpr size_t kMaxPending = 64;

  ContentCopier(unsigned workers, const std::function<Status(const std::string&)>* observer)
      : wanted_(workers), observer_(observer) {}
  ~ContentCopier() { (void)finish(); }
  ContentCopier(const ContentCopier&) = delete;
  ContentCopier& operator=(const ContentCopier&) = delete;

  bool failed() const { return failed_.load(std::memory_order_acquire); }

  // Takes the file over; its descriptors are closed by the time finish()
  // returns, copied or, after a failure elsewhere, not.
  void submit(ContentJob job) {
    if (failed()) return;
    startWorkers();
    if (workers_.empty()) {
      run(job, walkPaths_);
      return;
    }
    std::unique_lock<std::mutex> lock(mu_);
    while (queue_.size() >= kMaxPending && !failed()) {
      ContentJob oldest = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      run(oldest, walkPaths_);
      lock.lock();
    }
    if (failed()) return;
    queue_.push_back(std::move(job));
    lock.unlock();
    ready_.notify_one();
  }

  // Waits for every file handed over, joins the workers and gives the error
  // of the first file in walk order that failed. The walk is over, so its
  // thread takes files from the queue too rather than wait idle.
  Status finish() {
    {
      std::unique_lock<std::mutex> lock(mu_);
      while (!queue_.empty() && !failed()) {
        ContentJob oldest = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        run(oldest, walkPaths_);
        oldest = ContentJob();
        lock.lock();
      }
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    queue_.clear();  // left only after a failure: never started
    std::lock_guard<std::mutex> lock(mu_);
    return firstError_;
  }

 private:
  // At the first file, so a copy of a link or of empty folders starts no
  // thread. A thread that cannot be started leaves its share to the ones
  // that could, or to the walk.
  void startWorkers() {
    if (started_) return;
    started_ = true;
    for (unsigned i = 0; i < wanted_; ++i) {
      try {
        workers_.emplace_back([this] { workerLoop(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  void workerLoop() {
    CopyPaths paths;  // each thread learns on its own what the file system lacks
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left
      ContentJob job = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      if (!failed()) run(job, paths);
      job = ContentJob();  // its descriptors closed outside the lock
      lock.lock();
    }
  }

  void run(ContentJob& job, CopyPaths& paths) {
    Status s = copyFile(job, paths);
    if (s.ok()) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (firstError_.ok() || job.order < firstErrorOrder_) {
      firstError_ = s;
      firstErrorOrder_ = job.order;
    }
    failed_.store(true, std::memory_order_release);
  }

  Status copyFile(ContentJob& job, CopyPaths& paths) {
    if (observer_ && *observer_) {
      Status s = (*observer_)(job.shown);
      if (!s.ok()) return s;
    }
    Status s = copyContents(job.in.get(), job.out.get(), job.size, paths);
    if (!s.ok()) return s;
    copyUserXattrs(job.in.get(), job.out.get());
    if (::fchmod(job.out.get(), job.mode) != 0) return Status::Posix(errno);
    return Status::OK();
  }

  const unsigned wanted_;
  const std::function<Status(const std::string&)>* observer_;
  bool started_ = false;          // the walking thread's alone
  CopyPaths walkPaths_;           // the walking thread's alone
  std::vector<std::thread> workers_;
  std::atomic<bool> failed_{false};
  std::mutex mu_;
  std::condition_variable ready_;
  std::deque<ContentJob> queue_;  // guarded by mu_, as are the three below
  bool stopping_ = false;
  Status firstError_;
  size_t firstErrorOrder_ = 0;
};

class TreeWalk {
 public:
  // `copier` takes the contents of regular files; only copyEntry needs one.
  explicit TreeWalk(const std::function<void(const std::string&)>* observer, ContentCopier* copier = nullptr)
      : observer_(observer), copier_(copier) {}

  // Copies the entry `name` of `srcDir` to the new entry `newName` of
  // `dstDir`. `type` is what readdir said it is (DT_UNKNOWN: not known).
  Status copyEntry(int srcDir, const char* name, int dstDir, const char* newName, unsigned char type,
                   const std::string& shown) {
    // A file copied on another thread failed: its error is the copy's (see
    // copyItem), and nothing more is made.
    if (copier_->failed()) return Status::Posix(ECANCELED);
    const size_t order = entries_++;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(srcDir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Status::Posix(errno);
      type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_FIFO;
    }
    observe(shown);
    if (type == DT_LNK) {
      Result<std::string> text = readLinkAt(srcDir, name);
      if (!text.ok()) return text.status();
      if (::symlinkat(text->c_str(), dstDir, newName) != 0) return Status::Posix(errno);
      return Status::OK();
    }
    if (type == DT_DIR) {
      UniqueFd src(openDirectoryAt(srcDir, name));
      if (src.get() < 0) return Status::Posix(errno);
      struct stat st;
      if (::fstat(src.get(), &st) != 0) return Status::Posix(errno);
      if (::mkdirat(dstDir, newName, 0700) != 0) return Status::Posix(errno);
      UniqueFd dst(openDirectoryAt(dstDir, newName));
      if (dst.get() < 0) return Status::Posix(errno);
      Status s = copyChildren(src.get(), dst.get(), shown);
      if (!s.ok()) return s;
      copyUserXattrs(src.get(), dst.get());
      // The mode last: a read-only folder still had to take its entries.
      if (::fchmod(dst.get(), st.st_mode & 07777) != 0) return Status::Posix(errno);
      return Status::OK();
    }
    if (type == DT_REG) {
      UniqueFd in(::openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (in.get() < 0) return Status::Posix(errno);
      struct stat st;
      if (::fstat(in.get(), &st) != 0) return Status::Posix(errno);
      if (!S_ISREG(st.st_mode)) return Status::Posix(ENOTSUP);
      UniqueFd out(::openat(dstDir, newName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (out.get() < 0) return Status::Posix(errno);
      // The contents, attributes and mode go through the two descriptors
      // alone, so they can follow later on another thread: a folder made
      // read-only below does not stop a write through an open descriptor.
      copier_->submit({std::move(in), std::move(out), st.st_size, st.st_mode & 07777, order, shown});
      return Status::OK();
    }
    // Devices, sockets and FIFOs have no place in a bundle.
    return Status::Posix(ENOTSUP);
  }

  // Removes the entry `name` of `dir`: a directory with everything in it,
  // anything else (a link included) by its name alone.
  Status removeEntry(int dir, const char* name, const std::string& shown) {
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Status::Posix(errno);
    if (!S_ISDIR(st.st_mode)) return unlinkAt(dir, name, 0);
    observe(shown);
    {
      UniqueFd sub(openDirectoryAt(dir, name));
      if (sub.get() < 0) {
        // Swapped for a link or a file since the look: what is there now is
        // removed by its name, never entered.
        if (errno == ELOOP || errno == ENOTDIR) return unlinkAt(dir, name, 0);
        return Status::Posix(errno);
      }
      Status first;
      Status listed = forEachChild(sub.get(), [&](const char* child, unsigned char, const std::string& path) {
        Status s = removeEntry(sub.get(), child, path);
        if (!s.ok() && first.ok()) first = s;
        return Status::OK();  // keep going: remove what can be removed
      }, shown);
      if (!listed.ok()) return listed;
      if (!first.ok()) return first;
    }
    return unlinkAt(dir, name, AT_REMOVEDIR);
  }

 private:
  static Status unlinkAt(int dir, const char* name, int flags) {
    if (::unlinkat(dir, name, flags) != 0) return Status::Posix(errno);
    return Status::OK();
  }

  void observe(const std::string& path) {
    if (observer_ && *observer_) (*observer_)(path);
  }

  Status copyChildren(int src, int dst, const std::string& shown) {
    return forEachChild(src, [&](const char* child, unsigned char type, const std::string& path) {
      return copyEntry(src, child, dst, child, type, path);
    }, shown);
  }

  // Lists `dir` through a duplicate of its descriptor (closedir closes the
  // duplicate; `dir` stays ours) and stops at the first error `visit` gives.
  template <typename Visit>
  static Status forEachChild(int dir, Visit visit, const std::string& shown) {
    int dup = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) return Status::Posix(errno);
    DIR* d = ::fdopendir(dup);
    if (!d) {
      Status s = Status::Posix(errno);
      ::close(dup);
      return s;
    }
    ::rewinddir(d);
    Status result;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
      const char* n = e->d_name;
      if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
      result = visit(n, e->d_type, shown + "/" + n);
      if (!result.ok()) break;
      errno = 0;
    }
    if (result.ok() && errno != 0) result = Status::Posix(errno);
    ::closedir(d);
    return result;
  }

  const std::function<void(const std::string&)>* observer_;
  ContentCopier* copier_;
  size_t entries_ = 0;  // entries met so far by copyEntry: the walk order
};

// The folder that will hold (or holds) `leaf`, opened as the caller named
// it: links on the way to it are the caller's, only the walk below is ours.
// O_PATH: the *at calls need no read permission on it, as unlink(2) of a
// path needs none on its folder.
Result<UniqueFd> openParent(const std::string& parent) {
  UniqueFd fd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return Status::Posix(errno);
  return fd;
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
  if (unusablePath(path) || ::lstat(path.c_str(), &st) != 0) return EntryType::kNone;
  if (S_ISDIR(st.st_mode)) return EntryType::kDirectory;
  if (S_ISLNK(st.st_mode)) return EntryType::kSymbolicLink;
  if (S_ISREG(st.st_mode)) return EntryType::kRegular;
  return EntryType::kOther;
}

std::optional<std::string> LinuxFileManager::linkText(const std::string& path) {
  if (unusablePath(path)) return std::nullopt;
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

std::string LinuxFileManager::resolvedPath(const std::string& path) {
  if (unusablePath(path)) return path;
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
  return !unusablePath(path) && ::stat(path.c_str(), &st) == 0;
}

bool LinuxFileManager::fileExists(const std::string& path, bool* isDirectory) {
  struct stat st;
  if (unusablePath(path) || ::stat(path.c_str(), &st) != 0) return false;
  if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
  return true;
}

bool LinuxFileManager::isExecutableFile(const std::string& path) {
  struct stat st;
  if (unusablePath(path) || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::access(path.c_str(), X_OK) == 0;
}

bool LinuxFileManager::isWritableFile(const std::string& path) {
  return !unusablePath(path) && ::access(path.c_str(), W_OK) == 0;
}

Status LinuxFileManager::createDirectory(const std::string& path, bool withIntermediates) {
  if (unusablePath(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
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
  Result<UniqueFd> fd = openEmptiedForWriting(path, 0644);
  return fd.ok() ? Status::OK() : fd.status();
}

Status LinuxFileManager::removeItem(const std::string& path) {
  if (unusablePath(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  // "link/" would make the kernel follow the link, and the walk would then
  // empty its target. Without the trailing slashes the link itself goes.
  std::string p = stripTrailingSlashes(path);
  if (p == "/") return Status::Posix(EBUSY);
  auto [parent, leaf] = splitParent(p);
  Result<UniqueFd> dir = openParent(parent);
  if (!dir.ok()) return dir.status();
  return TreeWalk(&walkObserver_).removeEntry(dir->get(), leaf.c_str(), p);
}

Status LinuxFileManager::copyItem(const std::string& from, const std::string& to) {
  if (unusablePath(from) || unusablePath(to)) return Status::Posix(EINVAL);
  std::string src = stripTrailingSlashes(from), dst = stripTrailingSlashes(to);
  if (entryType(dst) != EntryType::kNone) return Status::Posix(EEXIST);
  auto [srcParent, srcLeaf] = splitParent(src);
  auto [dstParent, dstLeaf] = splitParent(dst);
  if (src == "/" || dst == "/") return Status::Posix(EINVAL);
  Result<UniqueFd> srcDir = openParent(srcParent);
  if (!srcDir.ok()) return srcDir.status();
  Result<UniqueFd> dstDir = openParent(dstParent);
  if (!dstDir.ok()) return dstDir.status();
  // The top entry is copied as any entry below it: a link as a link, a
  // folder walked by descriptor, a file by its contents.
  ContentCopier copier(copyWorkers_.value_or(usableProcessors() - 1), &contentObserver_);
  Status walked = TreeWalk(&walkObserver_, &copier)
                      .copyEntry(srcDir->get(), srcLeaf.c_str(), dstDir->get(), dstLeaf.c_str(), DT_UNKNOWN, src);
  // Every file handed over came before the point where the walk stopped, so
  // a failed file is earlier in walk order than whatever stopped the walk.
  Status contents = copier.finish();
  return contents.ok() ? walked : contents;
}

Status LinuxFileManager::copyFileLimitingPermissions(const std::string& from, const std::string& to,
                                                     unsigned allowed) {
  if (unusablePath(from) || unusablePath(to)) return Status::Posix(EINVAL);
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
  // The copy's blocks up front: a full disk fails here, before any data is
  // written, and the file has no delayed allocation left when it is renamed
  // over a binary, which ext4 would otherwise write out inside that rename
  // and make the next metadata change (the seed marker) wait for.
  // KEEP_SIZE: the size still grows only with what is copied.
  if (st.st_size > 0 && ::fallocate(out.get(), FALLOC_FL_KEEP_SIZE, 0, st.st_size) != 0 && errno == ENOSPC)
    return Status::Posix(ENOSPC);
  CopyPaths paths;
  Status s = copyContents(in.get(), out.get(), st.st_size, paths);
  if (!s.ok()) return s;
  if (::fchmod(out.get(), st.st_mode & allowed & 07777) != 0) return Status::Posix(errno);
  return Status::OK();
}

// Below this size the old file's release costs less than handing it over.
constexpr off_t kDeferredReleaseMinSize = off_t(4) << 20;

Status LinuxFileManager::rename(const std::string& from, const std::string& to) {
  if (unusablePath(from) || unusablePath(to)) return Status::Posix(EINVAL);
  // A reference to what `to` names now keeps the file alive through the
  // rename when this name is its last link. O_PATH opens nothing (no FIFO
  // waits, no device driver runs) and O_NOFOLLOW keeps a link a link; only a
  // large regular file is worth holding. If the name is swapped in between,
  // the reference is to some other file, which is only closed later.
  UniqueFd old(::open(to.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (old.get() >= 0) {
    struct stat st;
    if (::fstat(old.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        st.st_size < kDeferredReleaseMinSize)
      old.reset();
  }
  if (::rename(from.c_str(), to.c_str()) != 0) return Status::Posix(errno);
  release_->close(old.release());
  return Status::OK();
}

Status LinuxFileManager::exchange(const std::string& a, const std::string& b) {
  if (unusablePath(a) || unusablePath(b)) return Status::Posix(EINVAL);
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0)
    return Status::Posix(errno);
  return Status::OK();
}

Status LinuxFileManager::createSymbolicLink(const std::string& path, const std::string& destination) {
  if (unusablePath(path) || unusablePath(destination)) return Status::Posix(EINVAL);
  if (::symlink(destination.c_str(), path.c_str()) != 0) return Status::Posix(errno);
  return Status::OK();
}

Status LinuxFileManager::setUserImmutable(const std::string& path, bool immutable) {
  // O_NOFOLLOW|O_PATH cannot carry ioctls; a link has no flags of its own.
  // On a device node or FIFO the ioctl would reach the driver, not the file
  // system, so only files and directories are touched.
  EntryType type = entryType(path);
  if (type == EntryType::kNone) return Status::Posix(unusablePath(path) ? EINVAL : ENOENT);
  if (type != EntryType::kRegular && type != EntryType::kDirectory) return Status::Posix(ENOTSUP);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return Status::Posix(errno);
  // The name may have been swapped since the look above: judge what we hold.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Status::Posix(errno);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return Status::Posix(ENOTSUP);
  int flags = 0;
  if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return Status::Posix(errno);
  int wanted = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  if (wanted == flags) return Status::OK();
  if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &wanted) != 0) return Status::Posix(errno);
  return Status::OK();
}

Result<std::vector<std::string>> LinuxFileManager::contentsOfDirectory(const std::string& path) {
  if (unusablePath(path)) return Status::Posix(path.empty() ? ENOENT : EINVAL);
  // Listing follows a final link, as a listing of a folder named through a
  // link does everywhere; nothing is opened below it here.
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Status::Posix(errno);
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    Status s = Status::Posix(errno);
    ::close(fd);
    return s;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  return names;
}

Result<std::string> LinuxFileManager::readFile(const std::string& path, size_t maxBytes) {
  // Reading follows a final link (config.toml is often a managed dotfile);
  // what the link reaches must still be a regular file within the bound.
  return readRegularFile(path, maxBytes, /*followLink=*/true);
}

Status LinuxFileManager::writeFile(const std::string& path, std::string_view data, bool atomically) {
  // No fsync either way: the one atomic writer, the seed marker, is
  // re-derived from the bundle (a torn marker only costs a reseed), and
  // syncing right after the binary's rename made seeding wait for ext4 to
  // flush the whole new binary.
  if (atomically) return replaceFileContents(path, data, 0644);
  Result<UniqueFd> fd = openEmptiedForWriting(path, 0644);
  if (!fd.ok()) return fd.status();
  return writeAll(fd->get(), data);
}

std::shared_ptr<FileHandle> LinuxFileManager::openForWriting(const std::string& path) {
  if (unusablePath(path)) return nullptr;
  // Never through a link, never a FIFO (O_NONBLOCK gives ENXIO at once when
  // nobody reads it, and fstat refuses it when someone does), and never a
  // file that other names share: writes land at offset 0 of what we open.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return nullptr;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return nullptr;
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return std::make_shared<FdFileHandle>(fd.release(), true);
}

}  // namespace ql::linux_backend
