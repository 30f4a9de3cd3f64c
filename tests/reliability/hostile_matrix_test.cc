// The hostile-entry matrix: every path the launcher opens, creates, writes,
// renames or removes, each with every kind of entry someone else could have
// planted there, against the real launcher binary on a signed bundle in a
// sandbox home. After each launch: nothing precious changed, the launcher
// ended or reached its running state (and then quit on SIGTERM), and the
// outcome is the documented one or a clear error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>

#include "tests/fakes/test_platform.h"
#include "tests/reliability/launcher_run.h"
#include "tests/reliability/tree.h"

namespace ql::testing {
namespace {

// How long a launch may take to reach its running state or end, and how
// long the quit after SIGTERM may take; both far above a normal run under
// the sanitizers (about a second), so only a hang reaches them.
constexpr double kStartBound = 12.0;
constexpr double kQuitBound = 10.0;
const char* const kVersion = "1.4.2";

enum class Plant { kLinkToPreciousFile, kLinkToPreciousDir, kDanglingLink, kFifo, kSocket, kDirectory, kLinkToDevZero };
const Plant kPlants[] = {Plant::kLinkToPreciousFile, Plant::kLinkToPreciousDir, Plant::kDanglingLink, Plant::kFifo,
                         Plant::kSocket,             Plant::kDirectory,         Plant::kLinkToDevZero};

const char* plantName(Plant p) {
  switch (p) {
    case Plant::kLinkToPreciousFile: return "link_to_precious_file";
    case Plant::kLinkToPreciousDir: return "link_to_precious_dir";
    case Plant::kDanglingLink: return "dangling_link";
    case Plant::kFifo: return "fifo";
    case Plant::kSocket: return "socket";
    case Plant::kDirectory: return "directory";
    case Plant::kLinkToDevZero: return "link_to_dev_zero";
  }
  return "?";
}

// Rows known to fail, each with its cause, while a fix is under way; none
// today. A row listed here that passes fails the test, so the list cannot
// go stale.
const std::map<std::string, std::string> kKnownFailures = {};

// What the sandbox starts from.
enum class Base {
  kUpgrade,        // only a populated ~/.zorvan: the first start after an upgrade
  kAdopted,        // a populated ~/.quillmark, seeded, marker current
  kStaleSeed,      // the same with an older seed marker: this start seeds
  kFernvalePlant,  // populated ~/.zorvan and an empty ~/.fernvale (a plant)
  kKeylessHome,    // populated ~/.zorvan and a ~/.quillmark without a key
};

enum class Outcome {
  kRuns,                   // reaches its running state, no alert
  kFails,                  // "Quillmark failed to start" with `text`, then ends
  kRunsAfterInstallError,  // the install alert `text`, then runs from the download
  kInstalled,              // installed whole; the installed copy runs
};

struct Expected {
  Outcome outcome = Outcome::kRuns;
  std::string text;
};

struct Sandbox {
  TempDir tmp;
  std::string root = tmp.path();
  std::string home = root + "/home";
  std::string zvd = home + "/.quillmark";
  std::string precious = root + "/precious";
  std::string preciousFile = precious + "/secret.txt";
  std::string preciousDir = precious + "/dir";
  std::string state = root + "/state";
  std::string downloads = root + "/Downloads";
  std::string bundle = downloads + "/Quillmark.app";
  std::string applications = home + "/Applications";
  std::string capture = root + "/launcher.out";
  std::string other = root + "/Other/Other.app";
};

struct Row {
  const char* name;
  const char* shown;  // the path as the table in docs/RELIABILITY.md gives it
  Base base;
  bool install;
  // The paths to plant at, given the launcher's process id.
  std::function<std::vector<std::string>(const Sandbox&, pid_t)> paths;
  std::function<Expected(Plant)> expected;
  // Entries a link to the precious directory may gain by contract (the
  // user Applications folder is used wherever it leads).
  std::set<std::string> mayAddToPreciousDir = {};
  // Run on the desktop backend from an installed bundle (the desktop entry
  // is written there only); needs a display and a session bus.
  bool desktop = false;
};

Expected runs() { return {Outcome::kRuns, ""}; }
Expected fails(std::string text) { return {Outcome::kFails, std::move(text)}; }
Expected installError(std::string text) { return {Outcome::kRunsAfterInstallError, std::move(text)}; }
Expected installed() { return {Outcome::kInstalled, ""}; }

const char* const kSeedError = "Couldn't install the Quillmark daemon into ";

// Quarantine names carry the time in whole seconds: plant at each second
// the launch may read.
std::vector<std::string> timedNames(const std::string& path) {
  std::vector<std::string> out;
  long long now = static_cast<long long>(std::time(nullptr));
  for (long long t = now; t <= now + 4; ++t) out.push_back(path + ".quarantine-" + std::to_string(t));
  return out;
}

// The bundle identifier of this run's template, which is also the desktop
// application id (letters, digits and dots only, so nothing is repaired).
std::string applicationId() { return "com.talvoria.zorvan.matrix" + std::to_string(::getpid()); }

std::vector<Row> rows() {
  auto one = [](std::string (*f)(const Sandbox&, pid_t)) {
    return [f](const Sandbox& s, pid_t pid) { return std::vector<std::string>{f(s, pid)}; };
  };
  auto all = [](Expected e) { return [e](Plant) { return e; }; };
  auto exceptDirectory = [](Expected dir, Expected rest) {
    return [dir, rest](Plant p) { return p == Plant::kDirectory ? dir : rest; };
  };
  return {
      {"fernvale", "~/.fernvale", Base::kUpgrade, false,
       one([](const Sandbox& s, pid_t) { return s.home + "/.fernvale"; }), all(runs())},
      {"zorvan", "~/.zorvan", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.home + "/.zorvan"; }), all(runs())},
      {"home", "~/.quillmark", Base::kUpgrade, false, one([](const Sandbox& s, pid_t) { return s.zvd; }),
       all(runs())},
      {"fernvale_quarantine", "~/.fernvale.quarantine-<seconds>", Base::kFernvalePlant, false,
       [](const Sandbox& s, pid_t) { return timedNames(s.home + "/.fernvale"); }, all(runs())},
      {"home_quarantine", "~/.quillmark.quarantine-<seconds>", Base::kKeylessHome, false,
       [](const Sandbox& s, pid_t) { return timedNames(s.zvd); }, all(runs())},
      // The moved directory brings its marker along: planted in ~/.zorvan,
      // it is at ~/.quillmark/.data-dir-migrated once adopted.
      {"migration_marker", "~/.quillmark/.data-dir-migrated", Base::kUpgrade, false,
       one([](const Sandbox& s, pid_t) { return s.home + "/.zorvan/.data-dir-migrated"; }), all(runs())},
      {"logs_dir", "~/.quillmark/logs", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.zvd + "/logs"; }), all(runs())},
      {"app_log", "~/.quillmark/logs/app.log", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.zvd + "/logs/app.log"; }), all(runs())},
      {"bin_dir", "~/.quillmark/bin", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.zvd + "/bin"; }), exceptDirectory(runs(), fails(kSeedError))},
      {"seeded_binary", "~/.quillmark/bin/quillmark", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.zvd + "/bin/quillmark"; }),
       exceptDirectory(fails(kSeedError), runs())},
      {"seed_marker", "~/.quillmark/bin/.seed", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.zvd + "/bin/.seed"; }), exceptDirectory(fails(kSeedError), runs())},
      {"seed_marker_temp", "~/.quillmark/bin/.seed.tmp.<pid>", Base::kStaleSeed, false,
       one([](const Sandbox& s, pid_t pid) { return s.zvd + "/bin/.seed.tmp." + std::to_string(pid); }),
       all(runs())},
      {"staged_seed", "~/.quillmark/bin/quillmark.seed.<pid>", Base::kStaleSeed, false,
       one([](const Sandbox& s, pid_t pid) { return s.zvd + "/bin/quillmark.seed." + std::to_string(pid); }),
       all(runs())},
      {"leftover_zorvan", "~/.quillmark/bin/zorvan", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.zvd + "/bin/zorvan"; }), all(runs())},
      {"config_toml", "~/.quillmark/config.toml", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.zvd + "/config.toml"; }), all(runs())},
      {"lock_file", "~/.quillmark/zorvan.lock", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.zvd + "/zorvan.lock"; }), all(runs())},
      // Any change to a signed bundle is refused; which of the two
      // signature messages depends on how far the check gets.
      {"own_info_plist", "<bundle>/Contents/Info.plist", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.bundle + "/Contents/Info.plist"; }), all(fails("code signature"))},
      {"other_info_plist", "<running bundle>/Contents/Info.plist", Base::kUpgrade, true,
       one([](const Sandbox& s, pid_t) { return s.other + "/Contents/Info.plist"; }), all(installed())},
      {"user_applications", "~/Applications", Base::kUpgrade, true,
       one([](const Sandbox& s, pid_t) { return s.applications; }),
       [](Plant p) {
         switch (p) {
           case Plant::kLinkToPreciousDir:
           case Plant::kDirectory:
             return installed();
           case Plant::kDanglingLink:
             return installError("Couldn't install Quillmark\n");
           default:
             return installError("Couldn't install to ");
         }
       },
       {"Quillmark.app"}},
      {"destination", "~/Applications/Quillmark.app", Base::kUpgrade, true,
       one([](const Sandbox& s, pid_t) { return s.applications + "/Quillmark.app"; }),
       [](Plant p) { return p == Plant::kDanglingLink ? installError("Couldn't install to ") : installed(); }},
      {"staged_bundle", "~/Applications/.Quillmark.install.<pid>", Base::kUpgrade, true,
       one([](const Sandbox& s, pid_t pid) { return s.applications + "/.Quillmark.install." + std::to_string(pid); }),
       all(installed())},
      {"backup_bundle", "~/Applications/.Quillmark.old.<pid>", Base::kUpgrade, true,
       one([](const Sandbox& s, pid_t pid) { return s.applications + "/.Quillmark.old." + std::to_string(pid); }),
       all(installed())},
      {"desktop_folder", "~/.local/share/applications", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.home + "/.local/share/applications"; }), all(runs()),
       {applicationId() + ".desktop"}, true},
      {"desktop_entry", "~/.local/share/applications/<id>.desktop", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) { return s.home + "/.local/share/applications/" + applicationId() + ".desktop"; }),
       all(runs()), {}, true},
      {"desktop_entry_temp", "~/.local/share/applications/<id>.desktop.tmp.<pid>", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t pid) {
         return s.home + "/.local/share/applications/" + applicationId() + ".desktop.tmp." + std::to_string(pid);
       }),
       all(runs()), {}, true},
      {"desktop_icon", "~/.local/share/icons/hicolor/scalable/apps/<id>.svg", Base::kAdopted, false,
       one([](const Sandbox& s, pid_t) {
         return s.home + "/.local/share/icons/hicolor/scalable/apps/" + applicationId() + ".svg";
       }),
       all(runs()), {}, true},
      {"earlier_leftover", "~/Applications/.Zorvan.old.99999999", Base::kUpgrade, true,
       one([](const Sandbox& s, pid_t) { return s.applications + "/.Zorvan.old.99999999"; }), all(installed())},
  };
}

// ---------------------------------------------------------------------------
// The signed bundle, made once per run of this program.

struct Template {
  TempDir dir;
  std::string bundle = dir.path() + "/Quillmark.app";
  std::string digest;
  std::string error;
};

Template& bundleTemplate() {
  static Template* t = [] {
    auto* made = new Template;
    std::string identifier = applicationId();
    if (makeSignedBundle(BuiltPrograms::fromBuild(), made->bundle, identifier, kVersion, &made->error)) {
      made->digest = treeDigest(made->bundle);
    }
    return made;
  }();
  return *t;
}

void run(const std::string& cmd) {
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

void layOut(const Sandbox& s, const Row& row) {
  makeDirs(s.home);
  makeDirs(s.state);
  makeDirs(s.downloads);
  makeDirs(s.preciousDir + "/logs");
  makeDirs(s.preciousDir + "/bin");
  writeFile(s.preciousFile, "precious secret\n", 0600);
  // The names the launcher writes, so that a write through a link shows.
  for (const char* name : {"notes.txt", "app.log", "quillmark", ".seed", "logs/app.log", "bin/quillmark", "bin/.seed"}) {
    writeFile(s.preciousDir + "/" + name, std::string("precious ") + name + "\n", 0600);
  }
  makeDirs(s.bundle.substr(0, s.bundle.rfind('/')));
  run("cp -a '" + bundleTemplate().bundle + "' '" + s.bundle + "'");

  auto seeded = [&](const std::string& marker) {
    makeDataDirectory(s.zvd, "home");
    makeDirs(s.zvd + "/logs");
    makeDirs(s.zvd + "/bin");
    writeFile(s.zvd + "/logs/app.log", "[2026-01-01T00:00:00Z] an earlier launch\n");
    writeFile(s.zvd + "/bin/quillmark", readFile(s.bundle + "/Contents/Resources/bin/quillmark"), 0755);
    writeFile(s.zvd + "/bin/.seed", marker);
  };
  switch (row.base) {
    case Base::kUpgrade:
      makeDataDirectory(s.home + "/.zorvan", "zorvan");
      break;
    case Base::kAdopted:
      seeded(kVersion);
      break;
    case Base::kStaleSeed:
      seeded("1.0.0");
      break;
    case Base::kFernvalePlant:
      makeDataDirectory(s.home + "/.zorvan", "zorvan");
      makeDirs(s.home + "/.fernvale");
      break;
    case Base::kKeylessHome:
      makeDataDirectory(s.home + "/.zorvan", "zorvan");
      makeDirs(s.zvd);
      writeFile(s.zvd + "/config.toml", "port = 4100\n");
      break;
  }
  if ((row.install || row.desktop) && std::string(row.name) != "user_applications") makeDirs(s.applications);
}

// Plants `kind` at `path`, replacing whatever is there; returns "" or why not.
std::string plant(const Sandbox& s, const std::string& path, Plant kind) {
  std::string parent = path.substr(0, path.rfind('/'));
  (void)!std::system(("mkdir -p '" + parent + "' && rm -rf '" + path + "'").c_str());
  int rc = 0;
  switch (kind) {
    case Plant::kLinkToPreciousFile: rc = ::symlink(s.preciousFile.c_str(), path.c_str()); break;
    case Plant::kLinkToPreciousDir: rc = ::symlink(s.preciousDir.c_str(), path.c_str()); break;
    case Plant::kDanglingLink: rc = ::symlink((s.root + "/nowhere/missing").c_str(), path.c_str()); break;
    case Plant::kLinkToDevZero: rc = ::symlink("/dev/zero", path.c_str()); break;
    case Plant::kFifo: rc = ::mkfifo(path.c_str(), 0644); break;
    case Plant::kDirectory:
      rc = ::mkdir(path.c_str(), 0755);
      if (rc == 0) {
        FILE* f = std::fopen((path + "/planted.txt").c_str(), "w");
        if (f) std::fclose(f);
      }
      break;
    case Plant::kSocket: {
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      if (path.size() >= sizeof addr.sun_path) return "socket path too long: " + path;
      std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      rc = fd < 0 ? -1 : ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      if (fd >= 0) ::close(fd);  // the node stays; nobody listens on it
      break;
    }
  }
  return rc == 0 ? "" : "cannot plant at " + path + ": " + std::strerror(errno);
}

// A running program from another bundle, for the install's running-copy check.
pid_t startOtherBundle(const Sandbox& s) {
  makeDirs(s.other + "/Contents/MacOS");
  run("cp /bin/sleep '" + s.other + "/Contents/MacOS/Other'");
  writeFile(s.other + "/Contents/Info.plist",
            "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.example.other</string>"
            "</dict></plist>\n");
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    std::string exe = s.other + "/Contents/MacOS/Other";
    execl(exe.c_str(), exe.c_str(), "120", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Until its exec is through, /proc does not name the bundle yet.
  for (int i = 0; i < 200; ++i) {
    char buf[4096];
    ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf);
    if (n > 0 && std::string(buf, static_cast<size_t>(n)).find("Other.app") != std::string::npos) break;
    sleepSeconds(0.01);
  }
  return pid;
}

// One record per entry below `root` (links not followed): its type and
// mode, and its size and a hash of its bytes or its link text.
std::map<std::string, std::string> entryRecords(const std::string& root) {
  std::map<std::string, std::string> out;
  std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& path,
                                                                          const std::string& rel) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    std::string record = std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) {
      char buf[4096];
      ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
      record += " -> " + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
      std::string bytes = readSmall(path);
      uint64_t h = 1469598103934665603ull;  // FNV-1a
      for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
      record += " " + std::to_string(st.st_size) + " " + std::to_string(h);
    }
    out[rel] = record;
    if (S_ISDIR(st.st_mode)) {
      for (const std::string& name : entriesWithPrefix(path, "")) walk(path + "/" + name, rel + "/" + name);
    }
  };
  walk(root, "");
  return out;
}

// Everything about the precious tree that differs after the launch, but for
// entries a row may add to the precious directory by contract.
std::vector<std::string> preciousChanges(const std::map<std::string, std::string>& was,
                                         const std::map<std::string, std::string>& now,
                                         const std::set<std::string>& mayAdd) {
  std::vector<std::string> changes;
  for (const auto& [rel, record] : was) {
    auto it = now.find(rel);
    if (it == now.end()) {
      changes.push_back("gone: " + rel);
    } else if (it->second != record) {
      changes.push_back("changed: " + rel);
    }
  }
  for (const auto& [rel, record] : now) {
    if (was.count(rel)) continue;
    bool allowed = false;
    for (const std::string& name : mayAdd) {
      std::string base = "/dir/" + name;
      if (rel == base || rel.rfind(base + "/", 0) == 0) allowed = true;
    }
    if (!allowed) changes.push_back("added: " + rel);
  }
  return changes;
}

// The display and session bus this test runs under, handed to a desktop
// row's launcher; empty when there is none.
std::vector<std::string> desktopEnvironment() {
  std::vector<std::string> env;
  const char* display = std::getenv("DISPLAY");
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!display || !*display || !bus || !*bus) return env;
  env.push_back(std::string("DISPLAY=") + display);
  env.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + bus);
  env.push_back("NO_AT_BRIDGE=1");
  return env;
}

struct Observed {
  bool running = false;      // a serving instance appeared
  bool hung = false;         // neither running nor ended within the bound
  bool quitHung = false;     // did not end within the bound after SIGTERM
  bool leftRunning = false;  // something of the sandbox still ran after the quit
  pid_t servingLauncher = 0;
  std::string servingExecutable;
  std::string output;  // the first launcher's stdout/stderr
  std::string log;     // ~/.quillmark/logs/app.log when it is a regular file
};

Observed launchAndObserve(const Sandbox& s, const Row& row, Plant kind, std::string* plantError) {
  Observed o;
  pid_t other = 0;
  if (std::string(row.name) == "other_info_plist") other = startOtherBundle(s);

  LaunchOptions opts;
  if (row.desktop) opts.extraEnvironment = desktopEnvironment();
  opts.executable = s.bundle + "/Contents/MacOS/Quillmark";
  opts.home = s.home;
  opts.stateDir = s.state;
  opts.sandbox = s.root;
  opts.install = row.install;
  opts.capturePath = s.capture;
  opts.beforeExec = [&](pid_t pid) {
    for (const std::string& p : row.paths(s, pid)) {
      std::string e = plant(s, p, kind);
      if (!e.empty() && plantError->empty()) *plantError = e;
    }
  };
  Launch first = startLauncher(opts);

  // Launchers of this sandbox: the one started here, and an installed copy
  // it relaunched (in a session of its own).
  auto launchersLeft = [&] {
    std::vector<pid_t> left = processesUnder(s.downloads);
    for (pid_t p : processesUnder(s.home)) left.push_back(p);
    return left;
  };
  double deadline = monotonicSeconds() + kStartBound;
  for (;;) {
    pollEnded(first);
    std::vector<pid_t> serving = servingInstances(s.state);
    if (!serving.empty()) {
      o.running = true;
      o.servingLauncher = parentOf(serving.front());
      char buf[4096];
      ssize_t n = ::readlink(("/proc/" + std::to_string(o.servingLauncher) + "/exe").c_str(), buf, sizeof buf);
      if (n > 0) o.servingExecutable.assign(buf, static_cast<size_t>(n));
      break;
    }
    if (first.reaped && launchersLeft().empty()) break;
    if (monotonicSeconds() > deadline) {
      o.hung = true;
      break;
    }
    sleepSeconds(0.02);
  }

  if (o.running) {
    ::kill(o.servingLauncher, SIGTERM);
    double quitDeadline = monotonicSeconds() + kQuitBound;
    for (;;) {
      pollEnded(first);
      bool launcherGone = o.servingLauncher == first.pid ? first.reaped : !processRunning(o.servingLauncher);
      if (launcherGone && servingInstances(s.state).empty()) break;
      if (monotonicSeconds() > quitDeadline) {
        o.quitHung = true;
        break;
      }
      sleepSeconds(0.02);
    }
    // The first launcher of an install ends by itself once its relaunch
    // is through; give it the same bound.
    double endDeadline = monotonicSeconds() + kQuitBound;
    while (!pollEnded(first) && monotonicSeconds() < endDeadline) sleepSeconds(0.02);
  }
  if (!o.hung && !o.quitHung) {
    // Nothing of the launch may outlive it (the sleeper of another bundle
    // is the test's own).
    for (pid_t p : launchersLeft()) {
      if (p != other) o.leftRunning = true;
    }
  }
  killEverythingUnder(s.root, &first);
  if (other > 0) {
    ::kill(other, SIGKILL);
    int st;
    ::waitpid(other, &st, 0);
  }
  releaseFifos(s.root);
  o.output = readSmall(s.capture);
  o.log = readSmall(s.zvd + "/logs/app.log");
  return o;
}

// ---------------------------------------------------------------------------

struct Tally {
  int launches = 0, passed = 0, knownFailures = 0, failed = 0;
  std::map<std::string, std::string> cells;  // row -> one mark per plant
};
Tally& tally() {
  static Tally t;
  return t;
}

struct Case {
  Row row;
  Plant plant;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.row.name << "/" << plantName(c.plant); }

std::vector<Case> cases() {
  std::vector<Case> out;
  for (const Row& r : rows()) {
    for (Plant p : kPlants) out.push_back({r, p});
  }
  return out;
}

class HostileMatrix : public ::testing::TestWithParam<Case> {};

TEST_P(HostileMatrix, PreciousDataSafeAndOutcomeDocumented) {
  const Row& row = GetParam().row;
  const Plant kind = GetParam().plant;
  const std::string key = std::string(row.name) + "/" + plantName(kind);
  ASSERT_TRUE(bundleTemplate().error.empty()) << bundleTemplate().error;
  if (row.install && ::access("/Applications", F_OK) == 0) {
    GTEST_SKIP() << "/Applications exists here: the install would go there, not into the sandbox";
  }

  if (row.desktop && desktopEnvironment().empty()) {
    GTEST_SKIP() << "needs a display and a session bus: ctest runs it as hostile_matrix_desktop, under "
                    "tests/e2e/with-desktop-session.sh";
  }

  Sandbox s;
  // The desktop entry is written for an installed bundle only.
  if (row.desktop) s.bundle = s.applications + "/Quillmark.app";
  layOut(s, row);
  if (::testing::Test::HasFatalFailure()) return;
  const std::map<std::string, std::string> preciousBefore = entryRecords(s.precious);
  std::string plantError;
  Observed o = launchAndObserve(s, row, kind, &plantError);
  ASSERT_TRUE(plantError.empty()) << plantError;

  std::vector<std::string> problems;
  for (const std::string& c :
       preciousChanges(preciousBefore, entryRecords(s.precious),
                       kind == Plant::kLinkToPreciousDir ? row.mayAddToPreciousDir : std::set<std::string>{})) {
    problems.push_back("precious tree " + c);
  }
  // The user's data: wherever it ended up, whole; and the home leads to it.
  const bool upgrade = row.base != Base::kAdopted && row.base != Base::kStaleSeed;
  const std::string tag = upgrade ? "zorvan" : "home";
  if (!holdsDataDirectory(s.zvd, tag)) problems.push_back("~/.quillmark does not hold the " + tag + " data");
  for (const FoundKey& k : findKeys(s.root)) {
    if (!holdsDataDirectory(k.directory, k.contents)) problems.push_back("data torn in " + k.directory);
  }

  if (o.hung) problems.push_back("hung: neither running nor ended after " + std::to_string(kStartBound) + " s");
  if (o.quitHung) problems.push_back("did not quit within " + std::to_string(kQuitBound) + " s of SIGTERM");
  if (o.leftRunning) problems.push_back("left a process of the sandbox running after it ended");
  const std::string all = o.output + o.log;
  if (all.find("ERROR: AddressSanitizer") != std::string::npos || all.find("runtime error:") != std::string::npos) {
    problems.push_back("sanitizer report");
  }
  const bool fatal = o.output.find("[alert] Quillmark failed to start\n") != std::string::npos;
  const bool launchLine = all.find("] launch ") != std::string::npos;

  Expected want = row.expected(kind);
  switch (want.outcome) {
    case Outcome::kRuns:
      if (!o.running) problems.push_back("did not reach its running state");
      if (fatal) problems.push_back("showed the fatal alert");
      if (!launchLine) problems.push_back("the launch line is neither in a regular app.log nor on standard error");
      break;
    case Outcome::kFails:
      if (o.running) problems.push_back("started the service; expected the alert with \"" + want.text + "\"");
      if (!fatal || o.output.find(want.text) == std::string::npos) {
        problems.push_back("no \"Quillmark failed to start\" alert with \"" + want.text + "\"");
      }
      break;
    case Outcome::kRunsAfterInstallError:
      if (o.output.find("[alert] " + want.text) == std::string::npos) {
        problems.push_back("no install alert \"" + want.text + "\"");
      }
      if (!o.running) problems.push_back("did not go on to its running state from the download");
      if (o.running && o.servingExecutable != s.bundle + "/Contents/MacOS/Quillmark") {
        problems.push_back("the service was started by " + o.servingExecutable);
      }
      break;
    case Outcome::kInstalled: {
      std::string dest = s.applications + "/Quillmark.app";
      if (treeDigest(dest) != bundleTemplate().digest) problems.push_back("no whole copy at " + dest);
      if (!entriesWithPrefix(s.applications, ".Quillmark.").empty() ||
          !entriesWithPrefix(s.applications, ".Zorvan.").empty()) {
        problems.push_back("staged or backup bundles left in ~/Applications");
      }
      if (!o.running) problems.push_back("the installed copy did not reach its running state");
      // (Through a link at ~/Applications the executable reads resolved.)
      const std::string installedExe = "/Quillmark.app/Contents/MacOS/Quillmark";
      if (o.running && (o.servingExecutable == s.bundle + "/Contents/MacOS/Quillmark" ||
                        o.servingExecutable.size() < installedExe.size() ||
                        o.servingExecutable.compare(o.servingExecutable.size() - installedExe.size(),
                                                    installedExe.size(), installedExe) != 0)) {
        problems.push_back("the service was started by " + o.servingExecutable);
      }
      if (fatal) problems.push_back("showed the fatal alert");
      break;
    }
  }

  // A desktop row must have run the desktop backend: the entry is written,
  // or (where the plant stands in its way: a directory at the entry, the
  // temporary taken, the folder unusable) the failure is said on standard
  // error.
  if (row.desktop && o.running) {
    struct stat st;
    std::string entry = s.home + "/.local/share/applications/" + applicationId() + ".desktop";
    bool written = ::lstat(entry.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    bool said = o.output.find("desktop: couldn't write the desktop entry") != std::string::npos;
    if (!written && !said) problems.push_back("no desktop entry written and no word of why");
  }

  Tally& t = tally();
  t.launches++;
  std::string& cell = t.cells[row.name];
  auto known = kKnownFailures.find(key);
  if (known != kKnownFailures.end()) {
    if (problems.empty()) {
      t.failed++;
      cell += "!";
      ADD_FAILURE() << key << " passes now: delete its line from kKnownFailures";
    } else {
      t.knownFailures++;
      cell += "x";
      std::string what;
      for (const std::string& p : problems) what += "\n  " + p;
      std::printf("[hostile-matrix] known failure %s (%s):%s\n", key.c_str(), known->second.c_str(), what.c_str());
    }
    return;
  }
  if (problems.empty()) {
    t.passed++;
    cell += ".";
    return;
  }
  t.failed++;
  cell += "F";
  std::string what;
  for (const std::string& p : problems) what += "\n  " + p;
  ADD_FAILURE() << key << ":" << what << "\n--- launcher output:\n"
                << o.output.substr(0, 4000) << "\n--- app.log:\n"
                << o.log.substr(0, 4000);
}

INSTANTIATE_TEST_SUITE_P(PathsTimesPlants, HostileMatrix, ::testing::ValuesIn(cases()),
                         [](const auto& p) {
                           return std::string(p.param.row.name) + "_" + plantName(p.param.plant);
                         });

// The figures for docs/RELIABILITY.md, printed once at the end.
class Summary : public ::testing::Environment {
 public:
  void TearDown() override {
    Tally& t = tally();
    if (t.launches == 0) return;
    std::printf("\n[hostile-matrix] %zu paths x %zu plants = %d launches: %d passed, %d known failures, %d failed\n",
                rows().size(), std::size(kPlants), t.launches, t.passed, t.knownFailures, t.failed);
    std::printf("[hostile-matrix] columns:");
    for (Plant p : kPlants) std::printf(" %s", plantName(p));
    std::printf("\n");
    for (const Row& r : rows()) {
      if (t.cells.count(r.name)) std::printf("[hostile-matrix]   %-22s %s\n", r.name, t.cells[r.name].c_str());
    }
  }
};
const auto* const kSummary = ::testing::AddGlobalTestEnvironment(new Summary);

}  // namespace
}  // namespace ql::testing
