// Launchers started at the same instant on one home, with the real binary:
// the legacy data directory is adopted once and nothing in it is lost, the
// seeded binary and its marker are whole, no staged copy is left, and each
// launcher runs or ends normally. Then two installs of one download racing
// for one Applications folder: a whole copy is installed, never none.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "tests/fakes/test_platform.h"
#include "tests/reliability/launcher_run.h"
#include "tests/reliability/tree.h"

namespace ql::testing {
namespace {

constexpr int kLaunchers = 8;
constexpr double kStartBound = 30.0;  // eight sanitizer builds on two cores
constexpr double kQuitBound = 15.0;
const char* const kVersion = "1.4.2";

struct World {
  TempDir tmp;
  std::string root = tmp.path();
  std::string home = root + "/home";
  std::string zvd = home + "/.quillmark";
  std::string state = root + "/state";
  std::string bundle = root + "/Downloads/Quillmark.app";
  std::string applications = home + "/Applications";
  std::string error;

  explicit World(const std::string& version = kVersion) {
    makeDirs(home);
    makeDirs(state);
    makeDirs(root + "/Downloads");
    std::string identifier = "com.talvoria.zorvan.concurrent-" + std::to_string(::getpid());
    makeSignedBundle(BuiltPrograms::fromBuild(), bundle, identifier, version, &error);
  }

  LaunchOptions options(int i, bool install) const {
    LaunchOptions o;
    o.executable = bundle + "/Contents/MacOS/Quillmark";
    o.home = home;
    o.stateDir = state;
    o.sandbox = root;
    o.install = install;
    o.capturePath = root + "/launcher-" + std::to_string(i) + ".out";
    return o;
  }
};

// A legacy data directory with more than the key: a nested folder, an empty
// one, a large file, a link of the user's.
void makeRichDataDirectory(const std::string& dir) {
  makeDataDirectory(dir, "zorvan");
  makeDirs(dir + "/attachments/2026/03");
  makeDirs(dir + "/empty");
  writeFile(dir + "/attachments/2026/03/scan.pdf", std::string(3 << 20, 'p'));
  writeFile(dir + "/notes.md", "# notes\n");
  makeLink(dir + "/latest", "attachments/2026/03/scan.pdf");
}

std::string readLinkOrEmpty(const std::string& path) {
  char buf[4096];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The digest of each direct entry of a directory, keyed by name: what the
// service keeps in a data directory, compared entry by entry so that the
// launcher's own files beside them (logs, bin/, the marker) do not count.
std::map<std::string, std::string> entryDigests(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const std::string& name : entriesWithPrefix(dir, "")) out[name] = treeDigest(dir + "/" + name);
  return out;
}

// Starts every launcher held at one gate and opens it once all exist, so
// they begin within a few milliseconds of each other.
std::vector<Launch> startTogether(std::vector<LaunchOptions> options) {
  int gate[2];
  EXPECT_EQ(::pipe2(gate, O_CLOEXEC), 0);
  std::vector<Launch> launches;
  for (LaunchOptions& o : options) {
    o.gateRead = gate[0];
    o.gateWrite = gate[1];
    launches.push_back(startLauncher(o));
  }
  ::close(gate[0]);
  ::close(gate[1]);
  return launches;
}

// Waits until each launcher has a serving instance or has ended; SIGTERM to
// every one that runs, then waits for all to end. Returns what went wrong.
std::vector<std::string> runAndQuit(std::vector<Launch>& launches, const World& w, int* running) {
  std::vector<std::string> problems;
  *running = 0;
  std::set<pid_t> serving;
  double deadline = monotonicSeconds() + kStartBound;
  for (;;) {
    serving.clear();
    for (pid_t s : servingInstances(w.state)) serving.insert(parentOf(s));
    bool settled = true;
    for (Launch& l : launches) {
      if (!pollEnded(l) && !serving.count(l.pid)) settled = false;
    }
    if (settled) break;
    if (monotonicSeconds() > deadline) {
      problems.push_back("a launcher neither ran nor ended within the bound");
      break;
    }
    sleepSeconds(0.05);
  }
  for (Launch& l : launches) {
    if (!l.reaped && serving.count(l.pid)) {
      ++*running;
      ::kill(l.pid, SIGTERM);
    }
  }
  double quitDeadline = monotonicSeconds() + kQuitBound;
  for (Launch& l : launches) {
    while (!pollEnded(l) && monotonicSeconds() < quitDeadline) sleepSeconds(0.02);
    if (!l.reaped) problems.push_back("launcher " + std::to_string(l.pid) + " did not end after SIGTERM");
  }
  return problems;
}

std::string outputs(const World& w, int n) {
  std::string all;
  for (int i = 0; i < n; ++i) {
    all += "--- launcher " + std::to_string(i) + ":\n" + readSmall(w.root + "/launcher-" + std::to_string(i) + ".out");
  }
  return all + "--- app.log:\n" + readSmall(w.zvd + "/logs/app.log");
}

TEST(ConcurrentLaunches, EightAtOnceAdoptTheLegacyDirectoryOnceAndSeedOnce) {
  World w;
  ASSERT_TRUE(w.error.empty()) << w.error;
  makeRichDataDirectory(w.home + "/.zorvan");
  const std::map<std::string, std::string> dataBefore = entryDigests(w.home + "/.zorvan");

  std::vector<LaunchOptions> options;
  for (int i = 0; i < kLaunchers; ++i) options.push_back(w.options(i, false));
  std::vector<Launch> launches = startTogether(options);
  int running = 0;
  std::vector<std::string> problems = runAndQuit(launches, w, &running);
  killEverythingUnder(w.root, nullptr);
  SCOPED_TRACE(outputs(w, kLaunchers));
  for (const std::string& p : problems) ADD_FAILURE() << p;

  // Adopted once: the home is the directory itself, byte for byte, and the
  // legacy path is the one link to it.
  struct stat st;
  ASSERT_EQ(::lstat(w.zvd.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode)) << "~/.quillmark is not a real directory";
  EXPECT_EQ(readLinkOrEmpty(w.home + "/.zorvan"), w.zvd);
  std::map<std::string, std::string> dataAfter = entryDigests(w.zvd);
  for (const auto& [name, digest] : dataBefore) {
    EXPECT_TRUE(dataAfter.count(name) && dataAfter[name] == digest) << name << " lost or changed in the move";
  }
  EXPECT_EQ(::access((w.zvd + "/.data-dir-migrated").c_str(), F_OK), 0);
  // One migration, so no launcher saw two data directories or a plant.
  for (int i = 0; i < kLaunchers; ++i) {
    std::string out = readSmall(w.root + "/launcher-" + std::to_string(i) + ".out");
    EXPECT_EQ(out.find("[quillmark] WARNING: both"), std::string::npos) << "launcher " << i;
    EXPECT_EQ(out.find("quarantined"), std::string::npos) << "launcher " << i;
    EXPECT_EQ(out.find("[alert]"), std::string::npos) << "launcher " << i;
  }
  for (const std::string& name : entriesWithPrefix(w.home, ".")) {
    EXPECT_EQ(name.find(".quarantine-"), std::string::npos) << name;
  }

  // Seeded whole, marker current, nothing staged left behind.
  EXPECT_EQ(readFile(w.zvd + "/bin/quillmark"), readFile(w.bundle + "/Contents/Resources/bin/quillmark"));
  EXPECT_EQ(readFile(w.zvd + "/bin/.seed"), kVersion);
  EXPECT_EQ(entriesWithPrefix(w.zvd + "/bin", "quillmark.seed."), std::vector<std::string>{});
  EXPECT_EQ(entriesWithPrefix(w.zvd + "/bin", ".seed.tmp."), std::vector<std::string>{});
  EXPECT_EQ(running, kLaunchers) << "every launcher starts its own service (none is recorded in a lock file)";
}

// Two starts of one download, both answered "Install", over an older copy
// in ~/Applications: at every instant and at the end a whole bundle is
// installed, the new one, and no staged or backup bundle is left.
TEST(ConcurrentInstalls, TwoRacingInstallsLeaveOneWholeCopy) {
  World w;
  ASSERT_TRUE(w.error.empty()) << w.error;
  makeDataDirectory(w.home + "/.zorvan", "zorvan");
  makeDirs(w.applications);
  std::string why;
  ASSERT_TRUE(makeSignedBundle(BuiltPrograms::fromBuild(), w.applications + "/Quillmark.app",
                               "com.talvoria.zorvan.concurrent-old-" + std::to_string(::getpid()), "1.0.0", &why))
      << why;
  const std::string newBundle = treeDigest(w.bundle);
  const std::string dest = w.applications + "/Quillmark.app";

  std::vector<Launch> firsts = startTogether({w.options(0, true), w.options(1, true)});
  // The first launchers end once their relaunch is through; meanwhile the
  // destination must always hold a whole bundle, old or new.
  std::set<std::string> seen;
  double deadline = monotonicSeconds() + kStartBound;
  bool ended = false;
  while (monotonicSeconds() < deadline) {
    ended = pollEnded(firsts[0]) & pollEnded(firsts[1]);
    if (ended) break;
    struct stat st;
    if (::lstat((dest + "/Contents/Info.plist").c_str(), &st) != 0) seen.insert("none");
    sleepSeconds(0.005);
  }
  EXPECT_TRUE(ended) << "an installing launcher did not end";
  // The installed copies start; each runs its service or ends.
  std::vector<pid_t> relaunched;
  double runDeadline = monotonicSeconds() + kStartBound;
  while (monotonicSeconds() < runDeadline) {
    relaunched.clear();
    for (pid_t p : processesUnder(w.applications)) {
      if (std::string(readSmall("/proc/" + std::to_string(p) + "/cmdline")).find("Contents/MacOS/Quillmark") != std::string::npos) {
        relaunched.push_back(p);
      }
    }
    std::set<pid_t> serving;
    for (pid_t s : servingInstances(w.state)) serving.insert(parentOf(s));
    bool settled = true;
    for (pid_t p : relaunched) {
      if (!serving.count(p)) settled = false;
    }
    if (settled) break;
    sleepSeconds(0.05);
  }
  for (pid_t p : relaunched) ::kill(p, SIGTERM);
  double quitDeadline = monotonicSeconds() + kQuitBound;
  for (pid_t p : relaunched) {
    while (processRunning(p) && monotonicSeconds() < quitDeadline) sleepSeconds(0.02);
    EXPECT_FALSE(processRunning(p)) << "installed copy " << p << " did not end after SIGTERM";
  }
  killEverythingUnder(w.root, nullptr);
  SCOPED_TRACE(outputs(w, 2));
  if (std::getenv("QL_SHOW_OUTPUT")) std::printf("%s\n", outputs(w, 2).c_str());

  EXPECT_EQ(seen.count("none"), 0u) << "for a moment no bundle was installed";
  // Compared as a whole: a digest holds every byte of the bundle, far too
  // much for a printed difference.
  EXPECT_TRUE(treeDigest(dest) == newBundle) << "the installed bundle is not the whole new copy";
  EXPECT_EQ(entriesWithPrefix(w.applications, ".Quillmark."), std::vector<std::string>{});
  EXPECT_FALSE(everServed(w.state).empty()) << "no installed copy reached its running state";
  EXPECT_TRUE(holdsDataDirectory(w.zvd, "zorvan"));
  int installedOrDeferred = 0;
  for (int i = 0; i < 2; ++i) {
    std::string out = readSmall(w.root + "/launcher-" + std::to_string(i) + ".out");
    EXPECT_EQ(out.find("[alert] Couldn't install"), std::string::npos) << "launcher " << i << " failed to install";
    if (out.find("install: spctl ok") != std::string::npos) ++installedOrDeferred;
  }
  EXPECT_GE(installedOrDeferred, 1);
}

}  // namespace
}  // namespace ql::testing
