#include "platform/linux/linux_tasks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

extern char** environ;

namespace ql::linux_backend {

namespace {

// A chatty child must not be able to exhaust the launcher's memory: past
// this much, a pipe is still drained (so the child never blocks on a full
// pipe) but the bytes are dropped.
constexpr size_t kMaxCollectedBytes = size_t(64) << 20;

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int pidfdSendSignal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Moves `fd` above the standard streams (keeping close-on-exec), so the
// file actions that set up the child's fds 1 and 2 can never overwrite a
// source they still need.
bool raiseAboveStandardStreams(int& fd) {
  if (fd > 2) return true;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  ::close(fd);
  fd = moved;
  return true;
}

// A steady-clock deadline `d` from now; negative or NaN is "now", and very
// long waits are capped so the arithmetic cannot overflow.
std::chrono::steady_clock::time_point deadlineAfter(Duration d) {
  double s = d.count();
  if (!(s > 0)) s = 0;
  s = std::min(s, 1e9);
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(Duration(s));
}

}  // namespace

class LinuxTask;

// Owns the watcher thread (one poll over every child's pidfd and pipes) and
// the thread on which termination handlers run.
class TaskWatcher {
 public:
  TaskWatcher() = default;
  ~TaskWatcher() { shutdown(); }
  TaskWatcher(const TaskWatcher&) = delete;
  TaskWatcher& operator=(const TaskWatcher&) = delete;

  Status ensureStarted();
  void watch(std::shared_ptr<LinuxTask> task);
  void wake();
  void shutdown();

 private:
  void watchLoop();
  void handlerLoop();

  std::mutex mu_;
  std::condition_variable handlerCv_;
  std::vector<std::shared_ptr<LinuxTask>> tasks_;
  std::deque<std::shared_ptr<LinuxTask>> handlers_;
  bool started_ = false;
  bool stopping_ = false;
  int wakeFd_ = -1;
  std::thread watchThread_, handlerThread_;
};

class LinuxTask : public Task, public std::enable_shared_from_this<LinuxTask> {
 public:
  LinuxTask(TaskSpec launchSpec, std::shared_ptr<TaskWatcher> watcher)
      : spec_(std::move(launchSpec)), watcher_(std::move(watcher)) {}
  ~LinuxTask() override {
    // Only reached once the watcher has let go of the task (or stopped), so
    // no other thread can be using these descriptors.
    closeFd(pidfd_);
    closeFd(streams_[0].fd);
    closeFd(streams_[1].fd);
  }
  LinuxTask(const LinuxTask&) = delete;
  LinuxTask& operator=(const LinuxTask&) = delete;

  void setTerminationHandler(std::function<void(Task&)> handler) override {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(handler);
  }
  Status launch() override;
  bool isRunning() override {
    std::lock_guard<std::mutex> lock(mu_);
    return launched_ && !exited_;
  }
  void terminate() override { sendSignal(SIGTERM); }
  void kill() override { sendSignal(SIGKILL); }
  void waitUntilExit() override {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !launched_ || exited_ || orphaned_; });
  }
  bool waitUntilExit(Duration timeout) override {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, deadlineAfter(timeout), [this] { return !launched_ || exited_ || orphaned_; });
    return !launched_ || exited_;
  }
  int terminationStatus() override {
    std::lock_guard<std::mutex> lock(mu_);
    return status_;
  }
  int processIdentifier() override {
    std::lock_guard<std::mutex> lock(mu_);
    return pid_;
  }
  std::string collectOutput(OutputStream which, Duration grace) override;

  // ---- Watcher side: called on the watcher thread only.
  enum class Source { kPidfd, kStdout, kStderr };
  struct PollOwner {
    LinuxTask* task;
    Source source;
  };
  void addPollFds(std::vector<pollfd>& fds, std::vector<PollOwner>& owners);
  // True when this readiness reaped the child (its handler is now due).
  bool onReady(Source source);
  bool finished() {
    std::lock_guard<std::mutex> lock(mu_);
    return exited_ && streams_[0].fd < 0 && streams_[1].fd < 0;
  }
  std::function<void(Task&)> takeHandler() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::move(handler_);
  }
  void reapIfEnded() {
    int fd;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (exited_ || pidfd_ < 0) return;
      fd = pidfd_;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1) (void)onReady(Source::kPidfd);
  }
  // The watcher stopped: waits return instead of blocking for ever.
  void orphan() {
    std::lock_guard<std::mutex> lock(mu_);
    orphaned_ = true;
    cv_.notify_all();
  }

 private:
  struct Stream {
    int fd = -1;
    bool eof = true;
    bool abandoned = false;
    std::string data;
  };

  void sendSignal(int sig) {
    std::lock_guard<std::mutex> lock(mu_);
    // The pidfd names this child and no other: after it has been reaped the
    // descriptor is gone, so a recycled pid can never receive the signal.
    if (launched_ && !exited_ && pidfd_ >= 0) (void)pidfdSendSignal(pidfd_, sig);
  }
  void drain(Stream& s);

  std::mutex mu_;
  std::condition_variable cv_;
  TaskSpec spec_;
  std::shared_ptr<TaskWatcher> watcher_;
  std::function<void(Task&)> handler_;
  bool launched_ = false;
  bool exited_ = false;
  bool orphaned_ = false;
  int status_ = 0;
  pid_t pid_ = 0;
  int pidfd_ = -1;
  Stream streams_[2];  // standard output, standard error
};

// ---------------------------------------------------------------- TaskWatcher

Status TaskWatcher::ensureStarted() {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return Status::Posix(ESHUTDOWN);
  if (started_) return Status::OK();
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return Status::Posix(errno);
  watchThread_ = std::thread([this] { watchLoop(); });
  handlerThread_ = std::thread([this] { handlerLoop(); });
  started_ = true;
  return Status::OK();
}

void TaskWatcher::watch(std::shared_ptr<LinuxTask> task) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) {
      task->orphan();
      return;
    }
    tasks_.push_back(std::move(task));
  }
  wake();
}

void TaskWatcher::wake() {
  uint64_t one = 1;
  int fd;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fd = wakeFd_;
  }
  if (fd >= 0) (void)!::write(fd, &one, sizeof one);
}

void TaskWatcher::shutdown() {
  bool started;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    stopping_ = true;
    started = started_;
  }
  if (started) {
    uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    handlerCv_.notify_all();
    auto self = std::this_thread::get_id();
    for (std::thread* t : {&watchThread_, &handlerThread_}) {
      if (t->get_id() == self) {
        t->detach();
      } else {
        t->join();
      }
    }
    closeFd(wakeFd_);
  }
  // Only now, with both threads gone, can nothing be queued any more. Tasks
  // hold the watcher, so these lists must be emptied to let both go.
  std::vector<std::shared_ptr<LinuxTask>> tasks;
  std::deque<std::shared_ptr<LinuxTask>> handlers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tasks.swap(tasks_);
    handlers.swap(handlers_);
  }
  for (auto& t : tasks) {
    // A child that has already ended is reaped now rather than left a
    // zombie; one still running is left alone.
    t->reapIfEnded();
    t->orphan();
  }
}

void TaskWatcher::watchLoop() {
  std::vector<pollfd> fds;
  std::vector<LinuxTask::PollOwner> owners;
  std::vector<std::shared_ptr<LinuxTask>> snapshot;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) return;
      snapshot = tasks_;
    }
    fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
    owners.assign(1, LinuxTask::PollOwner{nullptr, LinuxTask::Source::kPidfd});
    for (auto& t : snapshot) t->addPollFds(fds, owners);

    // No timeout: with nothing to report this thread does not wake at all.
    int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0) continue;  // EINTR; EINVAL/ENOMEM cannot persist with a handful of fds
    if (fds[0].revents) {
      uint64_t v;
      (void)!::read(wakeFd_, &v, sizeof v);
    }
    std::vector<std::shared_ptr<LinuxTask>> due;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      LinuxTask* t = owners[i].task;
      if (t->onReady(owners[i].source)) {
        for (auto& s : snapshot)
          if (s.get() == t) due.push_back(s);
      }
    }
    std::vector<std::shared_ptr<LinuxTask>> released;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& t : due) handlers_.push_back(t);
      auto done = std::stable_partition(tasks_.begin(), tasks_.end(),
                                        [](const std::shared_ptr<LinuxTask>& t) { return !t->finished(); });
      released.assign(std::make_move_iterator(done), std::make_move_iterator(tasks_.end()));
      tasks_.erase(done, tasks_.end());
    }
    if (!due.empty()) handlerCv_.notify_one();
    snapshot.clear();
    released.clear();  // outside the lock: a task's destructor closes its fds
  }
}

void TaskWatcher::handlerLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    handlerCv_.wait(lock, [this] { return stopping_ || !handlers_.empty(); });
    if (stopping_) return;
    std::shared_ptr<LinuxTask> task = std::move(handlers_.front());
    handlers_.pop_front();
    lock.unlock();
    // The handler and the task are released here, off the lock: either may
    // hold the last reference to something with a destructor of its own.
    if (auto handler = task->takeHandler()) handler(*task);
    task.reset();
    lock.lock();
  }
}

// ------------------------------------------------------------------ LinuxTask

Status LinuxTask::launch() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (launched_) return Status::Posix(EALREADY);
  }
  if (Status s = watcher_->ensureStarted(); !s.ok()) return s;

  std::vector<std::string> argvStore;
  argvStore.reserve(spec_.arguments.size() + 1);
  argvStore.push_back(spec_.executable);
  for (const auto& a : spec_.arguments) argvStore.push_back(a);
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStore;
  std::vector<char*> envp;
  char** envpp = environ;
  if (spec_.environment) {
    for (const auto& [k, v] : *spec_.environment) envStore.push_back(k + "=" + v);
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    envpp = envp.data();
  }

  // Every descriptor the launcher creates here is close-on-exec from birth:
  // a child spawned by another thread in the meantime must not inherit one.
  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  std::vector<int> temporaries;
  auto closeAll = [&] {
    for (int* fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]}) closeFd(*fd);
    for (int& fd : temporaries) closeFd(fd);
  };
  auto makePipe = [&](int (&p)[2]) -> int {
    if (::pipe2(p, O_CLOEXEC) != 0) return errno;
    if (!raiseAboveStandardStreams(p[0]) || !raiseAboveStandardStreams(p[1])) return errno;
    // The launcher's end never blocks the watcher.
    ::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) | O_NONBLOCK);
    return 0;
  };
  // The fd the child gets as `target`, or -1 to keep the launcher's own.
  auto sourceFor = [&](const StreamSpec& s, int (&p)[2], int target, int* err) -> int {
    switch (s.mode) {
      case StreamSpec::Mode::kInherit:
        return -1;
      case StreamSpec::Mode::kPipe:
        if ((*err = makePipe(p)) != 0) return -1;
        return p[1];
      case StreamSpec::Mode::kHandle: {
        int fd = s.handle ? s.handle->descriptor() : -1;
        if (fd < 0 || fd == target) return -1;
        if (fd <= 2) {
          int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
          if (moved < 0) {
            *err = errno;
            return -1;
          }
          temporaries.push_back(moved);
          return moved;
        }
        return fd;
      }
    }
    return -1;
  };

  int err = 0;
  int src1 = sourceFor(spec_.standardOutput, outPipe, 1, &err);
  int src2 = -1;
  if (err == 0) {
    if (spec_.standardErrorToOutput) {
      // Standard error follows standard output wherever it goes.
      if (src1 >= 0) {
        src2 = src1;
      } else {
        src2 = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
        if (src2 < 0) err = errno;
        else temporaries.push_back(src2);
      }
    } else {
      src2 = sourceFor(spec_.standardError, errPipe, 2, &err);
    }
  }
  if (err != 0) {
    closeAll();
    return Status::Posix(err);
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (src1 >= 0) posix_spawn_file_actions_adddup2(&actions, src1, 1);
  if (src2 >= 0) posix_spawn_file_actions_adddup2(&actions, src2, 2);
  // Whatever else is open in the launcher, with or without close-on-exec
  // (a library may have opened one without), stays out of the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // The launcher blocks SIGTERM/SIGINT/SIGHUP in every thread and ignores
  // SIGPIPE; a child would inherit both and could then neither be stopped
  // with SIGTERM nor die on a closed pipe. It starts with an empty mask and
  // every disposition at its default.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (spec_.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attr, flags);

  pid_t pid = 0;
  // posix_spawn, not posix_spawnp: the path is used as given. glibc reports
  // a failed exec here (ENOENT, EACCES, ENOEXEC…) and has already reaped the
  // short-lived child, so nothing is left behind.
  int rc = ::posix_spawn(&pid, spec_.executable.c_str(), &actions, &attr, argv.data(), envpp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  closeFd(outPipe[1]);
  closeFd(errPipe[1]);
  for (int& fd : temporaries) closeFd(fd);
  if (rc != 0) {
    closeAll();
    return Status::Posix(rc);
  }

  int pidfd = pidfdOpen(pid);
  if (pidfd < 0) {
    // Without a pidfd this child could not be watched or signalled safely.
    // It is ours and has not been reaped, so waiting for this pid cannot
    // take anyone else's child.
    int e = errno;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    closeAll();
    return Status::Posix(e, std::string("pidfd_open: ") + std::strerror(e));
  }

  {
    std::lock_guard<std::mutex> lock(mu_);
    launched_ = true;
    pid_ = pid;
    pidfd_ = pidfd;
    if (outPipe[0] >= 0) {
      streams_[0].fd = outPipe[0];
      streams_[0].eof = false;
      outPipe[0] = -1;
    }
    if (errPipe[0] >= 0) {
      streams_[1].fd = errPipe[0];
      streams_[1].eof = false;
      errPipe[0] = -1;
    }
  }
  watcher_->watch(shared_from_this());
  return Status::OK();
}

std::string LinuxTask::collectOutput(OutputStream which, Duration grace) {
  std::unique_lock<std::mutex> lock(mu_);
  Stream& s = streams_[which == OutputStream::kStandardOutput ? 0 : 1];
  cv_.wait_until(lock, deadlineAfter(grace), [&] { return s.eof || orphaned_; });
  bool giveUp = !s.eof && !s.abandoned;
  if (giveUp) s.abandoned = true;  // the watcher closes our end next time round
  std::string data = s.data;
  lock.unlock();
  if (giveUp) watcher_->wake();
  return data;
}

void LinuxTask::addPollFds(std::vector<pollfd>& fds, std::vector<PollOwner>& owners) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!exited_ && pidfd_ >= 0) {
    fds.push_back({pidfd_, POLLIN, 0});
    owners.push_back({this, Source::kPidfd});
  }
  for (int i = 0; i < 2; ++i) {
    Stream& s = streams_[i];
    if (s.fd < 0) continue;
    if (s.abandoned) {
      // Closing our end means a descendant still writing gets EPIPE instead
      // of filling a pipe nobody reads.
      closeFd(s.fd);
      s.eof = true;
      cv_.notify_all();
      continue;
    }
    fds.push_back({s.fd, POLLIN, 0});
    owners.push_back({this, i == 0 ? Source::kStdout : Source::kStderr});
  }
}

void LinuxTask::drain(Stream& s) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(s.fd, buf, sizeof buf);
    if (n > 0) {
      std::lock_guard<std::mutex> lock(mu_);
      size_t room = kMaxCollectedBytes - std::min(kMaxCollectedBytes, s.data.size());
      s.data.append(buf, std::min(room, static_cast<size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    // End of file, or an error that ends the stream just the same.
    std::lock_guard<std::mutex> lock(mu_);
    closeFd(s.fd);
    s.eof = true;
    cv_.notify_all();
    return;
  }
}

bool LinuxTask::onReady(Source source) {
  if (source == Source::kStdout) {
    drain(streams_[0]);
    return false;
  }
  if (source == Source::kStderr) {
    drain(streams_[1]);
    return false;
  }
  // WNOHANG on this child's pidfd only: never a blocking reap, and never one
  // that could take a child some other code in the process is waiting for.
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  int rc = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED | WNOHANG);
  if (rc == 0 && info.si_pid == 0) return false;  // readable but not yet reapable
  std::lock_guard<std::mutex> lock(mu_);
  // si_status is the exit code for CLD_EXITED and the signal number for
  // CLD_KILLED/CLD_DUMPED. ECHILD means someone else reaped it: the child is
  // gone and its status is lost.
  status_ = rc == 0 ? info.si_status : -1;
  exited_ = true;
  closeFd(pidfd_);
  cv_.notify_all();
  return true;
}

// ----------------------------------------------------------------- LinuxTasks

LinuxTasks::LinuxTasks() : watcher_(std::make_shared<TaskWatcher>()) {}

LinuxTasks::~LinuxTasks() { watcher_->shutdown(); }

std::shared_ptr<Task> LinuxTasks::makeTask(TaskSpec launchSpec) {
  return std::make_shared<LinuxTask>(std::move(launchSpec), watcher_);
}

}  // namespace ql::linux_backend
