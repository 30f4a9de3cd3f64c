// Scriptable child processes that live on the virtual clock: a fake child
// "runs" for a set number of virtual seconds, and every wait on it advances
// the FakeClock exactly as far as a real wait would have taken.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/task.h"
#include "tests/fakes/fake_clock.h"

namespace ql::testing {

// How one fake child behaves.
struct FakeChild {
  Status launchError;                // not OK: the launch fails with it
  std::optional<double> runsFor = 0;  // virtual seconds until exit; nullopt: until signalled
  int exitStatus = 0;
  bool ignoresTerminate = false;     // SIGTERM does nothing (SIGKILL still works)
  std::string stdoutText;
  std::string stderrText;
  // A descendant keeps the pipes open this long after the child's exit;
  // nullopt: for ever.
  std::optional<double> pipesOpenAfterExit = 0;
  // Runs inside launch(), before it returns (to look at the launcher then).
  std::function<void()> onLaunch;
};

class FakeTasks;

class FakeTask : public Task {
 public:
  FakeTask(FakeTasks& owner, TaskSpec launchSpec, FakeChild child, int pid);

  void setTerminationHandler(std::function<void(Task&)> handler) override;
  Status launch() override;
  bool isRunning() override;
  void terminate() override;
  void kill() override;
  void waitUntilExit() override;
  bool waitUntilExit(Duration timeout) override;
  int terminationStatus() override;
  int processIdentifier() override { return pid_; }
  std::string collectOutput(OutputStream which, Duration grace) override;

  // Ends the child now with `status` and runs its termination handler on
  // the calling thread, as the platform's thread would.
  void exitNow(int status);

  const TaskSpec& launchSpec() const { return spec_; }
  bool launched() const { return launched_; }
  bool hasHandler() const { return static_cast<bool>(handler_); }
  // Signals received, in order (SIGTERM = 15, SIGKILL = 9).
  std::vector<int> signals() const { return signals_; }
  // Virtual seconds (since the clock's start) when the child ended, if it has.
  std::optional<double> exitedAt();

 private:
  void endAt(TimePoint when, int status);
  std::optional<TimePoint> exitTime();

  FakeTasks& owner_;
  TaskSpec spec_;
  FakeChild child_;
  int pid_;
  std::function<void(Task&)> handler_;
  bool launched_ = false;
  std::optional<TimePoint> launchedAt_;
  std::optional<TimePoint> endedAt_;  // set by a signal or exitNow
  int endStatus_ = 0;
  std::vector<int> signals_;
};

class FakeTasks : public Tasks {
 public:
  explicit FakeTasks(FakeClock& clock) : clock_(clock) {}

  // Decides each child's behaviour from its launchSpec; the default child exits
  // at once with status 0 and writes nothing.
  std::function<FakeChild(const TaskSpec&)> script = [](const TaskSpec&) { return FakeChild{}; };

  std::shared_ptr<Task> makeTask(TaskSpec launchSpec) override;

  std::vector<std::shared_ptr<FakeTask>> made();
  // Every event, in order: "launch <argv>", "launch failed <argv>",
  // "signal <n> <argv>".
  std::vector<std::string> events();
  void record(std::string event);
  FakeClock& clock() { return clock_; }

 private:
  FakeClock& clock_;
  std::mutex mu_;
  std::vector<std::shared_ptr<FakeTask>> made_;
  std::vector<std::string> events_;
  int nextPid_ = 4100;
};

// "exe arg1 arg2", for events and assertions.
std::string joinCommand(const TaskSpec& launchSpec);

}  // namespace ql::testing
