#include "platform/linux/main_loop.h"

namespace ql::linux_backend {

PosixMainLoop::PosixMainLoop() : mainThread_(std::this_thread::get_id()) {}

void PosixMainLoop::post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(work));
  }
  cv_.notify_one();
}

void PosixMainLoop::run() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return quitting_ || !queue_.empty(); });
      if (quitting_) {
        quitting_ = false;
        return;
      }
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
  }
}

void PosixMainLoop::quit() {
  std::lock_guard<std::mutex> lock(mu_);
  quitting_ = true;
  cv_.notify_one();
}

}  // namespace ql::linux_backend
