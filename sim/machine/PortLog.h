// Ports whose writes are only recorded: the POST-code ports 0x80 and 0xE0 and
// the debug tool's port 0xFFED. Every write is kept with its port, width,
// value and simulated time, in order; reads return all ones (nothing decodes
// them).
#pragma once
#include <cstdint>
#include <vector>

#include "../core/SimClock.h"
#include "Device.h"

namespace sim {

struct PortWrite {
  uint16_t port = 0;
  uint8_t width = 0;
  uint32_t value = 0;
  uint64_t timeNs = 0;
  bool operator==(const PortWrite &) const = default;
};

class PortLog {
 public:
  const std::vector<PortWrite> &Writes() const { return writes_; }
  // The values written to one port, in order.
  std::vector<uint32_t> Values(uint16_t port) const;
  void Add(const PortWrite &write) { writes_.push_back(write); }
  void Clear() { writes_.clear(); }

 private:
  std::vector<PortWrite> writes_;
};

// One port that appends its writes to a log shared with other ports.
class RecordingPort final : public IoDevice {
 public:
  RecordingPort(PortLog &log, uint16_t port, const SimClock &clock)
      : log_(log), port_(port), clock_(clock) {}
  uint32_t IoRead(uint16_t, unsigned width) override { return WidthMask(width); }
  void IoWrite(uint16_t, unsigned width, uint32_t value) override {
    log_.Add({port_, static_cast<uint8_t>(width), value, clock_.NowNanoseconds()});
  }

 private:
  PortLog &log_;
  uint16_t port_;
  const SimClock &clock_;
};

inline std::vector<uint32_t> PortLog::Values(uint16_t port) const {
  std::vector<uint32_t> values;
  for (const PortWrite &write : writes_) {
    if (write.port == port) values.push_back(write.value);
  }
  return values;
}

}  // namespace sim
