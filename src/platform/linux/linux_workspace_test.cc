// The Linux workspace: finding a bundle's running processes through the
// process table, and opening a bundle as a detached new instance.
#include "platform/linux/linux_workspace.h"
#include "platform/linux/x11_activation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/fakes/test_platform.h"

extern char** environ;

namespace ql::linux_backend {
namespace {

using ql::testing::makeDirs;
using ql::testing::makeLink;
using ql::testing::readFile;
using ql::testing::TempDir;
using ql::testing::writeFile;

std::string infoPlist(const std::string& identifier, const std::string& executable = "") {
  std::string s =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>CFBundleIdentifier</key><string>" + identifier + "</string>";
  if (!executable.empty()) s += "<key>CFBundleExecutable</key><string>" + executable + "</string>";
  return s + "</dict></plist>\n";
}

void makeBundle(const std::string& bundle, const std::string& identifier, const std::string& executable = "") {
  makeDirs(bundle + "/Contents/MacOS");
  writeFile(bundle + "/Contents/Info.plist", infoPlist(identifier, executable));
}

TEST(BundleContainingExecutable, TakesThePartBeforeTheLastMacOSFolder) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"/A/Q.app/Contents/MacOS/Q", "/A/Q.app"},
      {"/A/Q.app/Contents/MacOS/sub/helper", "/A/Q.app"},
      {"/A/Q.app/Contents/Helpers/S.app/Contents/MacOS/S", "/A/Q.app/Contents/Helpers/S.app"},
      {"/A/Q.app/Contents/MacOS/", std::nullopt},
      {"/usr/bin/sh", std::nullopt},
      {"/Contents/MacOS/x", std::nullopt},
  };
  for (const auto& [exe, bundle] : cases) EXPECT_EQ(bundleContainingExecutable(exe), bundle) << exe;
}

TEST(BundleExecutable, NamedByInfoPlistOrTheOnlyFile) {
  TempDir tmp;
  const std::string named = tmp.path() + "/Named.app";
  makeBundle(named, "com.example.named", "Runner");
  EXPECT_EQ(bundleExecutable(named).value(), named + "/Contents/MacOS/Runner");

  const std::string single = tmp.path() + "/Single.app";
  makeBundle(single, "com.example.single");
  writeFile(single + "/Contents/MacOS/Only", "#!/bin/sh\n", 0755);
  makeDirs(single + "/Contents/MacOS/not-a-file");
  EXPECT_EQ(bundleExecutable(single).value(), single + "/Contents/MacOS/Only");

  const std::string two = tmp.path() + "/Two.app";
  makeBundle(two, "com.example.two");
  writeFile(two + "/Contents/MacOS/A", "", 0755);
  writeFile(two + "/Contents/MacOS/B", "", 0755);
  EXPECT_EQ(bundleExecutable(two).status().code(), ENOENT);

  const std::string escaping = tmp.path() + "/Escaping.app";
  makeBundle(escaping, "com.example.escaping", "../../../bin/sh");
  EXPECT_EQ(bundleExecutable(escaping).status().code(), EINVAL);

  EXPECT_FALSE(bundleExecutable(tmp.path() + "/Missing.app").ok());
}

TEST(RunningApplications, MatchesExecutablesInsideBundlesWithTheIdentifier) {
  TempDir tmp;
  const std::string proc = tmp.path() + "/proc";
  const std::string mine = tmp.path() + "/Applications/Quillmark.app";
  const std::string other = tmp.path() + "/Applications/Other.app";
  makeBundle(mine, "com.talvoria.zorvan");
  makeBundle(other, "com.example.other");
  auto process = [&](const std::string& pid, const std::string& exe) {
    makeDirs(proc + "/" + pid);
    makeLink(proc + "/" + pid + "/exe", exe);
  };
  process("100", mine + "/Contents/MacOS/Quillmark");
  process("7", mine + "/Contents/MacOS/Quillmark");            // numeric order, not text order
  process("300", mine + "/Contents/MacOS/sub/helper");
  process("200", other + "/Contents/MacOS/Other");
  process("400", "/usr/bin/sh");
  process("50", mine + "/Contents/MacOS/Quillmark (deleted)");  // removed since: bundle unknown
  process("self", mine + "/Contents/MacOS/Quillmark");
  makeDirs(proc + "/60");                                       // not ours to inspect

  LinuxWorkspace ws(proc);
  std::vector<int> pids;
  for (const auto& app : ws.runningApplicationsWithBundleIdentifier("com.talvoria.zorvan")) {
    pids.push_back(app.processIdentifier);
    EXPECT_EQ(app.bundlePath, mine);
  }
  EXPECT_EQ(pids, (std::vector<int>{7, 100, 300}));
  EXPECT_TRUE(ws.runningApplicationsWithBundleIdentifier("com.example.none").empty());

  // Other users' programs are read too: a bundle whose Info.plist is a FIFO
  // (held open by a writer that never writes, so a blocking read would wait
  // for ever) or a device is skipped as unreadable, and the rest still count.
  const std::string fifoApp = tmp.path() + "/Applications/Fifo.app";
  const std::string zeroApp = tmp.path() + "/Applications/Zero.app";
  makeDirs(fifoApp + "/Contents/MacOS");
  makeDirs(zeroApp + "/Contents/MacOS");
  ASSERT_EQ(::mkfifo((fifoApp + "/Contents/Info.plist").c_str(), 0600), 0);
  int silentWriter = ::open((fifoApp + "/Contents/Info.plist").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(silentWriter, 0);
  makeLink(zeroApp + "/Contents/Info.plist", "/dev/zero");
  process("500", fifoApp + "/Contents/MacOS/Fifo");
  process("600", zeroApp + "/Contents/MacOS/Zero");
  ::alarm(30);  // a hang fails the test instead of blocking the suite
  pids.clear();
  for (const auto& app : ws.runningApplicationsWithBundleIdentifier("com.talvoria.zorvan")) {
    pids.push_back(app.processIdentifier);
  }
  ::alarm(0);
  ::close(silentWriter);
  EXPECT_EQ(pids, (std::vector<int>{7, 100, 300}));

  auto deleted = ws.runningApplicationWithProcessIdentifier(50);
  ASSERT_TRUE(deleted);
  EXPECT_FALSE(deleted->bundlePath);
  EXPECT_FALSE(ws.runningApplicationWithProcessIdentifier(60));
}

TEST(RunningApplications, FindsARealProcessAndTellsTheCurrentOneApart) {
  TempDir tmp;
  const std::string bundle = tmp.path() + "/Sleeper.app";
  makeBundle(bundle, "com.example.sleeper");
  const std::string exe = bundle + "/Contents/MacOS/Sleeper";
  std::filesystem::copy_file("/bin/sleep", exe);
  pid_t pid = 0;
  char* const argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>("30"), nullptr};
  ASSERT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);

  LinuxWorkspace ws;
  std::vector<RunningApplication> found;
  for (int tries = 0; tries < 100 && found.empty(); ++tries) {
    found = ws.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    if (found.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].processIdentifier, pid);
  EXPECT_EQ(found[0].bundlePath, bundle);

  RunningApplication self = ws.currentApplication();
  EXPECT_EQ(self.processIdentifier, ::getpid());
  EXPECT_FALSE(self == found[0]);
  // This test program has no window: nothing can come to the front.
  EXPECT_FALSE(ws.activate(self));
}

// Waits for the open request's completion and notes the thread it ran on.
struct Completion {
  std::mutex mu;
  std::condition_variable cv;
  std::optional<Status> status;
  std::thread::id thread;

  std::function<void(Status)> handler() {
    return [this](Status s) {
      std::lock_guard<std::mutex> lock(mu);
      status = s;
      thread = std::this_thread::get_id();
      cv.notify_all();
    };
  }
  Status wait() {
    std::unique_lock<std::mutex> lock(mu);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [this] { return status.has_value(); }));
    return status.value_or(Status::Posix(ETIMEDOUT));
  }
};

bool waitForFile(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    if (std::filesystem::exists(path) && !readFile(path).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string readLink(const std::string& path) {
  std::error_code ec;
  auto target = std::filesystem::read_symlink(path, ec);
  return ec ? "" : target.string();
}

// The fields of /proc/<pid>/stat after the command name.
std::vector<std::string> statFields(const std::string& stat) {
  std::istringstream in(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> fields;
  for (std::string f; in >> f;) fields.push_back(f);
  return fields;
}

TEST(OpenApplication, StartsTheExecutableDetachedInASessionOfItsOwn) {
  TempDir tmp;
  const std::string bundle = tmp.path() + "/Quillmark.app";
  makeBundle(bundle, "com.talvoria.zorvan", "Quillmark");
  // The probe reports its process id and waits; the test inspects it from
  // outside while it runs.
  const std::string executable = bundle + "/Contents/MacOS/Quillmark";
  std::filesystem::copy_file(QL_WORKSPACE_PROBE, executable);
  const std::string report = executable + ".pid";

  // As the launcher does: termination signals blocked, and one ignored.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  auto previousUsr2 = ::signal(SIGUSR2, SIG_IGN);

  LinuxWorkspace ws;
  Completion done;
  ws.openApplication(bundle, /*newInstance=*/true, done.handler());
  Status opened = done.wait();
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::signal(SIGUSR2, previousUsr2);
  EXPECT_TRUE(opened.ok()) << opened.localizedDescription();
  EXPECT_NE(done.thread, std::this_thread::get_id());

  ASSERT_TRUE(waitForFile(report));
  const std::string proc = "/proc/" + std::to_string(std::stoi(readFile(report)));
  ASSERT_EQ(readLink(proc + "/exe"), executable);

  std::vector<std::string> f = statFields(readFile(proc + "/stat"));
  ASSERT_GE(f.size(), 4u);
  // f[0] state, f[1] parent, f[2] process group, f[3] session.
  EXPECT_NE(std::stoi(f[1]), ::getpid()) << "not our child: nothing for us to reap";
  EXPECT_NE(std::stoi(f[3]), ::getsid(0)) << "a session of its own";
  std::vector<std::string> fds;
  for (const auto& e : std::filesystem::directory_iterator(proc + "/fd")) {
    fds.push_back(e.path().filename().string() + "=" + readLink(e.path().string()));
  }
  std::sort(fds.begin(), fds.end());
  EXPECT_EQ(fds, (std::vector<std::string>{"0=/dev/null", "1=/dev/null", "2=/dev/null"}))
      << "only the standard streams, on /dev/null";
  EXPECT_EQ(readLink(proc + "/cwd"), "/");
  std::string status = readFile(proc + "/status");
  EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"), std::string::npos) << status;
  EXPECT_NE(status.find("SigIgn:\t0000000000000000\n"), std::string::npos) << status;
  ::kill(std::stoi(readFile(report)), SIGKILL);

  // No zombie left behind: the process has no children at all.
  std::string children;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    children += readFile(task.path().string() + "/children");
  }
  EXPECT_EQ(children, "");
}

TEST(OpenApplication, ReportsWhyTheExecutableCouldNotRun) {
  TempDir tmp;
  const std::string notExecutable = tmp.path() + "/NotExecutable.app";
  makeBundle(notExecutable, "com.example.a", "Quillmark");
  writeFile(notExecutable + "/Contents/MacOS/Quillmark", "#!/bin/sh\n", 0644);
  const std::string empty = tmp.path() + "/Empty.app";
  makeBundle(empty, "com.example.b");
  const std::string badInterpreter = tmp.path() + "/BadInterpreter.app";
  makeBundle(badInterpreter, "com.example.c", "Quillmark");
  writeFile(badInterpreter + "/Contents/MacOS/Quillmark", "#!/nonexistent/interpreter\n", 0755);

  const std::vector<std::pair<std::string, int>> cases = {
      {notExecutable, EACCES}, {empty, ENOENT}, {badInterpreter, ENOENT}, {tmp.path() + "/Missing.app", ENOENT}};
  LinuxWorkspace ws;
  for (const auto& [bundle, err] : cases) {
    Completion done;
    ws.openApplication(bundle, true, done.handler());
    Status s = done.wait();
    EXPECT_EQ(s.code(), err) << bundle << ": " << s.localizedDescription();
  }
}

// The time of the click that launched a request rides in its startup id.
TEST(Activation, StartupIdsGiveTheTimeOfTheUsersRequest) {
  struct Case {
    const char* id;
    std::optional<uint32_t> time;
  } cases[] = {
      {"gnome-shell-1234-host-quillmark-0_TIME98765", 98765u},
      {"a_TIME1_TIME42", 42u},          // the last one counts
      {"xdotool_TIME4294967295", 4294967295u},
      {"x_TIME4294967296", std::nullopt},  // past 32 bits: not a server time
      {"x_TIME0", std::nullopt},           // 0 is "now", not a time
      {"x_TIME", std::nullopt},
      {"x_TIME12a", std::nullopt},
      {"x_TIME-5", std::nullopt},
      {"", std::nullopt},
      {"no time here", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(timestampFromStartupId(c.id), c.time) << c.id;
}

TEST(Activation, EachRequestIsUsedOnceAndReplacesTheOneBefore) {
  noteUserRequest({"a_TIME5", "token-a"});
  noteUserRequest({"", ""});  // a newer request that carried nothing
  UserRequest r = takeUserRequest();
  EXPECT_EQ(r.startupId, "");
  EXPECT_EQ(r.activationToken, "");
  noteUserRequest({"b_TIME6", "token-b"});
  r = takeUserRequest();
  EXPECT_EQ(r.startupId, "b_TIME6");
  EXPECT_EQ(r.activationToken, "token-b");
  EXPECT_EQ(takeUserRequest().startupId, "");  // taken: gone
}

}  // namespace
}  // namespace ql::linux_backend
