// quillmark-demo-service: a stand-in for the service binary, for the demo
// bundle. It honours the three commands the launcher and the shell use:
//
//   serve --app   serve a small page on a loopback port, with the lock file
//                 "zorvan.lock" ({"pid": …, "port": …}) in the data
//                 directory; SIGTERM, SIGINT or SIGHUP remove the lock and
//                 end it with status 0. When a live instance already holds
//                 the lock it says so and exits 0 (the launcher then finds
//                 that instance as a successor).
//   open          ask the running instance for its page; on an answer, open
//                 it with xdg-open when a desktop is there (DISPLAY or
//                 WAYLAND_DISPLAY), else print its address. Status 0 only
//                 when the service answered.
//   stop          SIGTERM to the running instance, then wait (10 s at most)
//                 until it is gone. Status 0 when none is left running.
//
// The data directory is ~/.quillmark unless ~/.quillmark/config.toml names
// another one with `data_dir`, read with the launcher's own scanner.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>

#include "datadir/config_scanner.h"
#include "supervision/lock_file.h"

extern char** environ;

namespace {

const char* const kName = "quillmark-demo-service";

std::string homeDirectory() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  size_t slash = path.find('/');
  std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string rest = slash == std::string::npos ? "" : path.substr(slash);
  std::string home;
  if (user.empty()) {
    home = homeDirectory();
  } else if (passwd* pw = ::getpwnam(user.c_str()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  } else {
    return path;
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/" && !rest.empty()) return rest;
  return home + rest;
}

// config.toml and the lock file sit in folders others may write: a FIFO or a
// device there must not stall the service, so only a regular file is read,
// without waiting, and never past `maxBytes`.
std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || data.size() + static_cast<size_t>(n) > maxBytes) {
      ::close(fd);
      if (n == 0) return data;
      return std::nullopt;
    }
    data.append(buf, static_cast<size_t>(n));
  }
}

std::string dataDirectory() {
  std::string home = homeDirectory();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  std::string zvd = (home == "/" ? "" : home) + "/.quillmark";
  auto config = readSmallFile(zvd + "/config.toml", ql::datadir::kMaxConfigBytes);
  if (!config) return zvd;
  auto value = ql::datadir::scanDataDirValue(*config);
  return value ? expandTilde(*value) : zvd;
}

void makeDirectories(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0700);
  }
}

struct Instance {
  int pid;
  int port;
};

// The live instance the lock file names, if there is one.
std::optional<Instance> runningInstance(const std::string& lockPath) {
  auto text = readSmallFile(lockPath, ql::supervision::kMaxLockFileBytes);
  if (!text) return std::nullopt;
  auto pid = ql::supervision::lockFileProcessId(*text);
  if (!pid || ::kill(*pid, 0) != 0) return std::nullopt;
  int port = 0;
  auto doc = nlohmann::json::parse(*text, nullptr, false);
  if (doc.is_object() && doc.contains("port") && doc["port"].is_number_integer()) {
    auto p = doc["port"].get<long long>();
    if (p > 0 && p < 65536) port = static_cast<int>(p);
  }
  return Instance{*pid, port};
}

bool writeLockFile(const std::string& lockPath, int port) {
  nlohmann::json doc = {{"pid", ::getpid()}, {"port", port}, {"url", "http://127.0.0.1:" + std::to_string(port) + "/"}};
  // Written beside and renamed over: a reader never sees half a lock file.
  // The temporary is a new file of our own: whatever a crashed run (or
  // someone else) left at its name is removed, never written through.
  std::string tmp = lockPath + ".tmp." + std::to_string(::getpid());
  (void)::unlink(tmp.c_str());
  {
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::string text = doc.dump() + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
      ::unlink(tmp.c_str());
      return false;
    }
  }
  return ::rename(tmp.c_str(), lockPath.c_str()) == 0;
}

// Removes the lock only while it still names this process: a successor may
// already have written its own.
void removeOwnLock(const std::string& lockPath) {
  auto text = readSmallFile(lockPath, ql::supervision::kMaxLockFileBytes);
  if (!text) return;
  auto pid = ql::supervision::lockFileProcessId(*text);
  if (pid && *pid == ::getpid()) ::unlink(lockPath.c_str());
}

const char kPage[] =
    "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Quillmark (demo)</title></head>\n"
    "<body style=\"font-family: sans-serif; margin: 3em\">\n<h1>Quillmark</h1>\n"
    "<p>The demo service is running. This page stands in for the product's interface.</p>\n"
    "</body></html>\n";

void answer(int client) {
  // Read the request head, but never wait long for a slow or silent client.
  char buf[4096];
  std::string request;
  pollfd p{client, POLLIN, 0};
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
    if (::poll(&p, 1, 2000) <= 0) break;
    ssize_t n = ::read(client, buf, sizeof buf);
    if (n <= 0) break;
    request.append(buf, static_cast<size_t>(n));
  }
  std::string body = kPage;
  std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  (void)!::send(client, response.data(), response.size(), MSG_NOSIGNAL);
  ::close(client);
}

int serveCommand() {
  std::string dir = dataDirectory();
  makeDirectories(dir);
  std::string lockPath = dir + "/zorvan.lock";
  if (auto other = runningInstance(lockPath)) {
    std::printf("%s: already running as pid %d; leaving it in charge\n", kName, other->pid);
    return 0;
  }

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  int sfd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;  // any free port; the lock file tells which
  socklen_t len = sizeof addr;
  if (sfd < 0 || listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 16) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::fprintf(stderr, "%s: cannot listen on loopback: %s\n", kName, std::strerror(errno));
    return 1;
  }
  int port = ntohs(addr.sin_port);
  if (!writeLockFile(lockPath, port)) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", kName, lockPath.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("%s: serving http://127.0.0.1:%d/ (pid %d, data dir %s)\n", kName, port, ::getpid(), dir.c_str());
  std::fflush(stdout);

  pollfd fds[2] = {{sfd, POLLIN, 0}, {listener, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      signalfd_siginfo info;
      (void)!::read(sfd, &info, sizeof info);
      std::printf("%s: signal %u, stopping\n", kName, info.ssi_signo);
      break;
    }
    if (fds[1].revents) {
      int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) answer(client);
    }
  }
  removeOwnLock(lockPath);
  return 0;
}

// One GET of the page; true on an HTTP 200 within two seconds.
bool serviceAnswers(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = false;
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EINPROGRESS) {
    pollfd p{s, POLLOUT, 0};
    int err = 0;
    socklen_t el = sizeof err;
    if (::poll(&p, 1, 2000) == 1 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &el) == 0 && err == 0) {
      const char req[] = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
      if (::send(s, req, sizeof req - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof req - 1)) {
        p.events = POLLIN;
        char buf[64];
        if (::poll(&p, 1, 2000) == 1) {
          ssize_t n = ::recv(s, buf, sizeof buf - 1, 0);
          ok = n >= 12 && std::strncmp(buf, "HTTP/1.", 7) == 0 && std::strncmp(buf + 9, "200", 3) == 0;
        }
      }
    }
  }
  ::close(s);
  return ok;
}

// xdg-open in a session of its own with its output discarded: the browser it
// starts must not hold the caller's pipes open or share its terminal.
bool openInDesktop(const std::string& url) {
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::string prog = "xdg-open";
  char* argv[] = {prog.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t pid;
  int rc = ::posix_spawnp(&pid, "xdg-open", &fa, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "%s: cannot run xdg-open: %s\n", kName, std::strerror(rc));
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int openCommand() {
  std::string lockPath = dataDirectory() + "/zorvan.lock";
  auto instance = runningInstance(lockPath);
  if (!instance || instance->port == 0) {
    std::fprintf(stderr, "%s: no running service (lock file %s)\n", kName, lockPath.c_str());
    return 1;
  }
  if (!serviceAnswers(instance->port)) {
    std::fprintf(stderr, "%s: the service (pid %d) did not answer on port %d\n", kName, instance->pid,
                 instance->port);
    return 1;
  }
  std::string url = "http://127.0.0.1:" + std::to_string(instance->port) + "/";
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  if ((x && *x) || (w && *w)) {
    if (!openInDesktop(url)) std::fprintf(stderr, "%s: xdg-open failed; Quillmark is at %s\n", kName, url.c_str());
    return 0;
  }
  std::printf("Quillmark is at %s\n", url.c_str());
  return 0;
}

int stopCommand() {
  std::string lockPath = dataDirectory() + "/zorvan.lock";
  auto instance = runningInstance(lockPath);
  if (!instance) {
    std::printf("%s: not running\n", kName);
    return 0;
  }
  // A pidfd pins the process: the wait below cannot mistake a new process
  // that reused the pid for the old one.
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, instance->pid, 0));
  if (pidfd < 0 || ::syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0) != 0) {
    std::fprintf(stderr, "%s: cannot stop pid %d: %s\n", kName, instance->pid, std::strerror(errno));
    if (pidfd >= 0) ::close(pidfd);
    return 1;
  }
  pollfd p{pidfd, POLLIN, 0};
  bool gone = ::poll(&p, 1, 10000) == 1;
  ::close(pidfd);
  if (!gone) {
    std::fprintf(stderr, "%s: pid %d still running after 10 s\n", kName, instance->pid);
    return 1;
  }
  std::printf("%s: stopped pid %d\n", kName, instance->pid);
  return 0;
}

int usage() {
  std::fprintf(stderr, "usage: %s serve --app | open | stop\n", kName);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  // Its output goes to the launcher's log file: one line at a time, in order.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "serve" && argc == 3 && std::string(argv[2]) == "--app") return serveCommand();
  if (cmd == "open" && argc == 2) return openCommand();
  if (cmd == "stop" && argc == 2) return stopCommand();
  return usage();
}
