// A small fixed pool of worker threads for hashing many files at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qlsign {

class WorkerPool {
 public:
  // `threads` 0 means one per processor. The calling thread of run() works
  // too, so a pool of N threads hashes on N + 1 threads at most; it starts
  // threads - 1 workers for that reason.
  explicit WorkerPool(unsigned threads = 0);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Calls task(i) once for every i in [0, count) and returns when all calls
  // have returned. Not reentrant: do not call run() from inside a task.
  void run(size_t count, const std::function<void(size_t)>& task);

  // run() in two halves: start() hands the calls to the workers and returns
  // at once; wait() makes the calling thread take calls too and returns
  // when all have returned. `task` must live until wait() returns, every
  // start() needs its wait(), and neither may be called from a task or
  // between another start() and its wait().
  void start(size_t count, const std::function<void(size_t)>& task);
  void wait();

  unsigned parallelism() const { return static_cast<unsigned>(workers_.size()) + 1; }

 private:
  void workerLoop();
  void drain(std::unique_lock<std::mutex>& lock);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(size_t)>* task_ = nullptr;
  size_t count_ = 0, next_ = 0, finished_ = 0;
  unsigned long generation_ = 0;
  bool stopping_ = false;
};

}  // namespace qlsign
