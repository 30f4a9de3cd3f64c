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
#include <errno.h>
#include <ftw.h>
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

void removeFrom(const char* path, bool isLink) {
  if (isLink) return;  // user attributes are not allowed on links
  if (::lremovexattr(path, gAttribute.c_str()) == 0 || gone(errno)) return;
  int err = errno;
  // User attributes follow the write permission: a read-only file of our own
  // (common inside application bundles) is made writable for the removal and
  // then given its mode back.
  struct stat st;
  if (err == EACCES && ::lstat(path, &st) == 0 && st.st_uid == ::geteuid() &&
      (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) && ::chmod(path, (st.st_mode & 07777) | S_IWUSR) == 0) {
    bool removed = ::lremovexattr(path, gAttribute.c_str()) == 0 || gone(errno);
    err = errno;
    (void)::chmod(path, st.st_mode & 07777);
    if (removed) return;
  }
  complain(path, err);
}

int visit(const char* path, const struct stat* st, int type, struct FTW*) {
  switch (type) {
    case FTW_NS:
      complain(path, errno ? errno : EACCES);
      break;
    case FTW_DNR:
      // The directory itself can still be cleared; its entries cannot be seen.
      removeFrom(path, false);
      complain(path, EACCES);
      break;
    case FTW_SL:
    case FTW_SLN:
      removeFrom(path, true);
      break;
    default:
      removeFrom(path, st && S_ISLNK(st->st_mode));
      break;
  }
  return 0;  // keep walking: one bad entry must not leave the rest marked
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
    const char* path = argv[i];
    struct stat st;
    if (::lstat(path, &st) != 0) {
      complain(path, errno);
      continue;
    }
    if (!recursive || !S_ISDIR(st.st_mode)) {
      removeFrom(path, S_ISLNK(st.st_mode));
      continue;
    }
    // FTW_PHYS: links are reported, never followed.
    if (::nftw(path, visit, 32, FTW_PHYS) != 0) complain(path, errno);
  }
  return gFailures == 0 ? 0 : 1;
}
