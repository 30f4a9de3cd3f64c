// Child processes on Linux: posix_spawn without a shell, a pidfd per child,
// and one watcher thread that polls every pidfd and every output pipe.
//
// Why one shared watcher: the launcher has at most a handful of children at
// a time, and a single poll set over their pidfds and pipes notices an exit
// or output within a fraction of a millisecond while costing no wake-ups at
// all when nothing happens (poll without a timeout). Termination handlers run
// on a second thread, so a handler that blocks (say, by running a command)
// can never stall the watcher and with it every other child.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/task.h"

namespace ql::linux_backend {

class TaskWatcher;

class LinuxTasks : public Tasks {
 public:
  LinuxTasks();
  // Stops the watcher and handler threads. Children still running are left
  // alone; their tasks stop reporting.
  ~LinuxTasks() override;
  LinuxTasks(const LinuxTasks&) = delete;
  LinuxTasks& operator=(const LinuxTasks&) = delete;

  std::shared_ptr<Task> makeTask(TaskSpec launchSpec) override;

 private:
  std::shared_ptr<TaskWatcher> watcher_;
};

}  // namespace ql::linux_backend
