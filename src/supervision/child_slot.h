// A child that background work runs and the quit path must be able to stop:
// the browser fallback's `zorvan open` attempts. Without it, an attempt in
// flight when the launcher quits would run on under init.
#pragma once

#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/task.h"
#include "supervision/supervision_timing.h"

namespace ql::supervision {

class ChildSlot {
 public:
  // Launches `task` and keeps it until release(), unless stop() came first.
  // The launch happens under the lock, so a stop() racing with it either
  // prevents it or finds the child: it cannot miss one.
  Status launch(const std::shared_ptr<Task>& task) {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) return Status::Posix(ECANCELED);
    Status launched = task->launch();
    if (launched.ok()) current_ = task;
    return launched;
  }

  // The child the slot holds has been waited for.
  void release() {
    std::lock_guard<std::mutex> lock(mu_);
    current_.reset();
  }

  bool stopped() {
    std::lock_guard<std::mutex> lock(mu_);
    return stopped_;
  }

  // No launch succeeds after this. A child still running gets SIGTERM and,
  // if it has not ended kTerminateGrace later, SIGKILL; this returns once it
  // is gone (or the kill grace has passed), so the caller may exit then.
  void stop() {
    std::shared_ptr<Task> task;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopped_ = true;
      task = std::move(current_);
      current_.reset();
    }
    if (!task || !task->isRunning()) return;
    task->terminate();
    if (task->waitUntilExit(kTerminateGrace)) return;
    task->kill();
    (void)task->waitUntilExit(kKillGrace);
  }

 private:
  std::mutex mu_;
  std::shared_ptr<Task> current_;
  bool stopped_ = false;
};

}  // namespace ql::supervision
