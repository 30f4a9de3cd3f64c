// The file manager on the real file system: what the data-directory code
// and the seeding rely on, including the ways a path can try to mislead it.
#include "platform/linux/linux_file_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <climits>
#include <filesystem>
#include <functional>
#include <vector>

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
