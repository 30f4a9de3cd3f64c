// The one source of "now" and the one way to sleep, so time-driven behaviour
// (retry loops, watchdogs, successor waits) runs on a virtual clock in tests.
#pragma once

#include <chrono>

namespace ql {

using Clock_t = std::chrono::system_clock;
using TimePoint = Clock_t::time_point;
using Duration = std::chrono::duration<double>;  // seconds

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time (UTC); log stamps, quarantine names and deadlines use it.
  virtual TimePoint now() = 0;
  // Blocks the calling thread for `d` (a virtual clock advances instead).
  virtual void sleepFor(Duration d) = 0;
};

inline double secondsSinceEpoch(TimePoint t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace ql
