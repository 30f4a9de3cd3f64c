// "Open Quillmark", the reopen request, and the quit path.
#include "app/app_delegate.h"
#include "supervision/supervision_timing.h"

namespace ql {

void AppDelegate::openAction() {
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
  if (ownsDaemon_) {
    std::shared_ptr<Task> daemon = std::move(daemon_);
    daemon_ = nullptr;
    run({zorvan_, "stop"}, supervision::kStopLimitSeconds);
    if (daemon) daemon->terminate();
  }
  return TerminateReply::kNow;
}

}  // namespace ql
