// Process supervision on fake children and the virtual clock: the command
// runner's logic, the lock file probe, the daemon and shell supervisors,
// the browser fallback and the user actions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <unistd.h>

#include <csignal>

#include "app/app_delegate.h"
#include "app/log_format.h"
#include "supervision/lock_file.h"
#include "tests/fakes/fake_tasks.h"
#include "tests/fakes/test_platform.h"

namespace ql {

struct SupervisionTestAccess {
  static void setZorvan(AppDelegate& d, std::string path) { d.zorvan_ = std::move(path); }
};

namespace testing {
namespace {

TimePoint at(double secondsSinceStart) {
  return TimePoint(std::chrono::seconds(FakeClock::kStartSeconds)) +
         std::chrono::duration_cast<Clock_t::duration>(Duration(secondsSinceStart));
}

// The log as the launcher writes it: one stamped line per message.
std::string logOf(std::initializer_list<std::pair<double, std::string>> lines) {
  std::string s;
  for (const auto& [when, message] : lines) s += formatLogLine(at(when), message);
  return s;
}

// Marks the pending-move marker present or absent by poll number (the
// number of successor-wait sleeps so far), without touching the disk.
class MarkerFiles : public ForwardingFileManager {
 public:
  MarkerFiles(FileManager& target, FakeClock& clock) : ForwardingFileManager(target), clock_(clock) {}
  std::function<bool(int poll)> present = [](int) { return false; };
  bool fileExists(const std::string& p) override {
    static const std::string kMarker = "/pending-data-dir-move.json";
    if (p.size() >= kMarker.size() && p.compare(p.size() - kMarker.size(), kMarker.size(), kMarker) == 0) {
      return present(static_cast<int>(clock_.sleeps().size()));
    }
    return ForwardingFileManager::fileExists(p);
  }

 private:
  FakeClock& clock_;
};

class SupervisionTest : public ::testing::Test {
 protected:
  // Start-up's result: the bundle laid out, zorvan located, the log still
  // standard error (so every line is in t.stderrText()).
  void make(bool shellMode) {
    t.makeBundle(shellMode);
    t.tasks = &tasks;
    t.fileManager = &files;
    d = t.makeDelegate();
    ASSERT_EQ(d->shellMode(), shellMode);
    zorvan = d->zvd() + "/bin/quillmark";
    SupervisionTestAccess::setZorvan(*d, zorvan);
  }
  std::shared_ptr<FakeTask> task(size_t i) {
    auto made = tasks.made();
    if (i >= made.size()) {
      ADD_FAILURE() << "no task " << i;
      return nullptr;
    }
    return made[i];
  }
  // Sleeps of the successor wait (nothing else here sleeps on the clock).
  int successorPolls() {
    int n = 0;
    for (double s : t.clock.sleeps()) n += s == 0.5;
    return n;
  }

  TestPlatform t;
  FakeTasks tasks{t.clock};
  MarkerFiles files{t.files, t.clock};
  std::shared_ptr<AppDelegate> d;
  std::string zorvan;
};

// ------------------------------------------------------------ command runner

TEST_F(SupervisionTest, CommandRunnerOnFakeChildren) {
  const double kNaN = std::nan("");
  struct Case {
    const char* name;
    bool capture;
    double limit;
    FakeChild child;
    std::optional<CaptureResult> result;  // runCapture only
    std::string log;                      // the one message, or empty
    double elapsed;                       // virtual seconds the call took
    std::vector<int> signals;
  };
  auto child = [](std::optional<double> runsFor, int status, std::string out, std::string err) {
    FakeChild c;
    c.runsFor = runsFor;
    c.exitStatus = status;
    c.stdoutText = std::move(out);
    c.stderrText = std::move(err);
    return c;
  };
  FakeChild ignoresTerm = child(std::nullopt, 0, "", "stuck\n");
  ignoresTerm.ignoresTerminate = true;
  FakeChild holdsPipes = child(1, 0, "partial", "warn\n");
  holdsPipes.pipesOpenAfterExit = std::nullopt;
  FakeChild cannotStart;
  cannotStart.launchError = Status::Posix(ENOENT);

  const std::string cmd = "Z open";
  Case cases[] = {
      {"status 3 with one word: noticed the moment it exits", true, 10, child(3, 3, "word\n", ""),
       CaptureResult{3, "word\n"}, "", 3, {}},
      {"whitespace-only stderr is not logged", true, 10, child(1, 0, "", " \n\t\n"), CaptureResult{0, ""}, "", 1, {}},
      {"past its limit: SIGTERM, nothing returned, stderr logged", true, 10, child(std::nullopt, 0, "x", "busy\n"),
       std::nullopt, "capture stderr [Z open]: busy", 10, {SIGTERM}},
      {"ignores SIGTERM: SIGKILL after the grace period", true, 10, ignoresTerm, std::nullopt,
       "capture stderr [Z open]: stuck", 12, {SIGTERM, SIGKILL}},
      {"a descendant holds the pipes: one grace period, then what arrived", true, 10, holdsPipes,
       CaptureResult{0, "partial"}, "capture stderr [Z open]: warn", 2, {}},
      {"cannot start: nothing, silently", true, 10, cannotStart, std::nullopt, "", 0, {}},
      {"stdout not UTF-8: empty text, status kept", true, 10, child(0, 4, "\xFF\xFE", ""), CaptureResult{4, ""}, "",
       0, {}},
      {"stderr not UTF-8: not logged", true, 10, child(0, 0, "", "bad \xC3("), CaptureResult{0, ""}, "", 0, {}},
      {"capture with limit 0 stops a running child at once", true, 0, child(5, 0, "", ""), std::nullopt, "", 0,
       {SIGTERM}},
      {"capture with limit 0 keeps a child that already ended", true, 0, child(0, 0, "done", ""),
       CaptureResult{0, "done"}, "", 0, {}},
      {"capture with a NaN limit has no time at all", true, kNaN, child(std::nullopt, 0, "", ""), std::nullopt, "",
       0, {SIGTERM}},
      {"run with limit 0 waits as long as it takes", false, 0, child(100, 1, "", "done\n"), std::nullopt,
       "run stderr [Z open]: done", 100, {}},
      {"run with a negative limit waits as long as it takes", false, -1, child(40, 0, "", ""), std::nullopt, "", 40,
       {}},
      {"run with a NaN limit waits as long as it takes", false, kNaN, child(7, 0, "", ""), std::nullopt, "", 7, {}},
      {"run past its limit", false, 5, child(std::nullopt, 0, "", "late nonce=abc&x\n"), std::nullopt,
       "run stderr [Z open]: late nonce=REDACTED&x", 5, {SIGTERM}},
      {"run: an exit between two 0.1 s looks is noticed at once", false, 5, child(0.25, 0, "", ""), std::nullopt, "",
       0.25, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPlatform p;
    FakeTasks fake(p.clock);
    fake.script = [&](const TaskSpec&) { return c.child; };
    p.tasks = &fake;
    auto del = p.makeDelegate();
    std::optional<CaptureResult> got;
    if (c.capture) {
      got = del->runCapture({"Z", "open"}, c.limit);
      ASSERT_EQ(got.has_value(), c.result.has_value());
      if (got) {
        EXPECT_EQ(got->status, c.result->status);
        EXPECT_EQ(got->stdoutText, c.result->stdoutText);
      }
    } else {
      del->run({"Z", "open"}, c.limit);
    }
    EXPECT_DOUBLE_EQ(p.clock.secondsSinceStart(), c.elapsed);
    EXPECT_EQ(p.stderrText(), c.log.empty() ? "" : formatLogLine(at(c.elapsed), c.log));
    auto made = fake.made();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0]->signals(), c.signals);
    const TaskSpec& launchSpec = made[0]->launchSpec();
    EXPECT_EQ(launchSpec.executable, "Z");
    EXPECT_EQ(launchSpec.arguments, std::vector<std::string>{"open"});
    EXPECT_FALSE(launchSpec.environment.has_value());
    EXPECT_EQ(launchSpec.standardOutput.mode, c.capture ? StreamSpec::Mode::kPipe : StreamSpec::Mode::kInherit);
    EXPECT_EQ(launchSpec.standardError.mode, StreamSpec::Mode::kPipe);
  }
}

TEST_F(SupervisionTest, AnEmptyExecutableStartsNothing) {
  make(false);
  d->run({"", "open"}, 5);
  EXPECT_FALSE(d->runCapture({"", "open"}, 5).has_value());
  EXPECT_TRUE(tasks.made().empty());
  EXPECT_EQ(t.stderrText(), "");
}

// ----------------------------------------------------------------- lock file

TEST(LockFileTest, OnlyAnIntegerThatCanNameOneProcessCounts) {
  struct Case {
    const char* text;
    std::optional<int> pid;
  } cases[] = {
      {R"({"pid": 4242})", 4242},
      {R"({"port": 8080, "pid": 7})", 7},
      {R"({"pid": 2147483647})", 2147483647},
      {R"({"pid": 0})", std::nullopt},   // kill(0, 0): the caller's own process group
      {R"({"pid": -1})", std::nullopt},  // kill(-1, 0): every process we may signal
      {R"({"pid": -4242})", std::nullopt},
      {R"({"pid": 2147483648})", std::nullopt},
      {R"({"pid": 99999999999999999999999})", std::nullopt},
      {R"({"pid": -99999999999999999999999})", std::nullopt},
      {R"({"pid": 42.5})", std::nullopt},
      {R"({"pid": 42.0})", std::nullopt},
      {R"({"pid": 4e3})", std::nullopt},
      {R"({"pid": "4242"})", std::nullopt},
      {R"({"pid": true})", std::nullopt},
      {R"({"pid": null})", std::nullopt},
      {R"({"pid": [4242]})", std::nullopt},
      {R"({"PID": 4242})", std::nullopt},
      {R"([4242])", std::nullopt},
      {R"(4242)", std::nullopt},
      {R"({"pid": 4242)", std::nullopt},
      {R"({"pid": 4242} trailing)", std::nullopt},
      {"", std::nullopt},
      {"{\"pid\": 4242, \"x\": \"\xFF\"}", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(supervision::lockFileProcessId(c.text), c.pid);
  }
}

TEST_F(SupervisionTest, LockfilePidAliveProbesOnlyAUsablePid) {
  struct Case {
    const char* name;
    std::optional<std::string> contents;  // nullopt: no lock file
    int probeErrno;                       // for pid 4242
    bool alive;
    bool probed;
  } cases[] = {
      {"no lock file", std::nullopt, 0, false, false},
      {"live process", R"({"pid": 4242})", 0, true, true},
      {"dead process", R"({"pid": 4242})", ESRCH, false, true},
      {"not ours to signal", R"({"pid": 4242})", EPERM, false, true},
      {"pid 0 is never probed", R"({"pid": 0})", 0, false, false},
      {"malformed", R"({"pid": )", 0, false, false},
      // Large but within the bound: read whole, so a live service is seen.
      {"large lock file naming a live process", "{\"pid\": 4242, \"pad\": \"" + std::string(100000, 'x') + "\"}",
       0, true, true},
      {"past the bound reads as unreadable",
       "{\"pid\": 4242, \"pad\": \"" + std::string(supervision::kMaxLockFileBytes, 'x') + "\"}", 0, false, false},
  };
  make(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string lock = d->dataDir() + "/zorvan.lock";
    makeDirs(d->dataDir());
    ::unlink(lock.c_str());
    if (c.contents) writeFile(lock, *c.contents);
    t.process.probes = {{4242, c.probeErrno}, {0, 0}};
    size_t before = t.process.probedPids().size();
    EXPECT_EQ(d->lockfilePidAlive(), c.alive);
    EXPECT_EQ(t.process.probedPids().size() - before, c.probed ? 1u : 0u);
  }

  // A FIFO planted as the lock file is unreadable at once, never waited on
  // (the alarm turns a hang into a failed test).
  std::string lock = d->dataDir() + "/zorvan.lock";
  ::unlink(lock.c_str());
  ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
  ::alarm(20);
  EXPECT_FALSE(d->lockfilePidAlive());
  ::alarm(0);
}

// ---------------------------------------------------------- daemon supervisor

class DaemonTest : public SupervisionTest {
 protected:
  void SetUp() override {
    tasks.script = [](const TaskSpec& s) {
      FakeChild c;
      if (s.arguments == std::vector<std::string>{"serve", "--app"}) c.runsFor = std::nullopt;
      return c;
    };
    make(false);
  }
  std::shared_ptr<FakeTask> serve() { return task(0); }
  void writeLock(int pid) {
    makeDirs(d->dataDir());
    writeFile(d->dataDir() + "/zorvan.lock", "{\"pid\": " + std::to_string(pid) + "}");
  }
};

TEST_F(DaemonTest, LaunchesServeAppIntoTheLogAndOwnsTheFirstInstance) {
  d->launchLegacyDaemon();
  ASSERT_EQ(tasks.made().size(), 1u);
  const TaskSpec& launchSpec = serve()->launchSpec();
  EXPECT_EQ(launchSpec.executable, zorvan);
  EXPECT_EQ(launchSpec.arguments, (std::vector<std::string>{"serve", "--app"}));
  EXPECT_FALSE(launchSpec.environment.has_value());
  EXPECT_EQ(launchSpec.standardOutput.mode, StreamSpec::Mode::kHandle);
  EXPECT_EQ(launchSpec.standardOutput.handle, t.files.standardError());
  EXPECT_EQ(launchSpec.standardError.mode, StreamSpec::Mode::kHandle);
  EXPECT_EQ(launchSpec.standardError.handle, t.files.standardError());
  EXPECT_TRUE(serve()->hasHandler());
  EXPECT_EQ(d->daemon(), serve());
  EXPECT_TRUE(d->ownsDaemon());
  EXPECT_EQ(t.stderrText(), "");
}

TEST_F(DaemonTest, AnInstanceAliveBeforeTheLaunchMeansWeDoNotOwnIt) {
  writeLock(4242);
  t.process.probes[4242] = 0;
  d->launchLegacyDaemon();
  EXPECT_TRUE(serve()->launched());
  EXPECT_FALSE(d->ownsDaemon());
}

TEST_F(DaemonTest, AFailedLaunchIsLoggedAndFatal) {
  tasks.script = [](const TaskSpec&) {
    FakeChild c;
    c.launchError = Status::Posix(EACCES);
    return c;
  };
  d->launchLegacyDaemon();
  EXPECT_EQ(d->daemon(), nullptr);
  EXPECT_FALSE(d->ownsDaemon());
  EXPECT_EQ(t.stderrText(), logOf({{0, "spawn failed: " + Status::Posix(EACCES).fullDescription()}}));
  t.dispatch.drain();
  auto shown = t.alerts.shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].informativeText,
            "Couldn't launch the Quillmark daemon:\nPermission denied\n\nSee ~/.quillmark/logs/app.log for details.");
  EXPECT_TRUE(t.application.terminated());
}

TEST_F(DaemonTest, SuccessorWaitLengthAndOutcome) {
  struct Case {
    const char* name;
    int status;
    std::function<bool(int)> marker;
    int polls;
  } cases[] = {
      {"no marker, status 1: alert after 20 polls", 1, [](int) { return false; }, 20},
      {"no marker, status 0: quiet quit after 20 polls", 0, [](int) { return false; }, 20},
      {"marker at polls 0 to 5", 1, [](int poll) { return poll <= 5; }, 25},
      {"marker seen only at poll 19", 0, [](int poll) { return poll == 19; }, 39},
      {"marker that never goes", 1, [](int) { return true; }, 3600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPlatform p;
    FakeTasks fake(p.clock);
    fake.script = tasks.script;
    MarkerFiles marker(p.files, p.clock);
    marker.present = c.marker;
    p.tasks = &fake;
    p.fileManager = &marker;
    p.makeBundle(false);
    auto del = p.makeDelegate();
    SupervisionTestAccess::setZorvan(*del, zorvan);
    del->launchLegacyDaemon();
    ASSERT_TRUE(del->ownsDaemon());
    fake.made()[0]->exitNow(c.status);

    // Hop 2 on the main queue: the exit line, then the wait is handed on.
    EXPECT_EQ(p.dispatch.runMain(), 1);
    EXPECT_EQ(p.stderrText(), logOf({{0, "daemon exited (" + std::to_string(c.status) + ")"}}));
    EXPECT_EQ(p.dispatch.pendingGlobal(), 1u);
    EXPECT_EQ(p.dispatch.runGlobal(), 1);
    int polls = 0;
    for (double s : p.clock.sleeps()) polls += s == 0.5;
    EXPECT_EQ(polls, c.polls);
    EXPECT_EQ(p.clock.sleeps().size(), static_cast<size_t>(c.polls));
    EXPECT_DOUBLE_EQ(p.clock.secondsSinceStart(), c.polls * 0.5);
    // No lock file: nothing to probe.
    EXPECT_TRUE(p.process.probedPids().empty());

    p.dispatch.drain();
    auto shown = p.alerts.shown();
    if (c.status != 0) {
      ASSERT_EQ(shown.size(), 1u);
      EXPECT_EQ(shown[0].informativeText,
                "Quillmark daemon exited (status 1).\n\nSee ~/.quillmark/logs/app.log for details.");
    } else {
      EXPECT_TRUE(shown.empty());
    }
    EXPECT_TRUE(p.application.terminated());
    // The quit path then ran: the launcher owned the service, so `stop` ran.
    EXPECT_EQ(fake.events(), (std::vector<std::string>{"launch " + zorvan + " serve --app", "launch " + zorvan + " stop"}));
  }
}

TEST_F(DaemonTest, TheMarkerCountsInEitherPlace) {
  // config.toml moves the data directory away from the launcher home; the
  // marker may sit in either one. The wait is told apart by its length.
  struct Case {
    const char* name;
    bool inDataDir, inHome;
    int polls;
  } cases[] = {
      {"marker only in the launcher home", false, true, 3600},
      {"marker only in the configured data directory", true, false, 3600},
      {"no marker anywhere", false, false, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPlatform p;
    FakeTasks fake(p.clock);
    fake.script = tasks.script;
    p.tasks = &fake;
    p.makeBundle(false);
    auto del = p.makeDelegate();
    SupervisionTestAccess::setZorvan(*del, zorvan);
    std::string elsewhere = p.root + "/elsewhere";
    makeDirs(del->zvd());
    makeDirs(elsewhere);
    writeFile(del->zvd() + "/config.toml", "data_dir = '" + elsewhere + "'\n");
    ASSERT_EQ(del->dataDir(), elsewhere) << "needs config.toml support in dataDir";
    if (c.inDataDir) writeFile(elsewhere + "/pending-data-dir-move.json", "{}");
    if (c.inHome) writeFile(del->zvd() + "/pending-data-dir-move.json", "{}");
    del->launchLegacyDaemon();
    fake.made()[0]->exitNow(0);
    p.dispatch.runMain();
    p.dispatch.runGlobal();
    EXPECT_EQ(static_cast<int>(p.clock.sleeps().size()), c.polls);
  }
}

TEST_F(DaemonTest, ASuccessorKeepsTheLauncherUpAndAQuitStillStopsTheService) {
  d->launchLegacyDaemon();
  ASSERT_TRUE(d->ownsDaemon());
  // The service handed over: a new instance wrote the lock file.
  writeLock(5151);
  t.process.probes[5151] = 0;
  serve()->exitNow(0);
  t.dispatch.runMain();
  t.dispatch.runGlobal();
  EXPECT_EQ(successorPolls(), 1);
  EXPECT_NE(d->daemon(), nullptr);  // cleared only on the main queue
  t.dispatch.runMain();
  EXPECT_EQ(d->daemon(), nullptr);
  EXPECT_EQ(t.stderrText(), logOf({{0, "daemon exited (0)"}, {0.5, "successor daemon detected — staying up"}}));
  t.dispatch.drain();
  EXPECT_FALSE(t.application.terminated());
  EXPECT_TRUE(t.alerts.shown().empty());

  EXPECT_EQ(d->applicationShouldTerminate(), TerminateReply::kNow);
  EXPECT_EQ(tasks.events(), (std::vector<std::string>{"launch " + zorvan + " serve --app", "launch " + zorvan + " stop"}));
}

TEST_F(DaemonTest, ASuccessorOfAnInstanceWeDoNotOwnIsFoundAtTheFirstPoll) {
  writeLock(4242);
  t.process.probes[4242] = 0;
  d->launchLegacyDaemon();
  ASSERT_FALSE(d->ownsDaemon());
  serve()->exitNow(3);
  t.dispatch.drain();
  EXPECT_EQ(successorPolls(), 1);
  EXPECT_EQ(t.stderrText(), logOf({{0, "daemon exited (3)"}, {0.5, "successor daemon detected — staying up"}}));
  EXPECT_TRUE(t.alerts.shown().empty());
  // Not ours: a quit sends no stop.
  d->applicationShouldTerminate();
  EXPECT_EQ(tasks.events(), std::vector<std::string>{"launch " + zorvan + " serve --app"});
}

TEST_F(DaemonTest, QuitWhenOwnedClearsTheFieldRunsStopThenTerminatesTheChild) {
  d->launchLegacyDaemon();
  auto self = d;
  auto previous = tasks.script;
  tasks.script = [&, previous](const TaskSpec& s) {
    FakeChild c = previous(s);
    if (s.arguments == std::vector<std::string>{"stop"}) {
      c.onLaunch = [&] { EXPECT_EQ(self->daemon(), nullptr) << "daemon must be cleared before stop runs"; };
    }
    return c;
  };
  EXPECT_EQ(d->applicationShouldTerminate(), TerminateReply::kNow);
  EXPECT_EQ(tasks.events(), (std::vector<std::string>{"launch " + zorvan + " serve --app", "launch " + zorvan + " stop",
                                                      "signal 15 " + zorvan + " serve --app"}));
  ASSERT_EQ(tasks.made().size(), 2u);
  // The child's exit is then only logged: no successor wait.
  serve()->exitNow(0);
  t.dispatch.runMain();
  EXPECT_EQ(t.stderrText(), logOf({{0, "daemon exited (15)"}}));
  EXPECT_EQ(t.dispatch.pendingGlobal(), 0u);
}

TEST_F(DaemonTest, AHangingStopIsEndedAtItsLimitAndTheQuitGoesOn) {
  d->launchLegacyDaemon();
  tasks.script = [](const TaskSpec&) {
    FakeChild c;
    c.runsFor = std::nullopt;
    return c;
  };
  EXPECT_EQ(d->applicationShouldTerminate(), TerminateReply::kNow);
  EXPECT_DOUBLE_EQ(t.clock.secondsSinceStart(), 30);
  EXPECT_EQ(tasks.events(), (std::vector<std::string>{"launch " + zorvan + " serve --app", "launch " + zorvan + " stop",
                                                      "signal 15 " + zorvan + " stop",
                                                      "signal 15 " + zorvan + " serve --app"}));
}

TEST_F(DaemonTest, QuitWhenNotOwnedLeavesTheServiceAlone) {
  writeLock(4242);
  t.process.probes[4242] = 0;
  d->launchLegacyDaemon();
  EXPECT_EQ(d->applicationShouldTerminate(), TerminateReply::kNow);
  EXPECT_EQ(d->daemon(), serve());
  EXPECT_TRUE(serve()->signals().empty());
  EXPECT_EQ(tasks.made().size(), 1u);
}

TEST_F(DaemonTest, AnExitAfterTheLauncherIsGoneDoesNothing) {
  d->launchLegacyDaemon();
  auto child = serve();
  t.application.setDelegate(nullptr);
  std::weak_ptr<AppDelegate> weak = d;
  d.reset();
  ASSERT_TRUE(weak.expired()) << "the termination handler must not keep the launcher alive";
  child->exitNow(1);
  EXPECT_EQ(t.dispatch.pendingMain(), 0u);
}

// ----------------------------------------------------------- shell supervisor

class ShellTest : public SupervisionTest {
 protected:
  void SetUp() override {
    tasks.script = [](const TaskSpec& s) {
      FakeChild c;
      if (s.arguments.empty()) c.runsFor = std::nullopt;  // the shell runs until it is told
      return c;
    };
    t.process.env = {{"HOME", t.home},
                     {"PATH", "/usr/bin:/bin"},
                     {"ZORVAN_CLI", "/somewhere/else"},
                     {"SSLKEYLOGFILE", "/tmp/keys"},
                     {"ELECTRON_ENABLE_LOGGING", "1"},
                     {"ELECTRON_LOG_FILE", "/tmp/e.log"},
                     {"ELECTRON_EXTRA_LAUNCH_ARGS", "--inspect"},
                     {"ELECTRON_DISABLE_SANDBOX", ""},
                     {"LANG", "C.UTF-8"}};
    make(true);
  }
  std::shared_ptr<FakeTask> shell() { return task(0); }
};

TEST_F(ShellTest, LaunchesTheShellWithACleanedEnvironment) {
  d->launchShell();
  const TaskSpec& launchSpec = shell()->launchSpec();
  EXPECT_EQ(launchSpec.executable, d->shellURL());
  EXPECT_TRUE(launchSpec.arguments.empty());
  ASSERT_TRUE(launchSpec.environment.has_value());
  EXPECT_EQ(*launchSpec.environment, (std::map<std::string, std::string>{{"HOME", t.home},
                                                                   {"PATH", "/usr/bin:/bin"},
                                                                   {"ZORVAN_CLI", d->bundledSeed()},
                                                                   {"LANG", "C.UTF-8"}}));
  EXPECT_EQ(launchSpec.standardOutput.handle, t.files.standardError());
  EXPECT_EQ(launchSpec.standardError.handle, t.files.standardError());
  EXPECT_EQ(launchSpec.standardOutput.mode, StreamSpec::Mode::kHandle);
  EXPECT_EQ(launchSpec.standardError.mode, StreamSpec::Mode::kHandle);
  EXPECT_EQ(d->shellProc(), shell());
  EXPECT_EQ(t.stderrText(), logOf({{0, "shell: launched " + d->shellURL()}}));
}

TEST_F(ShellTest, AShellThatCannotStartSendsUsToTheBrowser) {
  tasks.script = [](const TaskSpec&) {
    FakeChild c;
    c.launchError = Status::Posix(ENOENT);
    return c;
  };
  d->launchShell();
  EXPECT_EQ(d->shellProc(), nullptr);
  EXPECT_TRUE(d->browserFallbackActive());
  EXPECT_EQ(t.application.activationPolicy(), ActivationPolicy::kRegular);
  EXPECT_EQ(t.stderrText(),
            logOf({{0, "shell: spawn failed (" + Status::Posix(ENOENT).fullDescription() + ") — falling back to browser"}}));
  EXPECT_EQ(t.dispatch.pendingGlobal(), 1u);
}

TEST_F(ShellTest, ExitStatusDecidesBetweenQuitAndFallback) {
  struct Case {
    const char* name;
    int status;
    double after;
    std::string line;
    bool fallback;
  } cases[] = {
      {"status 1 after ten minutes", 1, 600, "shell: exited 1 after 600s — falling back to browser", true},
      {"status 2 at once", 2, 0, "shell: exited 2 after 0s — falling back to browser", true},
      {"killed by SIGKILL, fraction cut off", SIGKILL, 5.9, "shell: exited 9 after 5s — falling back to browser", true},
      {"status 0 after three seconds", 0, 3, "shell: exited (0) — terminating", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPlatform p;
    FakeTasks fake(p.clock);
    fake.script = tasks.script;
    p.tasks = &fake;
    p.makeBundle(true);
    auto del = p.makeDelegate();
    SupervisionTestAccess::setZorvan(*del, zorvan);
    del->launchShell();
    p.clock.advance(Duration(c.after));
    fake.made()[0]->exitNow(c.status);
    EXPECT_NE(del->shellProc(), nullptr) << "the field is cleared on the main queue";
    EXPECT_EQ(p.dispatch.runMain(), 1);
    EXPECT_EQ(del->shellProc(), nullptr);
    EXPECT_EQ(p.stderrText(), logOf({{0, "shell: launched " + del->shellURL()}, {c.after, c.line}}));
    EXPECT_EQ(del->browserFallbackActive(), c.fallback);
    EXPECT_EQ(p.dispatch.pendingGlobal(), c.fallback ? 1u : 0u);
    EXPECT_EQ(p.application.terminated(), !c.fallback);
    // Shell mode never owns the service: the quit sent no stop.
    EXPECT_EQ(fake.made().size(), 1u);
  }
}

TEST_F(ShellTest, QuitStopsTheShellAndItsExitIsIgnored) {
  d->launchShell();
  EXPECT_EQ(d->applicationShouldTerminate(), TerminateReply::kNow);
  EXPECT_EQ(d->shellProc(), nullptr);
  EXPECT_EQ(shell()->signals(), std::vector<int>{SIGTERM});
  EXPECT_EQ(tasks.made().size(), 1u) << "no stop in shell mode";
  shell()->exitNow(0);
  t.dispatch.drain();
  EXPECT_EQ(t.stderrText(), logOf({{0, "shell: launched " + d->shellURL()}}));
  EXPECT_FALSE(d->browserFallbackActive());
  EXPECT_EQ(t.application.terminateRequests(), 0);
}

TEST_F(ShellTest, ReopenBringsTheRunningShellToTheFront) {
  d->launchShell();
  int pid = shell()->processIdentifier();
  t.workspace.running = {{pid, std::nullopt}, {pid + 1, std::nullopt}};
  EXPECT_TRUE(d->applicationShouldHandleReopen(false));
  d->openInBrowser();
  ASSERT_EQ(t.workspace.activated.size(), 2u);
  EXPECT_EQ(t.workspace.activated[0].processIdentifier, pid);
  EXPECT_EQ(tasks.made().size(), 1u) << "no command runs in shell mode";

  // A shell the workspace does not know as an application: nothing.
  t.workspace.running.clear();
  EXPECT_TRUE(d->applicationShouldHandleReopen(true));
  EXPECT_EQ(t.workspace.activated.size(), 2u);

  // Once the shell has ended (exit not yet handled), nothing either.
  t.workspace.running = {{pid, std::nullopt}};
  shell()->exitNow(1);
  EXPECT_TRUE(d->applicationShouldHandleReopen(true));
  EXPECT_EQ(t.workspace.activated.size(), 2u);
  EXPECT_EQ(tasks.made().size(), 1u);
}

TEST_F(ShellTest, AfterTheFallbackBeganOpenRunsZorvanOpenWithFiveSeconds) {
  tasks.script = [](const TaskSpec&) {
    FakeChild c;
    c.runsFor = std::nullopt;  // everything hangs
    return c;
  };
  d->launchShell();
  shell()->exitNow(1);
  t.dispatch.runMain();
  ASSERT_TRUE(d->browserFallbackActive());
  double before = t.clock.secondsSinceStart();
  EXPECT_TRUE(d->applicationShouldHandleReopen(false));
  EXPECT_DOUBLE_EQ(t.clock.secondsSinceStart() - before, 5);
  auto made = tasks.made();
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(joinCommand(made[1]->launchSpec()), zorvan + " open");
  EXPECT_EQ(made[1]->signals(), std::vector<int>{SIGTERM});
  EXPECT_TRUE(t.workspace.activated.empty());
}

TEST_F(ShellTest, AnExitAfterTheLauncherIsGoneDoesNothing) {
  d->launchShell();
  auto child = shell();
  t.application.setDelegate(nullptr);
  std::weak_ptr<AppDelegate> weak = d;
  d.reset();
  ASSERT_TRUE(weak.expired());
  child->exitNow(1);
  EXPECT_EQ(t.dispatch.pendingMain(), 0u);
}

// ----------------------------------------------------------- browser fallback

TEST_F(SupervisionTest, BrowserModeOpenRunsZorvanOpen) {
  make(false);
  d->openInBrowser();
  EXPECT_TRUE(d->applicationShouldHandleReopen(true));
  auto made = tasks.made();
  ASSERT_EQ(made.size(), 2u);
  for (auto& m : made) EXPECT_EQ(joinCommand(m->launchSpec()), zorvan + " open");
}

TEST_F(SupervisionTest, FallbackStopsAtTheFirstSuccessAndWorksOnItsCopy) {
  make(true);
  int attempt = 0;
  tasks.script = [&](const TaskSpec&) {
    FakeChild c;
    ++attempt;
    if (attempt == 1) c.exitStatus = 1;
    if (attempt == 2) c.launchError = Status::Posix(ETXTBSY);
    if (attempt == 2) c.stderrText = "never seen";
    return c;
  };
  d->enterBrowserFallback();
  EXPECT_TRUE(d->browserFallbackActive());
  EXPECT_EQ(t.application.policies().back(), ActivationPolicy::kRegular);
  EXPECT_TRUE(tasks.made().empty()) << "the loop runs on the global queue, not inline";
  SupervisionTestAccess::setZorvan(*d, "/changed/later");
  EXPECT_EQ(t.dispatch.runGlobal(), 1);
  auto made = tasks.made();
  ASSERT_EQ(made.size(), 3u);
  for (auto& m : made) EXPECT_EQ(joinCommand(m->launchSpec()), zorvan + " open");
  EXPECT_DOUBLE_EQ(t.clock.secondsSinceStart(), 4);  // two 2 s pauses
  EXPECT_EQ(t.stderrText(), "");
}

TEST_F(SupervisionTest, FallbackGivesUpAfterTheLastAttemptBeforeTheDeadline) {
  struct Case {
    const char* name;
    bool ignoresTerminate;
    int attempts;
    double giveUpAt;
  } cases[] = {
      // 10 s per attempt + 2 s pause: starts at 0, 12, …, 144; checked at 156.
      {"open hangs every time", false, 13, 156},
      // A child that shrugs off SIGTERM costs the 2 s grace as well: 14 s apart.
      {"open hangs and ignores SIGTERM", true, 11, 154},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPlatform p;
    FakeTasks fake(p.clock);
    std::vector<double> starts;
    fake.script = [&](const TaskSpec&) {
      FakeChild ch;
      ch.runsFor = std::nullopt;
      ch.ignoresTerminate = c.ignoresTerminate;
      starts.push_back(p.clock.secondsSinceStart());
      return ch;
    };
    p.tasks = &fake;
    p.makeBundle(true);
    auto del = p.makeDelegate();
    SupervisionTestAccess::setZorvan(*del, "/z/bin/quillmark");
    del->enterBrowserFallback();
    p.dispatch.runGlobal();
    ASSERT_EQ(static_cast<int>(starts.size()), c.attempts);
    double spacing = c.ignoresTerminate ? 14 : 12;
    for (int i = 0; i < c.attempts; ++i) EXPECT_DOUBLE_EQ(starts[i], i * spacing);
    EXPECT_EQ(p.stderrText(),
              logOf({{c.giveUpAt, "browser fallback: `zorvan open` never succeeded within 150s — giving up"}}));
    for (auto& m : fake.made()) {
      EXPECT_EQ(m->signals(), c.ignoresTerminate ? (std::vector<int>{SIGTERM, SIGKILL}) : std::vector<int>{SIGTERM});
    }
    EXPECT_FALSE(p.application.terminated());
    EXPECT_TRUE(p.alerts.shown().empty());
  }
}

// ------------------------------------------- children dying while the quit is on its way

// A quit has been asked for (a signal, the quit action) but its terminate
// is still queued behind the child's exit: the exit must start nothing.
TEST_F(ShellTest, AShellDyingAroundAQuitStartsNoFallback) {
  // Ctrl-C in the terminal reaches the launcher and the shell at once; the
  // two threads that report them may reach the main queue in either order.
  for (bool exitFirst : {true, false}) {
    for (int status : {SIGINT, 1, 0}) {
      SCOPED_TRACE(std::string(exitFirst ? "exit hop first, " : "terminate first, ") + std::to_string(status));
      TestPlatform p;
      FakeTasks fake(p.clock);
      fake.script = tasks.script;
      p.tasks = &fake;
      p.makeBundle(true);
      auto del = p.makeDelegate();
      SupervisionTestAccess::setZorvan(*del, zorvan);
      del->launchShell();
      if (exitFirst) fake.made()[0]->exitNow(status);
      p.application.requestTermination();
      if (!exitFirst) fake.made()[0]->exitNow(status);
      p.dispatch.drain();
      EXPECT_FALSE(del->browserFallbackActive());
      EXPECT_EQ(p.dispatch.pendingGlobal(), 0u) << "no retry loop";
      EXPECT_TRUE(p.application.terminated());
      EXPECT_EQ(p.application.terminateRequests(), 1) << "one terminate: the request's";
      EXPECT_EQ(fake.made().size(), 1u) << "no `zorvan open`";
      EXPECT_EQ(p.stderrText(), logOf({{0, "shell: launched " + del->shellURL()}}));
    }
  }
}

TEST_F(DaemonTest, AServiceDyingWhileAQuitIsQueuedStartsNoSuccessorWait) {
  d->launchLegacyDaemon();
  serve()->exitNow(1);
  t.application.requestTermination();
  t.dispatch.drain();
  EXPECT_EQ(successorPolls(), 0);
  EXPECT_TRUE(t.alerts.shown().empty()) << "no \"daemon exited\" failure";
  EXPECT_TRUE(t.application.terminated());
  // The quit path still stops the service it owned.
  auto made = tasks.made();
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(joinCommand(made[1]->launchSpec()), zorvan + " stop");
}

TEST_F(DaemonTest, AQuitDuringTheSuccessorWaitEndsItWithoutAnAlert) {
  d->launchLegacyDaemon();
  serve()->exitNow(2);
  t.dispatch.runMain();  // the exit is handled: the wait is queued
  ASSERT_EQ(t.dispatch.pendingGlobal(), 1u);
  t.application.requestTermination();
  t.dispatch.runGlobal();
  EXPECT_EQ(successorPolls(), 0) << "the wait looks at the request before each poll";
  t.dispatch.drain();
  EXPECT_TRUE(t.alerts.shown().empty());
  EXPECT_TRUE(t.application.terminated());
}

TEST_F(SupervisionTest, FallbackAttemptsEndWithTheQuit) {
  make(true);
  // The request comes while the first attempt runs; that attempt fails.
  tasks.script = [&](const TaskSpec&) {
    FakeChild c;
    c.exitStatus = 1;
    c.runsFor = 3;
    c.onLaunch = [&] { t.application.requestTermination(); };
    return c;
  };
  d->enterBrowserFallback();
  EXPECT_EQ(t.dispatch.runGlobal(), 1);
  EXPECT_EQ(tasks.made().size(), 1u) << "no retry once a quit is on its way";
  EXPECT_DOUBLE_EQ(t.clock.secondsSinceStart(), 3) << "not even the pause before a retry";
  t.dispatch.drain();
  EXPECT_TRUE(t.application.terminated());

  // A loop that had not begun yet when the quit path ran starts nothing.
  TestPlatform p;
  FakeTasks fake(p.clock);
  p.tasks = &fake;
  p.makeBundle(true);
  auto del = p.makeDelegate();
  SupervisionTestAccess::setZorvan(*del, zorvan);
  del->enterBrowserFallback();
  EXPECT_EQ(del->applicationShouldTerminate(), TerminateReply::kNow);
  p.dispatch.runGlobal();
  EXPECT_TRUE(fake.made().empty());
}

TEST_F(SupervisionTest, NoFallbackBeginsOnceAQuitIsOnItsWay) {
  make(true);
  t.application.requestTermination();
  d->enterBrowserFallback();
  EXPECT_FALSE(d->browserFallbackActive());
  EXPECT_EQ(t.dispatch.pendingGlobal(), 0u);
}

TEST_F(SupervisionTest, OpenAndReopenStartNothingOnceAQuitIsOnItsWay) {
  make(false);
  t.application.requestTermination();
  d->openInBrowser();
  EXPECT_TRUE(d->applicationShouldHandleReopen(false));
  EXPECT_TRUE(tasks.made().empty());
}

}  // namespace
}  // namespace testing
}  // namespace ql
