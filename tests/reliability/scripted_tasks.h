// Children that end at once with a chosen status, and a Tasks service that
// can refuse to start the Nth child with a chosen errno: the tasks half of
// the fault-injection seam.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/task.h"

namespace ql::testing {

class InstantTask : public Task {
 public:
  InstantTask(int status, int launchErrno) : status_(status), launchErrno_(launchErrno) {}
  void setTerminationHandler(std::function<void(Task&)>) override {}
  Status launch() override;
  bool isRunning() override { return false; }
  void terminate() override {}
  void kill() override {}
  void waitUntilExit() override {}
  bool waitUntilExit(Duration) override { return true; }
  int terminationStatus() override { return status_; }
  int processIdentifier() override { return launched_ ? 4242 : 0; }
  std::string collectOutput(OutputStream, Duration) override { return ""; }

 private:
  int status_;
  int launchErrno_;
  bool launched_ = false;
};

class ScriptedTasks : public Tasks {
 public:
  // The `index`-th (0-based) child made fails to launch with `err`; -1: none.
  void failLaunch(int index, int err);
  std::shared_ptr<Task> makeTask(TaskSpec wanted) override;
  std::vector<TaskSpec> made();
  // What was failed ("" when nothing): the executable of that child.
  std::string injected();

 private:
  std::mutex mu_;
  std::vector<TaskSpec> made_;
  int failAt_ = -1;
  int err_ = 0;
  std::string injected_;
};

}  // namespace ql::testing
