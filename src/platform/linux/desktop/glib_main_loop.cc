#include "platform/linux/desktop/glib_main_loop.h"

#include <glib.h>

namespace ql::linux_backend::desktop {

GlibMainLoop::GlibMainLoop()
    : loop_(g_main_loop_new(nullptr, FALSE)), mainThread_(std::this_thread::get_id()) {}

GlibMainLoop::~GlibMainLoop() {
  // Work still queued at exit is dropped, as a process's main queue is; the
  // pending wake-up must not outlive `this`.
  std::lock_guard<std::mutex> lock(mu_);
  if (wakeScheduled_) g_idle_remove_by_data(this);
  g_main_loop_unref(loop_);
}

void GlibMainLoop::scheduleWakeLocked() {
  if (wakeScheduled_) return;
  wakeScheduled_ = true;
  // g_idle_add attaches to the default context and wakes it from any thread;
  // g_main_context_invoke would run inline on the main thread, and posted
  // work must never run inside its poster.
  g_idle_add_full(G_PRIORITY_DEFAULT, &GlibMainLoop::drainThunk, this, nullptr);
}

void GlibMainLoop::post(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back({std::move(work), false});
  scheduleWakeLocked();
}

void GlibMainLoop::postUnnested(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back({std::move(work), true});
  scheduleWakeLocked();
}

int GlibMainLoop::drainThunk(void* self) {
  static_cast<GlibMainLoop*>(self)->drain();
  return G_SOURCE_REMOVE;
}

void GlibMainLoop::drain() {
  // Only what was queued when the wake-up fired runs now; work posted by that
  // work waits for the next wake-up, so a task that re-posts itself cannot
  // starve D-Bus or an open dialog.
  std::deque<Item> batch;
  const bool nested = depth_ > 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    wakeScheduled_ = false;
    if (stopping_) return;  // run() reschedules what is left
    if (!nested) {
      batch.swap(queue_);
    } else {
      // Inside a dialog's loop only ordinary work runs; unnested work stays
      // queued, in order, for the outermost drain. No wake-up is scheduled
      // for it here, or the dialog's loop would spin on it.
      std::deque<Item> kept;
      for (Item& item : queue_) (item.unnested ? kept : batch).push_back(std::move(item));
      queue_.swap(kept);
    }
  }
  ++depth_;
  while (!batch.empty()) {
    auto work = std::move(batch.front().work);
    batch.pop_front();
    work();
    if (stopping_ && !batch.empty()) {
      // quit() ran inside this batch: like the headless loop, nothing more
      // runs after it; the rest stays queued in order, ahead of newer work.
      std::lock_guard<std::mutex> lock(mu_);
      for (auto it = batch.rbegin(); it != batch.rend(); ++it) queue_.push_front(std::move(*it));
      break;
    }
  }
  --depth_;
  if (!nested) {
    // Work held back by a nested drain is due now that the outermost item
    // has returned.
    std::lock_guard<std::mutex> lock(mu_);
    if (!stopping_ && !queue_.empty()) scheduleWakeLocked();
  }
}

void GlibMainLoop::run() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) {  // quit() before run(): return at once, as the headless loop does
      stopping_ = false;
      return;
    }
    if (!queue_.empty()) scheduleWakeLocked();
  }
  g_main_loop_run(loop_);
  std::lock_guard<std::mutex> lock(mu_);
  stopping_ = false;
}

void GlibMainLoop::quit() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  g_main_loop_quit(loop_);
}

}  // namespace ql::linux_backend::desktop
