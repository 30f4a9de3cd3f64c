// Dispatch on threads: the main queue through a MainLoop, a global queue of
// worker threads, a timer thread for delayed work, and serial queues.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/linux/main_loop.h"

namespace ql::linux_backend {

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
  void workerLoop();
  void timerLoop();

  MainLoop& loop_;
  std::mutex mu_;
  std::condition_variable workCv_, timerCv_;
  std::deque<std::function<void()>> work_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
  size_t idleWorkers_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  std::thread timerThread_;
};

}  // namespace ql::linux_backend
