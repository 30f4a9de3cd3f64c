// Hostile inputs that no subsystem's own tests cover: lock files, config
// files and plists built to hurt, link loops at the well-known paths, and
// bundle paths with every awkward character.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "app/app_delegate.h"
#include "platform/linux/linux_basics.h"
#include "tests/fakes/test_platform.h"
#include "tests/reliability/scripted_tasks.h"
#include "tests/reliability/tree.h"

namespace ql::testing {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Remembers the largest read any caller asked for, so a test can tell a
// bounded read from one that would swallow a whole file.
class ReadRecordingFileManager : public ForwardingFileManager {
 public:
  using ForwardingFileManager::ForwardingFileManager;
  Result<std::string> readFile(const std::string& p, size_t maxBytes) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (maxBytes > largest_) largest_ = maxBytes;
    }
    return ForwardingFileManager::readFile(p, maxBytes);
  }
  std::shared_ptr<FileHandle> standardError() override { return target().standardError(); }
  size_t largestRead() {
    std::lock_guard<std::mutex> lock(mu_);
    return largest_;
  }

 private:
  std::mutex mu_;
  size_t largest_ = 0;
};

struct HostileWorld {
  TestPlatform t;
  ReadRecordingFileManager reads{t.files};
  ScriptedTasks tasks;
  HostileWorld() {
    t.fileManager = &reads;
    t.tasks = &tasks;
    t.process.env["ZORVAN_SKIP_INSTALL"] = "1";
  }
  std::string zvd() const { return t.home + "/.quillmark"; }
};

// Runs `f` on another thread and waits at most `limit` seconds; a call that
// blocks (on a FIFO, say) fails the test instead of hanging the suite.
template <typename F>
bool finishesWithin(double limit, F f, std::function<void()> unblock = nullptr) {
  auto done = std::async(std::launch::async, f);
  if (done.wait_for(std::chrono::duration<double>(limit)) == std::future_status::ready) return true;
  if (unblock) unblock();
  done.wait();
  return false;
}

// ---------------------------------------------------------------------------
// The lock file

struct LockCase {
  const char* name;
  std::string text;
  std::vector<long long> liveProcesses;  // what kill(pid, 0) answers 0 for
  bool alive;
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }

class HostileLockFile : public ::testing::TestWithParam<LockCase> {};

TEST_P(HostileLockFile, AnswersWithoutCrashingOrAddressingAGroup) {
  const LockCase& c = GetParam();
  HostileWorld w;
  makeDirs(w.zvd());
  writeFile(w.zvd() + "/zorvan.lock", c.text);
  for (long long pid : c.liveProcesses) w.t.process.probes[pid] = 0;
  auto d = w.t.makeDelegate();
  EXPECT_EQ(d->lockfilePidAlive(), c.alive);
  for (long long probed : w.t.process.probedPids()) {
    EXPECT_GT(probed, 0) << "kill(" << probed << ", 0) addresses a process group";
    EXPECT_LE(probed, INT32_MAX) << "a pid no process can have was probed";
  }
}

std::string nested(int depth, const std::string& inner) {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Pids, HostileLockFile,
    ::testing::Values(
        LockCase{"live", R"({"pid": 4242})", {4242}, true},
        LockCase{"dead", R"({"pid": 4242})", {}, false},
        // Out of range values must not wrap onto a live process.
        LockCase{"uint64_max_is_not_minus_one", R"({"pid": 18446744073709551615})", {-1, 4242}, false},
        LockCase{"int32_wrap_is_not_4242", R"({"pid": 4294971538})", {4242}, false},
        LockCase{"int64_max", R"({"pid": 9223372036854775807})", {-1, INT32_MAX}, false},
        LockCase{"int64_min", R"({"pid": -9223372036854775808})", {0, -1}, false},
        LockCase{"huge_beyond_int64", R"({"pid": 123456789012345678901234567890})", {-1}, false},
        LockCase{"negative_one_is_every_process", R"({"pid": -1})", {-1}, false},
        LockCase{"negative_group", R"({"pid": -4242})", {-4242}, false},
        LockCase{"zero_is_own_group", R"({"pid": 0})", {0}, false},
        LockCase{"fraction", R"({"pid": 4242.5})", {4242}, false},
        LockCase{"exponent_fraction", R"({"pid": 4.2425e3})", {4242}, false},
        LockCase{"string", R"({"pid": "4242"})", {4242}, false},
        LockCase{"boolean_true_is_not_one", R"({"pid": true})", {1}, false},
        LockCase{"null", R"({"pid": null})", {0}, false},
        LockCase{"array_top_level", R"([{"pid": 4242}])", {4242}, false},
        LockCase{"truncated", R"({"pid": 42)", {42}, false},
        LockCase{"nul_inside", std::string("{\"pid\": 4242\0}", 14), {4242}, false},
        LockCase{"deeply_nested_array", nested(200000, ""), {}, false},
        // 400 KB of nesting, still within the lock file's bound: read whole,
        // parsed without recursion, and the pid beside it counts.
        LockCase{"deeply_nested_member", R"({"x": )" + nested(200000, "") + R"(, "pid": 4242})", {4242}, true},
        LockCase{"deeply_nested_unclosed", std::string(500000, '{'), {}, false}),
    [](const auto& p) { return std::string(p.param.name); });

// A modest nesting is ordinary JSON; the pid beside it still counts.
TEST(HostileLockFileDepth, ModestNestingBesideThePidIsRead) {
  HostileWorld w;
  makeDirs(w.zvd());
  writeFile(w.zvd() + "/zorvan.lock", R"({"meta": )" + nested(100, "1") + R"(, "pid": 4242})");
  w.t.process.probes[4242] = 0;
  EXPECT_TRUE(w.t.makeDelegate()->lockfilePidAlive());
}

TEST(HostileLockFileSize, AGigabyteLockFileIsRefusedWithoutBeingRead) {
  HostileWorld w;
  makeDirs(w.zvd());
  std::string lock = w.zvd() + "/zorvan.lock";
  writeFile(lock, R"({"pid": 4242})");
  ASSERT_EQ(::truncate(lock.c_str(), off_t(1) << 30), 0);  // sparse: costs no disk
  w.t.process.probes[4242] = 0;
  auto d = w.t.makeDelegate();
  auto start = Clock::now();
  EXPECT_FALSE(d->lockfilePidAlive());
  EXPECT_LT(secondsSince(start), 1.0);
  // The lock file is read whole up to a few MiB (a large lock file can still
  // name a live service), never further.
  EXPECT_LE(w.reads.largestRead(), size_t(4) << 20) << "the read was not bounded";
}

// Entries that are not files at all. A FIFO never ends unless someone
// writes; a device never ends at all.
struct SpecialCase {
  const char* name;
  const char* file;  // "zorvan.lock" or "config.toml"
  bool fifo;         // else a link to /dev/zero
};

void PrintTo(const SpecialCase& c, std::ostream* os) { *os << c.name; }

class SpecialFiles : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialFiles, NeitherHangsNorReadsForever) {
  const SpecialCase& c = GetParam();
  HostileWorld w;
  makeDirs(w.zvd());
  std::string path = w.zvd() + "/" + c.file;
  if (c.fifo) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  } else {
    makeLink(path, "/dev/zero");
  }
  auto d = w.t.makeDelegate();
  bool alive = true;
  std::string dir;
  // Opening the FIFO for writing (and closing it) releases a reader that is
  // stuck on it, so a failing run still ends.
  auto unblock = [&] {
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  };
  EXPECT_TRUE(finishesWithin(
      5.0,
      [&] {
        alive = d->lockfilePidAlive();
        dir = d->dataDir();
      },
      c.fifo ? std::function<void()>(unblock) : nullptr))
      << "blocked reading " << path;
  EXPECT_FALSE(alive);
  EXPECT_EQ(dir, w.zvd());
}

INSTANTIATE_TEST_SUITE_P(Entries, SpecialFiles,
                         ::testing::Values(SpecialCase{"lock_fifo", "zorvan.lock", true},
                                           SpecialCase{"lock_dev_zero", "zorvan.lock", false},
                                           SpecialCase{"config_fifo", "config.toml", true},
                                           SpecialCase{"config_dev_zero", "config.toml", false}),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// config.toml

TEST(HostileConfig, AHundredMegabyteLineIsAnsweredQuicklyWithTheHome) {
  struct Row {
    const char* name;
    std::string head, tail;
  };
  const size_t kLine = size_t(100) << 20;
  for (const Row& row : {Row{"plain", "", "\n"}, Row{"unterminated literal", "data_dir = '", "\n"},
                         Row{"unterminated basic with escapes", "data_dir = \"\\\\", ""},
                         Row{"valid key then the long line", "data_dir = '/srv/q'\n# ", "\n"}}) {
    SCOPED_TRACE(row.name);
    HostileWorld w;
    makeDirs(w.zvd());
    std::string path = w.zvd() + "/config.toml";
    {
      std::string body = row.head + std::string(kLine, 'a') + row.tail;
      writeFile(path, body);
    }
    auto d = w.t.makeDelegate();
    auto start = Clock::now();
    std::string dir = d->dataDir();
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_EQ(dir, w.zvd()) << "a config.toml this large is not one the service wrote";
    EXPECT_LE(w.reads.largestRead(), size_t(1) << 21) << "the read was not bounded";
  }
}

// ---------------------------------------------------------------------------
// Symbolic-link loops at the legacy paths and the launcher home

struct LoopCase {
  const char* name;
  std::function<void(HostileWorld&)> arrange;
  bool seedingFails;   // the home is unusable: the install-error alert
  std::string notice;  // a notice the start must write
};

void PrintTo(const LoopCase& c, std::ostream* os) { *os << c.name; }

class LinkLoops : public ::testing::TestWithParam<LoopCase> {};

TEST_P(LinkLoops, StartEndsWithTheDocumentedOutcome) {
  const LoopCase& c = GetParam();
  HostileWorld w;
  w.t.makeBundle();
  c.arrange(w);
  std::shared_ptr<AppDelegate> d;
  ASSERT_TRUE(finishesWithin(20.0, [&] {
    d = w.t.makeDelegate();
    d->applicationDidFinishLaunching();
    w.t.dispatch.drain();
  })) << "the start did not end";
  std::string alerts;
  for (const Alert& a : w.t.alerts.shown()) alerts += a.informativeText + "\n";
  SCOPED_TRACE("standard error:\n" + w.t.stderrText() + "\nalerts:\n" + alerts);
  if (c.seedingFails) {
    EXPECT_NE(alerts.find("Couldn't install the Quillmark daemon into " + w.zvd() + "/bin:\n"), std::string::npos);
    EXPECT_EQ(d->zorvan(), "");
  } else {
    EXPECT_EQ(d->zorvan(), w.zvd() + "/bin/quillmark");
  }
  if (!c.notice.empty()) {
    EXPECT_NE(w.t.stderrText().find(c.notice), std::string::npos);
  }
  for (const FoundKey& k : findKeys(w.t.root)) EXPECT_TRUE(holdsDataDirectory(k.directory, k.contents));
  if (std::string(c.name).find("populated") != std::string::npos) {
    EXPECT_TRUE(holdsDataDirectory(w.zvd(), "zorvan")) << "the real data was not adopted";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LinkLoops,
    ::testing::Values(
        LoopCase{"home_links_to_itself", [](HostileWorld& w) { makeLink(w.zvd(), w.zvd()); }, true, ""},
        LoopCase{"home_and_zorvan_link_to_each_other",
                 [](HostileWorld& w) {
                   makeLink(w.zvd(), w.t.home + "/.zorvan");
                   makeLink(w.t.home + "/.zorvan", w.zvd());
                 },
                 true, ""},
        LoopCase{"zorvan_links_to_itself", [](HostileWorld& w) { makeLink(w.t.home + "/.zorvan", w.t.home + "/.zorvan"); },
                 false, ""},
        LoopCase{"fernvale_and_zorvan_link_to_each_other",
                 [](HostileWorld& w) {
                   makeLink(w.t.home + "/.fernvale", w.t.home + "/.zorvan");
                   makeLink(w.t.home + "/.zorvan", w.t.home + "/.fernvale");
                 },
                 false, ""},
        LoopCase{"fernvale_loop_beside_populated_zorvan",
                 [](HostileWorld& w) {
                   makeLink(w.t.home + "/.fernvale", w.t.home + "/.fernvale");
                   makeDataDirectory(w.t.home + "/.zorvan", "zorvan");
                 },
                 false, "[quillmark] quarantined "},
        LoopCase{"relative_loop_in_home_beside_populated_zorvan",
                 [](HostileWorld& w) {
                   makeLink(w.zvd(), "./.quillmark/../.quillmark");
                   makeDataDirectory(w.t.home + "/.zorvan", "zorvan");
                 },
                 false, ""}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// The launcher's own folders in its home replaced by links

// logs/ linked to a folder holding an app.log of its own: that file is
// neither emptied nor written; the launch logs to standard error.
TEST(LinkedLauncherFolders, LogsLinkIsNotWrittenThrough) {
  HostileWorld w;
  w.t.makeBundle();
  makeDataDirectory(w.zvd(), "home");
  const std::string elsewhere = w.t.root + "/elsewhere";
  makeDirs(elsewhere);
  writeFile(elsewhere + "/app.log", "someone's log\n");
  makeLink(w.zvd() + "/logs", elsewhere);
  auto d = w.t.makeDelegate();
  d->applicationDidFinishLaunching();
  w.t.dispatch.drain();
  EXPECT_EQ(readFile(elsewhere + "/app.log"), "someone's log\n");
  EXPECT_TRUE(d->logIsStandardError());
  EXPECT_NE(w.t.stderrText().find("] launch " + w.t.bundle.path + "\n"), std::string::npos) << w.t.stderrText();
  EXPECT_EQ(d->zorvan(), w.zvd() + "/bin/quillmark") << "the rest of the start goes on";
}

// ---------------------------------------------------------------------------
// Awkward bundle paths

const char* const kAwkwardFolder = "Down loads/it's \"Quill\" — ünïcødé 名前 $HOME `x` \\ ;&|";

TEST(AwkwardBundlePath, SeedsAndLogsThePathUnchanged) {
  HostileWorld w;
  w.t.bundle.path = w.t.root + "/" + kAwkwardFolder + "/Quillmark.app";
  w.t.makeBundle();
  auto d = w.t.makeDelegate();
  d->applicationDidFinishLaunching();
  w.t.dispatch.drain();
  EXPECT_EQ(d->zorvan(), w.zvd() + "/bin/quillmark") << w.t.stderrText();
  EXPECT_EQ(treeDigest(w.zvd() + "/bin/quillmark"),
            treeDigest(w.t.bundle.path + "/Contents/Resources/bin/quillmark"));
  EXPECT_NE(w.t.logFileText().find("] launch " + w.t.bundle.path + "\n"), std::string::npos);
}

TEST(AwkwardBundlePath, InstallsAndHandsTheToolsThePathAsOneArgument) {
  HostileWorld w;
  w.t.process.env.erase("ZORVAN_SKIP_INSTALL");
  w.t.bundle.path = w.t.root + "/" + kAwkwardFolder + "/Quillmark 2 «beta».app";
  w.t.facts.systemApplicationsFolder = w.t.root + "/Appli cations 'ü' \"x\"";
  makeDirs(w.t.facts.systemApplicationsFolder);
  makeBundleTree(w.t.bundle.path, "new");
  std::string newTree = treeDigest(w.t.bundle.path);
  w.t.alerts.answer(kAlertFirstButtonReturn);
  auto d = w.t.makeDelegate();
  EXPECT_TRUE(d->maybeInstallToApplications());
  const std::string dest = w.t.facts.systemApplicationsFolder + "/Quillmark.app";
  const std::string staged = w.t.facts.systemApplicationsFolder + "/.Quillmark.install.812";
  EXPECT_EQ(treeDigest(dest), newTree);
  EXPECT_EQ(w.t.workspace.opened, std::vector<std::string>{dest});
  auto made = w.tasks.made();
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(made[0].executable, w.t.facts.assessmentTool);
  ASSERT_FALSE(made[0].arguments.empty());
  EXPECT_EQ(made[0].arguments.back(), staged);
  EXPECT_EQ(made[1].executable, w.t.facts.quarantineTool);
  EXPECT_EQ(made[1].arguments, (std::vector<std::string>{"-dr", "com.apple.quarantine", staged}));
}

// ---------------------------------------------------------------------------
// Info.plist whose CFBundleVersion is not a string

struct PlistCase {
  const char* name;
  const char* versionElement;
};

void PrintTo(const PlistCase& c, std::ostream* os) { *os << c.name; }

class NonStringBundleVersion : public ::testing::TestWithParam<PlistCase> {};

TEST_P(NonStringBundleVersion, ReadsAsNoVersionFromTheFileOnDisk) {
  TempDir tmp;
  std::string bundle = tmp.path() + "/Quillmark.app";
  makeDirs(bundle + "/Contents");
  writeFile(bundle + "/Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>com.talvoria.quillmark</string>"
            "<key>CFBundleVersion</key>" +
                std::string(GetParam().versionElement) + "</dict></plist>\n");
  linux_backend::LinuxBundle b(bundle);
  EXPECT_EQ(b.bundleIdentifier(), "com.talvoria.quillmark") << "the rest of the dictionary must still be read";
  EXPECT_FALSE(b.infoValue("CFBundleVersion").isString());
}

INSTANTIATE_TEST_SUITE_P(Elements, NonStringBundleVersion,
                         ::testing::Values(PlistCase{"integer", "<integer>7</integer>"},
                                           PlistCase{"real", "<real>1.5</real>"},
                                           PlistCase{"boolean", "<true/>"},
                                           PlistCase{"data", "<data>AAEC</data>"},
                                           PlistCase{"array", "<array><string>1.4.2</string></array>"},
                                           PlistCase{"dict", "<dict><key>v</key><string>1.4.2</string></dict>"},
                                           PlistCase{"date", "<date>2026-01-01T00:00:00Z</date>"}),
                         [](const auto& p) { return std::string(p.param.name); });

// Such a bundle is a development build everywhere it matters: the marker
// says "launcher-dev" and every start seeds again.
TEST(NonStringBundleVersionStart, CountsAsDevelopmentBuild) {
  HostileWorld w;
  w.t.makeBundle();
  w.t.bundle.info["CFBundleVersion"] = {InfoValue::Kind::kOther, ""};
  makeDataDirectory(w.t.home + "/.zorvan", "zorvan");
  auto d = w.t.makeDelegate();
  d->applicationDidFinishLaunching();
  w.t.dispatch.drain();
  EXPECT_EQ(d->zorvan(), w.zvd() + "/bin/quillmark") << w.t.stderrText();
  EXPECT_EQ(readFile(w.zvd() + "/bin/.seed"), "dev");
  EXPECT_NE(readFile(w.zvd() + "/.data-dir-migrated").find("\"launcher-dev\""), std::string::npos);

  // A second start copies again, though nothing changed.
  writeFile(w.zvd() + "/bin/quillmark", "#!/bin/sh\n# replaced by hand\n", 0755);
  w.t.process.pid += 1;
  auto again = w.t.makeDelegate();
  again->applicationDidFinishLaunching();
  EXPECT_EQ(treeDigest(w.zvd() + "/bin/quillmark"),
            treeDigest(w.t.bundle.path + "/Contents/Resources/bin/quillmark"));
}

}  // namespace
}  // namespace ql::testing
