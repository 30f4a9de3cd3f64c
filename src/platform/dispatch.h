// Queues: the main queue (run by the application's event loop on the main
// thread), a concurrent global queue with delayed execution, and labelled
// serial queues.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"

namespace ql {

class SerialQueue {
 public:
  virtual ~SerialQueue() = default;
  // Runs `work` on the queue and returns when it has run.
  virtual void sync(const std::function<void()>& work) = 0;
  virtual const std::string& label() const = 0;
};

class Dispatch {
 public:
  virtual ~Dispatch() = default;
  // Queued for the main thread; never run inline, even from the main thread.
  virtual void asyncMain(std::function<void()> work) = 0;
  // Runs on a background thread of the global queue (default QoS).
  virtual void asyncGlobal(std::function<void()> work) = 0;
  virtual void asyncGlobalAfter(Duration delay, std::function<void()> work) = 0;
  virtual std::unique_ptr<SerialQueue> makeSerialQueue(const std::string& label) = 0;
  // True on the thread that runs the main queue.
  virtual bool isMainThread() = 0;
};

}  // namespace ql
