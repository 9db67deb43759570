#include "EmulatedCpu.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "hw/HwAccess.h"

namespace sim {

namespace {

constexpr uint64_t kPageSize = 0x1000;
// Where a call into the image returns to: inside the null region, so no
// instruction can ever be fetched there.
constexpr uint64_t kReturnGate = kNullRegionSize - kPageSize;
// Bytes kept free above the first frame: a callee may read its caller's
// shadow space and stack arguments.
constexpr uint64_t kStackHeadroom = 0x100;
// Integer arguments a call into the simulator passes: four in registers,
// the rest from the stack. Functions with fewer ignore the others.
constexpr size_t kHostCallArgs = 12;
constexpr uint64_t kDebugToolPort = 0x99CC;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Bytes(const uint8_t *bytes, size_t count) {
  std::string text;
  for (size_t index = 0; index < count; index++) {
    char part[4];
    std::snprintf(part, sizeof part, "%s%02X", index == 0 ? "" : " ", bytes[index]);
    text += part;
  }
  return text;
}

// General-purpose registers by their encoding number (REX bit + 3 bits).
constexpr int kGpr[16] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                          UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI,
                          UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
                          UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};

// Opcode bytes after 0x0F that are hardware instructions (handled or not);
// any instruction start up to five bytes (prefixes, REX) before one is
// watched.
bool IsWatchedTwoByte(uint8_t op) {
  switch (op) {
    case 0x00:
    case 0x01:
    case 0x05:
    case 0x06:
    case 0x07:
    case 0x08:
    case 0x09:
    case 0x20:
    case 0x21:
    case 0x22:
    case 0x23:
    case 0x30:
    case 0x31:
    case 0x32:
    case 0x33:
    case 0x34:
    case 0x35:
    case 0x78:
    case 0x79:
    case 0xA2:
    case 0xAA:
      return true;
    default:
      return false;
  }
}

bool IsWatchedOneByte(uint8_t op) {
  return (op >= 0xE4 && op <= 0xE7) || (op >= 0xEC && op <= 0xEF) || (op >= 0x6C && op <= 0x6F) ||
         op == 0xF4 || op == 0xFA || op == 0xFB || op == 0xCF;
}

constexpr size_t kLongestPrefix = 5;
// Watched ranges closer than this are watched as one: the emulator checks
// every watch at each watched instruction, so a few wider watches cost less
// than many narrow ones.
constexpr uint64_t kWatchMergeDistance = 256;

}  // namespace

// A page of device space: loads and stores there are accesses of the active
// simulated machine.
struct EmulatedCpu::DevicePage {
  EmulatedCpu *cpu;
  uint64_t base;
};

class EmulatedCpu::Hooks {
 public:
  static void Code(uc_engine *, uint64_t address, uint32_t, void *user) {
    auto *cpu = static_cast<EmulatedCpu *>(user);
    try {
      Hardware(*cpu, address);
    } catch (...) {
      cpu->Capture();
    }
  }

  static void Interrupt(uc_engine *, uint32_t number, void *user) {
    auto *cpu = static_cast<EmulatedCpu *>(user);
    const uint64_t rip = cpu->Reg(UC_X86_REG_RIP);
    cpu->Fail("the image raised exception " + std::to_string(number) + " at " + cpu->Where(rip));
  }

  static bool InvalidInstruction(uc_engine *, void *user) {
    auto *cpu = static_cast<EmulatedCpu *>(user);
    const uint64_t rip = cpu->Reg(UC_X86_REG_RIP);
    cpu->Fail("invalid instruction at " + cpu->Where(rip));
    return false;
  }

  static bool Unmapped(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t,
                       void *user) {
    auto *cpu = static_cast<EmulatedCpu *>(user);
    if (type == UC_MEM_FETCH_UNMAPPED) return false;  // a call into the simulator, or a fault
    const uint64_t rip = cpu->Reg(UC_X86_REG_RIP);
    const char *verb = type == UC_MEM_WRITE_UNMAPPED ? "write" : "read";
    if (address < kNullRegionSize) {
      cpu->Fail("the image " + std::string(verb) + "s address " + Hex(address) + " (" +
                std::to_string(size) + " bytes) at " + cpu->Where(rip) +
                ": a null pointer, not memory or a device");
      return false;
    }
    const uint64_t page = address & ~(kPageSize - 1);
    const int protection = cpu->HostProtection(page);
    if (protection != 0) {
      // The simulator's own memory, reached through a pointer it handed out.
      return uc_mem_map_ptr(uc, page, kPageSize, static_cast<uint32_t>(protection),
                            reinterpret_cast<void *>(page)) == UC_ERR_OK;
    }
    cpu->devicePages_.push_back(DevicePage{cpu, page});
    return uc_mmio_map(uc, page, kPageSize, DeviceRead, &cpu->devicePages_.back(), DeviceWrite,
                       &cpu->devicePages_.back()) == UC_ERR_OK;
  }

  static uint64_t DeviceRead(uc_engine *, uint64_t offset, unsigned size, void *user) {
    auto *page = static_cast<DevicePage *>(user);
    try {
      const uint64_t address = page->base + offset;
      switch (size) {
        case 1:
          return HwMmioRead8(static_cast<UINTN>(address));
        case 2:
          return HwMmioRead16(static_cast<UINTN>(address));
        case 4:
          return HwMmioRead32(static_cast<UINTN>(address));
        default:
          page->cpu->Fail(std::to_string(size * 8) + "-bit read of device memory at " +
                          Hex(address) + " from " +
                          page->cpu->Where(page->cpu->Reg(UC_X86_REG_RIP)));
      }
    } catch (...) {
      page->cpu->Capture();
    }
    return 0;
  }

  static void DeviceWrite(uc_engine *, uint64_t offset, unsigned size, uint64_t value, void *user) {
    auto *page = static_cast<DevicePage *>(user);
    try {
      const uint64_t address = page->base + offset;
      switch (size) {
        case 1:
          HwMmioWrite8(static_cast<UINTN>(address), static_cast<UINT8>(value));
          break;
        case 2:
          HwMmioWrite16(static_cast<UINTN>(address), static_cast<UINT16>(value));
          break;
        case 4:
          HwMmioWrite32(static_cast<UINTN>(address), static_cast<UINT32>(value));
          break;
        default:
          page->cpu->Fail(std::to_string(size * 8) + "-bit write of device memory at " +
                          Hex(address) + " from " +
                          page->cpu->Where(page->cpu->Reg(UC_X86_REG_RIP)));
      }
    } catch (...) {
      page->cpu->Capture();
    }
  }

 private:
  // Carries out the hardware instruction at `address`, if it is one, and
  // steps past it; any other instruction runs on.
  static void Hardware(EmulatedCpu &cpu, uint64_t address) {
    const auto *code = reinterpret_cast<const uint8_t *>(address);
    size_t at = 0;
    bool operand16 = false, repeat = false;
    uint8_t rex = 0;
    for (;; at++) {
      const uint8_t byte = code[at];
      if (byte == 0x66) {
        operand16 = true;
      } else if (byte == 0xF3) {
        repeat = true;
      } else if (byte == 0xF2 || byte == 0x67 || byte == 0xF0 || byte == 0x2E || byte == 0x36 ||
                 byte == 0x3E || byte == 0x26 || byte == 0x64 || byte == 0x65) {
      } else {
        break;
      }
      if (at == 14) return;
    }
    if ((code[at] & 0xF0) == 0x40) rex = code[at++];
    const uint8_t op = code[at];
    const unsigned wide = operand16 ? 16 : 32;
    size_t length = at + 1;
    auto unsupported = [&](const char *what) {
      cpu.Fail(std::string("the image executes ") + what + " (" + Bytes(code, length) + ") at " +
               cpu.Where(address) + ", which the simulated platform cannot carry out");
    };
    switch (op) {
      case 0xE4:
      case 0xE5:
      case 0xEC:
      case 0xED: {  // IN
        const bool immediate = op == 0xE4 || op == 0xE5;
        const auto port = static_cast<uint16_t>(immediate ? code[at + 1] : cpu.Reg(UC_X86_REG_RDX));
        length += immediate ? 1 : 0;
        const unsigned width = (op == 0xE4 || op == 0xEC) ? 8 : wide;
        const uint64_t rax = cpu.Reg(UC_X86_REG_RAX);
        cpu.counts_.hardwareInstructions++;
        if (width == 8) {
          cpu.SetReg(UC_X86_REG_RAX, (rax & ~0xFFull) | HwIoRead8(port));
        } else if (width == 16) {
          cpu.SetReg(UC_X86_REG_RAX, (rax & ~0xFFFFull) | HwIoRead16(port));
        } else {
          cpu.SetReg(UC_X86_REG_RAX, HwIoRead32(port));
        }
        break;
      }
      case 0xE6:
      case 0xE7:
      case 0xEE:
      case 0xEF: {  // OUT
        const bool immediate = op == 0xE6 || op == 0xE7;
        const uint64_t rdx = cpu.Reg(UC_X86_REG_RDX);
        const auto port = static_cast<uint16_t>(immediate ? code[at + 1] : rdx);
        length += immediate ? 1 : 0;
        const unsigned width = (op == 0xE6 || op == 0xEE) ? 8 : wide;
        const uint64_t rax = cpu.Reg(UC_X86_REG_RAX);
        cpu.counts_.hardwareInstructions++;
        if (width == 8) {
          HwIoWrite8(port, static_cast<UINT8>(rax));
        } else if (width == 16) {
          HwIoWrite16(port, static_cast<UINT16>(rax));
        } else if (!immediate && port == kDebugToolPort) {
          // The debug tool's I/O breakpoint takes this write with EBX.
          HwDebugToolHandOver(static_cast<UINT32>(rdx), static_cast<UINT32>(rax),
                              static_cast<UINT32>(cpu.Reg(UC_X86_REG_RBX)));
        } else {
          HwIoWrite32(port, static_cast<UINT32>(rax));
        }
        break;
      }
      case 0x90:
        if (!repeat || rex != 0) return;  // NOP
        cpu.counts_.hardwareInstructions++;
        HwPause();
        break;
      case 0x0F: {
        const uint8_t second = code[at + 1];
        length = at + 2;
        if (!IsWatchedTwoByte(second)) return;
        cpu.counts_.hardwareInstructions++;
        switch (second) {
          case 0x31: {  // RDTSC
            const uint64_t tsc = HwReadTsc();
            cpu.SetReg(UC_X86_REG_RAX, tsc & 0xFFFFFFFF);
            cpu.SetReg(UC_X86_REG_RDX, tsc >> 32);
            break;
          }
          case 0x32: {  // RDMSR
            const uint64_t value = HwReadMsr(static_cast<UINT32>(cpu.Reg(UC_X86_REG_RCX)));
            cpu.SetReg(UC_X86_REG_RAX, value & 0xFFFFFFFF);
            cpu.SetReg(UC_X86_REG_RDX, value >> 32);
            break;
          }
          case 0x30:  // WRMSR
            HwWriteMsr(static_cast<UINT32>(cpu.Reg(UC_X86_REG_RCX)),
                       (cpu.Reg(UC_X86_REG_RDX) << 32) | (cpu.Reg(UC_X86_REG_RAX) & 0xFFFFFFFF));
            break;
          case 0xA2: {  // CPUID: only the back door has an answer (in SI)
            const uint16_t answer = HwCpuidBackDoor(static_cast<UINT32>(cpu.Reg(UC_X86_REG_RAX)),
                                                    static_cast<UINT32>(cpu.Reg(UC_X86_REG_RBX)),
                                                    static_cast<UINT32>(cpu.Reg(UC_X86_REG_RCX)));
            for (int reg : {UC_X86_REG_RAX, UC_X86_REG_RBX, UC_X86_REG_RCX, UC_X86_REG_RDX}) {
              cpu.SetReg(reg, 0);
            }
            cpu.SetReg(UC_X86_REG_RSI, (cpu.Reg(UC_X86_REG_RSI) & ~0xFFFFull) | answer);
            break;
          }
          case 0x20:
          case 0x21:
          case 0x22:
          case 0x23: {  // MOV to or from CRn / DRn
            const uint8_t modrm = code[at + 2];
            length = at + 3;
            const unsigned number = ((rex & 4u) << 1) | ((modrm >> 3) & 7u);
            const int gpr = kGpr[((rex & 1u) << 3) | (modrm & 7u)];
            const bool debug = second == 0x21 || second == 0x23;
            const bool toRegister = second == 0x22 || second == 0x23;
            if ((modrm >> 6) != 3) {
              unsupported("a control-register move with a memory operand");
              return;
            }
            const char *name = debug ? (number == 2   ? "Dr2"
                                        : number == 3 ? "Dr3"
                                        : number == 7 ? "Dr7"
                                                      : nullptr)
                                     : (number == 4 ? "Cr4" : nullptr);
            if (name == nullptr) {
              const std::string what = std::string(toRegister ? "a write of " : "a read of ") +
                                       (debug ? "DR" : "CR") + std::to_string(number);
              unsupported(what.c_str());
              return;
            }
            const uint64_t value = toRegister ? cpu.Reg(gpr) : 0;
            uint64_t result = 0;
            switch (debug ? number : 100 + number) {
              case 2:
                if (toRegister)
                  HwWriteDr2(value);
                else
                  result = HwReadDr2();
                break;
              case 3:
                if (toRegister)
                  HwWriteDr3(value);
                else
                  result = HwReadDr3();
                break;
              case 7:
                if (toRegister)
                  HwWriteDr7(value);
                else
                  result = HwReadDr7();
                break;
              default:
                if (toRegister)
                  HwWriteCr4(value);
                else
                  result = HwReadCr4();
                break;
            }
            if (!toRegister) cpu.SetReg(gpr, result);
            break;
          }
          default:
            unsupported("a system instruction");
            return;
        }
        break;
      }
      case 0xF4:
        unsupported("HLT");
        return;
      case 0xFA:
      case 0xFB:
        unsupported("an interrupt-flag instruction");
        return;
      case 0x6C:
      case 0x6D:
      case 0x6E:
      case 0x6F:
        unsupported("a string port instruction");
        return;
      case 0xCF:
        unsupported("IRET");
        return;
      default:
        return;
    }
    cpu.SetReg(UC_X86_REG_RIP, address + length);
  }
};

EmulatedCpu::EmulatedCpu() {
  Check(uc_open(UC_ARCH_X86, UC_MODE_64, &uc_), "open the x86-64 emulator");
  uc_hook hook;
  Check(
      uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void *>(Hooks::Interrupt), this, 1, 0),
      "watch exceptions");
  Check(uc_hook_add(uc_, &hook, UC_HOOK_INSN_INVALID,
                    reinterpret_cast<void *>(Hooks::InvalidInstruction), this, 1, 0),
        "watch invalid instructions");
  Check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void *>(Hooks::Unmapped),
                    this, 1, 0),
        "watch accesses outside memory");
  ReadHostMaps();
}

void EmulatedCpu::MapDevices(uint64_t base, uint64_t size) {
  devicePages_.push_back(DevicePage{this, base});
  Check(uc_mmio_map(uc_, base, size, Hooks::DeviceRead, &devicePages_.back(), Hooks::DeviceWrite,
                    &devicePages_.back()),
        "map device memory");
}

EmulatedCpu::~EmulatedCpu() {
  if (ActiveFirmwareProcessor() == this) SetActiveFirmwareProcessor(nullptr);
  if (uc_ != nullptr) uc_close(uc_);
}

void EmulatedCpu::Check(int error, const char *what) const {
  if (error != UC_ERR_OK) {
    throw CpuError(std::string("the emulated processor cannot ") + what + ": " +
                   uc_strerror(static_cast<uc_err>(error)));
  }
}

void EmulatedCpu::MapMemory(uint64_t base, uint64_t size) {
  Check(uc_mem_map_ptr(uc_, base, size, UC_PROT_ALL, reinterpret_cast<void *>(base)), "map memory");
}

void EmulatedCpu::SetStack(uint64_t base, uint64_t size) { stackTop_ = base + size; }

void EmulatedCpu::AddImage(const std::string &name, uint64_t base, uint64_t size,
                           const std::vector<std::pair<uint64_t, uint64_t>> &codeRanges) {
  images_.push_back({name, base, size});
  for (const auto &[start, end] : codeRanges) WatchCode(start, end);
}

// Watches every instruction start that may begin a hardware instruction: up
// to five bytes before each opcode byte that can be one.
void EmulatedCpu::WatchCode(uint64_t start, uint64_t end) {
  const auto *code = reinterpret_cast<const uint8_t *>(start);
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (uint64_t offset = 0; offset < end - start; offset++) {
    const uint8_t byte = code[offset];
    const bool watched =
        IsWatchedOneByte(byte) ||
        (offset + 1 < end - start && ((byte == 0x0F && IsWatchedTwoByte(code[offset + 1])) ||
                                      (byte == 0xF3 && code[offset + 1] == 0x90)));
    if (!watched) continue;
    const uint64_t first = start + (offset >= kLongestPrefix ? offset - kLongestPrefix : 0);
    const uint64_t last = start + offset;
    if (!ranges.empty() && first <= ranges.back().second + kWatchMergeDistance) {
      ranges.back().second = last;
    } else {
      ranges.emplace_back(first, last);
    }
  }
  for (const auto &[first, last] : ranges) {
    uc_hook hook;
    Check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(Hooks::Code), this, first,
                      last),
          "watch hardware instructions");
    counts_.watchedRanges++;
  }
}

bool EmulatedCpu::RunsCode(uintptr_t address) const {
  return std::any_of(images_.begin(), images_.end(),
                     [&](const Image &image) { return address - image.base < image.size; });
}

std::string EmulatedCpu::Where(uint64_t address) const {
  for (const Image &image : images_) {
    if (address - image.base < image.size) return image.name + "+" + Hex(address - image.base);
  }
  return Hex(address);
}

uint64_t EmulatedCpu::Reg(int reg) const {
  uint64_t value = 0;
  uc_reg_read(uc_, reg, &value);
  return value;
}

void EmulatedCpu::SetReg(int reg, uint64_t value) { uc_reg_write(uc_, reg, &value); }

void EmulatedCpu::Fail(std::string message) {
  if (!pending_) pending_ = std::make_exception_ptr(CpuError(std::move(message)));
  uc_emu_stop(uc_);
}

// Keeps the first exception a hook saw (the machine ending the run, or an
// error) for the caller of the emulator, which rethrows it: exceptions must
// not unwind through the emulator's frames.
void EmulatedCpu::Capture() {
  if (!pending_) pending_ = std::current_exception();
  uc_emu_stop(uc_);
}

void EmulatedCpu::ThrowPending() {
  if (pending_) {
    std::exception_ptr error = pending_;
    pending_ = nullptr;
    std::rethrow_exception(error);
  }
}

uint64_t EmulatedCpu::Call(uintptr_t address, const uint64_t *args, size_t count) {
  if (stackTop_ == 0) throw CpuError("the emulated processor has no stack");
  counts_.imageCalls++;
  // A call while the image waits in a call of its own: keep its registers
  // and continue below its stack pointer.
  uc_context *saved = nullptr;
  uint64_t rsp = stackTop_ - kStackHeadroom;
  if (depth_ > 0) {
    Check(uc_context_alloc(uc_, &saved), "save the processor state");
    uc_context_save(uc_, saved);
    rsp = Reg(UC_X86_REG_RSP);
  }
  struct Restore {
    EmulatedCpu &cpu;
    uc_context *saved;
    ~Restore() {
      if (saved != nullptr) {
        uc_context_restore(cpu.uc_, saved);
        uc_context_free(saved);
      }
      cpu.depth_--;
    }
  } restore{*this, saved};
  depth_++;

  const size_t onStack = count > 4 ? count - 4 : 0;
  rsp = (rsp - 8 * onStack - 0x20) & ~uint64_t{0xF};  // shadow space + stack arguments, aligned
  rsp -= 8;                                           // the return address
  auto *frame = reinterpret_cast<uint64_t *>(rsp);
  frame[0] = kReturnGate;
  for (size_t index = 0; index < onStack; index++) frame[5 + index] = args[4 + index];
  const int argumentRegisters[4] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};
  for (size_t index = 0; index < 4; index++) {
    SetReg(argumentRegisters[index], index < count ? args[index] : 0);
  }
  SetReg(UC_X86_REG_RSP, rsp);
  RunUntilReturn(address);
  return Reg(UC_X86_REG_RAX);
}

void EmulatedCpu::RunUntilReturn(uint64_t start) {
  uint64_t rip = start;
  for (;;) {
    const uc_err error = uc_emu_start(uc_, rip, kReturnGate, 0, 0);
    ThrowPending();
    rip = Reg(UC_X86_REG_RIP);
    if (error == UC_ERR_OK && rip == kReturnGate) return;
    if ((error == UC_ERR_FETCH_UNMAPPED || error == UC_ERR_FETCH_PROT) && IsHostCode(rip)) {
      CallHost(rip);
      rip = Reg(UC_X86_REG_RIP);
      continue;
    }
    if (error == UC_ERR_FETCH_UNMAPPED || error == UC_ERR_FETCH_PROT) {
      throw CpuError("the image jumped to " + Hex(rip) + ", which is not code");
    }
    throw CpuError(std::string("the image stopped at ") + Where(rip) + ": " + uc_strerror(error));
  }
}

// The image called a function of the simulator: run it natively with the
// x64 calling convention's arguments, then return to the image.
void EmulatedCpu::CallHost(uint64_t function) {
  counts_.hostCalls++;
  const uint64_t rsp = Reg(UC_X86_REG_RSP);
  const auto *stack = reinterpret_cast<const uint64_t *>(rsp);
  uint64_t args[kHostCallArgs] = {Reg(UC_X86_REG_RCX), Reg(UC_X86_REG_RDX), Reg(UC_X86_REG_R8),
                                  Reg(UC_X86_REG_R9)};
  for (size_t index = 4; index < kHostCallArgs; index++) args[index] = stack[index + 1];
  using HostFunction = uint64_t(__attribute__((ms_abi)) *)(uint64_t, uint64_t, uint64_t, uint64_t,
                                                           uint64_t, uint64_t, uint64_t, uint64_t,
                                                           uint64_t, uint64_t, uint64_t, uint64_t);
  const uint64_t returnAddress = stack[0];
  const uint64_t result = reinterpret_cast<HostFunction>(function)(
      args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7], args[8], args[9],
      args[10], args[11]);
  SetReg(UC_X86_REG_RAX, result);
  SetReg(UC_X86_REG_RSP, rsp + 8);
  SetReg(UC_X86_REG_RIP, returnAddress);
}

void EmulatedCpu::ReadHostMaps() {
  hostRanges_.clear();
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long long start = 0, end = 0;
    char permissions[5] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %4s", &start, &end, permissions) != 3) continue;
    int protection = 0;
    if (permissions[0] == 'r') protection |= UC_PROT_READ;
    if (permissions[1] == 'w') protection |= UC_PROT_WRITE;
    if (permissions[2] == 'x') protection |= UC_PROT_EXEC;
    hostRanges_.push_back({start, end, protection});
  }
}

int EmulatedCpu::HostProtection(uint64_t page) {
  // Device space is no mapping of the process: the kernel says so at once,
  // without reading the process's map.
  if (msync(reinterpret_cast<void *>(page), kPageSize, MS_ASYNC) != 0 && errno == ENOMEM) {
    return 0;
  }
  // The copy of the map may be older than the page's protection: an
  // allocator reserves address space without access and opens it as it
  // grows (the sanitizers' allocator does), so only a read-write answer is
  // taken from the copy; any other is read afresh.
  const int known = CopiedProtection(page);
  if (known == (UC_PROT_READ | UC_PROT_WRITE)) return known;
  ReadHostMaps();
  return CopiedProtection(page);
}

// Data only: the simulator's code is called, never run by the image.
int EmulatedCpu::CopiedProtection(uint64_t page) const {
  for (const HostRange &range : hostRanges_) {
    if (page >= range.start && page < range.end) {
      return range.protection & (UC_PROT_READ | UC_PROT_WRITE);
    }
  }
  return 0;
}

bool EmulatedCpu::IsHostCode(uint64_t address) {
  for (int attempt = 0; attempt < 2; attempt++) {
    for (const HostRange &range : hostRanges_) {
      if (address >= range.start && address < range.end) {
        return (range.protection & UC_PROT_EXEC) != 0;
      }
    }
    ReadHostMaps();
  }
  return false;
}

}  // namespace sim
