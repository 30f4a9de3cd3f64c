// Renaming over a large file leaves its release to another thread; whatever
// the name held before, the rename itself behaves as rename(2).
#include "platform/linux/deferred_release.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_file_manager.h"
#include "tests/fakes/test_platform.h"

namespace ql::linux_backend {
namespace {

using ::ql::testing::makeLink;
using ::ql::testing::readFile;
using ::ql::testing::TempDir;
using ::ql::testing::writeFile;

// The descriptors of this process that refer to a file that has been
// removed: a leaked reference keeps such a file's space in use.
int openDeletedFiles() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
    if (len <= 0) continue;
    target[len] = '\0';
    if (std::string(target).find(" (deleted)") != std::string::npos) ++n;
  }
  ::closedir(d);
  return n;
}

// open(2) returns the lowest free number, so once every descriptor handed
// over is closed, the next open gets the number it would have got before.
int lowestFreeDescriptor() {
  int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(fd);
  return fd;
}

TEST(DeferredReleaseTest, ClosesEverythingHandedOverFromManyThreads) {
  const int lowest = lowestFreeDescriptor();
  ASSERT_GE(lowest, 0);
  {
    DeferredRelease release(std::chrono::milliseconds(0));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&release] {
        for (int i = 0; i < 50; ++i) release.close(::open("/dev/null", O_RDONLY | O_CLOEXEC));
      });
    for (auto& t : threads) t.join();
    release.close(-1);  // ignored
    release.drain();
    EXPECT_EQ(lowestFreeDescriptor(), lowest);
    release.close(::open("/dev/null", O_RDONLY | O_CLOEXEC));  // left to the destructor
  }
  EXPECT_EQ(lowestFreeDescriptor(), lowest);
}

TEST(DeferredReleaseTest, HoldsUntilDueOrDrainedAndClosesOnItsOwnWhenDue) {
  const int lowest = lowestFreeDescriptor();
  {
    DeferredRelease longHold(std::chrono::hours(1));
    longHold.close(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_NE(lowestFreeDescriptor(), lowest) << "closed before it was due";
    longHold.drain();
    EXPECT_EQ(lowestFreeDescriptor(), lowest);
    longHold.close(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }  // the destructor does not wait out the hour
  EXPECT_EQ(lowestFreeDescriptor(), lowest);

  DeferredRelease shortHold(std::chrono::milliseconds(20));
  shortHold.close(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (lowestFreeDescriptor() != lowest && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(lowestFreeDescriptor(), lowest) << "never closed without a drain";
}

TEST(DeferredReleaseTest, RenameOverWhateverTheNameHolds) {
  TempDir tmp;
  const std::string r = tmp.path();
  const std::string large(size_t(5) << 20, 'o');
  struct Case {
    const char* name;
    std::function<void(const std::string& to)> plant;
    std::function<void()> check;  // what must survive besides the new file
    int held = 0;                 // replaced files kept for the release thread
  };
  std::vector<Case> cases = {
      {"nothing", [](const std::string&) {}, [] {}},
      {"a small file", [](const std::string& to) { writeFile(to, "old"); }, [] {}},
      {"a large file", [&](const std::string& to) { writeFile(to, large); }, [] {}, 1},
      {"a large file with a second link",
       [&](const std::string& to) {
         writeFile(to, large);
         ASSERT_EQ(::link(to.c_str(), (r + "/second").c_str()), 0);
       },
       [&] { EXPECT_EQ(readFile(r + "/second"), large); }},
      {"a link to a large file",
       [&](const std::string& to) {
         writeFile(r + "/target", large);
         makeLink(to, r + "/target");
       },
       [&] { EXPECT_EQ(readFile(r + "/target"), large); }},
      {"a FIFO", [](const std::string& to) { ASSERT_EQ(::mkfifo(to.c_str(), 0600), 0); }, [] {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string from = r + "/new", to = r + "/name";
    writeFile(from, "new contents");
    c.plant(to);
    {
      LinuxFileManager fm;
      ASSERT_TRUE(fm.rename(from, to).ok());
      EXPECT_EQ(readFile(to), "new contents");
      // Held for two seconds; this look comes well within them.
      EXPECT_EQ(openDeletedFiles(), c.held);
      fm.waitForDeferredReleases();
      EXPECT_EQ(openDeletedFiles(), 0) << "the replaced file is still referenced";
    }
    c.check();
    ::unlink(to.c_str());
    ::unlink((r + "/second").c_str());
    ::unlink((r + "/target").c_str());
  }
}

TEST(DeferredReleaseTest, AFailedRenameKeepsTheOldFileAndItsName) {
  TempDir tmp;
  const std::string r = tmp.path();
  const std::string large(size_t(5) << 20, 'o');
  writeFile(r + "/name", large);
  LinuxFileManager fm;
  EXPECT_EQ(fm.rename(r + "/missing", r + "/name").code(), ENOENT);
  fm.waitForDeferredReleases();
  EXPECT_EQ(readFile(r + "/name"), large);
  EXPECT_EQ(openDeletedFiles(), 0);
}

}  // namespace
}  // namespace ql::linux_backend
