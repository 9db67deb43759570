// The simulated platform's clock. Stall services, the time-stamp counter and
// PAUSE advance it, so a boot's simulated duration can be reported and every
// firmware wait ends in bounded host time.
#pragma once
#include <cstdint>

namespace sim {

class SimClock {
 public:
  uint64_t NowNanoseconds() const { return now_ns_; }
  void AdvanceNanoseconds(uint64_t ns) { now_ns_ += ns; }
  void AdvanceMicroseconds(uint64_t us) { now_ns_ += us * 1000; }

  // Total simulated time spent in stall services, in microseconds.
  uint64_t StalledMicroseconds() const { return stalled_us_; }
  void Stall(uint64_t us) {
    stalled_us_ += us;
    AdvanceMicroseconds(us);
  }

 private:
  uint64_t now_ns_ = 0;
  uint64_t stalled_us_ = 0;
};

}  // namespace sim
