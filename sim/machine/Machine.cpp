#include "Machine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace sim {

void MachineMisuse(const char *format, ...) {
  std::fprintf(stderr, "simulated machine: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  std::abort();
}

namespace {

// Thrown to unwind out of the firmware's frames when the machine ends a run.
// Not derived from std::exception, so handlers for those do not take it.
struct RunEnded {};

constexpr uint64_t kNanosecondsPerSecond = 1000000000;

void CheckWidth(unsigned width) {
  if (width != 8 && width != 16 && width != 32) MachineMisuse("access width %u", width);
}

unsigned RegisterIndex(HardwarePlatform::Register reg) { return static_cast<unsigned>(reg); }

}  // namespace

// --- Run outcomes ---

const char *RunEndName(RunEnd end) {
  switch (end) {
    case RunEnd::Returned:
      return "Returned";
    case RunEnd::Reset:
      return "Reset";
    case RunEnd::Hung:
      return "Hung";
  }
  return "?";
}

const char *HangCauseName(HangCause cause) {
  switch (cause) {
    case HangCause::None:
      return "None";
    case HangCause::ErrorDisplay:
      return "ErrorDisplay";
    case HangCause::NoProgress:
      return "NoProgress";
    case HangCause::TimeLimit:
      return "TimeLimit";
  }
  return "?";
}

std::ostream &operator<<(std::ostream &out, RunEnd end) { return out << RunEndName(end); }
std::ostream &operator<<(std::ostream &out, HangCause cause) { return out << HangCauseName(cause); }

std::string RunOutcome::Describe() const {
  char text[160];
  std::string description = RunEndName(end);
  if (end == RunEnd::Reset) {
    std::snprintf(text, sizeof text, " (0x%02X to port 0xCF9)", resetValue);
    description += text;
  } else if (end == RunEnd::Hung) {
    description += std::string(" (") + HangCauseName(hang);
    if (hang == HangCause::ErrorDisplay) {
      std::snprintf(text, sizeof text, ", code 0x%X, frames", trapCode);
      description += text;
      for (uint32_t frame : frames) {
        std::snprintf(text, sizeof text, " %08X", frame);
        description += text;
      }
    } else {
      description += ", at " + lastAccess.ToString();
    }
    description += ")";
  }
  std::snprintf(text, sizeof text, " after %.6f ms simulated", (endNs - startNs) / 1e6);
  return description + text;
}

std::ostream &operator<<(std::ostream &out, const RunOutcome &outcome) {
  return out << outcome.Describe();
}

// --- Built-in chipset ports ---

class Machine::ConfigAddressPort final : public IoDevice {
 public:
  uint32_t IoRead(uint16_t, unsigned width) override {
    return width == 32 ? address : WidthMask(width);
  }
  void IoWrite(uint16_t, unsigned width, uint32_t value) override {
    if (width == 32) address = value;
  }
  void Restart() override { address = 0; }
  uint32_t address = 0;
};

// Bits 23:8 of the address register select the function; its low byte is the
// register, used as written (its low two bits are not cleared), plus the data
// port's offset.
class Machine::ConfigDataPorts final : public IoDevice {
 public:
  ConfigDataPorts(Machine &machine, const ConfigAddressPort &address)
      : machine_(machine), address_(address) {}
  uint32_t IoRead(uint16_t offset, unsigned width) override {
    PciFunction *function = Selected();
    return function ? function->ConfigRead(Register(offset), width) : WidthMask(width);
  }
  void IoWrite(uint16_t offset, unsigned width, uint32_t value) override {
    if (PciFunction *function = Selected()) function->ConfigWrite(Register(offset), width, value);
  }

 private:
  PciFunction *Selected() {
    if ((address_.address & 0x80000000u) == 0) return nullptr;
    return machine_.FunctionAt(static_cast<uint16_t>(address_.address >> 8));
  }
  uint16_t Register(uint16_t offset) const {
    return static_cast<uint16_t>((address_.address & 0xFF) + offset);
  }
  Machine &machine_;
  const ConfigAddressPort &address_;
};

// Reset control register: a write with bit 2 (reset CPU) set resets the board.
class Machine::ResetControl final : public IoDevice {
 public:
  explicit ResetControl(Machine &machine) : machine_(machine) {}
  uint32_t IoRead(uint16_t, unsigned width) override {
    return value_ | (WidthMask(width) & ~0xFFu);
  }
  void IoWrite(uint16_t, unsigned, uint32_t value) override {
    value_ = static_cast<uint8_t>(value);
    if (value_ & 0x4) {
      machine_.resetRequested_ = true;
      machine_.resetValue_ = value_;
    }
  }
  void Restart() override { value_ = 0; }

 private:
  Machine &machine_;
  uint8_t value_ = 0;
};

// --- Construction and description ---

Machine::Machine(SimClock *sharedClock)
    : ownClock_(sharedClock ? nullptr : std::make_unique<SimClock>()),
      clock_(sharedClock ? sharedClock : ownClock_.get()),
      ioMap_(65536, 0),
      ioSlots_(1, IoSlot{nullptr, 0}),
      postCodePort_(postCodes_, kPostCodePort, *clock_),
      errorPostCodePort_(postCodes_, kErrorPostCodePort, *clock_),
      debugTool_(*clock_),
      configAddress_(std::make_unique<ConfigAddressPort>()),
      configData_(std::make_unique<ConfigDataPorts>(*this, *configAddress_)),
      resetControl_(std::make_unique<ResetControl>(*this)) {
  AttachIo(CmosRam::kIndexPort, 2, cmos_);
  AttachIo(kPostCodePort, 1, postCodePort_);
  AttachIo(kErrorPostCodePort, 1, errorPostCodePort_);
  AttachIo(kConfigAddressPort, 1, *configAddress_);
  AttachIo(kResetControlPort, 1, *resetControl_);
  AttachIo(kConfigDataPort, 4, *configData_);
  AttachIo(Uart16550::kDefaultPort, 8, uart_);
  AttachIo(HardwareDebugTool::kHandOverPort, 1, debugTool_.HandOverPort());
  AttachIo(HardwareDebugTool::kStatusPort, 1, debugTool_.StatusPort());

  auto bridge = std::make_unique<HostBridgeFunction>();
  hostBridge_ = bridge.get();
  InsertFunction(std::move(bridge));

  SetMsr(kMsrMmioConfigBase, kDefaultMmioConfigBase);
  SetMsr(kMsrPStateStatus, 0);
  SetMsr(kMsrPStateDefinition0, kDefaultPState0);
  SetMsr(kMsrDebugBreakpointControl, 0);
  SetRegister(Register::Dr7, kDefaultDr7);
  SetRegister(Register::Cr4, kDefaultCr4);
  boundStartNs_ = tscEpochNs_ = clock_->NowNanoseconds();
  stallsSeenUs_ = clock_->StalledMicroseconds();
  LiveMachines().push_back(this);
  SetActivePlatform(this);
}

// The newest live machine is the active one; when it goes, the one made
// before it takes over again.
Machine::~Machine() {
  std::erase(LiveMachines(), this);
  if (ActivePlatform() == this) {
    SetActivePlatform(LiveMachines().empty() ? nullptr : LiveMachines().back());
  }
}

std::vector<Machine *> &Machine::LiveMachines() {
  static std::vector<Machine *> machines;
  return machines;
}

void Machine::Activate() { SetActivePlatform(this); }

void Machine::AttachIo(uint16_t firstPort, uint16_t count, IoDevice &device) {
  if (count == 0 || firstPort + count > 65536) {
    MachineMisuse("I/O range 0x%x + %u", static_cast<unsigned>(firstPort), count);
  }
  ioSlots_.push_back({&device, firstPort});
  std::fill_n(ioMap_.begin() + firstPort, count, static_cast<uint16_t>(ioSlots_.size() - 1));
  if (std::find(ioDevices_.begin(), ioDevices_.end(), &device) == ioDevices_.end()) {
    ioDevices_.push_back(&device);
  }
}

void Machine::AttachMmio(uint64_t base, uint64_t size, MmioDevice &device) {
  for (const MmioRegion &region : mmioRegions_) {
    if (base < region.base + region.size && region.base < base + size) {
      MachineMisuse("MMIO range 0x%llx + 0x%llx overlaps another",
                    static_cast<unsigned long long>(base), static_cast<unsigned long long>(size));
    }
  }
  if (base < kEcamBase + kEcamSize && kEcamBase < base + size) {
    MachineMisuse("MMIO range 0x%llx overlaps ECAM", static_cast<unsigned long long>(base));
  }
  mmioRegions_.push_back({base, size, &device});
}

Uart16550 &Machine::AddMmioUart(uint64_t base) {
  mmioUarts_.push_back(std::make_unique<Uart16550>(4));
  AttachMmio(base, 8 * 4, *mmioUarts_.back());
  return *mmioUarts_.back();
}

PciFunction &Machine::InsertFunction(std::unique_ptr<PciFunction> function) {
  uint16_t bdf = function->Address().Bdf();
  if (functions_.count(bdf) != 0) {
    PciAddress a = function->Address();
    MachineMisuse("a second PCI function at %02x:%02x.%x", a.bus, a.device, a.function);
  }
  PciFunction &result = *function;
  functions_[bdf] = std::move(function);
  UpdateMultiFunction(result.Address().bus, result.Address().device);
  return result;
}

// Function 0 of a device with more functions reports it in header type bit 7.
void Machine::UpdateMultiFunction(uint8_t bus, uint8_t device) {
  PciFunction *first = FindPciFunction({bus, device, 0});
  if (first == nullptr) return;
  bool more = false;
  for (uint8_t function = 1; function < 8; ++function) {
    more = more || FindPciFunction({bus, device, function}) != nullptr;
  }
  uint8_t headerType = first->Config8(0x0E);
  first->SetConfig8(0x0E, more ? headerType | 0x80 : headerType & 0x7F);
}

PciFunction &Machine::AddPciFunction(PciAddress address, uint32_t idWord) {
  return InsertFunction(std::make_unique<PciFunction>(address, idWord, false));
}

PciFunction &Machine::AddPciBridge(PciAddress address, uint32_t idWord, uint8_t secondaryBus,
                                   uint8_t subordinateBus) {
  PciFunction &bridge = InsertFunction(std::make_unique<PciFunction>(address, idWord, true));
  return bridge.SetBusNumbers(address.bus, secondaryBus, subordinateBus);
}

PciFunction *Machine::FindPciFunction(PciAddress address) { return FunctionAt(address.Bdf()); }

PciFunction *Machine::FunctionAt(uint16_t bdf) {
  auto it = functions_.find(bdf);
  return it == functions_.end() ? nullptr : it->second.get();
}

MmioDevice *Machine::MmioDeviceAt(uint64_t address, uint64_t &deviceOffset) {
  for (const MmioRegion &region : mmioRegions_) {
    if (address - region.base < region.size) {
      deviceOffset = address - region.base;
      return region.device;
    }
  }
  MmioDevice *device = nullptr;
  for (auto it = functions_.begin(); device == nullptr && it != functions_.end(); ++it) {
    it->second->ClaimMmio(address, device, deviceOffset);
  }
  return device;
}

void Machine::RemovePciFunction(PciAddress address) {
  if (address.Bdf() == 0) MachineMisuse("the host bridge cannot be removed");
  functions_.erase(address.Bdf());
  UpdateMultiFunction(address.bus, address.device);
}

void Machine::SetMsr(uint32_t index, uint64_t value) {
  describedMsrs_[index] = value;
  msrs_[index] = value;
}

uint64_t Machine::Msr(uint32_t index) const {
  auto it = msrs_.find(index);
  return it == msrs_.end() ? 0 : it->second;
}

void Machine::SetRegister(Register reg, uint64_t value) {
  describedRegisters_[RegisterIndex(reg)] = value;
  registers_[RegisterIndex(reg)] = value;
}

uint64_t Machine::RegisterValue(Register reg) const { return registers_[RegisterIndex(reg)]; }

uint64_t Machine::Tsc() const {
  uint64_t elapsed = clock_->NowNanoseconds() - tscEpochNs_;
  return elapsed / kNanosecondsPerSecond * timing_.tscHz +
         elapsed % kNanosecondsPerSecond * timing_.tscHz / kNanosecondsPerSecond;
}

uintptr_t Machine::PlaceIdt(uintptr_t wordBelowBase) {
  constexpr size_t kIdtBytes = 256 * 16;  // 256 gates of the widest (64-bit) form
  idtStorage_ = std::make_unique<uintptr_t[]>(1 + kIdtBytes / sizeof(uintptr_t));
  idtStorage_[0] = wordBelowBase;
  idtBase_ = reinterpret_cast<uintptr_t>(&idtStorage_[1]);
  return idtBase_;
}

bool Machine::IoBreakpointArmed(uint16_t port) const {
  uint64_t dr7 = RegisterValue(Register::Dr7);
  bool enabled = (dr7 & 0x30) != 0;         // L2 or G2
  bool forIo = ((dr7 >> 24) & 0x3) == 0x2;  // R/W2 = 10b: I/O reads and writes
  bool debugExtensions = (RegisterValue(Register::Cr4) & 0x8) != 0;
  return RegisterValue(Register::Dr2) == port && enabled && forIo && debugExtensions;
}

// --- Runs ---

RunOutcome Machine::Run(const std::function<void()> &body) {
  struct Restore {
    Machine &machine;
    HardwarePlatform *previousPlatform;
    bool previousRunning;
    uint64_t previousBoundStart;
    ~Restore() {
      machine.running_ = previousRunning;
      // An outer run keeps its own bound; outside runs it starts anew.
      machine.boundStartNs_ =
          previousRunning ? previousBoundStart : machine.clock_->NowNanoseconds();
      machine.ending_ = false;
      SetActivePlatform(previousPlatform);
    }
  } restore{*this, ActivePlatform(), running_, boundStartNs_};

  SetActivePlatform(this);
  running_ = true;
  ending_ = false;
  SyncStalls();
  boundStartNs_ = clock_->NowNanoseconds();
  accessesWithoutWrite_ = 0;
  waitActive_ = false;
  displayStage_ = DisplayStage::Idle;

  RunOutcome outcome;
  outcome.startNs = clock_->NowNanoseconds();
  try {
    body();
    outcome.end = RunEnd::Returned;
  } catch (const RunEnded &) {
    outcome = std::move(endingOutcome_);
  }
  SyncStalls();
  outcome.endNs = clock_->NowNanoseconds();
  return outcome;
}

void Machine::EndRun(RunOutcome outcome) {
  outcome.startNs = boundStartNs_;
  outcome.endNs = clock_->NowNanoseconds();
  if (!running_) {
    std::fprintf(
        stderr,
        "simulated machine: the firmware would never return: %s\n"
        "Run firmware that can reset or hang under Machine::Run. Last accesses:\n%s",
        outcome.Describe().c_str(),
        trace_.Dump(trace_.Records().size() > 20 ? trace_.Records().size() - 20 : 0).c_str());
    std::abort();
  }
  ending_ = true;
  endingOutcome_ = std::move(outcome);
  throw RunEnded{};
}

void Machine::Restart() {
  for (auto &entry : functions_) entry.second->Restart();
  for (IoDevice *device : ioDevices_) device->Restart();
  for (const MmioRegion &region : mmioRegions_) region.device->Restart();
  msrs_ = describedMsrs_;
  std::copy(std::begin(describedRegisters_), std::end(describedRegisters_), registers_);
  SyncStalls();
  tscEpochNs_ = clock_->NowNanoseconds();
  resetRequested_ = false;
  accessesWithoutWrite_ = 0;
  waitActive_ = false;
  displayStage_ = DisplayStage::Idle;
  trace_.Add({AccessKind::Restart, 0, 0, 0, 0, clock_->NowNanoseconds()});
}

void Machine::ResetBoard() {
  BeginAccess();
  RunOutcome outcome;
  outcome.end = RunEnd::Reset;
  outcome.lastAccess = trace_.Records().empty() ? TraceRecord{} : trace_.Records().back();
  Restart();
  EndRun(std::move(outcome));
}

void Machine::Stall(uint64_t microseconds) {
  clock_->Stall(microseconds);
  SyncStalls();
  waitActive_ = false;
  if (clock_->NowNanoseconds() - boundStartNs_ > limits_.runNanoseconds) {
    RunOutcome outcome;
    outcome.end = RunEnd::Hung;
    outcome.hang = HangCause::TimeLimit;
    outcome.lastAccess = trace_.Records().empty() ? TraceRecord{} : trace_.Records().back();
    EndRun(std::move(outcome));
  }
}

// Stalls that a firmware core made on the shared clock since the last access
// enter the trace as one record, dated where they began.
void Machine::SyncStalls() {
  uint64_t stalled = clock_->StalledMicroseconds();
  if (stalled == stallsSeenUs_) return;
  uint64_t delta = stalled - stallsSeenUs_;
  stallsSeenUs_ = stalled;
  uint64_t now = clock_->NowNanoseconds();
  uint64_t began = now >= delta * 1000 ? now - delta * 1000 : 0;
  trace_.Add({AccessKind::Stall, 0, 0, delta, 0, began});
}

void Machine::BeginAccess() {
  // Code that caught the machine's unwinding and went on is stopped again.
  if (ending_) throw RunEnded{};
  SyncStalls();
}

void Machine::Account(const TraceRecord &record) {
  if (record.kind != AccessKind::Pause && record.kind != AccessKind::TscRead) waitActive_ = false;
  trace_.Add(record);
  accessesWithoutWrite_ = IsWriteKind(record.kind) ? 0 : accessesWithoutWrite_ + 1;
  if (resetRequested_) {
    RunOutcome outcome;
    outcome.end = RunEnd::Reset;
    outcome.resetValue = resetValue_;
    outcome.lastAccess = record;
    Restart();
    EndRun(std::move(outcome));
  }
  WatchErrorDisplay(record);
  CheckBounds(record);
}

// The fatal-error trap writes 0xDEAD (16 bits) to port 0xE0 and its code
// (32 bits) to port 0x80, asks the CPUID back door, and on answer 0 shows
// frames on port 0x80 forever, waiting between them with MSR reads, TSC reads
// and PAUSE. After the bounded number of frames the run ends as hung.
void Machine::WatchErrorDisplay(const TraceRecord &record) {
  bool frameWrite =
      record.kind == AccessKind::IoWrite && record.address == kPostCodePort && record.width == 32;
  switch (displayStage_) {
    case DisplayStage::Display:
      if (frameWrite) {
        displayFrames_.push_back(static_cast<uint32_t>(record.value));
        if (displayFrames_.size() >= limits_.errorDisplayFrames) {
          RunOutcome outcome;
          outcome.end = RunEnd::Hung;
          outcome.hang = HangCause::ErrorDisplay;
          outcome.trapCode = displayCode_;
          outcome.frames = displayFrames_;
          outcome.lastAccess = record;
          displayStage_ = DisplayStage::Idle;
          EndRun(std::move(outcome));
        }
        return;
      }
      if (record.kind == AccessKind::MsrRead || record.kind == AccessKind::TscRead ||
          record.kind == AccessKind::Pause) {
        return;
      }
      break;
    case DisplayStage::CodeShown:
      if (record.kind == AccessKind::CpuidBackDoor && record.value == 0) {
        displayStage_ = DisplayStage::Display;
        displayFrames_.clear();
        return;
      }
      break;
    case DisplayStage::DeadShown:
      if (frameWrite) {
        displayCode_ = static_cast<uint32_t>(record.value);
        displayStage_ = DisplayStage::CodeShown;
        return;
      }
      break;
    case DisplayStage::Idle:
      break;
  }
  bool deadShown = record.kind == AccessKind::IoWrite && record.address == kErrorPostCodePort &&
                   record.width == 16 && record.value == 0xDEAD;
  displayStage_ = deadShown ? DisplayStage::DeadShown : DisplayStage::Idle;
}

void Machine::CheckBounds(const TraceRecord &record) {
  HangCause cause = HangCause::None;
  if (accessesWithoutWrite_ > limits_.accessesWithoutWrite) {
    cause = HangCause::NoProgress;
  } else if (clock_->NowNanoseconds() - boundStartNs_ > limits_.runNanoseconds) {
    cause = HangCause::TimeLimit;
  }
  if (cause == HangCause::None) return;
  RunOutcome outcome;
  outcome.end = RunEnd::Hung;
  outcome.hang = cause;
  outcome.lastAccess = record;
  accessesWithoutWrite_ = 0;
  EndRun(std::move(outcome));
}

void Machine::AdvanceWait() {
  uint64_t now = clock_->NowNanoseconds();
  uint64_t step = timing_.waitStepNs;
  if (!waitActive_) {
    waitActive_ = true;
    waitStartNs_ = now;
  } else {
    step = std::max(step, (now - waitStartNs_) / std::max<uint64_t>(timing_.waitGrowthDivisor, 1));
  }
  clock_->AdvanceNanoseconds(step);
}

// --- The hardware-access interface ---

uint32_t Machine::DispatchIoRead(uint16_t port, unsigned width) {
  const IoSlot &slot = ioSlots_[ioMap_[port]];
  if (slot.device == nullptr) return WidthMask(width);
  return slot.device->IoRead(static_cast<uint16_t>(port - slot.base), width) & WidthMask(width);
}

void Machine::DispatchIoWrite(uint16_t port, unsigned width, uint32_t value) {
  const IoSlot &slot = ioSlots_[ioMap_[port]];
  if (slot.device != nullptr) {
    slot.device->IoWrite(static_cast<uint16_t>(port - slot.base), width, value & WidthMask(width));
  }
}

uint32_t Machine::IoRead(uint16_t port, unsigned width) {
  CheckWidth(width);
  BeginAccess();
  uint32_t value = DispatchIoRead(port, width);
  Account(
      {AccessKind::IoRead, static_cast<uint8_t>(width), port, value, 0, clock_->NowNanoseconds()});
  return value;
}

void Machine::IoWrite(uint16_t port, unsigned width, uint32_t value) {
  CheckWidth(width);
  BeginAccess();
  value &= WidthMask(width);
  DispatchIoWrite(port, width, value);
  Account(
      {AccessKind::IoWrite, static_cast<uint8_t>(width), port, value, 0, clock_->NowNanoseconds()});
}

uint32_t Machine::MmioRead(uint64_t address, unsigned width) {
  CheckWidth(width);
  BeginAccess();
  uint32_t value = WidthMask(width);
  if (address - kEcamBase < kEcamSize) {
    uint64_t offset = address - kEcamBase;
    if (PciFunction *function = FunctionAt(static_cast<uint16_t>(offset >> 12))) {
      value = function->ConfigRead(static_cast<uint16_t>(offset & 0xFFF), width);
    }
  } else {
    uint64_t deviceOffset = 0;
    MmioDevice *device = MmioDeviceAt(address, deviceOffset);
    value = device != nullptr ? device->MmioRead(deviceOffset, width) & WidthMask(width)
                              : (unclaimedRead_ * 0x01010101u) & WidthMask(width);
  }
  Account({AccessKind::MmioRead, static_cast<uint8_t>(width), address, value, 0,
           clock_->NowNanoseconds()});
  return value;
}

void Machine::MmioWrite(uint64_t address, unsigned width, uint32_t value) {
  CheckWidth(width);
  BeginAccess();
  value &= WidthMask(width);
  if (address - kEcamBase < kEcamSize) {
    uint64_t offset = address - kEcamBase;
    if (PciFunction *function = FunctionAt(static_cast<uint16_t>(offset >> 12))) {
      function->ConfigWrite(static_cast<uint16_t>(offset & 0xFFF), width, value);
    }
  } else {
    uint64_t deviceOffset = 0;
    MmioDevice *device = MmioDeviceAt(address, deviceOffset);
    if (device != nullptr) device->MmioWrite(deviceOffset, width, value);
  }
  Account({AccessKind::MmioWrite, static_cast<uint8_t>(width), address, value, 0,
           clock_->NowNanoseconds()});
}

uint64_t Machine::ReadMsr(uint32_t index) {
  BeginAccess();
  uint64_t value = Msr(index);
  Account({AccessKind::MsrRead, 64, index, value, 0, clock_->NowNanoseconds()});
  return value;
}

void Machine::WriteMsr(uint32_t index, uint64_t value) {
  BeginAccess();
  msrs_[index] = value;
  Account({AccessKind::MsrWrite, 64, index, value, 0, clock_->NowNanoseconds()});
}

uint64_t Machine::ReadRegister(Register reg) {
  BeginAccess();
  uint64_t value = RegisterValue(reg);
  Account({AccessKind::RegisterRead, 64, RegisterIndex(reg), value, 0, clock_->NowNanoseconds()});
  return value;
}

void Machine::WriteRegister(Register reg, uint64_t value) {
  BeginAccess();
  registers_[RegisterIndex(reg)] = value;
  Account({AccessKind::RegisterWrite, 64, RegisterIndex(reg), value, 0, clock_->NowNanoseconds()});
}

// Only the back-door leaf is answered; any other leaf leaves SI as it was (0).
uint16_t Machine::CpuidBackDoor(uint32_t eax, uint32_t ebx, uint32_t ecx) {
  BeginAccess();
  uint16_t answer = eax == kCpuidBackDoorLeaf ? backDoorAnswer_ : 0;
  Account({AccessKind::CpuidBackDoor, 16, ecx, answer, eax | static_cast<uint64_t>(ebx) << 32,
           clock_->NowNanoseconds()});
  return answer;
}

uint64_t Machine::ReadTsc() {
  BeginAccess();
  uint64_t began = clock_->NowNanoseconds();
  AdvanceWait();
  uint64_t value = Tsc();
  Account({AccessKind::TscRead, 64, 0, value, 0, began});
  return value;
}

void Machine::Pause() {
  BeginAccess();
  uint64_t began = clock_->NowNanoseconds();
  AdvanceWait();
  Account({AccessKind::Pause, 0, 0, 0, 0, began});
}

uintptr_t Machine::IdtBase() {
  BeginAccess();
  Account({AccessKind::IdtBaseRead, static_cast<uint8_t>(8 * sizeof(uintptr_t)), 0, idtBase_, 0,
           clock_->NowNanoseconds()});
  return idtBase_;
}

// The hand-over is a 32-bit write of EAX to the port in DX. The debug tool
// takes it at its port; elsewhere it is an ordinary port write.
void Machine::DebugToolHandOver(uint32_t edx, uint32_t eax, uint32_t ebx) {
  BeginAccess();
  uint16_t port = static_cast<uint16_t>(edx);
  if (port == HardwareDebugTool::kHandOverPort) {
    debugTool_.AddHandOver({edx, eax, ebx, IoBreakpointArmed(port), clock_->NowNanoseconds()});
  } else {
    DispatchIoWrite(port, 32, eax);
  }
  Account({AccessKind::DebugToolHandOver, 32, edx, eax, ebx, clock_->NowNanoseconds()});
}

}  // namespace sim
