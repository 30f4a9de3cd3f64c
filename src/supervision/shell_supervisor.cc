// The window shell: launched with a cleaned environment, its exit turned
// into a quit (status 0) or the browser fallback (anything else).
#include "app/app_delegate.h"

namespace ql {

namespace {
// Debugging and sandbox switches that must not reach the shell from
// whatever environment the launcher itself was started in.
const char* const kStrippedVariables[] = {
    "SSLKEYLOGFILE", "ELECTRON_ENABLE_LOGGING", "ELECTRON_LOG_FILE", "ELECTRON_EXTRA_LAUNCH_ARGS",
    "ELECTRON_DISABLE_SANDBOX",
};
}  // namespace

void AppDelegate::launchShell() {
  TaskSpec launchSpec;
  launchSpec.executable = shellURL();
  auto env = p_.process.environment();
  // The shell talks to the service binary inside the bundle, not to the
  // seeded copy in the data directory.
  env["ZORVAN_CLI"] = bundledSeed_;
  for (const char* name : kStrippedVariables) env.erase(name);
  launchSpec.environment = std::move(env);
  launchSpec.standardOutput = StreamSpec::to(log_);
  launchSpec.standardError = StreamSpec::to(log_);
  auto task = p_.tasks.makeTask(std::move(launchSpec));

  std::weak_ptr<AppDelegate> weak = weak_from_this();
  // Weak to the task as well: the task owns this handler.
  std::weak_ptr<Task> weakTask = task;
  task->setTerminationHandler([weak, weakTask](Task&) {
    auto self = weak.lock();
    if (!self) return;
    auto finished = weakTask.lock();
    if (!finished) return;
    self->p_.dispatch.asyncMain([self, finished] { self->shellExited(finished); });
  });

  shellSpawnedAt_ = p_.clock.now();
  Status launched = task->launch();
  if (launched.ok()) {
    shellProc_ = task;
    logLine("shell: launched " + shellURL());
    return;
  }
  logLine("shell: spawn failed (" + launched.fullDescription() + ") — falling back to browser");
  enterBrowserFallback();
}

void AppDelegate::shellExited(const std::shared_ptr<Task>& task) {
  // Cleared by the quit path: the shell was stopped on purpose.
  if (!shellProc_) return;
  shellProc_ = nullptr;
  // A quit is on its way to the quit path (the shell may have died of the
  // same Ctrl-C): its exit starts no fallback and no second terminate.
  if (quitRequested()) return;
  int status = task->terminationStatus();
  auto elapsed = static_cast<long long>(Duration(p_.clock.now() - shellSpawnedAt_).count());
  if (status != 0) {
    logLine("shell: exited " + std::to_string(status) + " after " + std::to_string(elapsed) +
            "s — falling back to browser");
    enterBrowserFallback();
    return;
  }
  logLine("shell: exited (0) — terminating");
  p_.application.terminate();
}

}  // namespace ql
