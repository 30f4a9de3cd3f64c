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
  // It may run inside another work item's nested loop (a modal dialog's),
  // so a child's exit is still handled while an alert waits.
  virtual void post(std::function<void()> work) = 0;
  // Thread-safe; like post(), but `work` never runs inside another work
  // item's nested loop: it waits, in order with other such work, until the
  // outermost item has returned. The user's requests (quit, open, reopen)
  // travel this way, so that they reach the delegate between its callbacks
  // and never in the middle of one that is waiting for the user.
  virtual void postUnnested(std::function<void()> work) = 0;
  // Main thread only: whether the caller runs inside another work item's
  // nested loop.
  virtual bool insideNestedLoop() = 0;
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
  // Nothing runs this loop recursively (headless alerts never wait), so
  // every item is already an outermost one.
  void postUnnested(std::function<void()> work) override { post(std::move(work)); }
  bool insideNestedLoop() override { return false; }
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
