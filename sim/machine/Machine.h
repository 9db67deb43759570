// The simulated machine: the board as the firmware's hardware-access
// interface sees it. I/O port space with device models, memory-mapped space
// (PCI Express ECAM at 0xE0000000 and the device windows behind BARs),
// processor state (MSRs, DR2, DR3, DR7, CR4, the time-stamp counter, PAUSE,
// the IDT base, the CPUID back door) and a simulated clock. Every firmware
// access is traced. Firmware that never returns (a reset, the fatal-error
// display loop, a wait that never ends) runs under Run(), which the machine
// ends and reports. See docs/simulated-machine.md.
#pragma once
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../core/SimClock.h"
#include "AccessTrace.h"
#include "CmosRam.h"
#include "Device.h"
#include "HardwareDebugTool.h"
#include "HardwarePlatform.h"
#include "HostBridgeFunction.h"
#include "PciFunction.h"
#include "PortLog.h"
#include "Uart16550.h"

namespace sim {

enum class RunEnd : uint8_t {
  Returned,  // the code under Run() returned
  Reset,     // it reset the board (a write with bit 2 set to port 0xCF9)
  Hung,      // it would never have returned; see HangCause
};

enum class HangCause : uint8_t {
  None,
  ErrorDisplay,  // the fatal-error display loop, after the back door answered 0
  NoProgress,    // too many accesses in a row without any write (an endless poll)
  TimeLimit,     // simulated time of the run went beyond its bound
};

const char *RunEndName(RunEnd end);
const char *HangCauseName(HangCause cause);
std::ostream &operator<<(std::ostream &out, RunEnd end);
std::ostream &operator<<(std::ostream &out, HangCause cause);

struct RunOutcome {
  RunEnd end = RunEnd::Returned;
  HangCause hang = HangCause::None;
  uint8_t resetValue = 0;        // Reset: the byte written to port 0xCF9
  uint32_t trapCode = 0;         // ErrorDisplay: the code written to port 0x80 after 0xDEAD
  std::vector<uint32_t> frames;  // ErrorDisplay: the frames the loop wrote to port 0x80
  TraceRecord lastAccess;        // Hung: the access at which the machine ended the run
  uint64_t startNs = 0;          // simulated time when the run began and ended
  uint64_t endNs = 0;

  std::string Describe() const;
};
std::ostream &operator<<(std::ostream &out, const RunOutcome &outcome);

// Bounds that end a run as Hung. They apply outside Run() too, where the
// machine then reports and aborts instead of spinning forever.
struct RunLimits {
  unsigned errorDisplayFrames = 12;  // two rounds of the six frames
  uint64_t accessesWithoutWrite = uint64_t{1} << 22;
  uint64_t runNanoseconds = 3600ull * 1000000000ull;  // one hour
};

// How waits advance the clock. A PAUSE or a time-stamp counter read advances
// it by a step: the first of a wait by `waitStepNs`, each later one by the
// time the wait has lasted so far divided by `waitGrowthDivisor` (at least
// `waitStepNs`). A wait is a run of PAUSEs and TSC reads with no other access
// between them. So a wait of duration D ends after about
// log(D / waitStepNs) / log(1 + 1 / divisor) iterations, at most D / divisor
// late.
struct TimeModel {
  uint64_t tscHz = 2000000000;  // 2 GHz, the core clock of P-state 0 by default
  uint64_t waitStepNs = 20;
  uint64_t waitGrowthDivisor = 16;
};

class Machine final : public HardwarePlatform {
 public:
  static constexpr uint64_t kEcamBase = 0xE0000000;
  static constexpr uint64_t kEcamSize = uint64_t{256} << 20;  // 256 buses
  static constexpr uint16_t kPostCodePort = 0x80;
  static constexpr uint16_t kErrorPostCodePort = 0xE0;
  static constexpr uint16_t kConfigAddressPort = 0xCF8;
  static constexpr uint16_t kResetControlPort = 0xCF9;
  static constexpr uint16_t kConfigDataPort = 0xCFC;
  static constexpr uint32_t kCpuidBackDoorLeaf = 0xBACCD00B;

  static constexpr uint32_t kMsrMmioConfigBase = 0xC0010058;
  static constexpr uint32_t kMsrPStateStatus = 0xC0010063;
  static constexpr uint32_t kMsrPStateDefinition0 = 0xC0010064;  // + n for P-state n
  static constexpr uint32_t kMsrDebugBreakpointControl = 0xC001100A;
  // ECAM at 0xE0000000, 256 buses (bits 5:2 = 8), enabled (bit 0).
  static constexpr uint64_t kDefaultMmioConfigBase = 0xE0000021;
  // P-state 0: enabled (bit 63), divisor ID 1 (bits 13:8), frequency ID 10
  // (bits 7:0): 10 x 200 MHz / 1 = 2 GHz, the default time-stamp counter rate.
  static constexpr uint64_t kDefaultPState0 = 0x800000000000010Aull;
  static constexpr uint64_t kDefaultDr7 = 0x400;
  static constexpr uint64_t kDefaultCr4 = 0x620;  // PAE, OSFXSR, OSXMMEXCPT

  // The machine uses `sharedClock` when given (the firmware core models
  // advance the same clock with their stall services), else a clock of its
  // own.
  explicit Machine(SimClock *sharedClock = nullptr);
  ~Machine() override;
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // The hardware-access interface reaches the newest live machine: a new
  // machine is active from its construction, and when it is destroyed the
  // one made before it is active again. Run() makes its machine active for
  // the run; Activate() makes an older machine active until the next change.
  void Activate();

  SimClock &Clock() { return *clock_; }
  AccessTrace &Trace() { return trace_; }
  RunLimits &Limits() { return limits_; }
  TimeModel &Timing() { return timing_; }

  // --- Running firmware ---
  // Runs `body` until it returns or the machine ends the run (reset, hang).
  // The machine ends a run by unwinding out of the body's frames with an
  // exception of its own: frames in between must not catch all exceptions,
  // and firmware frames (built without exceptions) are simply left.
  RunOutcome Run(const std::function<void()> &body);
  // Restarts the board as a reset does: devices, MSRs and registers back to
  // their described state, the time-stamp counter to 0; the CMOS NVRAM, the
  // clock, the trace and the recorded outputs are kept.
  void Restart();
  // A reset through a firmware service (e.g. a core model's ResetSystem):
  // restarts the board and ends the run as Reset, as a write to 0xCF9 does
  // (resetValue 0).
  [[noreturn]] void ResetBoard();
  // A stall service of a firmware core: advances the clock and is traced.
  // Cores that advance the shared clock directly are traced at the next
  // access.
  void Stall(uint64_t microseconds);

  // --- I/O and memory-mapped devices ---
  CmosRam &Cmos() { return cmos_; }
  Uart16550 &Uart() { return uart_; }  // at 0x3F8
  // Writes to the POST-code ports 0x80 and 0xE0, in order.
  PortLog &PostCodes() { return postCodes_; }
  HardwareDebugTool &DebugTool() { return debugTool_; }
  // A UART with registers 4 bytes apart at `base` (any address above 0xFFFF).
  Uart16550 &AddMmioUart(uint64_t base);
  // Attaches a device to ports first to first + count - 1 (replacing what was
  // there). The machine keeps the device it constructs; an attached reference
  // must outlive the machine.
  template <class Device, class... Args>
  Device &AddIoDevice(uint16_t firstPort, uint16_t count, Args &&...args) {
    auto device = std::make_unique<Device>(std::forward<Args>(args)...);
    Device &result = *device;
    AttachIo(firstPort, count, result);
    ownedIo_.push_back(std::move(device));
    return result;
  }
  void AttachIo(uint16_t firstPort, uint16_t count, IoDevice &device);
  void AttachMmio(uint64_t base, uint64_t size, MmioDevice &device);
  // What each byte of a memory read returns where nothing decodes the
  // address (outside configuration space): 0xFF, a master abort, by default.
  void SetUnclaimedReadByte(uint8_t byte) { unclaimedRead_ = byte; }

  // --- PCI ---
  PciFunction &AddPciFunction(PciAddress address, uint32_t idWord);
  PciFunction &AddPciBridge(PciAddress address, uint32_t idWord, uint8_t secondaryBus,
                            uint8_t subordinateBus);
  PciFunction *FindPciFunction(PciAddress address);
  void RemovePciFunction(PciAddress address);
  HostBridgeFunction &HostBridge() { return *hostBridge_; }
  void SetBusRange(unsigned group, uint8_t firstBus, uint8_t lastBus) {
    hostBridge_->SetBusRange(group, firstBus, lastBus);
  }
  static constexpr uint64_t EcamAddress(PciAddress address, uint16_t offset) {
    return kEcamBase + (static_cast<uint64_t>(address.Bdf()) << 12) + offset;
  }

  // --- Processor (description; values survive restarts) ---
  void SetMsr(uint32_t index, uint64_t value);
  uint64_t Msr(uint32_t index) const;  // current value, unknown MSRs 0
  void SetRegister(Register reg, uint64_t value);
  uint64_t RegisterValue(Register reg) const;
  // What the CPUID back door leaves in SI (0, as a real processor, by default).
  void SetCpuidBackDoorAnswer(uint16_t answer) { backDoorAnswer_ = answer; }
  uint64_t Tsc() const;  // current time-stamp counter, without an access
  void SetIdtBase(uintptr_t base) { idtBase_ = base; }
  uintptr_t DescribedIdtBase() const { return idtBase_; }
  // Places an IDT in storage of the machine, stores `wordBelowBase` in the
  // pointer-sized word just below its base (where PEI code looks for its
  // services pointer) and makes it the IDT base. Returns the base.
  uintptr_t PlaceIdt(uintptr_t wordBelowBase);
  // Whether the I/O breakpoint on `port` is armed: DR2 holds the port, DR7
  // enables breakpoint 2 (L2 or G2) for I/O (R/W2 = 10b), CR4.DE is set.
  bool IoBreakpointArmed(uint16_t port) const;

  // --- The hardware-access interface (every call is traced) ---
  uint32_t IoRead(uint16_t port, unsigned width) override;
  void IoWrite(uint16_t port, unsigned width, uint32_t value) override;
  uint32_t MmioRead(uint64_t address, unsigned width) override;
  void MmioWrite(uint64_t address, unsigned width, uint32_t value) override;
  uint64_t ReadMsr(uint32_t index) override;
  void WriteMsr(uint32_t index, uint64_t value) override;
  uint64_t ReadRegister(Register reg) override;
  void WriteRegister(Register reg, uint64_t value) override;
  uint16_t CpuidBackDoor(uint32_t eax, uint32_t ebx, uint32_t ecx) override;
  uint64_t ReadTsc() override;
  void Pause() override;
  uintptr_t IdtBase() override;
  void DebugToolHandOver(uint32_t edx, uint32_t eax, uint32_t ebx) override;

 private:
  class ConfigAddressPort;
  class ConfigDataPorts;
  class ResetControl;
  struct IoSlot {
    IoDevice *device;
    uint16_t base;
  };
  struct MmioRegion {
    uint64_t base;
    uint64_t size;
    MmioDevice *device;
  };
  enum class DisplayStage : uint8_t { Idle, DeadShown, CodeShown, Display };

  static std::vector<Machine *> &LiveMachines();
  void BeginAccess();
  void Account(const TraceRecord &record);
  void WatchErrorDisplay(const TraceRecord &record);
  void CheckBounds(const TraceRecord &record);
  [[noreturn]] void EndRun(RunOutcome outcome);
  void SyncStalls();
  void AdvanceWait();
  uint32_t DispatchIoRead(uint16_t port, unsigned width);
  void DispatchIoWrite(uint16_t port, unsigned width, uint32_t value);
  PciFunction *FunctionAt(uint16_t bdf);
  // The device behind a memory address outside ECAM: a mapped region first,
  // then a PCI function's decoded BAR or ROM window. Null when none claims it.
  MmioDevice *MmioDeviceAt(uint64_t address, uint64_t &deviceOffset);
  PciFunction &InsertFunction(std::unique_ptr<PciFunction> function);
  void UpdateMultiFunction(uint8_t bus, uint8_t device);

  std::unique_ptr<SimClock> ownClock_;
  SimClock *clock_;
  AccessTrace trace_;
  RunLimits limits_;
  TimeModel timing_;

  std::vector<uint16_t> ioMap_;  // port -> index into ioSlots_ (0: nothing)
  std::vector<IoSlot> ioSlots_;
  std::vector<IoDevice *> ioDevices_;  // each attached device once, for restarts
  std::vector<std::unique_ptr<IoDevice>> ownedIo_;
  std::vector<MmioRegion> mmioRegions_;
  std::vector<std::unique_ptr<Uart16550>> mmioUarts_;

  CmosRam cmos_;
  Uart16550 uart_;
  PortLog postCodes_;
  RecordingPort postCodePort_;
  RecordingPort errorPostCodePort_;
  HardwareDebugTool debugTool_;
  std::unique_ptr<ConfigAddressPort> configAddress_;
  std::unique_ptr<ConfigDataPorts> configData_;
  std::unique_ptr<ResetControl> resetControl_;

  std::map<uint16_t, std::unique_ptr<PciFunction>> functions_;
  HostBridgeFunction *hostBridge_;

  std::map<uint32_t, uint64_t> describedMsrs_;
  std::map<uint32_t, uint64_t> msrs_;
  uint64_t describedRegisters_[4] = {};
  uint64_t registers_[4] = {};
  uint16_t backDoorAnswer_ = 0;
  uint8_t unclaimedRead_ = 0xFF;
  uintptr_t idtBase_ = 0;
  std::unique_ptr<uintptr_t[]> idtStorage_;
  uint64_t tscEpochNs_ = 0;

  // Run state.
  bool running_ = false;
  bool ending_ = false;  // a run is being ended; any further access ends it again
  RunOutcome endingOutcome_;
  bool resetRequested_ = false;
  uint8_t resetValue_ = 0;
  uint64_t boundStartNs_ = 0;
  uint64_t accessesWithoutWrite_ = 0;
  uint64_t stallsSeenUs_ = 0;
  bool waitActive_ = false;
  uint64_t waitStartNs_ = 0;
  DisplayStage displayStage_ = DisplayStage::Idle;
  uint32_t displayCode_ = 0;
  std::vector<uint32_t> displayFrames_;
};

}  // namespace sim
