// "Open Quillmark", the reopen request, and the quit path.
#include "app/app_delegate.h"
#include "supervision/child_slot.h"
#include "supervision/supervision_timing.h"

namespace ql {

void AppDelegate::openAction() {
  // Kept from before a quit was asked for (a reopen queued behind it):
  // nothing is started for a launcher on its way out.
  if (quitRequested()) return;
  if (shellMode_ && !browserFallbackActive_) {
    // The shell is the interface: bring it to the front, if it still runs.
    if (shellProc_ && shellProc_->isRunning()) {
      if (auto app = p_.workspace.runningApplicationWithProcessIdentifier(shellProc_->processIdentifier())) {
        p_.workspace.activate(*app);
      }
    }
    return;
  }
  run({zorvan_, "open"}, supervision::kOpenLimitSeconds);
}

void AppDelegate::openInBrowser() { openAction(); }

bool AppDelegate::applicationShouldHandleReopen(bool) {
  openAction();
  return true;
}

TerminateReply AppDelegate::applicationShouldTerminate() {
  // Each field is cleared before its child is stopped, so the child's exit
  // handling sees that the exit is expected and does nothing.
  std::shared_ptr<Task> shell = std::move(shellProc_);
  shellProc_ = nullptr;
  if (shell) shell->terminate();
  // The browser fallback's attempt in flight is ours too: it is stopped
  // (and no later one starts) rather than left to run on under init. This
  // waits at most the terminate and kill grace periods.
  fallbackAttempts_->stop();
  if (ownsDaemon_) {
    std::shared_ptr<Task> daemon = std::move(daemon_);
    daemon_ = nullptr;
    run({zorvan_, "stop"}, supervision::kStopLimitSeconds);
    if (daemon) daemon->terminate();
  }
  return TerminateReply::kNow;
}

}  // namespace ql
