// ql-xattr: removes an extended attribute from files, as the platform's
// "xattr -d NAME PATH…" does; with -r from every entry below each PATH too.
//
//   ql-xattr -dr com.apple.quarantine PATH
//
// A name without a namespace lives in Linux's "user." namespace, so the
// download quarantine mark is "user.com.apple.quarantine". Symbolic links are
// never followed: the walk stays inside the tree it was given, and a link
// itself cannot carry a user attribute on Linux.
//
// Exit status: 0 when the attribute is gone from every entry (or was never
// there), 1 when an entry could not be read or changed, 2 on a usage error.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string gAttribute;
int gFailures = 0;

void complain(const char* path, int err) {
  std::fprintf(stderr, "ql-xattr: %s: %s\n", path, std::strerror(err));
  ++gFailures;
}

// Absent, or a file system that cannot hold attributes at all: either way
// the attribute is not on this entry.
bool gone(int err) { return err == ENODATA || err == ENOTSUP; }

// Every entry is opened once, relative to its folder's descriptor, without
// following a link (O_NOFOLLOW) and without waiting (O_NONBLOCK), and the
// attribute and mode calls act on that descriptor. A folder swapped for a
// link between the listing and the open is then refused, never entered, and
// a chmod can never land on a link's target. FIFOs, sockets and devices
// cannot carry user attributes on Linux and are not opened at all.
void clear(int fd, const std::string& shown) {
  if (::fremovexattr(fd, gAttribute.c_str()) == 0 || gone(errno)) return;
  int err = errno;
  // User attributes follow the write permission: a read-only file of our own
  // (common inside application bundles) is made writable for the removal and
  // then given its mode back.
  struct stat st;
  if (err == EACCES && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
      ::fchmod(fd, (st.st_mode & 07777) | S_IWUSR) == 0) {
    bool removed = ::fremovexattr(fd, gAttribute.c_str()) == 0 || gone(errno);
    err = errno;
    (void)::fchmod(fd, st.st_mode & 07777);
    if (removed) return;
  }
  complain(shown.c_str(), err);
}

void visitAt(int dir, const char* name, const std::string& shown, bool recursive, int depth) {
  struct stat st;
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    complain(shown.c_str(), errno);
    return;
  }
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return;  // links and special files carry no user attributes
  int fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    complain(shown.c_str(), errno);
    return;
  }
  struct stat opened;
  if (::fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    // Swapped since the look: not the entry we were asked about.
    complain(shown.c_str(), EAGAIN);
    ::close(fd);
    return;
  }
  clear(fd, shown);
  if (recursive && S_ISDIR(opened.st_mode)) {
    if (depth > 4096) {
      complain(shown.c_str(), ELOOP);
    } else if (DIR* d = ::fdopendir(::fcntl(fd, F_DUPFD_CLOEXEC, 0))) {
      while (dirent* e = ::readdir(d)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
        visitAt(fd, n, shown + "/" + n, true, depth + 1);  // keep walking: one bad entry must not leave the rest marked
      }
      ::closedir(d);
    } else {
      complain(shown.c_str(), errno);
    }
  }
  ::close(fd);
}

int usage() {
  std::fprintf(stderr, "usage: ql-xattr -d[r] attr_name file ...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool remove = false, recursive = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    }
    for (const char* f = argv[i] + 1; *f; ++f) {
      if (*f == 'd') {
        remove = true;
      } else if (*f == 'r') {
        recursive = true;
      } else {
        return usage();
      }
    }
  }
  if (!remove || argc - i < 2) return usage();
  std::string name = argv[i++];
  if (name.empty()) return usage();
  gAttribute = name.find('.') != std::string::npos &&
                       (name.rfind("user.", 0) == 0 || name.rfind("trusted.", 0) == 0 ||
                        name.rfind("security.", 0) == 0 || name.rfind("system.", 0) == 0)
                   ? name
                   : "user." + name;

  for (; i < argc; ++i) {
    std::string path = argv[i];
    while (path.size() > 1 && path.back() == '/') path.pop_back();  // "link/" would follow the link
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    int dir = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      complain(path.c_str(), errno);
      continue;
    }
    visitAt(dir, leaf == "" ? "." : leaf.c_str(), path, recursive, 0);
    ::close(dir);
  }
  return gFailures == 0 ? 0 : 1;
}
