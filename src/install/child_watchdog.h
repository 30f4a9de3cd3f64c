// The watchdog the install runs beside each platform tool it waits for.
#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch.h"
#include "platform/task.h"

namespace ql {

// A tool that ignores SIGTERM must not keep the main thread waiting forever:
// this long after the termination request it is killed.
inline constexpr Duration kWatchdogKillGrace{5.0};

// After `limit` on the global queue: when the child still exists and still
// runs, `beforeTerminate` (if any) runs and the child is sent SIGTERM, then
// SIGKILL kWatchdogKillGrace later if it is still running. The child is held
// weakly throughout, so a late firing after the wait has ended finds it gone
// and does nothing. Never cancelled.
inline void scheduleChildWatchdog(Dispatch& dispatch, const std::shared_ptr<Task>& child, Duration limit,
                                  std::function<void()> beforeTerminate = nullptr) {
  std::weak_ptr<Task> weak = child;
  dispatch.asyncGlobalAfter(limit, [&dispatch, weak, beforeTerminate = std::move(beforeTerminate)] {
    std::shared_ptr<Task> task = weak.lock();
    if (!task || !task->isRunning()) return;
    if (beforeTerminate) beforeTerminate();
    task->terminate();
    dispatch.asyncGlobalAfter(kWatchdogKillGrace, [weak] {
      if (std::shared_ptr<Task> t = weak.lock(); t && t->isRunning()) t->kill();
    });
  });
}

}  // namespace ql
