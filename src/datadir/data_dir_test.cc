// dataDir: config.toml read afresh from the launcher home, tilde expanded,
// and every kind of unusable file answered with the launcher home.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "app/app_delegate.h"
#include "datadir/config_scanner.h"
#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

class DataDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zvd = t.home + "/.quillmark";
    makeDirs(zvd);
    config = zvd + "/config.toml";
    t.process.users["bob"] = "/users/bob";
  }
  TestPlatform t;
  std::string zvd, config;
};

TEST_F(DataDirTest, ValueFromConfigWithTildeExpanded) {
  struct {
    const char* toml;
    std::string want;  // "$HOME" and "$ZVD" stand for the sandbox paths
  } cases[] = {
      {"data_dir = '/srv/quill'\n", "/srv/quill"},
      {"data_dir = '~/data'\n", "$HOME/data"},
      {"data_dir = \"~\"\n", "$HOME"},
      {"data_dir = '~bob/q'\n", "/users/bob/q"},
      {"data_dir = '~nobody/q'\n", "~nobody/q"},
      {"data_dir = '/a/~/b'\n", "/a/~/b"},
      {"data_dir = ''\n", ""},
      {"[t]\ndata_dir = '/a'\n", "$ZVD"},
      {"data_dir = '/caf\xe9'\n", "$ZVD"},
  };
  auto d = t.makeDelegate();
  for (const auto& c : cases) {
    writeFile(config, c.toml);
    std::string want = c.want;
    if (want.rfind("$HOME", 0) == 0) want = t.home + want.substr(5);
    if (want == "$ZVD") want = zvd;
    EXPECT_EQ(d->dataDir(), want) << c.toml;
  }
}

TEST_F(DataDirTest, EveryCallReadsTheFileAfresh) {
  auto d = t.makeDelegate();
  EXPECT_EQ(d->dataDir(), zvd);
  writeFile(config, "data_dir = '/first'\n");
  EXPECT_EQ(d->dataDir(), "/first");
  writeFile(config, "data_dir = '/second'\n");
  EXPECT_EQ(d->dataDir(), "/second");
  ASSERT_EQ(::unlink(config.c_str()), 0);
  EXPECT_EQ(d->dataDir(), zvd);
}

TEST_F(DataDirTest, UnusableConfigFilesGiveTheLauncherHome) {
  auto d = t.makeDelegate();
  const std::string value = "data_dir = '/x'\n";

  // Missing home altogether.
  {
    TestPlatform other;
    other.process.home = other.root + "/no-such-home";
    EXPECT_EQ(other.makeDelegate()->dataDir(), other.root + "/no-such-home/.quillmark");
  }
  // A plain file where the launcher home should be.
  {
    TestPlatform other;
    writeFile(other.home + "/.quillmark", value);
    EXPECT_EQ(other.makeDelegate()->dataDir(), other.home + "/.quillmark");
  }
  // config.toml is a directory.
  makeDirs(config);
  EXPECT_EQ(d->dataDir(), zvd);
  ASSERT_EQ(::rmdir(config.c_str()), 0);

  // Unreadable (root reads anything, so only checked for other users).
  if (::geteuid() != 0) {
    writeFile(config, value, 0);
    EXPECT_EQ(d->dataDir(), zvd);
    ASSERT_EQ(::unlink(config.c_str()), 0);
  }

  // A FIFO with no writer: reading must not wait for one.
  ASSERT_EQ(::mkfifo(config.c_str(), 0644), 0);
  EXPECT_EQ(d->dataDir(), zvd);
  ASSERT_EQ(::unlink(config.c_str()), 0);

  // A link to an endless device.
  makeLink(config, "/dev/zero");
  EXPECT_EQ(d->dataDir(), zvd);
  ASSERT_EQ(::unlink(config.c_str()), 0);
}

TEST_F(DataDirTest, SizeCapBoundary) {
  auto d = t.makeDelegate();
  // The key on the first line, padded with comment lines to exactly the cap:
  // honoured. One byte more: the file is not read and the home is used.
  std::string text = "data_dir = '/capped'\n";
  while (text.size() < datadir::kMaxConfigBytes) {
    text += std::string(std::min<size_t>(99, datadir::kMaxConfigBytes - text.size() - 1), '#') + "\n";
  }
  ASSERT_EQ(text.size(), datadir::kMaxConfigBytes);
  writeFile(config, text);
  EXPECT_EQ(d->dataDir(), "/capped");
  writeFile(config, text + "#");
  EXPECT_EQ(d->dataDir(), zvd);
}

TEST_F(DataDirTest, HugeSparseConfigIsRefusedWithoutReadingIt) {
  // 400 MB that occupy no disk space: a reader that slurped it would take
  // seconds and hundreds of megabytes.
  writeFile(config, "data_dir = '/huge'\n");
  ASSERT_EQ(::truncate(config.c_str(), 400LL << 20), 0);
  auto d = t.makeDelegate();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(d->dataDir(), zvd);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace ql::testing
