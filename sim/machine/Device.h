// Interfaces of the device models that the simulated machine attaches to its
// I/O port space and memory-mapped space. Offsets are relative to the base
// the device is attached at; widths are 8, 16 or 32 bits and values are
// zero-extended.
#pragma once
#include <cstdint>

namespace sim {

class IoDevice {
 public:
  virtual ~IoDevice() = default;
  virtual uint32_t IoRead(uint16_t offset, unsigned width) = 0;
  virtual void IoWrite(uint16_t offset, unsigned width, uint32_t value) = 0;
  // The board restarts: volatile state goes back to its described state.
  virtual void Restart() {}
};

class MmioDevice {
 public:
  virtual ~MmioDevice() = default;
  virtual uint32_t MmioRead(uint64_t offset, unsigned width) = 0;
  virtual void MmioWrite(uint64_t offset, unsigned width, uint32_t value) = 0;
  virtual void Restart() {}
};

inline constexpr uint32_t WidthMask(unsigned width) {
  return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
}

}  // namespace sim

namespace sim {

// A board description or use of the machine that cannot work (overlapping
// BARs, a capability beyond 0xFF, an access of width 24...): reported and
// the process aborted, since a test on such a machine would mean nothing.
[[noreturn]] void MachineMisuse(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
