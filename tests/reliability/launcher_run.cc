#include "tests/reliability/launcher_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace ql::testing {

namespace {

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::string linkTarget(const std::string& path) {
  char buf[4096];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// /proc/<pid>/cmdline with its NULs as spaces.
std::string commandLine(pid_t pid) {
  std::string text = readSmall("/proc/" + std::to_string(pid) + "/cmdline");
  for (char& c : text) {
    if (c == '\0') c = ' ';
  }
  return text;
}

// Field 3 (state) and 4 (ppid) of /proc/<pid>/stat; the command name in
// field 2 may hold spaces and parentheses, so parse after the last ')'.
bool statFields(pid_t pid, char* state, pid_t* ppid) {
  std::string stat = readSmall("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  char st = 0;
  int parent = 0;
  if (std::sscanf(stat.c_str() + close + 1, " %c %d", &st, &parent) != 2) return false;
  if (state) *state = st;
  if (ppid) *ppid = parent;
  return true;
}

std::vector<pid_t> allProcesses() {
  std::vector<pid_t> pids;
  DIR* d = ::opendir("/proc");
  if (!d) return pids;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long v = std::strtol(e->d_name, &end, 10);
    if (end && *end == '\0' && v > 0) pids.push_back(static_cast<pid_t>(v));
  }
  ::closedir(d);
  return pids;
}

}  // namespace

BuiltPrograms BuiltPrograms::fromBuild() {
  return {QL_TEST_LAUNCHER, QL_TEST_CODESIGN, QL_TEST_IDENTITY, QL_TEST_MAKE_BUNDLE};
}

std::string sandboxServiceScript() {
  return R"(#!/bin/sh
# Sandbox service: records each serving instance, stops them on `stop`.
state=${QL_SANDBOX_STATE:?}
case "$1" in
  serve)
    echo $$ > "$state/serving.$$"
    trap 'exit 0' TERM INT HUP
    while :; do sleep 0.1; done ;;
  stop)
    # Only the instance the calling launcher started: several launchers may
    # share one sandbox.
    for f in "$state"/serving.*; do
      [ -f "$f" ] || continue
      p=${f##*.}
      read -r _ _ _ parent _ 2>/dev/null < "/proc/$p/stat" || continue
      [ "$parent" = "$PPID" ] && kill "$p" 2>/dev/null
    done
    exit 0 ;;
esac
exit 0
)";
}

bool makeSignedBundle(const BuiltPrograms& programs, const std::string& out, const std::string& identifier,
                      const std::string& version, std::string* why) {
  std::string service = out + ".service";
  {
    FILE* f = std::fopen(service.c_str(), "w");
    if (!f) {
      *why = "cannot write " + service;
      return false;
    }
    std::string text = sandboxServiceScript();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    ::chmod(service.c_str(), 0755);
  }
  std::string log = out + ".make-bundle.log";
  std::string cmd = "'" + programs.makeBundle + "' --out '" + out + "' --version '" + version +
                    "' --identifier '" + identifier + "' --launcher '" + programs.launcher + "' --service '" +
                    service + "' --sign-tool '" + programs.codesign + "' --identity '" + programs.identity +
                    "' >'" + log + "' 2>&1";
  int rc = std::system(cmd.c_str());
  ::unlink(service.c_str());
  if (rc != 0) {
    *why = "make-bundle failed: " + readSmall(log);
    return false;
  }
  ::unlink(log.c_str());
  return true;
}

Launch startLauncher(const LaunchOptions& o) {
  std::vector<std::string> env = {
      "HOME=" + o.home,
      "PATH=/usr/bin:/bin",
      "ZORVAN_NO_WINDOW=1",
      "QL_SANDBOX_STATE=" + o.stateDir,
      // A launcher killed at its time bound must not spend seconds on a
      // leak report; a real sanitizer finding still ends it and is seen.
      "ASAN_OPTIONS=detect_leaks=0",
      "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1",
  };
  if (o.install) {
    env.push_back("QL_ALERT_ANSWERS=1000");
  } else {
    env.push_back("ZORVAN_SKIP_INSTALL=1");
  }
  for (const std::string& e : o.extraEnvironment) env.push_back(e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string exe = o.executable;
  char* argv[] = {exe.data(), nullptr};

  int gate[2];
  if (::pipe2(gate, O_CLOEXEC) != 0) return {};
  pid_t pid = ::fork();
  if (pid < 0) return {};
  if (pid == 0) {
    ::close(gate[1]);
    // A group of its own: a hang is ended by killing the group.
    ::setpgid(0, 0);
    char go;
    while (::read(gate[0], &go, 1) < 0 && errno == EINTR) {
    }
    if (o.gateRead >= 0) {
      ::close(o.gateWrite);
      while (::read(o.gateRead, &go, 1) != 0 && errno == EINTR) {
      }
    }
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(o.capturePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  ::close(gate[0]);
  ::setpgid(pid, pid);  // also from here, so the group exists before any kill
  if (o.beforeExec) o.beforeExec(pid);
  (void)!::write(gate[1], "g", 1);
  ::close(gate[1]);
  Launch l;
  l.pid = pid;
  return l;
}

bool pollEnded(Launch& l) {
  if (l.reaped) return true;
  if (l.pid <= 0) return true;
  int status = 0;
  pid_t r = ::waitpid(l.pid, &status, WNOHANG);
  if (r == l.pid) {
    l.reaped = true;
    l.status = status;
  }
  return l.reaped;
}

bool processRunning(pid_t pid) {
  char state = 0;
  if (!statFields(pid, &state, nullptr)) return false;
  return state != 'Z' && state != 'X';
}

pid_t parentOf(pid_t pid) {
  pid_t ppid = 0;
  return statFields(pid, nullptr, &ppid) ? ppid : 0;
}

std::vector<pid_t> everServed(const std::string& stateDir) {
  std::vector<pid_t> pids;
  DIR* d = ::opendir(stateDir.c_str());
  if (!d) return pids;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (!startsWith(name, "serving.")) continue;
    pids.push_back(static_cast<pid_t>(std::atoi(name.c_str() + 8)));
  }
  ::closedir(d);
  return pids;
}

std::vector<pid_t> servingInstances(const std::string& stateDir) {
  std::vector<pid_t> running;
  for (pid_t p : everServed(stateDir)) {
    if (p > 0 && processRunning(p)) running.push_back(p);
  }
  return running;
}

std::vector<pid_t> processesUnder(const std::string& root) {
  std::vector<pid_t> found;
  const std::string prefix = root + "/";
  for (pid_t pid : allProcesses()) {
    if (pid == ::getpid() || !processRunning(pid)) continue;
    std::string base = "/proc/" + std::to_string(pid);
    if (startsWith(linkTarget(base + "/exe"), prefix) || commandLine(pid).find(prefix) != std::string::npos) {
      found.push_back(pid);
    }
  }
  return found;
}

void killEverythingUnder(const std::string& root, Launch* launch, double seconds) {
  double until = monotonicSeconds() + seconds;
  for (;;) {
    if (launch && launch->pid > 0 && !launch->reaped) {
      ::kill(-launch->pid, SIGKILL);
      ::kill(launch->pid, SIGKILL);
      pollEnded(*launch);
    }
    std::vector<pid_t> left = processesUnder(root);
    for (pid_t p : left) ::kill(p, SIGKILL);
    bool launchDone = !launch || launch->reaped || launch->pid <= 0;
    if (left.empty() && launchDone) return;
    if (monotonicSeconds() > until) return;
    releaseFifos(root);
    sleepSeconds(0.02);
  }
}

void releaseFifos(const std::string& root) {
  DIR* d = ::opendir(root.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = root + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISFIFO(st.st_mode)) {
      // O_RDWR never blocks on a FIFO and counts as both ends.
      int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
    } else if (S_ISDIR(st.st_mode)) {
      releaseFifos(path);
    }
  }
  ::closedir(d);
}

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

std::string readSmall(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st;
  std::string out;
  if (::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || startsWith(path, "/proc/"))) {
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && out.size() < (size_t(8) << 20)) {
      out.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return out;
}

}  // namespace ql::testing
