// Dispatch driven by the test: nothing runs until the test drains a queue.
// Delayed work fires when the fake clock reaches its time.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "platform/dispatch.h"
#include "tests/fakes/fake_clock.h"

namespace ql::testing {

class FakeDispatch : public Dispatch {
 public:
  explicit FakeDispatch(FakeClock& clock) : clock_(clock) {}

  void asyncMain(std::function<void()> work) override {
    std::lock_guard<std::mutex> lock(mu_);
    main_.push_back(std::move(work));
  }
  void asyncGlobal(std::function<void()> work) override {
    std::lock_guard<std::mutex> lock(mu_);
    global_.push_back(std::move(work));
  }
  void asyncGlobalAfter(Duration delay, std::function<void()> work) override {
    std::lock_guard<std::mutex> lock(mu_);
    timers_.emplace(clock_.now() + std::chrono::duration_cast<Clock_t::duration>(delay), std::move(work));
  }
  std::unique_ptr<SerialQueue> makeSerialQueue(const std::string& label) override;
  bool isMainThread() override { return !inBackground_; }

  // Runs queued main-queue work (and work it queues) until none is left.
  // Returns how many blocks ran.
  int runMain();
  // Runs queued global work, one block at a time, until none is left.
  int runGlobal();
  // Fires delayed work whose time has come (on the "global queue").
  int fireDueTimers();
  // Main, global and due timers until everything is quiet.
  int drain();

  size_t pendingMain() {
    std::lock_guard<std::mutex> lock(mu_);
    return main_.size();
  }
  size_t pendingGlobal() {
    std::lock_guard<std::mutex> lock(mu_);
    return global_.size();
  }
  size_t pendingTimers() {
    std::lock_guard<std::mutex> lock(mu_);
    return timers_.size();
  }
  std::vector<std::string> serialQueueLabels() {
    std::lock_guard<std::mutex> lock(mu_);
    return labels_;
  }

 private:
  bool popMain(std::function<void()>* out);
  bool popGlobal(std::function<void()>* out);

  FakeClock& clock_;
  std::mutex mu_;
  std::deque<std::function<void()>> main_, global_;
  std::multimap<TimePoint, std::function<void()>> timers_;
  std::vector<std::string> labels_;
  bool inBackground_ = false;
};

}  // namespace ql::testing
