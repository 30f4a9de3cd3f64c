#include "tests/fakes/fake_dispatch.h"

#include "platform/linux/linux_dispatch.h"

namespace ql::testing {


std::unique_ptr<SerialQueue> FakeDispatch::makeSerialQueue(const std::string& label) {
  std::lock_guard<std::mutex> lock(mu_);
  labels_.push_back(label);
  return std::make_unique<linux_backend::MutexSerialQueue>(label);
}

bool FakeDispatch::popMain(std::function<void()>* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (main_.empty()) return false;
  *out = std::move(main_.front());
  main_.pop_front();
  return true;
}

bool FakeDispatch::popGlobal(std::function<void()>* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (global_.empty()) return false;
  *out = std::move(global_.front());
  global_.pop_front();
  return true;
}

int FakeDispatch::runMain() {
  int n = 0;
  std::function<void()> work;
  while (popMain(&work)) {
    work();
    ++n;
  }
  return n;
}

int FakeDispatch::runGlobal() {
  int n = 0;
  std::function<void()> work;
  while (popGlobal(&work)) {
    inBackground_ = true;
    work();
    inBackground_ = false;
    ++n;
  }
  return n;
}

int FakeDispatch::fireDueTimers() {
  int n = 0;
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (timers_.empty() || timers_.begin()->first > clock_.now()) break;
      work = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
    }
    inBackground_ = true;
    work();
    inBackground_ = false;
    ++n;
  }
  return n;
}

int FakeDispatch::drain() {
  int total = 0;
  for (;;) {
    int n = runMain() + runGlobal() + fireDueTimers();
    if (n == 0) return total;
    total += n;
  }
}

}  // namespace ql::testing
