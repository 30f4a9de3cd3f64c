// The main queue on GLib's default main context, so that GApplication's
// D-Bus traffic, GTK dialogs and the launcher's own posted work share one
// loop on the main thread.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/linux/main_loop.h"

typedef struct _GMainLoop GMainLoop;

namespace ql::linux_backend::desktop {

class GlibMainLoop : public MainLoop {
 public:
  GlibMainLoop();
  ~GlibMainLoop() override;
  GlibMainLoop(const GlibMainLoop&) = delete;
  GlibMainLoop& operator=(const GlibMainLoop&) = delete;

  void post(std::function<void()> work) override;
  void postUnnested(std::function<void()> work) override;
  bool insideNestedLoop() override { return depth_ > 1; }
  void run() override;
  void quit() override;
  bool isMainThread() override { return std::this_thread::get_id() == mainThread_; }

 private:
  static int drainThunk(void* self);
  void drain();
  void scheduleWakeLocked();

  struct Item {
    std::function<void()> work;
    bool unnested = false;
  };

  std::mutex mu_;
  // Our own queue rather than one idle source per item: GLib orders sources
  // of equal priority by attach time only loosely across threads, and the
  // main queue promises posting order.
  std::deque<Item> queue_;
  // Main thread only: how many work items are running, one inside the
  // other's nested loop (a GTK dialog runs one) beyond the first.
  int depth_ = 0;
  bool wakeScheduled_ = false;
  // Main thread only: quit() was called and run() has not returned yet.
  bool stopping_ = false;
  GMainLoop* loop_;
  std::thread::id mainThread_;
};

}  // namespace ql::linux_backend::desktop
