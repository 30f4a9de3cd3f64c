// quillmark-demo-shell: a stand-in for the window shell, for the demo bundle.
//
// It starts the service the launcher points it at ("$ZORVAN_CLI serve --app")
// and then runs until it gets SIGTERM (or SIGINT/SIGHUP), when it stops that
// service and exits with status 0.
//
// To show the launcher's browser fallback it can be told to end by itself:
// the file "demo-shell.conf" beside the executable, or the environment
// variable QUILLMARK_DEMO_SHELL_EXIT (which wins), holds
//
//   exit_status = 1
//   exit_after = 5          (seconds; default 0)
//
// (the variable as "1@5"). A status other than 0 is treated like a crash:
// the shell leaves its service running, as a crashed shell would, so the
// fallback's `open` finds it. With status 0 it stops the service first, as
// an orderly quit would.
//
// When built with GTK and a display can be opened, it also shows a small
// window titled "Quillmark Shell", as the real shell shows its interface,
// so that the launcher's "Open Quillmark" has something to bring to the
// front. Closing that window is an orderly quit (status 0).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <optional>
#include <string>

#if QL_DEMO_SHELL_WINDOW
#include <glib-unix.h>
#include <gtk/gtk.h>
#endif

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

extern char** environ;

namespace {

const char* const kName = "quillmark-demo-shell";

struct PlannedExit {
  int status = 0;
  double afterSeconds = 0;
};

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::optional<int> parseStatus(const std::string& s) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end || errno || v < 0 || v > 255) return std::nullopt;
  return static_cast<int>(v);
}

std::optional<double> parseSeconds(const std::string& s) {
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end || !(v >= 0) || v > 86400 * 365) return std::nullopt;
  return v;
}

std::string executableDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::optional<PlannedExit> plannedExit() {
  if (const char* env = std::getenv("QUILLMARK_DEMO_SHELL_EXIT"); env && *env) {
    std::string v = env;
    size_t at = v.find('@');
    PlannedExit p;
    auto status = parseStatus(trim(v.substr(0, at)));
    auto after = at == std::string::npos ? std::optional<double>(0) : parseSeconds(trim(v.substr(at + 1)));
    if (!status || !after) {
      std::fprintf(stderr, "%s: ignoring QUILLMARK_DEMO_SHELL_EXIT=%s (want STATUS[@SECONDS])\n", kName, env);
      return std::nullopt;
    }
    p.status = *status;
    p.afterSeconds = *after;
    return p;
  }
  // The bundle's folder may be writable by others: a FIFO or device at the
  // name must not stall the shell, so only a small regular file is read.
  std::istringstream in;
  {
    int fd = ::open((executableDirectory() + "/demo-shell.conf").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st;
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (regular && text.size() < 65536 && ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
      if (n > 0) text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!regular) return std::nullopt;
    in.str(text);
  }
  std::optional<PlannedExit> p;
  for (std::string line; std::getline(in, line);) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    if (key == "exit_status") {
      if (auto s = parseStatus(value)) {
        if (!p) p = PlannedExit{};
        p->status = *s;
      }
    } else if (key == "exit_after") {
      if (auto s = parseSeconds(value)) {
        if (!p) p = PlannedExit{};
        p->afterSeconds = *s;
      }
    }
  }
  return p;
}

struct Service {
  pid_t pid = -1;
  int pidfd = -1;
};

std::optional<Service> startService(const char* cli) {
  // The service must be stoppable with SIGTERM, whatever this process blocks.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string exe = cli, serve = "serve", app = "--app";
  char* argv[] = {exe.data(), serve.data(), app.data(), nullptr};
  pid_t pid;
  int rc = ::posix_spawn(&pid, cli, nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "%s: cannot start %s: %s\n", kName, cli, std::strerror(rc));
    return std::nullopt;
  }
  Service s;
  s.pid = pid;
  s.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  return s;
}

int reap(Service& s) {
  siginfo_t info{};
  int status = -1;
  if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(s.pidfd), &info, WEXITED) == 0) {
    status = info.si_status;
  }
  ::close(s.pidfd);
  s.pidfd = -1;
  return status;
}

void stopService(Service& s) {
  if (s.pidfd < 0) return;
  ::syscall(SYS_pidfd_send_signal, s.pidfd, SIGTERM, nullptr, 0);
  pollfd p{s.pidfd, POLLIN, 0};
  if (::poll(&p, 1, 10000) != 1) ::syscall(SYS_pidfd_send_signal, s.pidfd, SIGKILL, nullptr, 0);
  int status = reap(s);
  std::printf("%s: service stopped (%d)\n", kName, status);
}

// What the shell waits on, and what each wake-up means. One step handles
// whatever is ready and says whether the shell ends (and with what status).
struct Shell {
  int signals = -1;
  Service service;
  int timer = -1;
  std::optional<PlannedExit> planned;
};

std::optional<int> onSignal(Shell& s) {
  signalfd_siginfo info;
  (void)!::read(s.signals, &info, sizeof info);
  std::printf("%s: signal %u, quitting\n", kName, info.ssi_signo);
  stopService(s.service);
  return 0;
}

void onServiceExit(Shell& s) {
  int status = reap(s.service);
  std::printf("%s: the service exited (%d); the window stays open\n", kName, status);
}

std::optional<int> onTimer(Shell& s) {
  if (s.planned->status == 0) {
    stopService(s.service);
  } else if (s.service.pidfd >= 0) {
    std::printf("%s: leaving the service running (pid %d)\n", kName, s.service.pid);
  }
  std::printf("%s: exiting with status %d as configured\n", kName, s.planned->status);
  return s.planned->status;
}

int pollLoop(Shell& s) {
  for (;;) {
    pollfd fds[3] = {{s.signals, POLLIN, 0}, {s.service.pidfd, POLLIN, 0}, {s.timer, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return 2;
    }
    if (fds[0].revents) return *onSignal(s);
    if (fds[1].revents) onServiceExit(s);
    if (s.timer >= 0 && fds[2].revents) return *onTimer(s);
  }
}

#if QL_DEMO_SHELL_WINDOW
// The same waits on GTK's main loop, with the window on screen.
struct WindowLoop {
  Shell* shell;
  std::optional<int> exitStatus;
  void finish(int status) {
    if (exitStatus) return;
    exitStatus = status;
    gtk_main_quit();
  }
};

int windowLoop(Shell& s) {
  WindowLoop state{&s, std::nullopt};
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Quillmark Shell");
  gtk_window_set_default_size(GTK_WINDOW(window), 420, 240);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_markup(GTK_LABEL(label),
                       "<span size='x-large' weight='bold'>Quillmark</span>\n\nThe demo window shell is running.");
  gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
  gtk_container_add(GTK_CONTAINER(window), label);
  g_signal_connect(window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     auto* w = static_cast<WindowLoop*>(data);
                     std::printf("%s: window closed, quitting\n", kName);
                     stopService(w->shell->service);
                     w->finish(0);
                     return TRUE;
                   }),
                   &state);
  gtk_widget_show_all(window);

  auto watch = [](int fd, GUnixFDSourceFunc fn, WindowLoop* data) {
    return fd < 0 ? 0u : g_unix_fd_add(fd, G_IO_IN, fn, data);
  };
  guint sources[3] = {
      watch(s.signals,
            +[](int, GIOCondition, gpointer data) -> gboolean {
              auto* w = static_cast<WindowLoop*>(data);
              w->finish(*onSignal(*w->shell));
              return G_SOURCE_REMOVE;
            },
            &state),
      watch(s.service.pidfd,
            +[](int, GIOCondition, gpointer data) -> gboolean {
              // Already reaped by a quit: the descriptor is closed.
              Shell& shell = *static_cast<WindowLoop*>(data)->shell;
              if (shell.service.pidfd >= 0) onServiceExit(shell);
              return G_SOURCE_REMOVE;
            },
            &state),
      watch(s.timer,
            +[](int, GIOCondition, gpointer data) -> gboolean {
              auto* w = static_cast<WindowLoop*>(data);
              w->finish(*onTimer(*w->shell));
              return G_SOURCE_REMOVE;
            },
            &state),
  };
  std::printf("%s: window shown\n", kName);
  gtk_main();
  for (guint id : sources) {
    if (id && g_main_context_find_source_by_id(nullptr, id)) g_source_remove(id);
  }
  gtk_widget_destroy(window);
  return state.exitStatus.value_or(0);
}

bool displayAvailable() {
  const char* x = std::getenv("DISPLAY");
  const char* wl = std::getenv("WAYLAND_DISPLAY");
  if (!(x && *x) && !(wl && *wl)) return false;
  return gtk_init_check(nullptr, nullptr);
}
#endif

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const char* cli = std::getenv("ZORVAN_CLI");
  if (!cli || !*cli) {
    std::fprintf(stderr, "%s: ZORVAN_CLI is not set; the launcher sets it to the service binary\n", kName);
    return 2;
  }

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  Shell shell;
  shell.signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

  auto service = startService(cli);
  if (!service || service->pidfd < 0 || shell.signals < 0) return 2;
  shell.service = *service;
  std::printf("%s: started the service (%s serve --app, pid %d)\n", kName, cli, service->pid);

  shell.planned = plannedExit();
  if (shell.planned) {
    shell.timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec when{};
    // A zero it_value would disarm the timer; "at once" is one nanosecond.
    auto ns = static_cast<long long>(shell.planned->afterSeconds * 1e9);
    if (ns <= 0) ns = 1;
    when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    ::timerfd_settime(shell.timer, 0, &when, nullptr);
    std::printf("%s: configured to exit with status %d after %gs\n", kName, shell.planned->status,
                shell.planned->afterSeconds);
  }

#if QL_DEMO_SHELL_WINDOW
  if (displayAvailable()) return windowLoop(shell);
#endif
  return pollLoop(shell);
}
