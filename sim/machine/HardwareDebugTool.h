// The hardware debug tool attached to the processor. The firmware hands text
// over with a 32-bit write of EAX to port 0x99CC (EDX holds the port in its
// low half, EBX the length); the tool takes it when the I/O breakpoint on
// that port is armed. Writes to port 0xFFED are recorded as they come.
#pragma once
#include <cstdint>
#include <vector>

#include "PortLog.h"

namespace sim {

struct HandOver {
  uint32_t edx = 0;
  uint32_t eax = 0;
  uint32_t ebx = 0;
  // The breakpoint was armed: DR2 held the port, DR7 enabled breakpoint 2
  // (L2 or G2) for I/O accesses (R/W2 = 10b) and CR4.DE was set.
  bool armed = false;
  uint64_t timeNs = 0;
  bool operator==(const HandOver &) const = default;
};

class HardwareDebugTool {
 public:
  static constexpr uint16_t kHandOverPort = 0x99CC;
  static constexpr uint16_t kStatusPort = 0xFFED;

  explicit HardwareDebugTool(const SimClock &clock)
      : handOverPort_(portWrites_, kHandOverPort, clock),
        statusPort_(portWrites_, kStatusPort, clock) {}

  const std::vector<HandOver> &HandOvers() const { return handOvers_; }
  // Plain port writes to 0x99CC and 0xFFED (not hand-overs), in order.
  const PortLog &PortWrites() const { return portWrites_; }
  void Clear() {
    handOvers_.clear();
    portWrites_.Clear();
  }

  void AddHandOver(const HandOver &handOver) { handOvers_.push_back(handOver); }
  IoDevice &HandOverPort() { return handOverPort_; }
  IoDevice &StatusPort() { return statusPort_; }

 private:
  std::vector<HandOver> handOvers_;
  PortLog portWrites_;
  RecordingPort handOverPort_;
  RecordingPort statusPort_;
};

}  // namespace sim
