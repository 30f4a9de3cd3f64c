// run and runCapture: a sibling command run to its end or to a time limit.
//
// The child's exit is waited for on the task itself, so it is noticed the
// moment it happens rather than at the next look of a polling loop; every
// deadline is still taken from the platform clock, so the same logic runs on
// a virtual clock in tests. The platform drains the pipes while the child
// runs, so a child that writes more than a pipe holds cannot stall.
//
// Nothing after the deadline or the exit may wait without bound: a child
// that ignores SIGTERM gets SIGKILL after a grace period, and a descendant
// that keeps a pipe open only delays the result by the pipe grace period,
// after which the launcher stops reading and closes its end.
#include <algorithm>
#include <cmath>

#include "app/app_delegate.h"
#include "common/utf8.h"
#include "supervision/child_slot.h"
#include "supervision/command_report.h"
#include "supervision/supervision_timing.h"

namespace ql {

namespace {

TaskSpec commandSpec(const std::vector<std::string>& arguments, bool captureOutput) {
  TaskSpec launchSpec;
  launchSpec.executable = arguments[0];
  launchSpec.arguments.assign(arguments.begin() + 1, arguments.end());
  launchSpec.standardOutput = captureOutput ? StreamSpec::pipe() : StreamSpec::inherit();
  launchSpec.standardError = StreamSpec::pipe();
  return launchSpec;
}

TimePoint deadlineAfter(Clock& clock, double limitSeconds) {
  // A limit too large for the clock's range is as good as none at all.
  double s = std::clamp(limitSeconds, -1e9, 1e9);
  return clock.now() + std::chrono::duration_cast<Clock_t::duration>(Duration(s));
}

// True when the child ended before `deadline`. The first look comes right
// after the launch.
bool waitForExit(Clock& clock, Task& task, TimePoint deadline) {
  for (;;) {
    if (!task.isRunning()) return true;
    TimePoint now = clock.now();
    if (!(now < deadline)) return false;
    if (task.waitUntilExit(Duration(deadline - now))) return true;
  }
}

// The child outlived its limit: ask it to stop, then make sure it does.
void stopOverdue(Task& task) {
  task.terminate();
  if (task.waitUntilExit(supervision::kTerminateGrace)) return;
  task.kill();
  (void)task.waitUntilExit(supervision::kKillGrace);
}

// What is left of a grace period that started at `start`.
Duration remainingOf(Clock& clock, TimePoint start, Duration grace) {
  Duration left = grace - Duration(clock.now() - start);
  return left.count() > 0 ? left : Duration(0);
}

}  // namespace

void AppDelegate::reportStandardError(const std::string& prefix, const std::vector<std::string>& arguments,
                                      Task& task, Duration grace) {
  std::string bytes = task.collectOutput(OutputStream::kStandardError, grace);
  if (auto message = supervision::standardErrorReport(prefix, arguments, bytes)) logLine(*message);
}

void AppDelegate::run(const std::vector<std::string>& arguments, double limitSeconds) {
  if (arguments.empty() || arguments[0].empty()) return;
  auto task = p_.tasks.makeTask(commandSpec(arguments, /*captureOutput=*/false));
  if (!task->launch().ok()) return;  // a failed launch is silent
  if (limitSeconds > 0) {
    if (!waitForExit(p_.clock, *task, deadlineAfter(p_.clock, limitSeconds))) stopOverdue(*task);
  } else {
    // A limit of zero, a negative one or NaN: as long as the child runs.
    task->waitUntilExit();
  }
  reportStandardError("run stderr [", arguments, *task, supervision::kPipeGrace);
}

std::optional<CaptureResult> AppDelegate::runCapture(const std::vector<std::string>& arguments,
                                                     double limitSeconds) {
  return runCaptureIn(nullptr, arguments, limitSeconds);
}

std::optional<CaptureResult> AppDelegate::runCaptureIn(supervision::ChildSlot* slot,
                                                       const std::vector<std::string>& arguments,
                                                       double limitSeconds) {
  if (arguments.empty() || arguments[0].empty()) return std::nullopt;
  auto task = p_.tasks.makeTask(commandSpec(arguments, /*captureOutput=*/true));
  if (!(slot ? slot->launch(task) : task->launch()).ok()) return std::nullopt;
  // Whatever way this returns, the slot no longer holds the child.
  struct Release {
    supervision::ChildSlot* slot;
    ~Release() {
      if (slot) slot->release();
    }
  } release{slot};
  // NaN makes no deadline at all: "now" is never before it.
  double limit = std::isnan(limitSeconds) ? 0 : limitSeconds;
  if (!waitForExit(p_.clock, *task, deadlineAfter(p_.clock, limit))) {
    stopOverdue(*task);
    reportStandardError("capture stderr [", arguments, *task, supervision::kPipeGrace);
    return std::nullopt;
  }
  // Both pipes share one grace period: they are drained side by side.
  TimePoint graceStart = p_.clock.now();
  std::string out = task->collectOutput(OutputStream::kStandardOutput, supervision::kPipeGrace);
  int status = task->terminationStatus();
  if (!isValidUtf8(out)) out.clear();
  reportStandardError("capture stderr [", arguments, *task,
                      remainingOf(p_.clock, graceStart, supervision::kPipeGrace));
  return CaptureResult{status, std::move(out)};
}

}  // namespace ql
