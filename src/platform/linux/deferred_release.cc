#include "platform/linux/deferred_release.h"

#include <unistd.h>

namespace ql::linux_backend {

DeferredRelease::~DeferredRelease() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (const Held& h : held_) ::close(h.fd);
}

void DeferredRelease::close(int fd) {
  if (fd < 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  held_.push_back({fd, std::chrono::steady_clock::now() + hold_});
  if (!thread_.joinable()) {
    thread_ = std::thread([this] { run(); });
    return;
  }
  wake_.notify_one();
}

void DeferredRelease::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (held_.empty() && !busy_) return;
  draining_ = true;
  wake_.notify_one();
  idle_.wait(lock, [&] { return held_.empty() && !busy_; });
  draining_ = false;
}

void DeferredRelease::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (held_.empty()) {
      if (stopping_) return;
      wake_.wait(lock, [&] { return stopping_ || !held_.empty(); });
      continue;
    }
    const bool now = stopping_ || draining_;
    if (!now && std::chrono::steady_clock::now() < held_.front().due) {
      wake_.wait_until(lock, held_.front().due);
      continue;
    }
    // Everything due (or everything, when asked to finish), closed without
    // the lock: a close may take as long as freeing the whole file.
    std::vector<int> batch;
    auto firstLater = held_.begin();
    const auto t = std::chrono::steady_clock::now();
    while (firstLater != held_.end() && (now || firstLater->due <= t)) batch.push_back((firstLater++)->fd);
    held_.erase(held_.begin(), firstLater);
    busy_ = true;
    lock.unlock();
    for (int fd : batch) ::close(fd);
    lock.lock();
    busy_ = false;
    if (held_.empty()) idle_.notify_all();
  }
}

}  // namespace ql::linux_backend
