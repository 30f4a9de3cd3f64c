// The Linux task backend and the command runner with real child processes.
#include "platform/linux/linux_tasks.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <future>
#include <sstream>
#include <thread>

#include "app/app_delegate.h"
#include "platform/linux/file_handle.h"
#include "platform/linux/linux_basics.h"
#include "tests/fakes/test_platform.h"

namespace ql {

struct SupervisionTestAccess {
  static void setZorvan(AppDelegate& d, std::string path) { d.zorvan_ = std::move(path); }
};

namespace testing {
namespace {

using linux_backend::LinuxTasks;
using Seconds = std::chrono::duration<double>;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

// The launcher core over real children and the real clock; the rest of the
// platform (log capture, queues) comes from the test platform.
class RealChildren : public ::testing::Test {
 protected:
  RealChildren()
      : platform(Platform{t.application, t.alerts, t.files, tasks, t.dispatch, t.process, t.bundle,
                          t.fakeCodeSigning, t.workspace, clock, t.libraries, t.facts}),
        d(std::make_shared<AppDelegate>(platform)) {}

  // The one logged message (without its time stamp), or "" when none.
  std::string loggedMessage() {
    std::string text = t.stderrText();
    if (text.empty()) return "";
    EXPECT_GE(text.size(), 24u);
    EXPECT_EQ(text.substr(0, 1), "[");
    EXPECT_EQ(text.substr(21, 2), "] ");
    EXPECT_EQ(text.back(), '\n');
    return text.substr(23, text.size() - 24);
  }

  // Children of this process that have ended but were never reaped.
  static std::set<int> zombieChildren() {
    std::set<int> zombies;
    DIR* proc = ::opendir("/proc");
    if (!proc) return zombies;
    while (dirent* e = ::readdir(proc)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::string stat = readFile(std::string("/proc/") + e->d_name + "/stat");
      // "pid (comm) state ppid …"; comm may hold spaces, so read after ')'.
      size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(stat.substr(close + 1));
      char state = 0;
      long ppid = 0;
      rest >> state >> ppid;
      if (state == 'Z' && ppid == ::getpid()) zombies.insert(std::atoi(e->d_name));
    }
    ::closedir(proc);
    return zombies;
  }

  TestPlatform t;
  LinuxTasks tasks;
  linux_backend::RealClock clock;
  Platform platform;
  std::shared_ptr<AppDelegate> d;
};

TEST_F(RealChildren, CommandRunnerTable) {
  const std::string mib(1 << 20, 'a'), mibErr(1 << 20, 'b');
  const std::string pidFile = t.root + "/sleeper.pid";
  const std::string oneMiB = "head -c 1048576 /dev/zero | tr '\\000' a; head -c 1048576 /dev/zero | tr '\\000' b >&2";
  struct Case {
    const char* name;
    bool capture;
    std::vector<std::string> args;
    double limit;
    std::optional<CaptureResult> result;
    std::string log;  // the message (prefix included), or "" for none
    double minSeconds, maxSeconds;
  };
  auto sh = [](std::string script, std::vector<std::string> more = {}) {
    std::vector<std::string> a = {"/bin/sh", "-c", std::move(script)};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  auto joined = [](const std::vector<std::string>& a) {
    std::string s;
    for (const auto& x : a) s += (s.empty() ? "" : " ") + x;
    return s;
  };
  const auto nonceArgs = sh("echo 'GET /cb?nonce=abc123&state=1&nonce=x-y_z&next=2' >&2", {"nonce=inargs"});
  const auto overdue = sh("echo before >&2; exec sleep 30");
  const auto unlimited = sh("sleep 0.3; echo late >&2");
  const auto big = sh(oneMiB);
  const auto stubborn = sh("trap '' TERM; echo stubborn >&2; exec sleep 30");
  Case cases[] = {
      {"status 3 with one word on stdout", true, sh("echo word; exit 3"), 10, CaptureResult{3, "word\n"}, "", 0, 1},
      {"whitespace-only stderr", true, sh("printf '  \\n\\t\\n' >&2"), 10, CaptureResult{0, ""}, "", 0, 1},
      {"two nonces in stderr", true, nonceArgs, 10, CaptureResult{0, ""},
       "capture stderr [" + joined(nonceArgs) + "]: GET /cb?nonce=REDACTED&state=1&nonce=REDACTED&next=2", 0, 1},
      {"past its limit", true, overdue, 0.5, std::nullopt, "capture stderr [" + joined(overdue) + "]: before", 0.5,
       1.5},
      {"run with limit 0 waits for the end", false, unlimited, 0, std::nullopt,
       "run stderr [" + joined(unlimited) + "]: late", 0.3, 1.5},
      {"missing executable", true, {t.root + "/no/such/quillmark", "open"}, 10, std::nullopt, "", 0, 0.5},
      {"1 MiB on stdout and stderr", true, big, 20, CaptureResult{0, mib}, "capture stderr [" + joined(big) + "]: " + mibErr,
       0, 10},
      // SIGTERM is ignored: SIGKILL follows after the 2 s grace period.
      {"ignores SIGTERM", true, stubborn, 0.5, std::nullopt, "capture stderr [" + joined(stubborn) + "]: stubborn",
       2.5, 4},
      // The child is gone at once; a background job keeps both pipes open
      // for 30 s and is given the 1 s pipe grace period.
      {"sh -c 'sleep 30 &' holding the pipes", true, sh("sleep 30 & echo $! > '" + pidFile + "'"), 10,
       CaptureResult{0, ""}, "", 0.9, 2},
      {"exits at once", true, {"/bin/true"}, 10, CaptureResult{0, ""}, "", 0, 0.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPlatform p;
    LinuxTasks real;
    linux_backend::RealClock realClock;
    Platform plat{p.application, p.alerts, p.files, real, p.dispatch, p.process, p.bundle,
                  p.fakeCodeSigning, p.workspace, realClock, p.libraries, p.facts};
    auto del = std::make_shared<AppDelegate>(plat);
    auto zombiesBefore = zombieChildren();
    auto start = std::chrono::steady_clock::now();
    if (c.capture) {
      auto got = del->runCapture(c.args, c.limit);
      ASSERT_EQ(got.has_value(), c.result.has_value());
      if (got) {
        EXPECT_EQ(got->status, c.result->status);
        EXPECT_EQ(got->stdoutText.size(), c.result->stdoutText.size());
        EXPECT_TRUE(got->stdoutText == c.result->stdoutText);
      }
    } else {
      del->run(c.args, c.limit);
    }
    double took = secondsSince(start);
    EXPECT_GE(took, c.minSeconds);
    EXPECT_LE(took, c.maxSeconds);
    std::string text = p.stderrText();
    std::string message = text.size() >= 24 ? text.substr(23, text.size() - 24) : text;
    EXPECT_EQ(message.size(), c.log.size());
    EXPECT_TRUE(message == c.log) << message.substr(0, 200);
    // Every child the runner started has been reaped by the time it returns.
    EXPECT_EQ(zombieChildren(), zombiesBefore);
  }
  // Tidy up the background sleeper of the pipe-holding case.
  std::string pid = readFile(pidFile);
  if (!pid.empty()) ::kill(std::stoi(pid), SIGKILL);
}

TEST_F(RealChildren, NoLauncherDescriptorLeaksIntoAChild) {
  // Descriptors opened without close-on-exec, as a careless library would.
  int stray = ::open("/dev/null", O_RDONLY);
  int strayPipe[2];
  ASSERT_EQ(::pipe(strayPipe), 0);
  ASSERT_GE(stray, 0);
  auto logFile = std::make_shared<linux_backend::FdFileHandle>(
      ::open((t.root + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), true);

  auto onlyStandardStreams = [](const std::string& listing) {
    std::istringstream in(listing);
    std::set<int> fds;
    for (int fd; in >> fd;) fds.insert(fd);
    fds.erase(0);  // stdin is inherited as it is, when the test has one
    return fds == std::set<int>{1, 2};
  };

  auto captured = d->runCapture({QL_FD_LISTER}, 10);
  ASSERT_TRUE(captured.has_value());
  EXPECT_TRUE(onlyStandardStreams(captured->stdoutText)) << captured->stdoutText;

  // The shape the daemon and the shell use: both streams to the log handle.
  TaskSpec launchSpec;
  launchSpec.executable = QL_FD_LISTER;
  launchSpec.standardOutput = StreamSpec::to(logFile);
  launchSpec.standardError = StreamSpec::to(logFile);
  auto task = tasks.makeTask(launchSpec);
  ASSERT_TRUE(task->launch().ok());
  task->waitUntilExit();
  EXPECT_TRUE(onlyStandardStreams(readFile(t.root + "/log"))) << readFile(t.root + "/log");

  // One pipe for both streams, as the assessment tool is run.
  TaskSpec merged;
  merged.executable = QL_FD_LISTER;
  merged.standardOutput = StreamSpec::pipe();
  merged.standardErrorToOutput = true;
  auto mergedTask = tasks.makeTask(merged);
  ASSERT_TRUE(mergedTask->launch().ok());
  ASSERT_TRUE(mergedTask->waitUntilExit(Duration(10)));
  EXPECT_TRUE(onlyStandardStreams(mergedTask->collectOutput(OutputStream::kStandardOutput, Duration(5))));

  ::close(stray);
  ::close(strayPipe[0]);
  ::close(strayPipe[1]);
}

TEST_F(RealChildren, StandardErrorCanJoinStandardOutputsPipe) {
  TaskSpec launchSpec;
  launchSpec.executable = "/bin/sh";
  launchSpec.arguments = {"-c", "echo out; echo err >&2; echo again"};
  launchSpec.standardOutput = StreamSpec::pipe();
  launchSpec.standardErrorToOutput = true;
  auto task = tasks.makeTask(launchSpec);
  ASSERT_TRUE(task->launch().ok());
  EXPECT_EQ(task->collectOutput(OutputStream::kStandardOutput, Duration(10)), "out\nerr\nagain\n");
  EXPECT_EQ(task->collectOutput(OutputStream::kStandardError, Duration(0)), "");
}

TEST_F(RealChildren, TerminationHandlerRunsOnAThreadOfItsOwnWithExitCodeOrSignal) {
  struct Case {
    const char* name;
    std::string script;
    bool terminate;
    int status;
  } cases[] = {
      {"exit code", "exit 7", false, 7},
      {"killed by a signal", "kill -KILL $$", false, SIGKILL},
      {"terminate() sends SIGTERM", "exec sleep 30", true, SIGTERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TaskSpec launchSpec;
    launchSpec.executable = "/bin/sh";
    launchSpec.arguments = {"-c", c.script};
    auto task = tasks.makeTask(launchSpec);
    std::promise<std::pair<int, std::thread::id>> reported;
    task->setTerminationHandler([&](Task& finished) {
      reported.set_value({finished.terminationStatus(), std::this_thread::get_id()});
    });
    ASSERT_TRUE(task->launch().ok());
    EXPECT_GT(task->processIdentifier(), 0);
    if (c.terminate) {
      EXPECT_TRUE(task->isRunning());
      EXPECT_FALSE(task->waitUntilExit(Duration(0.05)));
      task->terminate();
    }
    auto future = reported.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto [status, thread] = future.get();
    EXPECT_EQ(status, c.status);
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_TRUE(task->waitUntilExit(Duration(1)));
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(task->terminationStatus(), c.status);
    // Signalling a reaped child is a no-op: its pid may belong to someone else now.
    task->terminate();
    task->kill();
  }
}

TEST_F(RealChildren, LaunchErrorsCarryTheErrnoAndLeaveNothingBehind) {
  writeFile(t.root + "/not-executable", "#!/bin/sh\nexit 0\n", 0644);
  struct Case {
    std::string path;
    int code;
  } cases[] = {
      {t.root + "/missing", ENOENT},
      {t.root + "/not-executable", EACCES},
      {"", ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TaskSpec launchSpec;
    launchSpec.executable = c.path;
    launchSpec.standardOutput = StreamSpec::pipe();
    launchSpec.standardError = StreamSpec::pipe();
    auto task = tasks.makeTask(launchSpec);
    bool handlerRan = false;
    task->setTerminationHandler([&](Task&) { handlerRan = true; });
    auto zombiesBefore = zombieChildren();
    Status s = task->launch();
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.code(), c.code);
    EXPECT_EQ(s.localizedDescription(), std::strerror(c.code));
    EXPECT_FALSE(task->isRunning());
    task->waitUntilExit();  // returns at once
    EXPECT_EQ(zombieChildren(), zombiesBefore);
    EXPECT_FALSE(handlerRan);
  }
}

TEST_F(RealChildren, ChildStartsWithAnEmptySignalMaskAndDefaultDispositions) {
  // What the launcher's threads look like: termination signals blocked and
  // SIGPIPE ignored.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGHUP);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
  auto got = d->runCapture({"/bin/grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}, 10);
  std::signal(SIGPIPE, oldPipe);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(got.has_value());
  unsigned long long blk = 0, ign = 0;
  ASSERT_EQ(std::sscanf(got->stdoutText.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blk, &ign), 2) << got->stdoutText;
  EXPECT_EQ(blk, 0u);
  // Signals 1 to 31 all at their defaults (SIGPIPE included). glibc's
  // posix_spawn leaves its two internal real-time signals (32, 33) ignored;
  // every glibc program installs its own handlers for them at start-up.
  EXPECT_EQ(ign & 0x7FFFFFFFull, 0u) << got->stdoutText;
}

TEST_F(RealChildren, EnvironmentIsExactlyTheGivenOneAndSessionsAreOptIn) {
  TaskSpec launchSpec;
  launchSpec.executable = "/usr/bin/env";
  launchSpec.environment = std::map<std::string, std::string>{{"A", "1"}, {"B", "two words"}};
  launchSpec.standardOutput = StreamSpec::pipe();
  auto task = tasks.makeTask(launchSpec);
  ASSERT_TRUE(task->launch().ok());
  EXPECT_EQ(task->collectOutput(OutputStream::kStandardOutput, Duration(10)), "A=1\nB=two words\n");

  for (bool newSession : {false, true}) {
    SCOPED_TRACE(newSession);
    TaskSpec s;
    s.executable = "/bin/sh";
    // Fields 1 and 6 of /proc/<pid>/stat: the process id and its session.
    s.arguments = {"-c", "read -r line < /proc/$$/stat; set -- $line; echo $1 $6"};
    s.standardOutput = StreamSpec::pipe();
    s.newSession = newSession;
    auto child = tasks.makeTask(s);
    ASSERT_TRUE(child->launch().ok());
    std::istringstream in(child->collectOutput(OutputStream::kStandardOutput, Duration(10)));
    long pid = 0, sid = 0;
    in >> pid >> sid;
    EXPECT_EQ(pid, child->processIdentifier());
    if (newSession) {
      EXPECT_EQ(sid, pid);
    } else {
      EXPECT_EQ(sid, static_cast<long>(::getsid(0)));
    }
  }
}

TEST_F(RealChildren, ARealExitReachesTheMainQueueThroughTheHandler) {
  // launchLegacyDaemon with a service that exits at once: hop 1 runs on the
  // backend's thread, hop 2 is queued for the main thread.
  std::string service = t.root + "/service";
  writeFile(service, "#!/bin/sh\n[ \"$1 $2\" = 'serve --app' ] && exit 4\nexit 9\n", 0755);
  SupervisionTestAccess::setZorvan(*d, service);
  d->launchLegacyDaemon();
  ASSERT_NE(d->daemon(), nullptr);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (t.dispatch.pendingMain() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(t.dispatch.runMain(), 1);
  EXPECT_EQ(loggedMessage(), "daemon exited (4)");
  EXPECT_EQ(t.dispatch.pendingGlobal(), 1u);  // the successor wait, not run here
}

// Whether `pid` is a live process: there, and not a zombie waiting to be
// reaped.
bool processAlive(int pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

TEST_F(RealChildren, QuitStopsTheFallbackAttemptInFlightEvenOneThatIgnoresSigterm) {
  // `zorvan open` that hangs and shrugs off SIGTERM: left alone, it would
  // run on under init after the launcher has quit.
  for (bool ignoresTerm : {false, true}) {
    SCOPED_TRACE(ignoresTerm ? "ignores SIGTERM" : "obeys SIGTERM");
    TestPlatform p;
    Platform real{p.application, p.alerts, p.files, tasks, p.dispatch, p.process, p.bundle,
                  p.fakeCodeSigning, p.workspace, clock, p.libraries, p.facts};
    auto del = std::make_shared<AppDelegate>(real);
    std::string pidFile = p.root + "/open.pids";
    std::string service = p.root + "/service";
    writeFile(service, std::string("#!/bin/sh\necho $$ >> '") + pidFile + "'\n" +
                           (ignoresTerm ? "trap '' TERM\n" : "") + "while :; do sleep 0.05; done\n",
              0755);
    SupervisionTestAccess::setZorvan(*del, service);
    del->enterBrowserFallback();
    std::thread loop([&] { p.dispatch.runGlobal(); });  // the global queue
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (readFile(pidFile).empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int pid = std::atoi(readFile(pidFile).c_str());
    ASSERT_GT(pid, 0) << "the attempt never started";
    ASSERT_TRUE(processAlive(pid));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(del->applicationShouldTerminate(), TerminateReply::kNow);
    double took = secondsSince(start);
    EXPECT_FALSE(processAlive(pid)) << "the attempt outlived the quit path";
    // SIGTERM ends an obedient child at once; the other one costs the grace.
    EXPECT_LT(took, ignoresTerm ? 4.0 : 1.0);
    if (ignoresTerm) {
      EXPECT_GE(took, 1.9);
    }
    loop.join();
    // One attempt only: none started after the quit.
    std::string pids = readFile(pidFile);
    EXPECT_EQ(std::count(pids.begin(), pids.end(), '\n'), 1) << pids;
  }
}

}  // namespace
}  // namespace testing
}  // namespace ql
