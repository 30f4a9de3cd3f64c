// Fault injection through the seam: the legacy migration with its plant
// checks, seeding and the install flow are run once per changing file-system
// call (and per child launch), failing that one call with each of the errors
// a real disk gives. After every run the user's data, the seeded binary and
// the installed bundle must be whole, the outcome must be the one the
// launcher documents for that failure, and a fault-free start afterwards
// must bring everything back.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include "app/app_delegate.h"
#include "tests/fakes/faulty_file_manager.h"
#include "tests/fakes/test_platform.h"
#include "tests/reliability/scripted_tasks.h"
#include "tests/reliability/tree.h"

namespace ql::testing {
namespace {

const int kErrors[] = {EACCES, ENOSPC, EROFS, EXDEV, EIO};
const char* const kVersion = "1.4.2";

std::string errnoName(int e) {
  switch (e) {
    case EACCES: return "EACCES";
    case ENOSPC: return "ENOSPC";
    case EROFS: return "EROFS";
    case EXDEV: return "EXDEV";
    case EIO: return "EIO";
  }
  return std::to_string(e);
}

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// Totals over the whole run, printed at the end for docs/RELIABILITY.md.
struct Tally {
  std::map<std::string, std::set<std::string>> points;  // scenario -> calls failed
  int runs = 0;
  ~Tally() {
    size_t distinct = 0;
    for (auto& [name, calls] : points) distinct += calls.size();
    std::cout << "[fault-injection] " << points.size() << " scenarios, " << distinct
              << " injection points x " << std::size(kErrors) << " errors = " << runs << " faulted runs\n";
  }
};
Tally& tally() {
  static Tally t;
  return t;
}

// A file system that cannot swap two entries in one step (renameat2's
// RENAME_EXCHANGE is missing on some file systems): the install must then
// fall back to moving the old bundle aside.
class SweepFileManager : public FaultyFileManager {
 public:
  using FaultyFileManager::FaultyFileManager;
  bool exchangeUnsupported = false;
  Status exchange(const std::string& a, const std::string& b) override {
    if (exchangeUnsupported) return Status::Posix(EINVAL);
    return FaultyFileManager::exchange(a, b);
  }
};

// One launcher world: the real file manager over a temporary directory,
// wrapped so one changing call fails, and children that end at once.
struct World {
  TestPlatform t;
  SweepFileManager faulty{t.files};
  ScriptedTasks tasks;
  World() {
    t.fileManager = &faulty;
    t.tasks = &tasks;
  }
  size_t alertsBeforeRestart = 0;
  std::string zvd() const { return t.home + "/.quillmark"; }
  std::string expectedMarker() {
    InfoValue v = t.bundle.infoValue("CFBundleVersion");
    return v.isString() ? v.string : "dev";
  }
  std::string fernvale() const { return t.home + "/.fernvale"; }
  std::string zorvan() const { return t.home + "/.zorvan"; }
  std::string seeded() const { return zvd() + "/bin/quillmark"; }
  std::string bundledService() const { return t.bundle.path + "/Contents/Resources/bin/quillmark"; }
  std::string alertTexts() {
    std::string all;
    for (const Alert& a : t.alerts.shown()) all += a.messageText + "\n" + a.informativeText + "\n---\n";
    return all;
  }
  size_t alertsWithPrefix(const std::string& prefix, size_t from = 0) {
    size_t n = 0;
    auto shown = t.alerts.shown();
    for (size_t i = from; i < shown.size(); ++i) {
      if (shown[i].messageText.rfind(prefix, 0) == 0 || shown[i].informativeText.rfind(prefix, 0) == 0) ++n;
    }
    return n;
  }
};

// What a fault injected into one run was.
struct Injection {
  std::string call;  // "rename a -> b", or the executable of a child
  int err = 0;
  bool isTask = false;
  bool is(const std::string& op, const std::string& path) const {
    return call.rfind(op + " " + path, 0) == 0;
  }
  bool touches(const std::string& fragment) const { return contains(call, fragment); }
};

struct Scenario {
  std::string name;
  std::function<void(World&)> arrange;
  std::function<void(World&)> act;
  std::function<void(World&, const Injection&)> check;
  std::function<void(World&)> recover;
};

// Runs `s` once for every changing call it makes and every error, failing
// just that call; then (when `withTasks`) once for every child it starts.
void sweep(const Scenario& s, bool withTasks = false) {
  auto runOne = [&](int index, int err, bool task) -> bool {
    auto w = std::make_unique<World>();
    s.arrange(*w);
    if (task) {
      w->tasks.failLaunch(index, err);
    } else {
      w->faulty.failCall(index, err);
    }
    s.act(*w);
    Injection inj{task ? w->tasks.injected() : w->faulty.injected(), err, task};
    if (inj.call.empty()) return false;  // ran past the last call
    SCOPED_TRACE(s.name + ": " + (task ? "launch of " : "") + inj.call + " failed with " + errnoName(err) +
                 "\nfile-system calls: " + [&] {
                   std::string all;
                   for (auto& c : w->faulty.calls()) all += "\n  " + c;
                   return all;
                 }() + "\nstandard error:\n" + w->t.stderrText() + "\nalerts:\n" + w->alertTexts());
    s.check(*w, inj);
    w->faulty.failCall(-1, 0);
    w->tasks.failLaunch(-1, 0);
    if (s.recover) s.recover(*w);
    std::string point = (task ? "launch " : "") + inj.call;
    for (size_t at; (at = point.find(w->t.root)) != std::string::npos;) point.replace(at, w->t.root.size(), "<root>");
    tally().points[s.name].insert(point);
    ++tally().runs;
    return true;
  };
  // A layout in which the step changes nothing is still checked once.
  auto w = std::make_unique<World>();
  s.arrange(*w);
  s.act(*w);
  if (w->faulty.calls().empty()) {
    SCOPED_TRACE(s.name + ": no changing call\nstandard error:\n" + w->t.stderrText());
    s.check(*w, Injection{});
    if (s.recover) s.recover(*w);
    tally().points[s.name];
    return;
  }
  for (int err : kErrors) {
    for (int i = 0; runOne(i, err, false); ++i) {
      if (::testing::Test::HasFailure()) return;  // one clear report per scenario
    }
    if (!withTasks) continue;
    for (int i = 0; runOne(i, err, true); ++i) {
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// ---------------------------------------------------------------------------
// Legacy migration and the plant checks

// Every data directory laid out by a scenario, by tag, must still exist
// whole somewhere under the sandbox, whatever failed.
void expectNoDataLost(World& w, const std::vector<std::string>& tags) {
  std::vector<FoundKey> keys = findKeys(w.t.root);
  for (const std::string& tag : tags) {
    bool found = false;
    for (const FoundKey& k : keys) {
      if (k.contents == tag && holdsDataDirectory(k.directory, tag)) found = true;
    }
    EXPECT_TRUE(found) << "the data directory tagged " << tag << " is gone or torn apart";
  }
}

// A fresh process starts after the faulted one, with nothing failing.
std::shared_ptr<AppDelegate> restart(World& w) {
  w.alertsBeforeRestart = w.t.alerts.shown().size();
  w.t.process.pid += 1;
  auto d = w.t.makeDelegate();
  d->applicationDidFinishLaunching();
  w.t.dispatch.drain();
  return d;
}

// After a clean start: the home resolves to the winning data, the service
// binary is the bundle's with its marker, no staged copy is left.
void expectRecovered(World& w, const std::shared_ptr<AppDelegate>& d, const std::string& winner,
                     const std::vector<std::string>& tags) {
  SCOPED_TRACE("after a fault-free start; standard error:\n" + w.t.stderrText() + "\nalerts:\n" + w.alertTexts());
  expectNoDataLost(w, tags);
  if (!winner.empty()) {
    EXPECT_TRUE(holdsDataDirectory(w.zvd(), winner)) << "home does not lead to " << winner;
  }
  EXPECT_EQ(d->zorvan(), w.seeded());
  EXPECT_EQ(treeDigest(w.seeded()), treeDigest(w.bundledService()));
  EXPECT_EQ(readFile(w.zvd() + "/bin/.seed"), w.expectedMarker());
  EXPECT_EQ(w.alertsWithPrefix("Couldn't install the Quillmark daemon", w.alertsBeforeRestart), 0u);
  EXPECT_EQ(w.alertsWithPrefix("The Quillmark app bundle was modified", w.alertsBeforeRestart), 0u);
}

struct MigrationCase {
  std::string name;
  std::function<void(World&)> arrange;
  std::vector<std::string> tags;  // every data directory laid out
  std::string winner;             // the data the home must lead to
  MigrationResult expected;
  std::string notice;             // a notice every run must write ("" for none)
};

void PrintTo(const MigrationCase& c, std::ostream* os) { *os << c.name; }

class MigrationFaults : public ::testing::TestWithParam<MigrationCase> {};

TEST_P(MigrationFaults, EveryFailedCallKeepsTheDataAndTheNextStartRecovers) {
  const MigrationCase& c = GetParam();
  Scenario s;
  s.name = "migration/" + c.name;
  s.arrange = [&](World& w) {
    w.t.makeBundle(false, kVersion);
    w.t.process.env["ZORVAN_SKIP_INSTALL"] = "1";
    c.arrange(w);
  };
  MigrationResult got;
  s.act = [&](World& w) {
    auto d = w.t.makeDelegate();
    got = d->migrateLegacyDataDir();
  };
  s.check = [&](World& w, const Injection& inj) {
    expectNoDataLost(w, c.tags);
    EXPECT_TRUE(w.t.alerts.shown().empty()) << "the migration never shows an alert";
    EXPECT_EQ(got.homeExisted, c.expected.homeExisted);
    EXPECT_EQ(got.reseedRequested, c.expected.reseedRequested);
    if (!c.notice.empty()) {
      EXPECT_TRUE(contains(w.t.stderrText(), c.notice)) << "missing notice " << c.notice;
    }
    // One failed call is never enough to leave a planted home in place.
    EXPECT_FALSE(contains(w.t.stderrText(), "could NOT be moved aside"));
    // Failures to make a link are ignored: only then may the home be missing
    // until the next start makes it.
    bool homeLinkFailed = inj.is("createSymbolicLink", w.zvd());
    if (!homeLinkFailed) {
      EXPECT_TRUE(holdsDataDirectory(w.zvd(), c.winner)) << "home does not lead to " << c.winner;
    }
    // The marker is written only after a move, never through a link, and is
    // either whole JSON or absent.
    std::string marker = readFile(w.zvd() + "/.data-dir-migrated");
    if (!marker.empty()) {
      EXPECT_EQ(marker.front(), '{');
    }
  };
  s.recover = [&](World& w) {
    auto d = restart(w);
    expectRecovered(w, d, c.winner, c.tags);
  };
  sweep(s);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MigrationFaults,
    ::testing::Values(
        MigrationCase{"zorvan-only",
                      [](World& w) { makeDataDirectory(w.zorvan(), "zorvan"); },
                      {"zorvan"}, "zorvan", {false, false}, ""},
        MigrationCase{"planted-fernvale",
                      [](World& w) {
                        makeDirs(w.fernvale());
                        writeFile(w.fernvale() + "/config.toml", "data_dir = '/tmp/evil'\n");
                        makeDataDirectory(w.zorvan(), "zorvan");
                      },
                      {"zorvan"}, "zorvan", {false, false}, "[quillmark] quarantined "},
        MigrationCase{"planted-fernvale-link",
                      [](World& w) {
                        makeDirs(w.t.root + "/attacker");
                        writeFile(w.t.root + "/attacker/config.toml", "data_dir = '/tmp/evil'\n");
                        makeLink(w.fernvale(), w.t.root + "/attacker");
                        makeDataDirectory(w.zorvan(), "zorvan");
                      },
                      {"zorvan"}, "zorvan", {false, false}, "[quillmark] quarantined "},
        MigrationCase{"planted-home",
                      [](World& w) {
                        makeDirs(w.zvd() + "/logs");
                        makeDirs(w.zvd() + "/bin");
                        writeFile(w.zvd() + "/config.toml", "data_dir = '/tmp/evil'\n");
                        makeDataDirectory(w.zorvan(), "zorvan");
                      },
                      {"zorvan"}, "zorvan", {false, true}, ""},
        MigrationCase{"planted-home-link",
                      [](World& w) {
                        makeLink(w.zvd(), w.t.root + "/nowhere");
                        makeDataDirectory(w.zorvan(), "zorvan");
                      },
                      {"zorvan"}, "zorvan", {false, true}, ""},
        MigrationCase{"both-legacy-populated",
                      [](World& w) {
                        makeDataDirectory(w.fernvale(), "fernvale");
                        makeDataDirectory(w.zorvan(), "zorvan");
                      },
                      {"fernvale", "zorvan"}, "fernvale", {false, false}, ""},
        MigrationCase{"home-and-zorvan-populated",
                      [](World& w) {
                        makeDataDirectory(w.zvd(), "home");
                        makeDataDirectory(w.zorvan(), "zorvan");
                      },
                      {"home", "zorvan"}, "home", {true, true}, "[quillmark] WARNING: both "},
        MigrationCase{"fernvale-links-elsewhere",
                      [](World& w) {
                        makeDataDirectory(w.t.root + "/external", "external");
                        makeLink(w.fernvale(), w.t.root + "/external");
                      },
                      {"external"}, "external", {false, false}, ""}),
    [](const auto& p) {
      std::string n = p.param.name;
      for (char& ch : n)
        if (ch == '-') ch = '_';
      return n;
    });

// ---------------------------------------------------------------------------
// Seeding, inside a whole start

struct SeedingCase {
  std::string name;
  std::function<void(World&)> arrange;
  std::vector<std::string> tags;
  std::string winner;
};

void PrintTo(const SeedingCase& c, std::ostream* os) { *os << c.name; }

class SeedingFaults : public ::testing::TestWithParam<SeedingCase> {};

TEST_P(SeedingFaults, TheSeededBinaryIsOldOrNewAndAFailureIsReported) {
  const SeedingCase& c = GetParam();
  std::string oldBinary;
  Scenario s;
  s.name = "seeding/" + c.name;
  s.arrange = [&](World& w) {
    w.t.makeBundle(false, kVersion);
    w.t.process.env["ZORVAN_SKIP_INSTALL"] = "1";
    c.arrange(w);
    oldBinary = treeDigest(w.seeded());
  };
  std::shared_ptr<AppDelegate> d;
  s.act = [&](World& w) {
    d = w.t.makeDelegate();
    d->applicationDidFinishLaunching();
    w.t.dispatch.drain();
  };
  s.check = [&](World& w, const Injection& inj) {
    expectNoDataLost(w, c.tags);
    const std::string newBinary = treeDigest(w.bundledService());
    const std::string now = treeDigest(w.seeded());
    EXPECT_TRUE(now == oldBinary || now == newBinary) << "seeded binary is neither the old nor the new one:\n"
                                                      << now;
    EXPECT_TRUE(entriesWithPrefix(w.zvd() + "/bin", "quillmark.seed.").empty())
        << "a staged copy was left behind";

    bool seedAlert = w.alertsWithPrefix("Couldn't install the Quillmark daemon into " + w.zvd() + "/bin:\n") == 1;
    const std::string everything = w.t.stderrText() + readFile(w.zvd() + "/logs/app.log");
    if (seedAlert) {
      EXPECT_TRUE(contains(everything, "] seed failed (")) << "the alert comes without its log line";
      EXPECT_EQ(d->zorvan(), "") << "a failed seeding must not go on to launch";
    } else {
      EXPECT_EQ(now, newBinary);
      EXPECT_EQ(readFile(w.zvd() + "/bin/.seed"), w.expectedMarker());
      EXPECT_EQ(d->zorvan(), w.seeded());
    }
    // The three seeding writes: their error is the one the user is shown.
    bool seedingWrite = inj.touches(w.seeded() + ".seed.") || inj.is("writeFile", w.zvd() + "/bin/.seed");
    bool stagedRemoval = inj.is("removeItem", w.seeded() + ".seed.");
    if (seedingWrite && !stagedRemoval) {
      EXPECT_TRUE(seedAlert) << "a failed seeding write must end in the install-error alert";
      EXPECT_TRUE(contains(w.alertTexts(), std::strerror(inj.err))) << "the alert hides the cause";
      EXPECT_TRUE(contains(everything, "seed failed (Error Domain=NSPOSIXErrorDomain Code=" +
                                           std::to_string(inj.err)));
    }
    // A failure with nothing to do with bin/ must not turn into a seeding
    // failure.
    if (!inj.touches(w.zvd() + "/bin") && !inj.is("rename", w.zorvan()) && !inj.is("createSymbolicLink", w.zvd())) {
      EXPECT_FALSE(seedAlert);
    }
  };
  s.recover = [&](World& w) {
    auto again = restart(w);
    expectRecovered(w, again, c.winner, c.tags);
  };
  sweep(s);
}

INSTANTIATE_TEST_SUITE_P(
    Homes, SeedingFaults,
    ::testing::Values(
        SeedingCase{"upgrade",
                    [](World& w) {
                      makeDataDirectory(w.zvd(), "home");
                      makeDirs(w.zvd() + "/bin");
                      writeFile(w.seeded(), "#!/bin/sh\n# old service\n", 0755);
                      writeFile(w.zvd() + "/bin/.seed", "1.0.0");
                    },
                    {"home"}, "home"},
        SeedingCase{"first-start-after-adoption",
                    [](World& w) { makeDataDirectory(w.zorvan(), "zorvan"); },
                    {"zorvan"}, "zorvan"},
        SeedingCase{"stale-staged-copy",
                    [](World& w) {
                      makeDataDirectory(w.zvd(), "home");
                      makeDirs(w.zvd() + "/bin");
                      writeFile(w.seeded(), "#!/bin/sh\n# old service\n", 0755);
                      writeFile(w.seeded() + ".seed.812", "half a copy");
                    },
                    {"home"}, "home"},
        SeedingCase{"development-build",
                    [](World& w) {
                      w.t.bundle.info["CFBundleVersion"] = {InfoValue::Kind::kOther, ""};
                      makeDataDirectory(w.zvd(), "home");
                      makeDirs(w.zvd() + "/bin");
                      writeFile(w.seeded(), "#!/bin/sh\n# old service\n", 0755);
                      writeFile(w.zvd() + "/bin/.seed", "dev");
                    },
                    {"home"}, "home"}),
    [](const auto& p) {
      std::string n = p.param.name;
      for (char& ch : n)
        if (ch == '-') ch = '_';
      return n;
    });

// ---------------------------------------------------------------------------
// The install flow

struct InstallCase {
  std::string name;
  bool oldInstallation;
  bool systemFolderUsable;  // else the user Applications folder is made
  bool exchangeUnsupported = false;
};

void PrintTo(const InstallCase& c, std::ostream* os) { *os << c.name; }

class InstallFaults : public ::testing::TestWithParam<InstallCase> {};

TEST_P(InstallFaults, TheInstalledBundleIsOldOrNewAndNothingStagedIsLeft) {
  const InstallCase& c = GetParam();
  std::string oldTree, newTree;
  auto target = [&](World& w) {
    return c.systemFolderUsable ? w.t.facts.systemApplicationsFolder : w.t.home + "/Applications";
  };
  auto destination = [&](World& w) { return target(w) + "/Quillmark.app"; };
  Scenario s;
  s.name = "install/" + c.name;
  s.arrange = [&](World& w) {
    if (!c.systemFolderUsable) w.t.facts.systemApplicationsFolder = w.t.root + "/no-such-folder";
    w.faulty.exchangeUnsupported = c.exchangeUnsupported;
    makeBundleTree(w.t.bundle.path, "new");
    newTree = treeDigest(w.t.bundle.path);
    if (c.systemFolderUsable) makeDirs(target(w));
    if (c.oldInstallation) makeBundleTree(destination(w), "old");
    oldTree = treeDigest(destination(w));
    if (c.systemFolderUsable) {
      makeBundleTree(target(w) + "/.Quillmark.install.77", "older attempt");
      writeFile(target(w) + "/.Zorvan.old.5", "older backup");
      writeFile(target(w) + "/.quillmark.install.1", "someone else's");
    }
    w.t.alerts.answer(kAlertFirstButtonReturn);
  };
  bool result = false;
  std::shared_ptr<AppDelegate> d;
  s.act = [&](World& w) {
    d = w.t.makeDelegate();
    result = d->maybeInstallToApplications();
    w.t.dispatch.drain();
  };
  s.check = [&](World& w, const Injection& inj) {
    const std::string dest = destination(w);
    const std::string staged = target(w) + "/.Quillmark.install.812";
    const std::string backup = target(w) + "/.Quillmark.old.812";
    std::string now = treeDigest(dest);
    EXPECT_TRUE(now == oldTree || now == newTree) << "installed bundle is neither old nor new:\n" << now;
    auto shown = w.t.alerts.shown();
    ASSERT_GE(shown.size(), 1u);
    EXPECT_EQ(shown[0].messageText, "Install Quillmark?");
    if (result) {
      EXPECT_EQ(now, newTree);
      EXPECT_EQ(w.t.workspace.opened, std::vector<std::string>{dest});
      EXPECT_EQ(shown.size(), 1u) << "an install that worked shows nothing more";
    } else {
      EXPECT_EQ(now, oldTree);
      EXPECT_TRUE(w.t.workspace.opened.empty());
      ASSERT_EQ(shown.size(), 2u);
      EXPECT_TRUE(shown[1].messageText == "Couldn't install to " + target(w) ||
                  shown[1].messageText == "Couldn't install Quillmark")
          << shown[1].messageText;
    }
    // Staged and backup copies are removed unless removing them was the
    // failing call (then the next attempt's sweep takes them); what is left
    // is a whole bundle.
    if (!inj.is("removeItem", staged)) {
      EXPECT_EQ(treeDigest(staged), "") << "staged bundle left behind";
    } else {
      std::string left = treeDigest(staged);
      EXPECT_TRUE(left == oldTree || left == newTree);
    }
    if (!inj.is("removeItem", backup)) {
      EXPECT_EQ(treeDigest(backup), "") << "backup bundle left behind";
    }
    if (c.systemFolderUsable) {
      for (const char* leftover : {"/.Quillmark.install.77", "/.Zorvan.old.5"}) {
        if (!inj.is("removeItem", target(w) + leftover)) {
          EXPECT_EQ(treeDigest(target(w) + leftover), "") << leftover << " not swept";
        }
      }
      EXPECT_EQ(readFile(target(w) + "/.quillmark.install.1"), "someone else's");
    }
    // The copy, the final rename and the assessment's start are the calls
    // whose failure the user is told about, with their own words.
    bool reported = inj.is("copyItem", w.t.bundle.path) || inj.is("rename", staged) ||
                    (inj.isTask && inj.call == w.t.facts.assessmentTool);
    if (reported) {
      EXPECT_FALSE(result);
      ASSERT_EQ(shown.size(), 2u);
      EXPECT_EQ(shown[1].informativeText,
                std::string(std::strerror(inj.err)) + "\n\nQuillmark will run from its current location instead.");
    }
    if (inj.isTask && inj.call == w.t.facts.quarantineTool) {
      EXPECT_TRUE(result) << "xattr failing to start must not stop the install";
      EXPECT_TRUE(contains(w.t.stderrText(), "] xattr spawn failed — quarantine bit may persist\n"));
    }
  };
  s.recover = [&](World& w) {
    // The next launch from the download folder tries again, cleanly.
    w.t.process.pid = 813;
    w.t.workspace.current.processIdentifier = 813;
    w.t.workspace.opened.clear();
    w.t.alerts.answer(kAlertFirstButtonReturn);
    auto again = w.t.makeDelegate();
    EXPECT_TRUE(again->maybeInstallToApplications()) << "standard error:\n" << w.t.stderrText() << w.alertTexts();
    w.t.dispatch.drain();
    EXPECT_EQ(treeDigest(destination(w)), newTree);
    for (const char* prefix : {".Quillmark.install.", ".Quillmark.old.", ".Zorvan.install.", ".Zorvan.old."}) {
      EXPECT_TRUE(entriesWithPrefix(target(w), prefix).empty()) << prefix << " left after a clean install";
    }
  };
  sweep(s, /*withTasks=*/true);
}

INSTANTIATE_TEST_SUITE_P(Targets, InstallFaults,
                         ::testing::Values(InstallCase{"upgrade_in_system_folder", true, true},
                                           InstallCase{"upgrade_without_exchange", true, true, true},
                                           InstallCase{"first_install_in_system_folder", false, true},
                                           InstallCase{"first_install_in_user_folder", false, false}),
                         [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace ql::testing
