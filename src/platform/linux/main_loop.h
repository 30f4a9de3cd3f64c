// The loop that runs the main queue on the main thread. The headless build
// uses PosixMainLoop; the desktop backend drives the same interface from a
// GLib main loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ql::linux_backend {

class MainLoop {
 public:
  virtual ~MainLoop() = default;
  // Thread-safe; `work` runs later on the main thread, in posting order.
  virtual void post(std::function<void()> work) = 0;
  // Runs posted work until quit(); returns then.
  virtual void run() = 0;
  // Main thread only.
  virtual void quit() = 0;
  virtual bool isMainThread() = 0;
};

// A queue and a condition variable: the main thread sleeps until work
// arrives, so an idle launcher has no wake-ups of its own.
class PosixMainLoop : public MainLoop {
 public:
  PosixMainLoop();
  void post(std::function<void()> work) override;
  void run() override;
  void quit() override;
  bool isMainThread() override { return std::this_thread::get_id() == mainThread_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool quitting_ = false;
  std::thread::id mainThread_;
};

}  // namespace ql::linux_backend
