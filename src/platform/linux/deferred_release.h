// Closes descriptors on a thread of its own, a little later, so that what
// the last close of a file costs is paid neither by the caller nor in the
// middle of what the caller does next.
//
// The case it exists for: renaming a new file over a large old one. When no
// other process holds the old file open, rename(2) drops the last reference
// and the kernel frees the whole file inside the call: for a 60 MiB binary
// on ext4, about 40 ms of truncation and block freeing, and the journal
// work it starts makes the caller's next metadata change wait as long
// again. Holding a descriptor of the old file across the rename moves that
// work to the close; closing it after a pause moves it past the launch
// that replaced the file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace ql::linux_backend {

class DeferredRelease {
 public:
  // Each descriptor is closed `hold` after it was handed over.
  explicit DeferredRelease(std::chrono::milliseconds hold) : hold_(hold) {}
  // Closes whatever is still held, at once, and joins the thread: nothing
  // outlives the owner.
  ~DeferredRelease();
  DeferredRelease(const DeferredRelease&) = delete;
  DeferredRelease& operator=(const DeferredRelease&) = delete;

  // Takes ownership of `fd` (started at the first call, the thread closes it
  // later). A negative `fd` is ignored.
  void close(int fd);

  // Closes everything handed over so far without waiting out the hold, and
  // returns once it is closed.
  void drain();

 private:
  struct Held {
    int fd;
    std::chrono::steady_clock::time_point due;
  };
  void run();

  const std::chrono::milliseconds hold_;
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::vector<Held> held_;  // in the order handed over, so by due time
  bool busy_ = false, draining_ = false, stopping_ = false;
  std::thread thread_;
};

}  // namespace ql::linux_backend
