#include "codesign/worker_pool.h"

#include <algorithm>

namespace qlsign {

WorkerPool::WorkerPool(unsigned threads) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 1; i < threads; ++i) workers_.emplace_back([this] { workerLoop(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : workers_) t.join();
}

// Takes tasks until none are left; the lock is held between tasks only.
void WorkerPool::drain(std::unique_lock<std::mutex>& lock) {
  while (task_ && next_ < count_) {
    size_t i = next_++;
    const auto* task = task_;
    lock.unlock();
    (*task)(i);
    lock.lock();
    if (++finished_ == count_) done_.notify_all();
  }
}

void WorkerPool::workerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  // Every worker starts in the constructor, before any generation: reading
  // the counter here instead would let a thread that is slow to start skip
  // a start() issued right after construction, and the caller would run
  // that whole batch alone.
  unsigned long seen = 0;
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    drain(lock);
  }
}

void WorkerPool::run(size_t count, const std::function<void(size_t)>& task) {
  start(count, task);
  wait();
}

void WorkerPool::start(size_t count, const std::function<void(size_t)>& task) {
  std::lock_guard<std::mutex> lock(mutex_);
  task_ = count > 0 ? &task : nullptr;
  count_ = count;
  next_ = 0;
  finished_ = 0;
  ++generation_;
  wake_.notify_all();
}

void WorkerPool::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  drain(lock);
  done_.wait(lock, [&] { return finished_ == count_; });
  task_ = nullptr;
}

}  // namespace qlsign
