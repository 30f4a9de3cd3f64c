#include "tests/fakes/fake_tasks.h"

#include <gtest/gtest.h>

#include <csignal>

namespace ql::testing {

namespace {
Clock_t::duration toClock(double seconds) {
  return std::chrono::duration_cast<Clock_t::duration>(Duration(seconds));
}
}  // namespace

std::string joinCommand(const TaskSpec& launchSpec) {
  std::string s = launchSpec.executable;
  for (const auto& a : launchSpec.arguments) s += " " + a;
  return s;
}

FakeTask::FakeTask(FakeTasks& owner, TaskSpec launchSpec, FakeChild child, int pid)
    : owner_(owner), spec_(std::move(launchSpec)), child_(std::move(child)), pid_(pid) {}

void FakeTask::setTerminationHandler(std::function<void(Task&)> handler) { handler_ = std::move(handler); }

Status FakeTask::launch() {
  if (!child_.launchError.ok()) {
    owner_.record("launch failed " + joinCommand(spec_));
    return child_.launchError;
  }
  launched_ = true;
  launchedAt_ = owner_.clock().now();
  owner_.record("launch " + joinCommand(spec_));
  if (child_.onLaunch) child_.onLaunch();
  return Status::OK();
}

std::optional<TimePoint> FakeTask::exitTime() {
  if (!launched_) return std::nullopt;
  std::optional<TimePoint> natural;
  if (child_.runsFor) natural = *launchedAt_ + toClock(*child_.runsFor);
  if (endedAt_ && (!natural || *endedAt_ < *natural)) return endedAt_;
  return natural;
}

std::optional<double> FakeTask::exitedAt() {
  auto t = exitTime();
  if (!t || *t > owner_.clock().now()) return std::nullopt;
  return Duration(*t - TimePoint(std::chrono::seconds(FakeClock::kStartSeconds))).count();
}

bool FakeTask::isRunning() {
  if (!launched_) return false;
  auto t = exitTime();
  return !t || owner_.clock().now() < *t;
}

void FakeTask::endAt(TimePoint when, int status) {
  if (!isRunning()) return;
  endedAt_ = when;
  endStatus_ = status;
}

void FakeTask::terminate() {
  if (!isRunning()) return;
  signals_.push_back(SIGTERM);
  owner_.record("signal 15 " + joinCommand(spec_));
  if (!child_.ignoresTerminate) endAt(owner_.clock().now(), SIGTERM);
}

void FakeTask::kill() {
  if (!isRunning()) return;
  signals_.push_back(SIGKILL);
  owner_.record("signal 9 " + joinCommand(spec_));
  endAt(owner_.clock().now(), SIGKILL);
}

void FakeTask::waitUntilExit() {
  auto t = exitTime();
  if (!launched_) return;
  if (!t) {
    ADD_FAILURE() << "unbounded wait on a fake child that never exits: " << joinCommand(spec_);
    return;
  }
  if (*t > owner_.clock().now()) owner_.clock().set(*t);
}

bool FakeTask::waitUntilExit(Duration timeout) {
  if (!launched_) return true;
  TimePoint now = owner_.clock().now();
  TimePoint limit = now + toClock(std::max(0.0, timeout.count()));
  auto t = exitTime();
  if (t && *t <= limit) {
    if (*t > now) owner_.clock().set(*t);
    return true;
  }
  owner_.clock().set(limit);
  return false;
}

int FakeTask::terminationStatus() {
  auto t = exitTime();
  if (!t) return 0;
  if (endedAt_ && *t == *endedAt_) return endStatus_;
  return child_.exitStatus;
}

std::string FakeTask::collectOutput(OutputStream which, Duration grace) {
  const std::string& text = which == OutputStream::kStandardOutput ? child_.stdoutText : child_.stderrText;
  if (!launched_) return "";
  TimePoint now = owner_.clock().now();
  TimePoint limit = now + toClock(std::max(0.0, grace.count()));
  auto exit = exitTime();
  std::optional<TimePoint> eof;
  if (exit && child_.pipesOpenAfterExit) eof = *exit + toClock(*child_.pipesOpenAfterExit);
  if (eof && *eof <= limit) {
    if (*eof > now) owner_.clock().set(*eof);
  } else {
    owner_.clock().set(limit);
  }
  // Everything the child wrote has arrived by then (it wrote at its start).
  return text;
}

void FakeTask::exitNow(int status) {
  endAt(owner_.clock().now(), status);
  if (handler_) {
    auto h = std::move(handler_);
    handler_ = nullptr;
    h(*this);
  }
}

std::shared_ptr<Task> FakeTasks::makeTask(TaskSpec launchSpec) {
  FakeChild child = script(launchSpec);
  std::lock_guard<std::mutex> lock(mu_);
  auto t = std::make_shared<FakeTask>(*this, std::move(launchSpec), std::move(child), nextPid_++);
  made_.push_back(t);
  return t;
}

std::vector<std::shared_ptr<FakeTask>> FakeTasks::made() {
  std::lock_guard<std::mutex> lock(mu_);
  return made_;
}

std::vector<std::string> FakeTasks::events() {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

void FakeTasks::record(std::string event) {
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(std::move(event));
}

}  // namespace ql::testing
