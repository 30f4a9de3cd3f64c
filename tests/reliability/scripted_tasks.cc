#include "tests/reliability/scripted_tasks.h"

namespace ql::testing {

Status InstantTask::launch() {
  if (launchErrno_ != 0) return Status::Posix(launchErrno_);
  launched_ = true;
  return Status::OK();
}

void ScriptedTasks::failLaunch(int index, int err) {
  std::lock_guard<std::mutex> lock(mu_);
  failAt_ = index;
  err_ = err;
}

std::shared_ptr<Task> ScriptedTasks::makeTask(TaskSpec wanted) {
  std::lock_guard<std::mutex> lock(mu_);
  int index = static_cast<int>(made_.size());
  int err = 0;
  if (index == failAt_) {
    err = err_;
    injected_ = wanted.executable;
  }
  made_.push_back(std::move(wanted));
  return std::make_shared<InstantTask>(0, err);
}

std::vector<TaskSpec> ScriptedTasks::made() {
  std::lock_guard<std::mutex> lock(mu_);
  return made_;
}

std::string ScriptedTasks::injected() {
  std::lock_guard<std::mutex> lock(mu_);
  return injected_;
}

}  // namespace ql::testing
