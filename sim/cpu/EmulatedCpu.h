// An x86-64 processor for loaded firmware images: the image's instructions
// run in a CPU emulator over the simulator's own memory, mapped at the same
// addresses, so the image and the simulated platform share tables, pool and
// buffers. The processor meets the platform at three points:
// - instructions that reach hardware (port I/O, MSRs, debug and control
//   registers, CPUID, the time-stamp counter, PAUSE) go through the
//   hardware-access interface's host backend, as the host build's calls do;
// - loads and stores outside memory (ECAM, BAR windows, memory-mapped
//   UARTs) are device accesses of the active simulated machine;
// - a call from the image to a function of the simulator (a boot service, a
//   protocol member of a stand-in) runs that function natively with the
//   arguments of the x64 calling convention, and the simulator's calls into
//   the image (CallFirmware) run here.
// An instruction the processor cannot run, a fault, or a jump outside code
// ends the call with CpuError naming the image offset.
#pragma once
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/core/FirmwareCall.h"

struct uc_struct;

namespace sim {

class CpuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Addresses below this are never memory: a null pointer's neighbourhood,
// and the return gate that ends a call into the image.
inline constexpr uint64_t kNullRegionSize = 0x10000;

class EmulatedCpu final : public FirmwareProcessor {
 public:
  struct Counts {
    uint64_t hardwareInstructions = 0;  // instructions the processor carried out itself
    uint64_t hostCalls = 0;             // calls from the image into the simulator
    uint64_t imageCalls = 0;            // calls from the simulator into the image
    uint64_t watchedRanges = 0;         // code ranges watched for hardware instructions
  };

  EmulatedCpu();
  ~EmulatedCpu() override;
  EmulatedCpu(const EmulatedCpu &) = delete;
  EmulatedCpu &operator=(const EmulatedCpu &) = delete;

  // Maps host memory [base, base + size) (page-aligned) as the image's RAM.
  void MapMemory(uint64_t base, uint64_t size);
  // Maps [base, base + size) as device space of the active machine at once
  // (other device pages are mapped when first touched).
  void MapDevices(uint64_t base, uint64_t size);
  // The stack every outermost call into the image runs on (inside mapped
  // memory; calls made while the image waits in a call of its own continue
  // below the image's stack pointer, as notifications do on a board).
  void SetStack(uint64_t base, uint64_t size);
  // An image loaded at `base` (already mapped): `name` shows in errors,
  // `codeRanges` are its executable sections as [start, end) addresses.
  void AddImage(const std::string &name, uint64_t base, uint64_t size,
                const std::vector<std::pair<uint64_t, uint64_t>> &codeRanges);

  bool RunsCode(uintptr_t address) const override;
  uint64_t Call(uintptr_t address, const uint64_t *args, size_t count) override;

  const Counts &Statistics() const { return counts_; }
  // "name+0xOFFSET" for an address inside an image, else the address.
  std::string Where(uint64_t address) const;

 private:
  struct Image {
    std::string name;
    uint64_t base;
    uint64_t size;
  };
  struct DevicePage;
  class Hooks;
  friend class Hooks;

  void Check(int error, const char *what) const;
  void WatchCode(uint64_t start, uint64_t end);
  void RunUntilReturn(uint64_t start);
  void CallHost(uint64_t function);
  bool IsHostCode(uint64_t address);
  int HostProtection(uint64_t page);
  int CopiedProtection(uint64_t page) const;
  void ReadHostMaps();
  void Fail(std::string message);
  void Capture();
  void ThrowPending();
  uint64_t Reg(int reg) const;
  void SetReg(int reg, uint64_t value);

  uc_struct *uc_ = nullptr;
  std::vector<Image> images_;
  uint64_t stackTop_ = 0;
  unsigned depth_ = 0;
  std::exception_ptr pending_;
  struct HostRange {
    uint64_t start;
    uint64_t end;
    int protection;  // UC_PROT_* bits
  };
  std::vector<HostRange> hostRanges_;
  std::deque<DevicePage> devicePages_;
  Counts counts_;
};

}  // namespace sim
