// The seam between the firmware's hardware-access interface and the
// simulated machine. The host backend of the interface forwards every access
// to the active platform; the simulated machine implements it.
#pragma once
#include <cstdint>

namespace sim {

class HardwarePlatform {
 public:
  virtual ~HardwarePlatform() = default;

  // Width is 8, 16 or 32 bits; values are zero-extended.
  virtual uint32_t IoRead(uint16_t port, unsigned width) = 0;
  virtual void IoWrite(uint16_t port, unsigned width, uint32_t value) = 0;
  virtual uint32_t MmioRead(uint64_t address, unsigned width) = 0;
  virtual void MmioWrite(uint64_t address, unsigned width, uint32_t value) = 0;

  virtual uint64_t ReadMsr(uint32_t index) = 0;
  virtual void WriteMsr(uint32_t index, uint64_t value) = 0;

  enum class Register { Dr2, Dr3, Dr7, Cr4 };
  virtual uint64_t ReadRegister(Register reg) = 0;
  virtual void WriteRegister(Register reg, uint64_t value) = 0;

  virtual uint16_t CpuidBackDoor(uint32_t eax, uint32_t ebx, uint32_t ecx) = 0;
  virtual uint64_t ReadTsc() = 0;
  virtual void Pause() = 0;
  virtual uintptr_t IdtBase() = 0;
  virtual void DebugToolHandOver(uint32_t edx, uint32_t eax, uint32_t ebx) = 0;
};

// The platform that the firmware's hardware accesses reach; null when none
// is active, in which case any access aborts the process with a message.
HardwarePlatform *ActivePlatform();
void SetActivePlatform(HardwarePlatform *platform);

}  // namespace sim
