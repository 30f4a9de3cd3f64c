#include "platform/linux/linux_workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>
#include <thread>
#include <vector>

#include "platform/linux/file_handle.h"
#include "platform/linux/linux_basics.h"
#include "platform/linux/x11_activation.h"

extern char** environ;

namespace ql::linux_backend {

namespace {

const std::string kMacOSInfix = "/Contents/MacOS/";
// What readlink on /proc/<pid>/exe appends once the file has been removed.
const std::string kDeletedSuffix = " (deleted)";

std::optional<std::string> readLinkText(const std::string& path) {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

// Other programs' bundles are read here (the running-copy check may run as
// root over every user's programs): an Info.plist that is a FIFO, a device
// or oversized makes that bundle unreadable, and it is skipped.
std::map<std::string, InfoValue> readInfoPlist(const std::string& bundlePath) {
  Result<std::string> bytes = readRegularFile(bundlePath + "/Contents/Info.plist", kMaxInfoPlistBytes, true);
  if (!bytes.ok()) return {};
  return parseInfoPlist(bytes.value());
}

std::optional<std::string> infoString(const std::map<std::string, InfoValue>& info, const std::string& key) {
  auto it = info.find(key);
  if (it == info.end() || !it->second.isString() || it->second.string.empty()) return std::nullopt;
  return it->second.string;
}

std::vector<int> processIdentifiers(const std::string& procRoot) {
  std::vector<int> pids;
  DIR* dir = ::opendir(procRoot.c_str());
  if (!dir) return pids;
  while (dirent* e = ::readdir(dir)) {
    const char* name = e->d_name;
    if (!*name) continue;
    long long v = 0;
    bool numeric = true;
    for (const char* c = name; *c; ++c) {
      if (*c < '0' || *c > '9' || v > INT_MAX) {
        numeric = false;
        break;
      }
      v = v * 10 + (*c - '0');
    }
    if (numeric && v > 0 && v <= INT_MAX) pids.push_back(static_cast<int>(v));
  }
  ::closedir(dir);
  std::sort(pids.begin(), pids.end());
  return pids;
}

// In the forked children only async-signal-safe calls are made.
[[noreturn]] void reportAndExit(int fd, int err) {
  while (::write(fd, &err, sizeof err) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

}  // namespace

std::optional<std::string> bundleContainingExecutable(const std::string& executable) {
  size_t at = executable.rfind(kMacOSInfix);
  if (at == std::string::npos || at == 0) return std::nullopt;
  if (at + kMacOSInfix.size() >= executable.size()) return std::nullopt;  // the folder itself
  return executable.substr(0, at);
}

Result<std::string> bundleExecutable(const std::string& bundlePath) {
  std::string macos = bundlePath + "/Contents/MacOS";
  if (auto name = infoString(readInfoPlist(bundlePath), "CFBundleExecutable")) {
    // The name is a file in Contents/MacOS, never a path elsewhere.
    if (name->find('/') != std::string::npos || *name == "." || *name == "..") return Status::Posix(EINVAL);
    return macos + "/" + *name;
  }
  DIR* dir = ::opendir(macos.c_str());
  if (!dir) return Status::Posix(errno);
  std::vector<std::string> files;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::stat((macos + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(name);
  }
  ::closedir(dir);
  if (files.size() != 1) return Status::Posix(ENOENT);  // none, or no way to choose
  return macos + "/" + files.front();
}

Status spawnDetached(const std::string& executable) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Status::Posix(errno);
  char* const argv[] = {const_cast<char*>(executable.c_str()), nullptr};

  pid_t child = ::fork();
  if (child < 0) {
    int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return Status::Posix(err);
  }
  if (child == 0) {
    ::close(fds[0]);
    if (::setsid() < 0) reportAndExit(fds[1], errno);
    // The grandchild belongs to no one here: once this intermediate process
    // exits it is adopted by init (or the session's subreaper), which reaps it.
    pid_t grandchild = ::fork();
    if (grandchild < 0) reportAndExit(fds[1], errno);
    if (grandchild > 0) ::_exit(0);

    // The launcher blocks its termination signals in every thread and may
    // ignore some; a fresh application starts with neither.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);  // EINVAL for KILL/STOP: fine

    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull < 0) reportAndExit(fds[1], errno);
    for (int fd = 0; fd <= 2; ++fd) {
      if (::dup2(devnull, fd) < 0) reportAndExit(fds[1], errno);
    }
    if (devnull > 2) ::close(devnull);
    // Nothing else of the launcher's leaks into the new instance; the report
    // pipe is close-on-exec already and closes when the exec succeeds.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    // Do not keep the folder the launcher was started from busy.
    if (::chdir("/") != 0) {
      // Harmless: the new instance uses absolute paths only.
    }
    ::execve(argv[0], argv, environ);
    reportAndExit(fds[1], errno);
  }

  ::close(fds[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // EOF without a number: the exec went through (the pipe closed with it).
  int err = 0;
  size_t got = 0;
  while (got < sizeof err) {
    ssize_t n = ::read(fds[0], reinterpret_cast<char*>(&err) + got, sizeof err - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fds[0]);
  if (got == sizeof err) return Status::Posix(err);
  if (got != 0) return Status::Posix(EIO);
  return Status::OK();
}

LinuxWorkspace::LinuxWorkspace(std::string procRoot) : procRoot_(std::move(procRoot)) {}

std::optional<RunningApplication> LinuxWorkspace::applicationForProcess(int pid) {
  auto exe = readLinkText(procRoot_ + "/" + std::to_string(pid) + "/exe");
  if (!exe) return std::nullopt;  // gone, a kernel thread, or not ours to inspect
  RunningApplication app;
  app.processIdentifier = pid;
  bool deleted = exe->size() > kDeletedSuffix.size() &&
                 exe->compare(exe->size() - kDeletedSuffix.size(), kDeletedSuffix.size(), kDeletedSuffix) == 0;
  // A removed executable no longer says where its bundle is: the path may
  // belong to another bundle by now.
  if (!deleted) app.bundlePath = bundleContainingExecutable(*exe);
  return app;
}

std::vector<RunningApplication> LinuxWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier) {
  std::vector<RunningApplication> found;
  std::map<std::string, std::optional<std::string>> identifiers;  // bundle -> its identifier
  for (int pid : processIdentifiers(procRoot_)) {
    std::optional<RunningApplication> app = applicationForProcess(pid);
    if (!app || !app->bundlePath) continue;
    auto it = identifiers.find(*app->bundlePath);
    if (it == identifiers.end()) {
      it = identifiers.emplace(*app->bundlePath, infoString(readInfoPlist(*app->bundlePath), "CFBundleIdentifier"))
               .first;
    }
    if (it->second && *it->second == bundleIdentifier) found.push_back(*app);
  }
  return found;
}

RunningApplication LinuxWorkspace::currentApplication() {
  int pid = static_cast<int>(::getpid());
  if (auto app = applicationForProcess(pid)) return *app;
  return RunningApplication{pid, std::nullopt};
}

std::optional<RunningApplication> LinuxWorkspace::runningApplicationWithProcessIdentifier(int pid) {
  return applicationForProcess(pid);
}

namespace {
std::mutex userRequestMu;
UserRequest userRequest;
}  // namespace

void noteUserRequest(UserRequest request) {
  std::lock_guard<std::mutex> lock(userRequestMu);
  userRequest = std::move(request);
}

UserRequest takeUserRequest() {
  std::lock_guard<std::mutex> lock(userRequestMu);
  return std::exchange(userRequest, UserRequest{});
}

bool LinuxWorkspace::activate(const RunningApplication& app) {
  UserRequest request = takeUserRequest();
  // An X11 display also serves the X11 windows of a Wayland session
  // (Xwayland), where the window manager accepts the same request. A
  // native Wayland window is out of reach: only its own client may ask for
  // it to be activated, with a token, and the token this request carried
  // has no channel to the shell (docs/DESKTOP.md).
  uint32_t when = timestampFromStartupId(request.startupId).value_or(0);
  return activateX11WindowsOfProcess(app.processIdentifier, when).windowsActivated > 0;
}

void LinuxWorkspace::openApplication(const std::string& bundlePath, bool newInstance,
                                     std::function<void(Status)> completion) {
  if (!newInstance) {
    if (auto id = infoString(readInfoPlist(bundlePath), "CFBundleIdentifier")) {
      int self = static_cast<int>(::getpid());
      for (const RunningApplication& app : runningApplicationsWithBundleIdentifier(*id)) {
        if (app.processIdentifier == self) continue;
        activate(app);
        std::thread([completion = std::move(completion)] { completion(Status::OK()); }).detach();
        return;
      }
    }
  }
  Result<std::string> executable = bundleExecutable(bundlePath);
  std::thread([executable = std::move(executable), completion = std::move(completion)] {
    completion(executable.ok() ? spawnDetached(executable.value()) : executable.status());
  }).detach();
}

}  // namespace ql::linux_backend
