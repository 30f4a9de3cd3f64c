// The service in legacy browser mode: launched with `serve --app`, its exit
// logged, then a wait for a successor instance in the lock file.
#include <algorithm>

#include "app/app_delegate.h"
#include "supervision/lock_file.h"
#include "supervision/supervision_timing.h"

namespace ql {

namespace {
const char* const kPendingMoveMarker = "/pending-data-dir-move.json";
}  // namespace

bool AppDelegate::lockfilePidAlive() {
  auto text = p_.files.readFile(dataDir() + "/zorvan.lock", supervision::kMaxLockFileBytes);
  if (!text.ok()) return false;
  std::optional<int> pid = supervision::lockFileProcessId(text.value());
  if (!pid) return false;
  // Any failure, a permission error included, is "not alive".
  return p_.process.signalProbe(*pid) == 0;
}

void AppDelegate::launchLegacyDaemon() {
  TaskSpec launchSpec;
  launchSpec.executable = zorvan_;
  launchSpec.arguments = {"serve", "--app"};
  launchSpec.standardOutput = StreamSpec::to(log_);
  launchSpec.standardError = StreamSpec::to(log_);
  auto task = p_.tasks.makeTask(std::move(launchSpec));

  // The platform thread only reads the status and hops to the main queue;
  // a launcher that is already gone is left alone.
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  task->setTerminationHandler([weak](Task& finished) {
    auto self = weak.lock();
    if (!self) return;
    int status = finished.terminationStatus();
    self->p_.dispatch.asyncMain([self, status] { self->daemonExited(status); });
  });

  daemon_ = task;
  // Asked before the launch: afterwards the lock file could already name
  // our own child.
  bool alreadyAlive = lockfilePidAlive();
  Status launched = task->launch();
  if (launched.ok()) {
    ownsDaemon_ = !alreadyAlive;
    return;
  }
  daemon_ = nullptr;
  logLine("spawn failed: " + launched.fullDescription());
  fail("Couldn't launch the Quillmark daemon:\n" + launched.localizedDescription());
}

void AppDelegate::daemonExited(int status) {
  logLine("daemon exited (" + std::to_string(status) + ")");
  // Cleared by the quit path: the exit is expected and nothing follows.
  if (!daemon_) return;
  // The quit path is coming: no successor wait, and no alert from it.
  if (quitRequested()) return;
  auto self = shared_from_this();
  p_.dispatch.asyncGlobal([self, status] { self->successorWait(status); });
}

void AppDelegate::successorWait(int status) {
  auto self = shared_from_this();
  int limit = supervision::kSuccessorPolls;
  for (int poll = 0; poll < limit; ++poll) {
    if (quitRequested()) return;
    // The service may be moving its data directory: the marker can be in the
    // old place (the configured one) or in the launcher home.
    if (p_.files.fileExists(dataDir() + kPendingMoveMarker) || p_.files.fileExists(zvd_ + kPendingMoveMarker)) {
      limit = std::min(poll + supervision::kSuccessorPolls, supervision::kSuccessorPollCap);
    }
    p_.clock.sleepFor(supervision::kSuccessorPollInterval);
    if (lockfilePidAlive()) {
      p_.dispatch.asyncMain([self] {
        self->daemon_ = nullptr;
        self->logLine("successor daemon detected — staying up");
      });
      return;
    }
  }
  if (quitRequested()) return;
  if (status != 0) {
    fail("Quillmark daemon exited (status " + std::to_string(status) + ").");
    return;
  }
  p_.dispatch.asyncMain([self] { self->p_.application.terminate(); });
}

}  // namespace ql
