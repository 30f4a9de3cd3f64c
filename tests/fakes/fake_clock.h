// A virtual clock: sleeping advances time at once, so a 150-second retry
// loop runs in microseconds and every "now" is predictable.
#pragma once

#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace ql::testing {

class FakeClock : public Clock {
 public:
  // 2026-12-10T00:00:00Z.
  static constexpr long long kStartSeconds = 1796860800;

  FakeClock() : now_(TimePoint(std::chrono::seconds(kStartSeconds))) {}

  TimePoint now() override {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
  }
  void sleepFor(Duration d) override {
    std::lock_guard<std::mutex> lock(mu_);
    sleeps_.push_back(d.count());
    if (d.count() > 0) now_ += std::chrono::duration_cast<Clock_t::duration>(d);
  }
  void advance(Duration d) {
    std::lock_guard<std::mutex> lock(mu_);
    now_ += std::chrono::duration_cast<Clock_t::duration>(d);
  }
  void set(TimePoint t) {
    std::lock_guard<std::mutex> lock(mu_);
    now_ = t;
  }
  double secondsSinceStart() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::chrono::duration<double>(now_ - TimePoint(std::chrono::seconds(kStartSeconds))).count();
  }
  std::vector<double> sleeps() {
    std::lock_guard<std::mutex> lock(mu_);
    return sleeps_;
  }

 private:
  std::mutex mu_;
  TimePoint now_;
  std::vector<double> sleeps_;
};

}  // namespace ql::testing
