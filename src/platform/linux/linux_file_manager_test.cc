// The file manager on the real file system: what the data-directory code
// and the seeding rely on, including the ways a path can try to mislead it.
#include "platform/linux/linux_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/linux/file_handle.h"
#include "tests/fakes/test_platform.h"

namespace ql::linux_backend {
namespace {

using ::ql::testing::makeDirs;
using ::ql::testing::makeLink;
using ::ql::testing::readFile;
using ::ql::testing::TempDir;
using ::ql::testing::writeFile;

class LinuxFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r = tmp.path();
    makeDirs(r + "/dir/sub");
    writeFile(r + "/dir/file", "data");
    makeLink(r + "/link-dir", r + "/dir");
    makeLink(r + "/rel-link", "dir/file");
    makeLink(r + "/dangling", r + "/nowhere");
    ASSERT_EQ(::mkfifo((r + "/fifo").c_str(), 0600), 0);
  }
  TempDir tmp;
  std::string r;
  LinuxFileManager fm;
};

TEST_F(LinuxFileManagerTest, EntryTypeDoesNotFollowAFinalLink) {
  struct {
    std::string path;
    EntryType want;
  } cases[] = {
      {r + "/dir", EntryType::kDirectory},
      {r + "/dir/file", EntryType::kRegular},
      {r + "/link-dir", EntryType::kSymbolicLink},
      {r + "/dangling", EntryType::kSymbolicLink},
      {r + "/fifo", EntryType::kOther},
      {r + "/link-dir/file", EntryType::kRegular},  // links before the last component are followed
      {r + "/missing", EntryType::kNone},
      {r + "/dir/file/below", EntryType::kNone},
      {"", EntryType::kNone},
      {r + "/dir" + std::string(1, '\0') + "x", EntryType::kNone},  // not cut short at the NUL
  };
  for (const auto& c : cases) EXPECT_EQ(fm.entryType(c.path), c.want) << c.path;
}

TEST_F(LinuxFileManagerTest, LinkTextIsWhatTheLinkStores) {
  EXPECT_EQ(fm.linkText(r + "/link-dir"), r + "/dir");
  EXPECT_EQ(fm.linkText(r + "/rel-link"), "dir/file");
  EXPECT_EQ(fm.linkText(r + "/dangling"), r + "/nowhere");
  EXPECT_EQ(fm.linkText(r + "/dir"), std::nullopt);
  EXPECT_EQ(fm.linkText(r + "/missing"), std::nullopt);
  // The longest text Linux stores (PATH_MAX - 1 bytes) comes back whole.
  std::string longText = "/" + std::string(PATH_MAX - 2, 'x');
  makeLink(r + "/long", longText);
  EXPECT_TRUE(fm.linkText(r + "/long") == longText);
}

TEST_F(LinuxFileManagerTest, ResolvedPathResolvesExistingPartKeepsMissingTail) {
  makeLink(r + "/loop-a", r + "/loop-b");
  makeLink(r + "/loop-b", r + "/loop-a");
  makeLink(r + "/dir/up", "..");
  struct {
    std::string path;
    std::string want;
  } cases[] = {
      {r + "/dir", r + "/dir"},
      {r + "/link-dir", r + "/dir"},
      {r + "/link-dir/file", r + "/dir/file"},
      {r + "/rel-link", r + "/dir/file"},                         // relative to the link's folder
      {r + "/dangling", r + "/nowhere"},                          // followed, then missing
      {r + "/link-dir/missing/deeper", r + "/dir/missing/deeper"},  // missing tail as written
      {r + "/dir/up/dir/file", r + "/dir/file"},                  // ".." in a link text, physically
      {r + "/link-dir/../dir", r + "/dir"},                       // ".." after a link: the target's parent
      {r + "/./dir//sub/", r + "/dir/sub"},
      {r + "/loop-a", r + "/loop-a"},                             // a loop ends, kept as written
      {r + "/loop-a/x", r + "/loop-a/x"},
  };
  for (const auto& c : cases) EXPECT_EQ(fm.resolvedPath(c.path), c.want) << c.path;

  // Relative paths are taken against the working directory.
  std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(::chdir(r.c_str()), 0);
  EXPECT_EQ(fm.resolvedPath("link-dir/file"), r + "/dir/file");
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

TEST_F(LinuxFileManagerTest, ExistenceFollowsLinks) {
  bool isDir = false;
  EXPECT_TRUE(fm.fileExists(r + "/link-dir", &isDir));
  EXPECT_TRUE(isDir);
  EXPECT_TRUE(fm.fileExists(r + "/rel-link", &isDir));
  EXPECT_FALSE(isDir);
  EXPECT_FALSE(fm.fileExists(r + "/dangling"));
  EXPECT_FALSE(fm.fileExists(r + "/dir/file" + std::string(1, '\0')));
}

TEST_F(LinuxFileManagerTest, RemovalTakesTheLinkNeverItsTarget) {
  // A directory holding links to data outside it.
  makeDirs(r + "/plant");
  makeLink(r + "/plant/to-dir", r + "/dir");
  makeLink(r + "/plant/to-file", r + "/dir/file");
  makeDirs(r + "/plant/nested/deeper");
  ASSERT_TRUE(fm.removeItem(r + "/plant").ok());
  EXPECT_EQ(fm.entryType(r + "/plant"), EntryType::kNone);

  // A link given with a trailing slash is still the link.
  for (std::string slashes : {"", "/", "//"}) {
    makeLink(r + "/link-dir2", r + "/dir");
    ASSERT_TRUE(fm.removeItem(r + "/link-dir2" + slashes).ok()) << slashes;
    EXPECT_EQ(fm.entryType(r + "/link-dir2"), EntryType::kNone) << slashes;
  }
  ASSERT_TRUE(fm.removeItem(r + "/dangling").ok());
  EXPECT_EQ(readFile(r + "/dir/file"), "data");
  EXPECT_EQ(fm.entryType(r + "/dir/sub"), EntryType::kDirectory);
  EXPECT_EQ(fm.entryType(r + "/link-dir"), EntryType::kSymbolicLink);

  EXPECT_EQ(fm.removeItem(r + "/missing").code(), ENOENT);
  // A folder we may enter but not list still gives up a named entry, as
  // unlink(2) would (root bypasses the permission, so only its outcome shows).
  makeDirs(r + "/no-list");
  writeFile(r + "/no-list/f", "x");
  ASSERT_EQ(::chmod((r + "/no-list").c_str(), 0300), 0);
  EXPECT_TRUE(fm.removeItem(r + "/no-list/f").ok());
  ASSERT_EQ(::chmod((r + "/no-list").c_str(), 0700), 0);
  EXPECT_FALSE(fm.removeItem("").ok());
  // Cut at the NUL this would name the whole directory.
  EXPECT_EQ(fm.removeItem(r + "/dir" + std::string(1, '\0') + "x").code(), EINVAL);
  EXPECT_EQ(fm.entryType(r + "/dir"), EntryType::kDirectory);
}

TEST_F(LinuxFileManagerTest, RenameMovesEntriesAndReportsFailure) {
  ASSERT_TRUE(fm.rename(r + "/link-dir", r + "/moved-link").ok());
  EXPECT_EQ(fm.linkText(r + "/moved-link"), r + "/dir");
  EXPECT_EQ(fm.entryType(r + "/dir"), EntryType::kDirectory);  // the target stays

  ASSERT_TRUE(fm.rename(r + "/dir/sub", r + "/sub2").ok());
  EXPECT_EQ(fm.entryType(r + "/sub2"), EntryType::kDirectory);

  EXPECT_EQ(fm.rename(r + "/missing", r + "/x").code(), ENOENT);
  makeDirs(r + "/full/child");
  EXPECT_FALSE(fm.rename(r + "/sub2", r + "/full").ok());  // non-empty directory in the way
  EXPECT_EQ(fm.entryType(r + "/full/child"), EntryType::kDirectory);

  ASSERT_TRUE(fm.createSymbolicLink(r + "/made", "some/text").ok());
  EXPECT_EQ(fm.linkText(r + "/made"), "some/text");
  EXPECT_EQ(fm.createSymbolicLink(r + "/made", "other").code(), EEXIST);
}

TEST_F(LinuxFileManagerTest, ImmutableFlag) {
  std::string d = r + "/guarded";
  makeDirs(d);
  Status set = fm.setUserImmutable(d, true);
  if (!set.ok()) {
    GTEST_SKIP() << "FS_IOC_SETFLAGS refused (" << set.localizedDescription()
                 << "): needs CAP_LINUX_IMMUTABLE on a file system that keeps the flag";
  }
  EXPECT_EQ(fm.rename(d, r + "/elsewhere").code(), EPERM);
  EXPECT_FALSE(fm.removeItem(d).ok());
  ASSERT_TRUE(fm.setUserImmutable(d, false).ok());
  EXPECT_TRUE(fm.setUserImmutable(d, false).ok());  // already clear
  EXPECT_TRUE(fm.rename(d, r + "/elsewhere").ok());

  // Never through a link, and never on a FIFO or device.
  EXPECT_EQ(fm.setUserImmutable(r + "/link-dir", true).code(), ENOTSUP);
  EXPECT_EQ(fm.setUserImmutable(r + "/fifo", true).code(), ENOTSUP);
  EXPECT_EQ(fm.setUserImmutable(r + "/missing", false).code(), ENOENT);
  EXPECT_TRUE(fm.rename(r + "/dir", r + "/dir-moved").ok());  // the link's target was not flagged
}

TEST_F(LinuxFileManagerTest, CopyKeepsModesAndLinks) {
  std::string src = r + "/tree";
  makeDirs(src + "/bin");
  writeFile(src + "/bin/tool", "#!/bin/sh\n", 0750);
  writeFile(src + "/secret", "s", 0600);
  makeLink(src + "/current", "bin/tool");
  ASSERT_EQ(::chmod((src + "/bin").c_str(), 0710), 0);

  ASSERT_TRUE(fm.copyItem(src, r + "/copy").ok());
  auto mode = [](const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFFu;
  };
  EXPECT_EQ(mode(r + "/copy/bin/tool"), 0750u);
  EXPECT_EQ(mode(r + "/copy/secret"), 0600u);
  EXPECT_EQ(mode(r + "/copy/bin"), 0710u);
  EXPECT_EQ(fm.linkText(r + "/copy/current"), "bin/tool");
  EXPECT_EQ(readFile(r + "/copy/bin/tool"), "#!/bin/sh\n");

  EXPECT_EQ(fm.copyItem(src, r + "/copy").code(), EEXIST);
  EXPECT_EQ(fm.copyItem(r + "/fifo", r + "/fifo-copy").code(), ENOTSUP);
}

// The seeding copy: never wider than allowed, never through a link, never
// stalled by a FIFO.
TEST_F(LinuxFileManagerTest, LimitedCopyDropsEveryPermissionBitNotAllowed) {
  auto mode = [](const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFFu;
  };
  struct Row {
    unsigned source, copy;
  } table[] = {{04777, 0755}, {02755, 0755}, {01775, 0755}, {0777, 0755}, {0700, 0700}, {0500, 0500}, {0644, 0644}};
  for (const Row& row : table) {
    SCOPED_TRACE(row.source);
    std::string src = r + "/src", dst = r + "/dst";
    writeFile(src, "#!/bin/sh\n", 0600);
    ASSERT_EQ(::chmod(src.c_str(), row.source), 0);
    ASSERT_TRUE(fm.copyFileLimitingPermissions(src, dst, 0755).ok());
    EXPECT_EQ(mode(dst), row.copy);
    EXPECT_EQ(readFile(dst), "#!/bin/sh\n");
    ::chmod(src.c_str(), 0600);
    ASSERT_EQ(::unlink(src.c_str()), 0);
    ASSERT_EQ(::unlink(dst.c_str()), 0);
  }
  EXPECT_EQ(fm.copyFileLimitingPermissions(r + "/rel-link", r + "/c1", 0755).code(), ELOOP);
  EXPECT_EQ(fm.copyFileLimitingPermissions(r + "/fifo", r + "/c2", 0755).code(), ENOTSUP);
  EXPECT_EQ(fm.copyFileLimitingPermissions(r + "/dir", r + "/c3", 0755).code(), EISDIR);
  EXPECT_EQ(fm.copyFileLimitingPermissions(r + "/dir/file", r + "/dangling", 0755).code(), EEXIST);
  EXPECT_EQ(readFile(r + "/dir/file"), "data");
  EXPECT_EQ(fm.entryType(r + "/nowhere"), EntryType::kNone) << "the dangling link's target was not created";
}

TEST_F(LinuxFileManagerTest, CopyKeepsTheQuarantineMarkOfFilesAndFolders) {
  std::string src = r + "/Q.app";
  makeDirs(src + "/Contents");
  writeFile(src + "/Contents/Info.plist", "<plist/>");
  const char* mark = "0083;65a1b2c3;Browser;";
  if (::setxattr(src.c_str(), "user.com.apple.quarantine", mark, strlen(mark), 0) != 0) {
    GTEST_SKIP() << "no user extended attributes on this file system: " << strerror(errno);
  }
  ASSERT_EQ(::setxattr((src + "/Contents/Info.plist").c_str(), "user.com.apple.quarantine", mark, strlen(mark), 0), 0);
  ASSERT_TRUE(fm.copyItem(src, r + "/copy.app").ok());
  for (const char* p : {"/copy.app", "/copy.app/Contents/Info.plist"}) {
    char buf[64] = {};
    ssize_t n = ::getxattr((r + p).c_str(), "user.com.apple.quarantine", buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), mark) << p;
  }
}

// What a hostile neighbour can leave at a name the launcher is about to
// create or empty. Each write must leave the precious file as it was and
// put a plain file of its own at the name.
struct Plant {
  const char* what;
  std::function<void(const std::string& name, const std::string& precious)> make;
};

std::vector<Plant> plantsAtAName() {
  return {
      {"link to a precious file", [](const std::string& n, const std::string& p) { makeLink(n, p); }},
      {"dangling link", [](const std::string& n, const std::string& p) { makeLink(n, p + ".absent"); }},
      {"link to /dev/zero", [](const std::string& n, const std::string&) { makeLink(n, "/dev/zero"); }},
      {"FIFO", [](const std::string& n, const std::string&) { ASSERT_EQ(::mkfifo(n.c_str(), 0666), 0); }},
      {"socket",
       [](const std::string& n, const std::string&) {
         int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un addr{};
         addr.sun_family = AF_UNIX;
         ASSERT_LT(n.size(), sizeof addr.sun_path);
         std::strcpy(addr.sun_path, n.c_str());
         ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
         ::close(fd);
       }},
      {"hard link to a precious file",
       [](const std::string& n, const std::string& p) { ASSERT_EQ(::link(p.c_str(), n.c_str()), 0); }},
  };
}

TEST_F(LinuxFileManagerTest, WritesReplaceWhatIsPlantedAtTheNameNeverWriteThroughIt) {
  const std::string precious = r + "/encryption.key";
  using Write = std::function<Status(const std::string&)>;
  const std::pair<const char*, Write> writes[] = {
      {"createFile", [&](const std::string& n) { return fm.createFile(n); }},
      {"writeFile", [&](const std::string& n) { return fm.writeFile(n, "mine", false); }},
      {"writeFile atomically", [&](const std::string& n) { return fm.writeFile(n, "mine", true); }},
  };
  // Short socket paths: sun_path holds 108 bytes.
  TempDir shortDir;
  ::alarm(30);  // a write that blocks on a FIFO fails the test instead of hanging it
  for (const Plant& plant : plantsAtAName()) {
    for (const auto& [how, write] : writes) {
      SCOPED_TRACE(std::string(plant.what) + " / " + how);
      writeFile(precious, "the only copy", 0600);
      const std::string name = shortDir.path() + "/app.log";
      ::unlink(name.c_str());
      plant.make(name, precious);
      ASSERT_TRUE(write(name).ok());
      EXPECT_EQ(readFile(precious), "the only copy");
      EXPECT_EQ(fm.entryType(name), EntryType::kRegular);
      struct stat st;
      ASSERT_EQ(::lstat(name.c_str(), &st), 0);
      EXPECT_EQ(st.st_nlink, 1u);  // a fresh file, not another name of the precious one
      EXPECT_EQ(readFile(name), std::string(how) == "createFile" ? "" : "mine");
    }
  }
  ::alarm(0);

  // A directory is refused and left as it is.
  EXPECT_EQ(fm.createFile(r + "/dir").code(), EISDIR);
  EXPECT_EQ(fm.writeFile(r + "/dir", "x", false).code(), EISDIR);
  EXPECT_EQ(readFile(r + "/dir/file"), "data");
}

TEST_F(LinuxFileManagerTest, CreateFileEmptiesAPlainFileInPlace) {
  // Our own file keeps its identity and mode: only its contents go.
  const std::string log = r + "/app.log";
  writeFile(log, "last launch", 0640);
  struct stat before, after;
  ASSERT_EQ(::stat(log.c_str(), &before), 0);
  ASSERT_TRUE(fm.createFile(log).ok());
  ASSERT_EQ(::stat(log.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 0777, 0640u);
  EXPECT_EQ(after.st_size, 0);
  EXPECT_EQ(fm.createFile(r + "/dir/missing-folder/x").code(), ENOENT);
}

TEST_F(LinuxFileManagerTest, OpenForWritingTakesOnlyAPlainFileOfItsOwn) {
  const std::string precious = r + "/precious";
  writeFile(precious, "keep");
  makeLink(r + "/to-precious", precious);
  ASSERT_EQ(::link(precious.c_str(), (r + "/hard").c_str()), 0);
  ::alarm(30);
  EXPECT_EQ(fm.openForWriting(r + "/to-precious"), nullptr);
  EXPECT_EQ(fm.openForWriting(r + "/hard"), nullptr);
  EXPECT_EQ(fm.openForWriting(r + "/fifo"), nullptr);  // no reader: ENXIO at once
  {
    // With a reader holding the FIFO open the open succeeds; the type check refuses it.
    int reader = ::open((r + "/fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(fm.openForWriting(r + "/fifo"), nullptr);
    ::close(reader);
  }
  EXPECT_EQ(fm.openForWriting(r + "/dir"), nullptr);
  ::alarm(0);
  EXPECT_EQ(readFile(precious), "keep");

  auto handle = fm.openForWriting(r + "/dir/file");
  ASSERT_NE(handle, nullptr);
  // A child inherits this descriptor as its stdout: it must block as usual.
  EXPECT_EQ(::fcntl(handle->descriptor(), F_GETFL) & O_NONBLOCK, 0);
  ASSERT_TRUE(handle->write("DA").ok());
  EXPECT_EQ(readFile(r + "/dir/file"), "DAta");
}

// A folder swapped for a link while a walk is on its way into it: the walk
// must fail or take the link itself, never continue inside the link's target.
TEST_F(LinuxFileManagerTest, RemovalNeverFollowsAFolderSwappedForALinkMidWalk) {
  const std::string precious = r + "/precious";
  makeDirs(precious + "/keys");
  writeFile(precious + "/keys/encryption.key", "secret");
  const std::string victim = r + "/victim";
  makeDirs(victim + "/a/b");
  writeFile(victim + "/a/b/f", "x");
  writeFile(victim + "/top", "y");

  fm.setWalkObserverForTesting([&](const std::string& path) {
    if (path != victim + "/a") return;
    // Between our look (a folder) and our open of it.
    ASSERT_EQ(::rename(path.c_str(), (r + "/moved-a").c_str()), 0);
    makeLink(path, precious);
  });
  EXPECT_TRUE(fm.removeItem(victim).ok());
  fm.setWalkObserverForTesting(nullptr);

  EXPECT_EQ(readFile(precious + "/keys/encryption.key"), "secret");
  EXPECT_EQ(fm.entryType(victim), EntryType::kNone);
  EXPECT_EQ(readFile(r + "/moved-a/b/f"), "x");  // moved out of reach, so not ours to remove
}

TEST_F(LinuxFileManagerTest, CopyNeverFollowsAFolderSwappedForALinkMidWalk) {
  const std::string precious = r + "/precious";
  makeDirs(precious);
  writeFile(precious + "/encryption.key", "secret");
  const std::string src = r + "/Q.app";
  makeDirs(src + "/Contents/Resources");
  writeFile(src + "/Contents/Resources/r", "r");

  fm.setWalkObserverForTesting([&](const std::string& path) {
    if (path != src + "/Contents/Resources") return;
    ASSERT_EQ(::rename(path.c_str(), (r + "/moved").c_str()), 0);
    makeLink(path, precious);
  });
  Status copied = fm.copyItem(src, r + "/copy.app");
  fm.setWalkObserverForTesting(nullptr);
  // O_DIRECTORY|O_NOFOLLOW on the link: ENOTDIR (or ELOOP on some kernels).
  EXPECT_TRUE(copied.code() == ENOTDIR || copied.code() == ELOOP) << copied.code();
  EXPECT_FALSE(fm.fileExists(r + "/copy.app/Contents/Resources/encryption.key"));
  EXPECT_EQ(readFile(precious + "/encryption.key"), "secret");
}

TEST_F(LinuxFileManagerTest, CopyContentsAreExactOnEveryCopyPath) {
  // Same file system (reflink or copy_file_range) and, through /dev/shm,
  // another one, where both refuse (EXDEV) and reads and writes take over.
  std::vector<std::string> targets = {r};
  struct stat shm;
  if (::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && ::access("/dev/shm", W_OK) == 0) {
    char tmpl[] = "/dev/shm/ql-copy-XXXXXX";
    if (::mkdtemp(tmpl)) targets.push_back(tmpl);
  }
  std::string src = r + "/sizes";
  makeDirs(src);
  const size_t sizes[] = {0, 1, 4096, (size_t(1) << 17) + 1, (size_t(3) << 20) + 7};
  for (size_t size : sizes) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + size) % 251);
    writeFile(src + "/f" + std::to_string(size), bytes);
  }
  for (const std::string& dir : targets) {
    SCOPED_TRACE(dir);
    ASSERT_TRUE(fm.copyItem(src, dir + "/copy").ok());
    for (size_t size : sizes) {
      std::string name = "/f" + std::to_string(size);
      EXPECT_TRUE(readFile(dir + "/copy" + name) == readFile(src + name)) << size;
    }
    if (dir != r) {
      EXPECT_TRUE(fm.removeItem(dir).ok());
    }
  }
}

// ---------------------------------------------------------------------------
// The copy with its contents on worker threads.

// The names in `dir`, in the order readdir gives them.
std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  return names;
}

std::string userXattrs(const std::string& path) {
  std::vector<char> names(4096);
  ssize_t len = ::llistxattr(path.c_str(), names.data(), names.size());
  std::set<std::string> sorted;
  for (ssize_t i = 0; i < len;) {
    std::string name(&names[static_cast<size_t>(i)]);
    i += static_cast<ssize_t>(name.size()) + 1;
    if (name.rfind("user.", 0) == 0) sorted.insert(name);
  }
  std::string out;
  for (const std::string& name : sorted) {
    char value[256];
    ssize_t n = ::lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
    out += name + "=" + std::string(value, n > 0 ? static_cast<size_t>(n) : 0) + ";";
  }
  return out;
}

// Every entry below `root` by its relative path: type, mode, the link text
// or the bytes, and the user attributes. Two trees with equal records are
// copies of each other in everything copyItem promises to keep.
std::map<std::string, std::string> treeRecords(const std::string& root, const std::string& rel = "") {
  std::map<std::string, std::string> out;
  for (const std::string& name : namesIn(root + rel)) {
    std::string r = rel + "/" + name, p = root + r;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) {
      out[r] = "unreadable";
      continue;
    }
    std::string mode = std::to_string(st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) {
      char text[PATH_MAX];
      ssize_t n = ::readlink(p.c_str(), text, sizeof text);
      out[r] = "link " + std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      out[r] = "dir " + mode + " " + userXattrs(p);
      out.merge(treeRecords(root, r));
    } else if (S_ISREG(st.st_mode)) {
      out[r] = "file " + mode + " " + userXattrs(p) + " " + readFile(p);
    } else {
      out[r] = "other";
    }
  }
  return out;
}

// Where a record differs, say where, rather than printing megabytes.
void expectSameTree(const std::string& source, const std::string& copy) {
  auto want = treeRecords(source), got = treeRecords(copy);
  EXPECT_EQ(want.size(), got.size());
  for (const auto& [rel, record] : want) {
    auto it = got.find(rel);
    if (it == got.end()) {
      ADD_FAILURE() << "missing in the copy: " << rel;
    } else if (it->second != record) {
      ADD_FAILURE() << "differs: " << rel << " (" << record.size() << " against " << it->second.size()
                    << " bytes of record)";
    }
  }
}

size_t threadsOfThisProcess() { return namesIn("/proc/self/task").size(); }
size_t openDescriptors() { return namesIn("/proc/self/fd").size(); }

// Bytes that differ from file to file, so a file's contents written into
// another file's copy shows.
std::string patterned(size_t size, size_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7919 + i / 4096) % 251);
  return bytes;
}

// The bundle's shape in small: many files of many sizes in nested folders,
// executables, read-only files and folders, links of every kind and, where
// the file system keeps them, user attributes on files and folders.
void makeVariedTree(const std::string& src) {
  const size_t sizes[] = {0, 1, 7, 4095, 4096, 4097, 65537, (size_t(1) << 17) + 1, 333333};
  size_t seed = 0;
  for (int d = 0; d < 4; ++d) {
    std::string dir = src + "/Contents/Resources/web/d" + std::to_string(d);
    makeDirs(dir);
    for (int f = 0; f < 60; ++f, ++seed) {
      writeFile(dir + "/f" + std::to_string(f), patterned(sizes[seed % std::size(sizes)], seed));
    }
  }
  makeDirs(src + "/Contents/MacOS");
  writeFile(src + "/Contents/MacOS/Quillmark", patterned((size_t(3) << 20) + 11, 1001), 0755);
  writeFile(src + "/Contents/Resources/bin-quillmark", patterned((size_t(1) << 20) + 3, 1002), 04750);
  writeFile(src + "/Contents/Resources/read-only", "ro", 0444);
  writeFile(src + "/Contents/Resources/owner-only", "secret", 0400);
  makeDirs(src + "/a/b/c/d/e");
  writeFile(src + "/a/b/c/d/e/deep", patterned(12345, 1003), 0640);
  makeLink(src + "/Contents/Current", "Resources/web");
  makeLink(src + "/Contents/absolute", "/etc/hostname");
  makeLink(src + "/Contents/dangling", "../nowhere");
  makeDirs(src + "/Contents/Frozen/Inner");
  writeFile(src + "/Contents/Frozen/Inner/held", patterned(70000, 1004));
  writeFile(src + "/Contents/Frozen/top", "t", 0600);
  const char* mark = "0083;65a1b2c3;Browser;";
  for (const char* p : {"", "/Contents/MacOS/Quillmark", "/Contents/Frozen", "/Contents/Resources/web/d1/f3"}) {
    (void)::setxattr((src + p).c_str(), "user.com.apple.quarantine", mark, strlen(mark), 0);
  }
  (void)::setxattr((src + "/Contents/Resources/read-only").c_str(), "user.empty", "", 0, 0);
  // Folders whose mode forbids adding entries: the copy must fill them first.
  ASSERT_EQ(::chmod((src + "/Contents/Frozen/Inner").c_str(), 0500), 0);
  ASSERT_EQ(::chmod((src + "/Contents/Frozen").c_str(), 0555), 0);
}

TEST_F(LinuxFileManagerTest, CopyOfAVariedTreeIsExactOnAnyNumberOfWorkers) {
  const std::string src = r + "/Q.app";
  makeVariedTree(src);
  ASSERT_FALSE(HasFatalFailure());
  // ThreadSanitizer starts a thread of its own at the first thread a
  // program makes; let that happen before threads are counted.
  std::thread([] {}).join();
  // nullopt: as many workers as the machine gives; 0: all on the walk.
  const std::optional<unsigned> workerCounts[] = {std::nullopt, 0u, 1u, 3u};
  int n = 0;
  for (const auto& workers : workerCounts) {
    SCOPED_TRACE(workers ? std::to_string(*workers) + " workers" : "default workers");
    LinuxFileManager files;
    if (workers) files.setCopyWorkersForTesting(*workers);
    const std::string copy = r + "/copy" + std::to_string(n++) + ".app";
    const size_t threadsBefore = threadsOfThisProcess();
    ASSERT_TRUE(files.copyItem(src, copy).ok());
    // Nothing of the copy outlives the call: every worker is joined, so
    // every byte and mode is in place once it returns.
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
    expectSameTree(src, copy);
  }
}

// An error in a file copied on another thread. The walk's record of the
// files it met gives their order; the copy's error must be the one the
// first failing file in that order met, as a copy on one thread would give.
TEST_F(LinuxFileManagerTest, AFailedContentCopyIsTheCopysErrorEarliestInWalkOrderFirst) {
  const std::string src = r + "/Q.app";
  for (int d = 0; d < 4; ++d) {
    makeDirs(src + "/s" + std::to_string(d));
    for (int f = 0; f < 100; ++f) {
      writeFile(src + "/s" + std::to_string(d) + "/f" + std::to_string(f), patterned(100 + f * 37, f));
    }
  }
  // Alone in its folder, so turning it into a FIFO later moves nothing else.
  makeDirs(src + "/late");
  writeFile(src + "/late/x", "placeholder");

  std::vector<std::string> order;  // regular files, in walk order
  fm.setWalkObserverForTesting([&](const std::string& path) {
    if (fm.entryType(path) == EntryType::kRegular) order.push_back(path);
  });
  ASSERT_TRUE(fm.copyItem(src, r + "/dry-run").ok());
  fm.setWalkObserverForTesting(nullptr);
  ASSERT_EQ(order.size(), 401u);
  const size_t fifoAt = std::find(order.begin(), order.end(), src + "/late/x") - order.begin();
  const size_t last = order.size() - 1;
  // Files to fail, by their place in the walk, chosen around the FIFO's.
  const size_t early = fifoAt > 10 ? 3 : fifoAt + 3, laterThanFifo = fifoAt < last - 5 ? last - 1 : fifoAt + 1;

  struct Case {
    const char* what;
    std::map<size_t, int> failures;  // place in the walk -> errno of that file's copy
    bool fifo;                       // late/x is a FIFO: the walk fails there with ENOTSUP
    int want;
    // Where there are workers: the copy of the first file waits until the
    // second has failed, so the earlier error in walk order comes later.
    std::optional<std::pair<size_t, size_t>> holdUntilFailed = std::nullopt;
  };
  std::vector<Case> cases = {
      {"the first file", {{0, EIO}}, false, EIO},
      {"the last file", {{last, EIO}}, false, EIO},
      {"two files: the earlier in walk order", {{5, ENOSPC}, {last - 2, EIO}}, false, ENOSPC},
      {"two files: the earlier fails second", {{5, ENOSPC}, {20, EIO}}, false, ENOSPC, std::pair{5, 20}},
  };
  if (early < fifoAt) {
    cases.push_back({"a file before a walk error", {{early, EIO}}, true, EIO});
  }
  if (laterThanFifo > fifoAt && laterThanFifo <= last) {
    cases.push_back({"a file after a walk error: never reached", {{laterThanFifo, EIO}}, true, ENOTSUP});
  }

  int n = 0;
  for (const Case& c : cases) {
    for (unsigned workers : {0u, 1u, 3u}) {
      SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(workers) + " workers");
      ::unlink((src + "/late/x").c_str());
      if (c.fifo) {
        ASSERT_EQ(::mkfifo((src + "/late/x").c_str(), 0600), 0);
      } else {
        writeFile(src + "/late/x", "placeholder");
      }
      std::map<std::string, int> failAt;
      for (const auto& [place, err] : c.failures) failAt[order[place]] = err;
      std::mutex mu;
      std::condition_variable changed;
      std::set<std::string> seen;
      bool secondFailed = false;
      LinuxFileManager files;
      files.setCopyWorkersForTesting(workers);
      files.setContentObserverForTesting([&](const std::string& path) {
        std::unique_lock<std::mutex> lock(mu);
        seen.insert(path);
        if (c.holdUntilFailed && workers > 0) {
          if (path == order[c.holdUntilFailed->first]) {
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return secondFailed; });
          } else if (path == order[c.holdUntilFailed->second]) {
            secondFailed = true;
            changed.notify_all();
          }
        }
        auto it = failAt.find(path);
        return it == failAt.end() ? Status::OK() : Status::Posix(it->second);
      });
      const size_t threadsBefore = threadsOfThisProcess();
      const std::string copy = r + "/copy" + std::to_string(n++);
      Status copied = files.copyItem(src, copy);
      EXPECT_EQ(copied.code(), c.want) << copied.localizedDescription();
      EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
      if (c.want == ENOTSUP) {
        for (const auto& [path, err] : failAt) EXPECT_EQ(seen.count(path), 0u) << "copied past the walk's error";
      }
      if (c.failures.begin()->first == 0) {
        // The copy stops soon after its first file failed: it neither copies
        // nor creates the other 400 files.
        EXPECT_LT(seen.size(), order.size() / 2);
        EXPECT_LT(treeRecords(copy).size(), order.size() / 2);
      }
    }
  }
}

// A real error from the kernel on a worker: the file-size limit makes the
// write of one large file fail with EFBIG, among many that fit.
TEST_F(LinuxFileManagerTest, AWriteTheKernelRefusesFailsTheCopy) {
  {
    // A reflink copies no bytes and would not meet the limit.
    writeFile(r + "/probe-a", "probe");
    UniqueFd a(::open((r + "/probe-a").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd b(::open((r + "/probe-b").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (::ioctl(b.get(), FICLONE, a.get()) == 0) GTEST_SKIP() << "this file system reflinks: no bytes are written";
  }
  const std::string src = r + "/Q.app";
  makeDirs(src + "/small");
  for (int f = 0; f < 50; ++f) writeFile(src + "/small/f" + std::to_string(f), patterned(1000 + f, f));
  writeFile(src + "/large", patterned(size_t(3) << 20, 77));

  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = size_t(1) << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::vector<int> codes;
  int n = 0;
  for (unsigned workers : {0u, 1u, 3u}) {
    LinuxFileManager files;
    files.setCopyWorkersForTesting(workers);
    codes.push_back(files.copyItem(src, r + "/copy" + std::to_string(n++)).code());
  }
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ASSERT_EQ(::sigaction(SIGXFSZ, &previous, nullptr), 0);
  EXPECT_EQ(codes, (std::vector<int>{EFBIG, EFBIG, EFBIG}));
}

// Workers that fall behind must not let the walk run ahead with every file
// of a large folder open: the walk copies files itself once enough wait.
// Here the workers are held until the walk has copied one, which it only
// does when the hand-off is full.
TEST_F(LinuxFileManagerTest, FilesWaitingForAWorkerHoldBoundedDescriptors) {
  const std::string src = r + "/many";
  makeDirs(src);
  const size_t kFiles = 600;
  for (size_t f = 0; f < kFiles; ++f) writeFile(src + "/f" + std::to_string(f), "x");

  const std::thread::id walker = std::this_thread::get_id();
  std::mutex mu;
  std::condition_variable walkerCopied;
  bool walkerHasCopied = false, gaveUp = false;
  size_t mostOpen = 0;
  const size_t openBefore = openDescriptors();
  LinuxFileManager files;
  files.setCopyWorkersForTesting(2);
  files.setContentObserverForTesting([&](const std::string&) {
    size_t open = openDescriptors();
    std::unique_lock<std::mutex> lock(mu);
    mostOpen = std::max(mostOpen, open);
    if (std::this_thread::get_id() == walker) {
      walkerHasCopied = true;
      walkerCopied.notify_all();
    } else if (!gaveUp && !walkerCopied.wait_for(lock, std::chrono::seconds(20), [&] { return walkerHasCopied; })) {
      gaveUp = true;  // once is enough to fail: the other files go through
    }
    return Status::OK();
  });
  ASSERT_TRUE(files.copyItem(src, r + "/copy").ok());
  EXPECT_TRUE(walkerHasCopied) << "the walk never took a file over while the workers were held";
  // Two descriptors per waiting file: an unbounded hand-off would hold
  // twice as many as there are files.
  EXPECT_LT(mostOpen - openBefore, kFiles / 2);
  EXPECT_EQ(openDescriptors(), openBefore);
  expectSameTree(src, r + "/copy");
}

// A file swapped between the walk's look at it and its open: the copy must
// fail, never copy what the swap points at, and never wait on a FIFO.
TEST_F(LinuxFileManagerTest, CopyNeverReadsAFileSwappedMidWalk) {
  const std::string precious = r + "/precious.key";
  writeFile(precious, "secret", 0600);
  struct {
    const char* what;
    std::function<void(const std::string&)> swapIn;
    int want;
  } cases[] = {
      {"link to a precious file", [&](const std::string& p) { makeLink(p, precious); }, ELOOP},
      {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, ENOTSUP},
  };
  ::alarm(30);  // an open that waits on the FIFO fails the test instead of hanging it
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string src = r + "/Q" + std::to_string(n) + ".app", copy = r + "/copy" + std::to_string(n++);
    makeDirs(src + "/Contents/Resources");
    writeFile(src + "/Contents/Resources/r", "r");
    writeFile(src + "/Contents/Info.plist", "<plist/>");
    fm.setWalkObserverForTesting([&](const std::string& path) {
      if (path != src + "/Contents/Resources/r") return;
      ASSERT_EQ(::unlink(path.c_str()), 0);
      c.swapIn(path);
    });
    EXPECT_EQ(fm.copyItem(src, copy).code(), c.want);
    fm.setWalkObserverForTesting(nullptr);
    EXPECT_EQ(fm.entryType(copy + "/Contents/Resources/r"), EntryType::kNone);
    EXPECT_EQ(readFile(precious), "secret");
  }
  ::alarm(0);
}

TEST_F(LinuxFileManagerTest, ReadFileOnlyReadsBoundedRegularFiles) {
  EXPECT_EQ(fm.readFile(r + "/dir/file", 100).value(), "data");
  EXPECT_EQ(fm.readFile(r + "/dir/file", 4).value(), "data");
  EXPECT_EQ(fm.readFile(r + "/dir/file", 3).status().code(), EFBIG);
  EXPECT_EQ(fm.readFile(r + "/rel-link", 100).value(), "data");
  EXPECT_EQ(fm.readFile(r + "/dir", 100).status().code(), EISDIR);
  EXPECT_EQ(fm.readFile(r + "/fifo", 100).status().code(), EINVAL);  // no writer, no wait
  makeLink(r + "/to-fifo", r + "/fifo");
  EXPECT_EQ(fm.readFile(r + "/to-fifo", 100).status().code(), EINVAL);  // followed, then refused
  EXPECT_EQ(fm.readFile("/dev/zero", 100).status().code(), EINVAL);
  EXPECT_EQ(fm.readFile(r + "/missing", 100).status().code(), ENOENT);
}

TEST_F(LinuxFileManagerTest, WriteFileAtomicNeverFollowsAPlantedTemporary) {
  std::string target = r + "/out.json";
  std::string temp = target + ".tmp." + std::to_string(::getpid());
  makeLink(temp, r + "/dir/file");
  ASSERT_TRUE(fm.writeFile(target, "new", true).ok());
  EXPECT_EQ(readFile(target), "new");
  EXPECT_EQ(readFile(r + "/dir/file"), "data");
  EXPECT_EQ(fm.entryType(temp), EntryType::kNone);

  ASSERT_TRUE(fm.writeFile(target, "plain", false).ok());
  EXPECT_EQ(readFile(target), "plain");
}

}  // namespace
}  // namespace ql::linux_backend
