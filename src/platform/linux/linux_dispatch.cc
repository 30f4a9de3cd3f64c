#include "platform/linux/linux_dispatch.h"

namespace ql::linux_backend {

namespace {

// Blocking work (command runs, sleeps) is queued here, so a worker is added
// whenever none is idle rather than keeping a fixed pool that could starve.
constexpr size_t kMaxWorkers = 64;

}  // namespace

LinuxDispatch::LinuxDispatch(MainLoop& loop) : loop_(loop) {
  timerThread_ = std::thread([this] { timerLoop(); });
}

LinuxDispatch::~LinuxDispatch() {
  {
    std::lock_guard<std::mutex> lock(timerMu_);
    timersStopping_ = true;
  }
  timerCv_.notify_all();
  timerThread_.join();
  {
    std::lock_guard<std::mutex> lock(pool_->mu);
    pool_->stopping = true;
  }
  pool_->workCv.notify_all();
}

void LinuxDispatch::asyncGlobal(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(pool_->mu);
  pool_->work.push_back(std::move(work));
  // Every queued item needs a worker of its own: one may block for minutes.
  if (pool_->work.size() > pool_->idleWorkers && pool_->workers < kMaxWorkers) {
    ++pool_->workers;
    std::thread([pool = pool_] { workerLoop(pool); }).detach();
  }
  pool_->workCv.notify_one();
}

void LinuxDispatch::asyncGlobalAfter(Duration delay, std::function<void()> work) {
  auto when = std::chrono::steady_clock::now() +
              std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay);
  {
    std::lock_guard<std::mutex> lock(timerMu_);
    timers_.emplace(when, std::move(work));
  }
  timerCv_.notify_all();
}

std::unique_ptr<SerialQueue> LinuxDispatch::makeSerialQueue(const std::string& label) {
  return std::make_unique<MutexSerialQueue>(label);
}

void LinuxDispatch::workerLoop(const std::shared_ptr<Pool>& pool) {
  std::unique_lock<std::mutex> lock(pool->mu);
  for (;;) {
    ++pool->idleWorkers;
    pool->workCv.wait(lock, [&] { return pool->stopping || !pool->work.empty(); });
    --pool->idleWorkers;
    if (pool->stopping) {
      --pool->workers;
      return;
    }
    auto work = std::move(pool->work.front());
    pool->work.pop_front();
    lock.unlock();
    work();
    lock.lock();
  }
}

void LinuxDispatch::timerLoop() {
  std::unique_lock<std::mutex> lock(timerMu_);
  for (;;) {
    if (timersStopping_) return;
    if (timers_.empty()) {
      timerCv_.wait(lock);
      continue;
    }
    auto next = timers_.begin()->first;
    if (std::chrono::steady_clock::now() < next) {
      timerCv_.wait_until(lock, next);
      continue;
    }
    auto work = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    lock.unlock();
    asyncGlobal(std::move(work));
    lock.lock();
  }
}

}  // namespace ql::linux_backend
