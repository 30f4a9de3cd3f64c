// Dispatch on threads: the main queue through a MainLoop, a global queue of
// worker threads, a timer thread for delayed work, and serial queues.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/linux/main_loop.h"

namespace ql::linux_backend {

// A serial queue for short critical sections: sync() runs the block on the
// calling thread under the queue's lock, which is what a serial queue's
// synchronous execution guarantees (one block at a time, in order).
class MutexSerialQueue : public SerialQueue {
 public:
  explicit MutexSerialQueue(std::string label) : label_(std::move(label)) {}
  void sync(const std::function<void()>& work) override {
    std::lock_guard<std::mutex> lock(mu_);
    work();
  }
  const std::string& label() const override { return label_; }

 private:
  std::mutex mu_;
  std::string label_;
};

class LinuxDispatch : public Dispatch {
 public:
  explicit LinuxDispatch(MainLoop& loop);
  ~LinuxDispatch() override;
  LinuxDispatch(const LinuxDispatch&) = delete;
  LinuxDispatch& operator=(const LinuxDispatch&) = delete;

  void asyncMain(std::function<void()> work) override { loop_.post(std::move(work)); }
  void asyncGlobal(std::function<void()> work) override;
  void asyncGlobalAfter(Duration delay, std::function<void()> work) override;
  std::unique_ptr<SerialQueue> makeSerialQueue(const std::string& label) override;
  bool isMainThread() override { return loop_.isMainThread(); }

 private:
  // Shared with the worker threads, which are detached: a worker busy in
  // long work (a retry loop) when the dispatcher goes away must still find
  // its queue alive when it comes back for more.
  struct Pool {
    std::mutex mu;
    std::condition_variable workCv;
    std::deque<std::function<void()>> work;
    size_t idleWorkers = 0;
    size_t workers = 0;
    bool stopping = false;
  };
  static void workerLoop(const std::shared_ptr<Pool>& pool);
  void timerLoop();

  MainLoop& loop_;
  std::shared_ptr<Pool> pool_ = std::make_shared<Pool>();
  std::mutex timerMu_;
  std::condition_variable timerCv_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
  bool timersStopping_ = false;
  std::thread timerThread_;
};

}  // namespace ql::linux_backend
