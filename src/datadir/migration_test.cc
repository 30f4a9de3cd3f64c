// Legacy migration and planted-directory quarantine on the real file system,
// in a temporary home. Every sandbox also watches the file manager: no
// directory holding encryption.key may be moved or removed, except by the
// adoption rename of a legacy directory onto the launcher home.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "tests/fakes/test_platform.h"

namespace ql::testing {
namespace {

namespace fs = std::filesystem;

// The time the fake clock starts at, as quarantine names carry it.
const std::string kQuarantineSuffix = ".quarantine-" + std::to_string(FakeClock::kStartSeconds);

bool dirHoldsKey(const std::string& dir) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(dir, ec)) &&
         fs::symlink_status(dir + "/encryption.key", ec).type() != fs::file_type::not_found;
}

// Any directory below `path` (links not followed) that holds the key.
bool treeHoldsKey(const std::string& path) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return false;
  if (dirHoldsKey(path)) return true;
  for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec) && dirHoldsKey(it->path().string())) return true;
  }
  return false;
}

// Records every change, fails chosen calls, and flags any move or removal
// of real data other than the adoption rename.
class WatchedFiles : public ForwardingFileManager {
 public:
  using ForwardingFileManager::ForwardingFileManager;

  EntryType entryType(const std::string& p) override {
    sequence.push_back("type " + p);
    return ForwardingFileManager::entryType(p);
  }
  std::optional<std::string> linkText(const std::string& p) override {
    sequence.push_back("text " + p);
    return ForwardingFileManager::linkText(p);
  }
  std::string resolvedPath(const std::string& p) override {
    sequence.push_back("resolve " + p);
    return ForwardingFileManager::resolvedPath(p);
  }
  bool fileExists(const std::string& p) override {
    sequence.push_back("exists " + p);
    return ForwardingFileManager::fileExists(p);
  }
  bool fileExists(const std::string& p, bool* isDirectory) override {
    sequence.push_back("exists " + p);
    return ForwardingFileManager::fileExists(p, isDirectory);
  }
  Status createSymbolicLink(const std::string& p, const std::string& text) override {
    sequence.push_back("link " + p + " -> " + text);
    return ForwardingFileManager::createSymbolicLink(p, text);
  }
  Status writeFile(const std::string& p, std::string_view data, bool atomically) override {
    sequence.push_back("write " + p);
    return ForwardingFileManager::writeFile(p, data, atomically);
  }

  Status rename(const std::string& from, const std::string& to) override {
    sequence.push_back("rename " + from + " -> " + to);
    calls.push_back("rename " + from + " -> " + to);
    bool adoption = to == home && (from == fernvale || from == zorvan);
    if (!adoption && treeHoldsKey(from)) violations.push_back("moved " + from);
    if (failRename && failRename(from, to)) return Status::Posix(EXDEV);
    return ForwardingFileManager::rename(from, to);
  }
  Status removeItem(const std::string& path) override {
    calls.push_back("remove " + path);
    if (treeHoldsKey(path)) violations.push_back("removed " + path);
    if (failRemove) return Status::Posix(EPERM);
    return ForwardingFileManager::removeItem(path);
  }
  Status setUserImmutable(const std::string& path, bool immutable) override {
    calls.push_back("immutable " + path + (immutable ? " on" : " off"));
    if (failImmutable) return Status::Posix(EPERM);
    return ForwardingFileManager::setUserImmutable(path, immutable);
  }

  std::string home, fernvale, zorvan;
  std::function<bool(const std::string&, const std::string&)> failRename;
  bool failRemove = false;
  bool failImmutable = false;
  std::vector<std::string> calls;     // changes only
  std::vector<std::string> sequence;  // probes and changes, in order
  std::vector<std::string> violations;
};

// A temporary home with the three well-known paths and a place elsewhere.
struct Sandbox {
  explicit Sandbox(const std::string& homeName = "home") : files(t.files) {
    home = t.root + "/" + homeName;
    makeDirs(home);
    t.process.home = home;
    fern = home + "/.fernvale";
    zorv = home + "/.zorvan";
    zvd = home + "/.quillmark";
    elsewhere = t.root + "/elsewhere";
    makeDirs(elsewhere);
    files.home = zvd;
    files.fernvale = fern;
    files.zorvan = zorv;
    t.fileManager = &files;
  }
  ~Sandbox() { EXPECT_THAT(files.violations, ::testing::IsEmpty()); }

  AppDelegate& delegate() {
    if (!d) d = t.makeDelegate();
    return *d;
  }
  MigrationResult migrate() { return delegate().migrateLegacyDataDir(); }

  // "$FERN", "$ZORV", "$ZVD", "$HOME" and "$ELSE" stand for the sandbox paths.
  std::string sub(std::string s) const {
    const std::pair<const char*, const std::string*> tokens[] = {
        {"$FERN", &fern}, {"$ZORV", &zorv}, {"$ZVD", &zvd}, {"$HOME", &home}, {"$ELSE", &elsewhere}};
    for (const auto& [token, value] : tokens) {
      for (size_t at; (at = s.find(token)) != std::string::npos;) s.replace(at, strlen(token), *value);
    }
    return s;
  }

  // What is at a path, without following a final link: "none", "file",
  // "dir", "dir+key", "link:<text>" or "other".
  std::string state(const std::string& rawPath) const {
    std::string path = sub(rawPath);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return "none";
    if (S_ISLNK(st.st_mode)) return "link:" + fs::read_symlink(path).string();
    if (S_ISREG(st.st_mode)) return "file";
    if (S_ISDIR(st.st_mode)) return dirHoldsKey(path) ? "dir+key" : "dir";
    return "other";
  }

  void populated(const std::string& p) {
    makeDirs(sub(p));
    writeFile(sub(p) + "/encryption.key", "key");
  }
  void dir(const std::string& p) { makeDirs(sub(p)); }
  void file(const std::string& p) { writeFile(sub(p), "plain"); }
  void link(const std::string& p, const std::string& text) { makeLink(sub(p), sub(text)); }

  std::string notice1(const std::string& q) const {
    return "[quillmark] quarantined " + fern + " (present without a key while " + zorv +
           " is populated \u2014 pre-#2871 plant); moved to " + q + ".\n";
  }
  std::string notice2(const std::string& source) const {
    return "[quillmark] WARNING: both " + source + " and " + zvd +
           " are populated data directories (both contain encryption.key). Booting on " + zvd +
           ". If this install looks empty/unfamiliar, one may be a stale or planted directory \u2014 "
           "inspect both before deleting either.\n";
  }
  std::string notice3(const std::string& source) const {
    return "[quillmark] SECURITY WARNING: " + zvd +
           " appears to be a pre-upgrade plant (your real data directory is at " + source +
           ") and could NOT be moved aside. Inspect " + zvd + "/config.toml; clear immutable flags (`chflags nouchg " +
           zvd + "`), remove it, and re-run.\n";
  }

  // The snapshot as the migration step takes it.
  DirectorySnapshot snapshot() {
    DirectorySnapshot s;
    s.fernvaleType = t.realFiles.entryType(fern);
    s.fernvaleLinkText = t.realFiles.linkText(fern);
    s.zorvanType = t.realFiles.entryType(zorv);
    s.zorvanResolved = t.realFiles.resolvedPath(zorv);
    s.zorvanPopulated = t.realFiles.fileExists(zorv + "/encryption.key");
    s.homeResolved = t.realFiles.resolvedPath(zvd);
    return s;
  }

  std::string notices() { return t.stderrText(); }

  TestPlatform t;
  WatchedFiles files;
  std::string home, fern, zorv, zvd, elsewhere;
  std::shared_ptr<AppDelegate> d;
};

std::string marker(const Sandbox& s) { return readFile(s.zvd + "/.data-dir-migrated"); }

// Sets CAP_LINUX_IMMUTABLE-protected flags where this machine allows it.
bool chattrImmutable(const std::string& path, bool on) {
  linux_backend::LinuxFileManager fm;
  return fm.setUserImmutable(path, on).ok();
}

// ---------------------------------------------------------------------------

TEST(QuarantineNameTest, WholeSecondsCutAndClockReadEachTime) {
  Sandbox s;
  EXPECT_EQ(s.delegate().quarantineName("/h/.fernvale"), "/h/.fernvale" + kQuarantineSuffix);
  s.t.clock.advance(std::chrono::milliseconds(999));
  EXPECT_EQ(s.delegate().quarantineName("/h/x"), "/h/x" + kQuarantineSuffix);
  s.t.clock.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(s.delegate().quarantineName("/h/x"),
            "/h/x.quarantine-" + std::to_string(FakeClock::kStartSeconds + 1));
}

// ---------------------------------------------------------------------------

struct LegacyRow {
  const char* name;
  std::function<void(Sandbox&)> arrange;
  bool plant;
  const char* fernAfter;
  const char* quarantinedAfter;  // what sits at the fernvale quarantine name
};

TEST(LegacyPlantCheckTest, EveryRow) {
  const LegacyRow rows[] = {
      {"fernvale missing", [](Sandbox& s) { s.populated("$ZORV"); }, false, "none", "none"},
      {"fernvale populated", [](Sandbox& s) { s.populated("$FERN"), s.populated("$ZORV"); }, false,
       "dir+key", "none"},
      {"link to the zorvan path", [](Sandbox& s) { s.populated("$ZORV"), s.link("$FERN", "$ZORV"); }, false,
       "link:$ZORV", "none"},
      {"link to where zorvan resolves",
       [](Sandbox& s) {
         s.populated("$ELSE/real"), s.link("$ZORV", "$ELSE/real"), s.link("$FERN", "$ELSE/real");
       },
       false, "link:$ELSE/real", "none"},
      {"link text exactly the launcher home", [](Sandbox& s) { s.populated("$ZORV"), s.link("$FERN", "$ZVD"); },
       false, "link:$ZVD", "none"},
      {"link to where the home resolves",
       [](Sandbox& s) {
         s.populated("$ZORV"), s.dir("$ELSE/qm"), s.link("$ZVD", "$ELSE/qm"), s.link("$FERN", "$ELSE/qm");
       },
       false, "link:$ELSE/qm", "none"},
      {"empty directory, zorvan populated", [](Sandbox& s) { s.dir("$FERN"), s.populated("$ZORV"); }, true,
       "none", "dir"},
      {"link elsewhere, zorvan populated",
       [](Sandbox& s) { s.populated("$ELSE/data"), s.link("$FERN", "$ELSE/data"), s.populated("$ZORV"); }, true,
       "none", "link:$ELSE/data"},
      {"dangling link, zorvan populated",
       [](Sandbox& s) { s.link("$FERN", "$ELSE/missing"), s.populated("$ZORV"); }, true, "none",
       "link:$ELSE/missing"},
      {"relative link to zorvan is not the zorvan path",
       [](Sandbox& s) { s.link("$FERN", ".zorvan"), s.populated("$ZORV"); }, true, "none", "link:.zorvan"},
      {"regular file, zorvan populated", [](Sandbox& s) { s.file("$FERN"), s.populated("$ZORV"); }, true, "none",
       "file"},
      {"FIFO, zorvan populated",
       [](Sandbox& s) {
         ASSERT_EQ(::mkfifo(s.fern.c_str(), 0600), 0);
         s.populated("$ZORV");
       },
       true, "none", "other"},
      {"empty directory, zorvan empty", [](Sandbox& s) { s.dir("$FERN"), s.dir("$ZORV"); }, false, "dir", "none"},
      {"empty directory, zorvan missing", [](Sandbox& s) { s.dir("$FERN"); }, false, "dir", "none"},
      {"link elsewhere, zorvan missing", [](Sandbox& s) { s.link("$FERN", "$ELSE"); }, false, "link:$ELSE",
       "none"},
  };
  for (const LegacyRow& row : rows) {
    SCOPED_TRACE(row.name);
    Sandbox s;
    row.arrange(s);
    DirectorySnapshot snap = s.snapshot();
    std::string q = s.fern + kQuarantineSuffix;
    EXPECT_EQ(s.delegate().checkLegacyPlant(s.fern, snap, s.zorv, s.zvd), row.plant);
    EXPECT_EQ(s.state("$FERN"), s.sub(row.fernAfter));
    EXPECT_EQ(s.state(q), s.sub(row.quarantinedAfter));
    EXPECT_EQ(s.notices(), row.plant ? s.notice1(q) : "");
    EXPECT_EQ(s.delegate().preLogSnapshot(), s.notices());
  }
}

TEST(LegacyPlantCheckTest, PlantThatCannotBeMoved) {
  // Rename fails, removal works. The plant holds a link to the real data:
  // removing the plant must remove the link, never what it points at.
  {
    Sandbox s;
    s.populated("$ZORV");
    s.dir("$FERN");
    s.link("$FERN/data", "$ZORV");
    s.files.failRename = [](const std::string&, const std::string&) { return true; };
    std::string q = s.fern + kQuarantineSuffix;
    EXPECT_TRUE(s.delegate().checkLegacyPlant(s.fern, s.snapshot(), s.zorv, s.zvd));
    EXPECT_EQ(s.state("$FERN"), "none");
    EXPECT_EQ(s.state(q), "none");
    EXPECT_EQ(s.state("$ZORV"), "dir+key");
    EXPECT_EQ(s.notices(), s.notice1(q) + "[quillmark] " + s.fern + " could not be moved to " + q +
                               "; it was removed instead.\n");
  }
  // Neither moved nor removed: the notices say so, and the migration still
  // never takes the plant as its candidate.
  {
    Sandbox s;
    s.populated("$ZORV");
    s.dir("$FERN");
    s.files.failRename = [&s](const std::string& from, const std::string&) { return from == s.fern; };
    s.files.failRemove = true;
    std::string q = s.fern + kQuarantineSuffix;
    MigrationResult r = s.migrate();
    EXPECT_EQ(s.state("$FERN"), "dir");
    EXPECT_EQ(s.state("$ZVD"), "dir+key");
    EXPECT_EQ(s.state("$ZORV"), s.sub("link:$ZVD"));
    EXPECT_EQ(s.notices(), s.notice1(q) + "[quillmark] SECURITY WARNING: " + s.fern + " could be neither moved to " +
                               q + " nor removed; it is ignored as a data directory. Inspect it and remove it.\n");
    EXPECT_FALSE(r.homeExisted);
    EXPECT_FALSE(r.reseedRequested);
  }
}

// ---------------------------------------------------------------------------

struct HomeRow {
  const char* name;
  std::function<void(Sandbox&)> arrange;
  const char* candidate;
  std::optional<const char*> source;
  bool reseed;
  const char* homeAfter;
  const char* quarantinedAfter;  // at the home's quarantine name
  int notice;                    // 0: none, 2 or 3
};

TEST(HomePlantCheckTest, EveryRow) {
  const HomeRow rows[] = {
      {"home missing", [](Sandbox& s) { s.populated("$ZORV"); }, "$ZORV", "$ZORV", false, "none", "none", 0},
      {"home links to the candidate", [](Sandbox& s) { s.populated("$ZORV"), s.link("$ZVD", "$ZORV"); }, "$ZORV",
       "$ZORV", false, "link:$ZORV", "none", 0},
      {"home links to the source",
       [](Sandbox& s) {
         s.populated("$ELSE/d"), s.link("$ZORV", "$ELSE/d"), s.link("$ZVD", "$ELSE/d");
       },
       "$ZORV", "$ELSE/d", false, "link:$ELSE/d", "none", 0},
      {"no migration source", [](Sandbox& s) { s.dir("$ZVD"); }, "$ZORV", std::nullopt, false, "dir", "none", 0},
      {"source not populated", [](Sandbox& s) { s.dir("$ZVD"), s.dir("$ZORV"); }, "$ZORV", "$ZORV", false, "dir",
       "none", 0},
      {"source not populated, home populated", [](Sandbox& s) { s.populated("$ZVD"), s.dir("$ZORV"); }, "$ZORV",
       "$ZORV", false, "dir+key", "none", 0},
      {"both populated", [](Sandbox& s) { s.populated("$ZVD"), s.populated("$ZORV"); }, "$ZORV", "$ZORV", true,
       "dir+key", "none", 2},
      // Another start adopted the source after this one's snapshot: the
      // source is now the link to the home, the same directory.
      {"source was just adopted as the home", [](Sandbox& s) { s.populated("$ZVD"), s.link("$ZORV", "$ZVD"); },
       "$ZORV", "$ZORV", false, "dir+key", "none", 0},
      {"home holds only logs and bin",
       [](Sandbox& s) { s.dir("$ZVD/logs"), s.dir("$ZVD/bin"), s.populated("$ZORV"); }, "$ZORV", "$ZORV", true,
       "none", "dir", 0},
      {"home links elsewhere (to real data)",
       [](Sandbox& s) { s.populated("$ELSE/x"), s.link("$ZVD", "$ELSE/x"), s.populated("$ZORV"); }, "$ZORV",
       "$ZORV", true, "none", "link:$ELSE/x", 0},
      {"home link text differs by a trailing slash",
       [](Sandbox& s) { s.populated("$ZORV"), s.link("$ZVD", "$ZORV/"); }, "$ZORV", "$ZORV", true, "none",
       "link:$ZORV/", 0},
      {"home is a dangling link", [](Sandbox& s) { s.link("$ZVD", "$ELSE/gone"), s.populated("$ZORV"); }, "$ZORV",
       "$ZORV", true, "none", "link:$ELSE/gone", 0},
      {"home is a plain file", [](Sandbox& s) { s.file("$ZVD"), s.populated("$ZORV"); }, "$ZORV", "$ZORV", true,
       "none", "file", 0},
  };
  for (const HomeRow& row : rows) {
    SCOPED_TRACE(row.name);
    Sandbox s;
    row.arrange(s);
    std::optional<std::string> source;
    if (row.source) source = s.sub(*row.source);
    EXPECT_EQ(s.delegate().checkHomePlant(s.sub(row.candidate), source, s.zvd), row.reseed);
    EXPECT_EQ(s.state("$ZVD"), s.sub(row.homeAfter));
    EXPECT_EQ(s.state(s.zvd + kQuarantineSuffix), s.sub(row.quarantinedAfter));
    std::string want = row.notice == 2 ? s.notice2(*source) : row.notice == 3 ? s.notice3(*source) : "";
    EXPECT_EQ(s.notices(), want);
  }
  // The target of a quarantined home link is left exactly as it was.
  Sandbox s;
  s.populated("$ELSE/x");
  s.link("$ZVD", "$ELSE/x");
  s.populated("$ZORV");
  s.delegate().checkHomePlant(s.zorv, s.zorv, s.zvd);
  EXPECT_EQ(s.state("$ELSE/x"), "dir+key");
}

TEST(HomePlantCheckTest, MovingAsideEscalatesOnlyAsFarAsNeeded) {
  struct {
    const char* name;
    int renameFailures;  // how many of the two renames fail
    bool removeFails;
    std::vector<std::string> calls;  // after the first rename
    const char* homeAfter;
    const char* quarantinedAfter;
    bool notice3;
  } rows[] = {
      {"first rename works", 0, false, {}, "none", "dir", false},
      {"second rename works", 1, false, {"immutable $ZVD off", "rename $ZVD -> $Q"}, "none", "dir", false},
      {"removed", 2, false, {"immutable $ZVD off", "rename $ZVD -> $Q", "remove $ZVD"}, "none", "none", false},
      {"nothing works", 2, true, {"immutable $ZVD off", "rename $ZVD -> $Q", "remove $ZVD"}, "dir", "none", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Sandbox s;
    s.dir("$ZVD/logs");
    s.populated("$ZORV");
    int failures = row.renameFailures;
    s.files.failRename = [&failures](const std::string&, const std::string&) { return failures-- > 0; };
    s.files.failRemove = row.removeFails;
    std::string q = s.zvd + kQuarantineSuffix;
    EXPECT_TRUE(s.delegate().checkHomePlant(s.zorv, s.zorv, s.zvd));
    std::vector<std::string> want = {"rename " + s.zvd + " -> " + q};
    for (std::string c : row.calls) {
      for (size_t at; (at = c.find("$Q")) != std::string::npos;) c.replace(at, 2, q);
      want.push_back(s.sub(c));
    }
    EXPECT_EQ(s.files.calls, want);
    EXPECT_EQ(s.state("$ZVD"), row.homeAfter);
    EXPECT_EQ(s.state(q), row.quarantinedAfter);
    EXPECT_EQ(s.notices(), row.notice3 ? s.notice3(s.zorv) : "");
  }
}

TEST(HomePlantCheckTest, ImmutableHomeOnTheRealFileSystem) {
  Sandbox s;
  s.dir("$ZVD/bin");
  s.populated("$ZORV");
  if (!chattrImmutable(s.zvd, true)) {
    GTEST_SKIP() << "cannot set FS_IMMUTABLE_FL here (needs CAP_LINUX_IMMUTABLE and ext4/xfs/btrfs-like fs)";
  }
  std::string q = s.zvd + kQuarantineSuffix;
  EXPECT_TRUE(s.delegate().checkHomePlant(s.zorv, s.zorv, s.zvd));
  EXPECT_EQ(s.state("$ZVD"), "none");
  EXPECT_EQ(s.state(q), "dir");
  EXPECT_EQ(s.notices(), "");
  // Cleared on the directory itself, so it can be dealt with normally now.
  EXPECT_TRUE(linux_backend::LinuxFileManager().removeItem(q).ok());
}

TEST(HomePlantCheckTest, HomeThatCanBeNeitherMovedNorRemovedOnTheRealFileSystem) {
  // An immutable parent: no rename out of it and no removal from it, and
  // clearing the home's own flag does not help.
  Sandbox s;
  s.dir("$ZVD");
  s.populated("$ZORV");
  if (!chattrImmutable(s.home, true)) GTEST_SKIP() << "cannot set FS_IMMUTABLE_FL here";
  MigrationResult r = s.migrate();
  EXPECT_TRUE(chattrImmutable(s.home, false));
  EXPECT_TRUE(r.homeExisted);
  EXPECT_TRUE(r.reseedRequested);
  EXPECT_EQ(s.state("$ZVD"), "dir");
  EXPECT_EQ(s.state("$ZORV"), "dir+key");
  EXPECT_EQ(s.notices(), s.notice3(s.zorv));
}

// ---------------------------------------------------------------------------

struct MigrationRow {
  const char* name;
  std::function<void(Sandbox&)> arrange;
  bool homeExisted;
  bool reseed;
  const char* homeAfter;
  const char* fernAfter;
  const char* zorvAfter;
  const char* markerFrom;  // nullptr: no marker written by this start
  const char* notices;     // "", "1" (fernvale quarantined) or "2" (both populated, source zorvan)
};

TEST(MigrationTest, AdoptionTable) {
  const MigrationRow rows[] = {
      {"nothing at all", [](Sandbox&) {}, false, false, "none", "none", "none", nullptr, ""},
      {"only zorvan, populated", [](Sandbox& s) { s.populated("$ZORV"); }, false, false, "dir+key", "none",
       "link:$ZVD", "$ZORV", ""},
      {"both legacy directories populated", [](Sandbox& s) { s.populated("$FERN"), s.populated("$ZORV"); },
       false, false, "dir+key", "link:$ZVD", "dir+key", "$FERN", ""},
      {"empty fernvale, nothing else", [](Sandbox& s) { s.dir("$FERN"); }, false, false, "dir", "link:$ZVD",
       "none", "$FERN", ""},
      {"empty fernvale, populated zorvan", [](Sandbox& s) { s.dir("$FERN"), s.populated("$ZORV"); }, false, false,
       "dir+key", "none", "link:$ZVD", "$ZORV", "1"},
      {"home without key, zorvan populated",
       [](Sandbox& s) { s.dir("$ZVD/logs"), s.dir("$ZVD/bin"), s.populated("$ZORV"); }, false, true, "dir+key",
       "none", "link:$ZVD", "$ZORV", ""},
      {"plain file at the home, zorvan populated", [](Sandbox& s) { s.file("$ZVD"), s.populated("$ZORV"); },
       false, true, "dir+key", "none", "link:$ZVD", "$ZORV", ""},
      {"empty home, zorvan not populated", [](Sandbox& s) { s.dir("$ZVD"), s.dir("$ZORV"); }, true, false, "dir",
       "none", "dir", nullptr, ""},
      {"plain file at the home, nothing else", [](Sandbox& s) { s.file("$ZVD"); }, true, false, "file", "none",
       "none", nullptr, ""},
      {"home and zorvan both populated", [](Sandbox& s) { s.populated("$ZVD"), s.populated("$ZORV"); }, true,
       true, "dir+key", "none", "dir+key", nullptr, "2"},
      {"fernvale adopted earlier, zorvan still populated",
       [](Sandbox& s) { s.populated("$ZVD"), s.link("$FERN", "$ZVD"), s.populated("$ZORV"); }, true, true,
       "dir+key", "link:$ZVD", "dir+key", nullptr, "2"},
      {"fernvale adopted earlier, zorvan empty",
       [](Sandbox& s) { s.populated("$ZVD"), s.link("$FERN", "$ZVD"), s.dir("$ZORV"); }, true, false, "dir+key",
       "link:$ZVD", "dir", nullptr, ""},
      {"home links to zorvan (an earlier rename failed)",
       [](Sandbox& s) { s.populated("$ZORV"), s.link("$ZVD", "$ZORV"); }, true, false, "link:$ZORV", "none",
       "dir+key", nullptr, ""},
      {"candidate links to a directory elsewhere",
       [](Sandbox& s) { s.populated("$ELSE/d"), s.link("$ZORV", "$ELSE/d"); }, false, false, "link:$ELSE/d",
       "none", "link:$ELSE/d", nullptr, ""},
      {"candidate links relatively", [](Sandbox& s) { s.populated("$HOME/store/d"), s.link("$ZORV", "store/d"); },
       false, false, "link:$HOME/store/d", "none", "link:store/d", nullptr, ""},
      {"candidate links through a linked directory",
       [](Sandbox& s) { s.populated("$ELSE/real/d"), s.link("$HOME/via", "$ELSE/real"), s.link("$ZORV", "$HOME/via/d"); },
       false, false, "link:$ELSE/real/d", "none", "link:$HOME/via/d", nullptr, ""},
      {"dangling candidate link", [](Sandbox& s) { s.link("$ZORV", "$ELSE/missing"); }, false, false, "none",
       "none", "link:$ELSE/missing", nullptr, ""},
      {"candidate links to a file", [](Sandbox& s) { s.file("$ELSE/f"), s.link("$ZORV", "$ELSE/f"); }, false,
       false, "none", "none", "link:$ELSE/f", nullptr, ""},
      {"candidate links to the missing home", [](Sandbox& s) { s.link("$ZORV", "$ZVD"); }, false, false, "none",
       "none", "link:$ZVD", nullptr, ""},
      {"candidate link loop", [](Sandbox& s) { s.link("$ZORV", "$ZORV"); }, false, false, "none", "none",
       "link:$ZORV", nullptr, ""},
      {"candidate is a plain file", [](Sandbox& s) { s.file("$ZORV"); }, false, false, "none", "none", "file",
       nullptr, ""},
      {"fernvale link to a directory elsewhere wins over zorvan",
       [](Sandbox& s) { s.populated("$ELSE/f"), s.link("$FERN", "$ELSE/f"), s.dir("$ZORV"); }, false, false,
       "link:$ELSE/f", "link:$ELSE/f", "dir", nullptr, ""},
  };
  for (const MigrationRow& row : rows) {
    SCOPED_TRACE(row.name);
    Sandbox s;
    row.arrange(s);
    MigrationResult r = s.migrate();
    EXPECT_EQ(r.homeExisted, row.homeExisted);
    EXPECT_EQ(r.reseedRequested, row.reseed);
    EXPECT_EQ(s.state("$ZVD"), s.sub(row.homeAfter));
    EXPECT_EQ(s.state("$FERN"), s.sub(row.fernAfter));
    EXPECT_EQ(s.state("$ZORV"), s.sub(row.zorvAfter));
    bool hasMarker = s.state("$ZVD/.data-dir-migrated") != "none";
    EXPECT_EQ(hasMarker, row.markerFrom != nullptr);
    if (row.markerFrom && hasMarker) {
      auto m = nlohmann::json::parse(marker(s));
      EXPECT_EQ(m["from"], s.sub(row.markerFrom));
      EXPECT_EQ(m["history"], nlohmann::json::array({s.sub(row.markerFrom)}));
    }
    std::string want = std::string(row.notices) == "1"   ? s.notice1(s.fern + kQuarantineSuffix)
                       : std::string(row.notices) == "2" ? s.notice2(s.zorv)
                                                         : "";
    EXPECT_EQ(s.notices(), want);
    EXPECT_EQ(s.delegate().preLogSnapshot(), want);

    // A second start finds the layout it left and changes nothing but what
    // the checks report again (notice 2 repeats while both are populated).
    Sandbox& again = s;
    again.d.reset();
    std::string before = again.state("$ZVD") + again.state("$FERN") + again.state("$ZORV");
    std::string noticesBefore = again.notices();
    MigrationResult r2 = again.migrate();
    EXPECT_EQ(again.state("$ZVD") + again.state("$FERN") + again.state("$ZORV"), before);
    std::string repeated = std::string(row.notices) == "2" ? s.notice2(s.zorv) : "";
    if (std::string(row.name) == "both legacy directories populated") repeated = s.notice2(s.zorv);
    EXPECT_EQ(again.notices().substr(noticesBefore.size()), repeated);
    EXPECT_EQ(r2.homeExisted, again.state("$ZVD") != "none");
  }
}

TEST(MigrationTest, ProbesOnceInOrderThenActs) {
  // The snapshot first (six probes, nothing probed twice), then the
  // candidate, the home check, the home again, the candidate a third time.
  Sandbox s;
  s.populated("$ZORV");
  s.migrate();
  const char* want[] = {
      "type $FERN",  "text $FERN", "type $ZORV", "resolve $ZORV", "exists $ZORV/encryption.key",
      "resolve $ZVD", "type $ZORV", "text $ZORV", "type $ZVD",     "text $ZVD",
      "type $ZVD",    "type $ZORV", "rename $ZORV -> $ZVD",         "link $ZORV -> $ZVD",
      "type $ZVD/.data-dir-migrated", "write $ZVD/.data-dir-migrated",
  };
  std::vector<std::string> expected;
  for (const char* w : want) expected.push_back(s.sub(w));
  EXPECT_EQ(s.files.sequence, expected);
}

TEST(MigrationTest, MarkerIsSortedPrettyJsonWrittenOnce) {
  Sandbox s;
  s.populated("$ZORV");
  s.migrate();
  EXPECT_EQ(marker(s), "{\n"
                       "  \"at\": \"2026-12-10T00:00:00Z\",\n"
                       "  \"from\": \"" + s.zorv + "\",\n"
                       "  \"from_version\": \"launcher-1.4.2\",\n"
                       "  \"history\": [\n"
                       "    \"" + s.zorv + "\"\n"
                       "  ]\n"
                       "}");
}

TEST(MigrationTest, VersionFallsBackToDev) {
  for (auto version : {InfoValue{}, InfoValue{InfoValue::Kind::kOther, ""}}) {
    Sandbox s;
    s.t.bundle.info["CFBundleVersion"] = version;
    s.populated("$ZORV");
    s.migrate();
    EXPECT_EQ(nlohmann::json::parse(marker(s))["from_version"], "launcher-dev");
  }
}

TEST(MigrationTest, ExistingMarkerInTheMovedDirectoryIsKept) {
  // A regular file, and a link that would lead the write somewhere else.
  Sandbox s;
  s.populated("$ZORV");
  writeFile(s.zorv + "/.data-dir-migrated", "{\"from\":\"/earlier\"}");
  s.migrate();
  EXPECT_EQ(marker(s), "{\"from\":\"/earlier\"}");

  Sandbox planted;
  planted.populated("$ZORV");
  planted.link("$ZORV/.data-dir-migrated", "$ELSE/written-through-link");
  planted.migrate();
  EXPECT_EQ(planted.state("$ZVD/.data-dir-migrated"), planted.sub("link:$ELSE/written-through-link"));
  EXPECT_EQ(planted.state("$ELSE/written-through-link"), "none");
}

TEST(MigrationTest, FailedRenameLinksTheHomeToTheLegacyDirectory) {
  Sandbox s;
  s.populated("$ZORV");
  s.files.failRename = [&s](const std::string&, const std::string& to) { return to == s.zvd; };
  MigrationResult r = s.migrate();
  EXPECT_FALSE(r.homeExisted);
  EXPECT_FALSE(r.reseedRequested);
  EXPECT_EQ(s.state("$ZVD"), s.sub("link:$ZORV"));
  EXPECT_EQ(s.state("$ZORV"), "dir+key");
  EXPECT_EQ(s.state("$ZORV/.data-dir-migrated"), "none");

  // The next start finds the linked home and leaves everything alone.
  s.files.failRename = nullptr;
  s.files.calls.clear();
  s.d.reset();
  MigrationResult again = s.migrate();
  EXPECT_TRUE(again.homeExisted);
  EXPECT_FALSE(again.reseedRequested);
  EXPECT_THAT(s.files.calls, ::testing::IsEmpty());
  EXPECT_EQ(s.state("$ZVD"), s.sub("link:$ZORV"));
  EXPECT_EQ(s.notices(), "");
}

TEST(MigrationTest, CanonicallyEquivalentSpellingsCountAsTheSamePath) {
  // The home's name is precomposed on disk; the link texts spell it
  // decomposed, as a file system that stores NFD would hand it back.
  const std::string nfc = "Ren\u00e9e", nfd = "Rene\u0301e";
  auto respell = [&](std::string p) { return p.replace(p.find(nfc), nfc.size(), nfd); };

  Sandbox fern(nfc);  // fernvale links to the home: not a plant
  fern.populated("$ZORV");
  fern.populated("$ZVD");
  fern.link("$FERN", respell(fern.zvd));
  EXPECT_FALSE(fern.delegate().checkLegacyPlant(fern.fern, fern.snapshot(), fern.zorv, fern.zvd));
  EXPECT_EQ(fern.state("$FERN"), "link:" + respell(fern.zvd));

  Sandbox home(nfc);  // the home links to the candidate: left alone
  home.populated("$ZORV");
  home.link("$ZVD", respell(home.zorv));
  EXPECT_FALSE(home.delegate().checkHomePlant(home.zorv, home.zorv, home.zvd));
  EXPECT_EQ(home.state("$ZVD"), "link:" + respell(home.zorv));
  EXPECT_EQ(home.notices(), "");
}

TEST(MigrationTest, BadHomes) {
  // No home directory at all: nothing to find, nothing created.
  {
    Sandbox s;
    s.t.process.home = s.t.root + "/no-such-home";
    MigrationResult r = s.migrate();
    EXPECT_FALSE(r.homeExisted);
    EXPECT_FALSE(r.reseedRequested);
    EXPECT_FALSE(fs::exists(s.t.root + "/no-such-home"));
  }
  // A home whose path is not UTF-8: the move happens, the marker cannot be
  // expressed in JSON and is skipped rather than crashing the launcher.
  {
    Sandbox s("h\xff");
    s.populated("$ZORV");
    MigrationResult r = s.migrate();
    EXPECT_FALSE(r.homeExisted);
    EXPECT_EQ(s.state("$ZVD"), "dir+key");
    EXPECT_EQ(s.state("$ZORV"), "link:" + s.zvd);
    EXPECT_EQ(s.state("$ZVD/.data-dir-migrated"), "none");
  }
}

}  // namespace
}  // namespace ql::testing
