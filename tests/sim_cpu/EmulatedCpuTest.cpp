// The emulated processor carries out every hardware instruction form the
// DXE images use (listed from their disassembly) on the simulated machine,
// exactly as the host build's calls of the hardware-access interface do;
// loads and stores outside memory are device accesses of each width; calls
// run both ways, nested; what it cannot run ends the call with an error
// naming the image offset.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/core/FixedMemory.h"
#include "sim/cpu/EmulatedCpu.h"
#include "sim/machine/Machine.h"

namespace {

using sim::AccessKind;
using sim::TraceRecord;

constexpr uint64_t kCodeBase = 0x16000000;  // clear of the boot's own fixed memory
constexpr uint64_t kCodeSize = 0x10000;
constexpr uint64_t kStackBase = 0x16100000;
constexpr uint64_t kStackSize = 0x10000;

// A port device that answers a pattern and keeps what is written.
class PatternPorts : public sim::IoDevice {
 public:
  uint32_t IoRead(uint16_t offset, unsigned width) override {
    return (0xA1B2C3D4u + offset) & sim::WidthMask(width);
  }
  void IoWrite(uint16_t, unsigned, uint32_t) override {}
};

class EmulatedCpuTest : public ::testing::Test {
 protected:
  EmulatedCpuTest() : code_(kCodeBase, kCodeSize), stack_(kStackBase, kStackSize) {
    machine_.Activate();
    machine_.AttachIo(0x600, 8, ports_);
    cpu_.MapMemory(code_.Address(), code_.Size());
    cpu_.MapMemory(stack_.Address(), stack_.Size());
    cpu_.SetStack(stack_.Address(), stack_.Size());
  }

  // Places `bytes` at the next free spot of the code page as a function of
  // "test.efi" and returns its address.
  uint64_t Function(const std::vector<uint8_t> &bytes) {
    const uint64_t address = code_.Address() + used_;
    std::memcpy(code_.Base() + used_, bytes.data(), bytes.size());
    used_ += (bytes.size() + 15) & ~size_t{15};
    return address;
  }
  // Finishes the code: the processor watches it from here on.
  void Load() {
    cpu_.AddImage("test.efi", code_.Address(), kCodeSize,
                  {{code_.Address(), code_.Address() + used_}});
  }

  uint64_t Call(uint64_t function, std::vector<uint64_t> args = {}) {
    return cpu_.Call(function, args.data(), args.size());
  }
  const TraceRecord &Last() { return machine_.Trace().Records().back(); }

  sim::Machine machine_;
  PatternPorts ports_;
  sim::FixedMemory code_;
  sim::FixedMemory stack_;
  sim::EmulatedCpu cpu_;
  size_t used_ = 0;
};

// Port I/O in every form the images use: byte, word and doubleword through
// DX, each traced as the host backend traces it, with the register bits the
// instruction does not write kept.
TEST_F(EmulatedCpuTest, PortInstructions) {
  // mov edx, ecx; mov rax, rdx(keep pattern); in ...; ret
  const uint64_t inb = Function(
      {0x89, 0xCA, 0x48, 0xB8, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0xEC, 0xC3});
  const uint64_t inw = Function(
      {0x89, 0xCA, 0x48, 0xB8, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x66, 0xED, 0xC3});
  const uint64_t inl = Function(
      {0x89, 0xCA, 0x48, 0xB8, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0xED, 0xC3});
  // mov eax, edx; mov edx, ecx; out dx, ...; ret
  const uint64_t outb = Function({0x89, 0xD0, 0x89, 0xCA, 0xEE, 0xC3});
  const uint64_t outw = Function({0x89, 0xD0, 0x89, 0xCA, 0x66, 0xEF, 0xC3});
  const uint64_t outl = Function({0x89, 0xD0, 0x89, 0xCA, 0xEF, 0xC3});
  Load();

  EXPECT_EQ(Call(inb, {0x601}), 0x11223344556677D5u);
  EXPECT_EQ(Last().kind, AccessKind::IoRead);
  EXPECT_EQ(Last().width, 8);
  EXPECT_EQ(Last().address, 0x601u);
  EXPECT_EQ(Call(inw, {0x602}), 0x112233445566C3D6u);
  EXPECT_EQ(Last().width, 16);
  EXPECT_EQ(Call(inl, {0x603}), 0xA1B2C3D7u);  // a 32-bit result clears the upper half
  EXPECT_EQ(Last().width, 32);

  const struct {
    uint64_t function;
    unsigned width;
    uint64_t value;
  } writes[] = {{outb, 8, 0x5A}, {outw, 16, 0xBEEF}, {outl, 32, 0xCAFEF00D}};
  for (const auto &write : writes) {
    Call(write.function, {0x604, 0xFFFFFFFF00000000u | write.value});
    EXPECT_EQ(Last().kind, AccessKind::IoWrite);
    EXPECT_EQ(Last().width, write.width);
    EXPECT_EQ(Last().address, 0x604u);
    EXPECT_EQ(Last().value, write.value);
  }
}

// The debug tool's hand-over: a doubleword write to its port with EBX
// loaded reaches the tool as the host backend's hand-over does.
TEST_F(EmulatedCpuTest, DebugToolHandOver) {
  // mov eax, edx; mov edx, ecx; mov ebx, r8d; out dx, eax; ret
  const uint64_t handOver = Function({0x89, 0xD0, 0x89, 0xCA, 0x44, 0x89, 0xC3, 0xEF, 0xC3});
  Load();
  Call(handOver, {0x000199CC, 0x12345678, 0x40});
  EXPECT_EQ(Last().kind, AccessKind::DebugToolHandOver);
  EXPECT_EQ(Last().address, 0x000199CCu);
  EXPECT_EQ(Last().value, 0x12345678u);
  EXPECT_EQ(Last().aux, 0x40u);
  ASSERT_EQ(machine_.DebugTool().HandOvers().size(), 1u);
}

// MSRs, debug and control registers, the time-stamp counter, PAUSE and the
// CPUID back door, in the encodings the images hold.
TEST_F(EmulatedCpuTest, ProcessorInstructions) {
  // rdmsr; shl rdx, 32; or rax, rdx; ret
  const uint64_t rdmsr = Function({0x0F, 0x32, 0x48, 0xC1, 0xE2, 0x20, 0x48, 0x09, 0xD0, 0xC3});
  // mov rax, rdx; shr rdx, 32; wrmsr; ret
  const uint64_t wrmsr = Function({0x48, 0x89, 0xD0, 0x48, 0xC1, 0xEA, 0x20, 0x0F, 0x30, 0xC3});
  const uint64_t rdtsc = Function({0x0F, 0x31, 0x48, 0xC1, 0xE2, 0x20, 0x48, 0x09, 0xD0, 0xC3});
  const uint64_t pause = Function({0xF3, 0x90, 0xC3});
  // mov eax, ecx; mov ebx, edx; mov ecx, r8d; xor esi, esi; cpuid; movzx eax, si; ret
  const uint64_t cpuid = Function(
      {0x89, 0xC8, 0x89, 0xD3, 0x44, 0x89, 0xC1, 0x31, 0xF6, 0x0F, 0xA2, 0x0F, 0xB7, 0xC6, 0xC3});
  const struct {
    const char *name;
    std::vector<uint8_t> read;   // mov rax, reg; ret
    std::vector<uint8_t> write;  // mov reg, rcx; ret
    sim::HardwarePlatform::Register reg;
  } registers[] = {
      {"DR2",
       {0x0F, 0x21, 0xD0, 0xC3},
       {0x0F, 0x23, 0xD1, 0xC3},
       sim::HardwarePlatform::Register::Dr2},
      {"DR3",
       {0x0F, 0x21, 0xD8, 0xC3},
       {0x0F, 0x23, 0xD9, 0xC3},
       sim::HardwarePlatform::Register::Dr3},
      {"DR7",
       {0x0F, 0x21, 0xF8, 0xC3},
       {0x0F, 0x23, 0xF9, 0xC3},
       sim::HardwarePlatform::Register::Dr7},
      {"CR4",
       {0x0F, 0x20, 0xE0, 0xC3},
       {0x0F, 0x22, 0xE1, 0xC3},
       sim::HardwarePlatform::Register::Cr4},
  };
  std::vector<std::pair<uint64_t, uint64_t>> registerCode;
  for (const auto &entry : registers) {
    const uint64_t read = Function(entry.read);
    registerCode.emplace_back(read, Function(entry.write));
  }
  Load();

  machine_.SetMsr(0xC0010058, 0x12345678E0000021ull);
  EXPECT_EQ(Call(rdmsr, {0xC0010058}), 0x12345678E0000021ull);
  EXPECT_EQ(Last().kind, AccessKind::MsrRead);
  Call(wrmsr, {0xC001100A, 0xAABBCCDD00112233ull});
  EXPECT_EQ(Last().kind, AccessKind::MsrWrite);
  EXPECT_EQ(machine_.Msr(0xC001100A), 0xAABBCCDD00112233ull);

  for (size_t index = 0; index < std::size(registers); index++) {
    Call(registerCode[index].second, {0x99CC + index});
    EXPECT_EQ(Last().kind, AccessKind::RegisterWrite) << registers[index].name;
    EXPECT_EQ(Call(registerCode[index].first), 0x99CC + index) << registers[index].name;
    EXPECT_EQ(Last().kind, AccessKind::RegisterRead) << registers[index].name;
    EXPECT_EQ(machine_.RegisterValue(registers[index].reg), 0x99CC + index);
  }

  // The clock advances with every read and PAUSE of a wait, as in the host
  // build: that is what fast-forwards the trap's display loop.
  const uint64_t first = Call(rdtsc);
  Call(pause);
  EXPECT_EQ(Last().kind, AccessKind::Pause);
  EXPECT_GT(Call(rdtsc), first);
  EXPECT_EQ(Last().kind, AccessKind::TscRead);

  // Only the back door's leaf is answered, in SI.
  machine_.SetCpuidBackDoorAnswer(0x1234);
  EXPECT_EQ(Call(cpuid, {0xBACCD00B, 0x14, 0xDEAD}), 0x1234u);
  EXPECT_EQ(Last().kind, AccessKind::CpuidBackDoor);
  EXPECT_EQ(Last().address, 0xDEADu);
  EXPECT_EQ(Last().aux, 0xBACCD00Bull | uint64_t{0x14} << 32);
  EXPECT_EQ(Call(cpuid, {0, 0, 0}), 0u);
}

// Loads and stores outside memory are device accesses of their width:
// configuration space through ECAM, and a window no device claims, which
// reads all ones and drops writes, as the machine answers the host build.
TEST_F(EmulatedCpuTest, DeviceMemoryOfEachWidth) {
  const uint64_t read8 = Function({0x0F, 0xB6, 0x01, 0xC3});   // movzx eax, byte [rcx]
  const uint64_t read16 = Function({0x0F, 0xB7, 0x01, 0xC3});  // movzx eax, word [rcx]
  const uint64_t read32 = Function({0x8B, 0x01, 0xC3});        // mov eax, [rcx]
  const uint64_t write8 = Function({0x88, 0x11, 0xC3});        // mov [rcx], dl
  const uint64_t write16 = Function({0x66, 0x89, 0x11, 0xC3});
  const uint64_t write32 = Function({0x89, 0x11, 0xC3});
  const uint64_t read64 = Function({0x48, 0x8B, 0x01, 0xC3});
  Load();
  machine_.AddPciFunction({1, 0, 0}, 0x12348086);
  const uint64_t ecam = sim::Machine::EcamAddress({1, 0, 0}, 0);

  EXPECT_EQ(Call(read32, {ecam}), 0x12348086u);
  EXPECT_EQ(Last().kind, AccessKind::MmioRead);
  EXPECT_EQ(Last().address, ecam);
  EXPECT_EQ(Call(read16, {ecam + 2}), 0x1234u);
  EXPECT_EQ(Last().width, 16);
  EXPECT_EQ(Call(read8, {ecam + 1}), 0x80u);
  EXPECT_EQ(Last().width, 8);

  // Command register: the machine keeps the bits a function implements.
  Call(write16, {ecam + 4, 0x0006});
  EXPECT_EQ(Last().kind, AccessKind::MmioWrite);
  EXPECT_EQ(Last().width, 16);
  EXPECT_EQ(Call(read16, {ecam + 4}), 0x0006u);
  Call(write8, {ecam + 0x3C, 0x0B});
  EXPECT_EQ(Last().width, 8);
  Call(write32, {ecam + 0x10, 0xFFFFFFFF});
  EXPECT_EQ(Last().width, 32);

  const uint64_t nowhere = 0xF8000000;
  EXPECT_EQ(Call(read32, {nowhere}), 0xFFFFFFFFu);
  EXPECT_EQ(Last().kind, AccessKind::MmioRead);
  EXPECT_EQ(Last().address, nowhere);
  Call(write32, {nowhere, 1});
  EXPECT_EQ(Last().kind, AccessKind::MmioWrite);

  // The interface has no 64-bit device access; the emulator splits one into
  // two 32-bit accesses, low half first.
  const size_t before = machine_.Trace().Records().size();
  const uint64_t wide = Call(read64, {ecam + 8});
  const auto &records = machine_.Trace().Records();
  ASSERT_EQ(records.size(), before + 2);
  EXPECT_EQ(records[before].address, ecam + 8);
  EXPECT_EQ(records[before + 1].address, ecam + 12);
  EXPECT_EQ(records[before + 1].width, 32);
  EXPECT_EQ(wide, Call(read32, {ecam + 12}) << 32 | Call(read32, {ecam + 8}));
}

// Host memory opened after the processor last read the process's map is
// memory to the image, not device space. The sanitizers' allocator reserves
// its heap without access and opens it piece by piece as it grows, so a
// block allocated during a boot can lie where the map, as last read, showed
// no access.
TEST_F(EmulatedCpuTest, HostMemoryOpenedLaterIsMemory) {
  const uint64_t read64 = Function({0x48, 0x8B, 0x01, 0xC3});  // mov rax, [rcx]; ret
  Load();
  constexpr size_t kPage = 0x1000;
  auto *reserved = static_cast<uint64_t *>(
      mmap(nullptr, 2 * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  ASSERT_NE(reserved, MAP_FAILED);
  // A first touch of other new memory makes the processor read the map,
  // which then shows the reservation without access.
  auto *other = static_cast<uint64_t *>(
      mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(other, MAP_FAILED);
  *other = 0x1122334455667788;
  EXPECT_EQ(Call(read64, {reinterpret_cast<uintptr_t>(other)}), 0x1122334455667788u);

  ASSERT_EQ(mprotect(reserved, kPage, PROT_READ | PROT_WRITE), 0);
  *reserved = 0x0123456789ABCDEF;
  const size_t accesses = machine_.Trace().Records().size();
  EXPECT_EQ(Call(read64, {reinterpret_cast<uintptr_t>(reserved)}), 0x0123456789ABCDEFu);
  EXPECT_EQ(machine_.Trace().Records().size(), accesses);  // no device access

  munmap(other, kPage);
  munmap(reserved, 2 * kPage);
}

// Calls both ways: the image calls a function of the simulator with six
// arguments (four in registers, two on the stack), which calls back into
// the image while the image waits; each returns to the right place.
uint64_t __attribute__((ms_abi))
HostFunction(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e, uint64_t f);
uint64_t gAddFunction = 0;
uint64_t __attribute__((ms_abi))
HostFunction(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e, uint64_t f) {
  const uint64_t sum = sim::CallFirmware(
      reinterpret_cast<uint64_t(__attribute__((ms_abi)) *)(uint64_t, uint64_t)>(gAddFunction),
      a * 100000 + b * 10000, c * 1000 + d * 100);
  return sum + e * 10 + f;
}

TEST_F(EmulatedCpuTest, CallsIntoTheSimulatorAndBack) {
  const uint64_t add = Function({0x48, 0x8D, 0x04, 0x11, 0xC3});  // lea rax, [rcx + rdx]; ret
  const uint64_t caller = Function({
      0x53,                                                  // push rbx (kept across the call)
      0x48, 0x83, 0xEC, 0x30,                                // sub rsp, 0x30
      0xBB, 0x77, 0x00, 0x00, 0x00,                          // mov ebx, 0x77
      0x48, 0xC7, 0x44, 0x24, 0x20, 0x05, 0x00, 0x00, 0x00,  // mov qword [rsp+0x20], 5
      0x48, 0xC7, 0x44, 0x24, 0x28, 0x06, 0x00, 0x00, 0x00,  // mov qword [rsp+0x28], 6
      0x48, 0x89, 0xC8,                                      // mov rax, rcx
      0xB9, 0x01, 0x00, 0x00, 0x00,                          // mov ecx, 1
      0xBA, 0x02, 0x00, 0x00, 0x00,                          // mov edx, 2
      0x41, 0xB8, 0x03, 0x00, 0x00, 0x00,                    // mov r8d, 3
      0x41, 0xB9, 0x04, 0x00, 0x00, 0x00,                    // mov r9d, 4
      0xFF, 0xD0,                                            // call rax
      0x48, 0x01, 0xD8,                                      // add rax, rbx
      0x48, 0x83, 0xC4, 0x30,                                // add rsp, 0x30
      0x5B,                                                  // pop rbx
      0xC3,                                                  // ret
  });
  Load();
  sim::SetActiveFirmwareProcessor(&cpu_);
  gAddFunction = add;
  EXPECT_EQ(Call(caller, {reinterpret_cast<uintptr_t>(&HostFunction)}), 123456u + 0x77);
  EXPECT_EQ(cpu_.Statistics().hostCalls, 1u);
  EXPECT_EQ(cpu_.Statistics().imageCalls, 2u);
  EXPECT_TRUE(cpu_.RunsCode(add));
  EXPECT_FALSE(cpu_.RunsCode(reinterpret_cast<uintptr_t>(&HostFunction)));
  sim::SetActiveFirmwareProcessor(nullptr);
}

// A run the machine ends inside the image (a reset through port 0xCF9)
// leaves the emulator as the host build's run leaves native frames; the
// processor serves the next call.
TEST_F(EmulatedCpuTest, TheMachineEndsARunInsideTheImage) {
  // mov al, 6; mov edx, 0xCF9; out dx, al; jmp $
  const uint64_t reset = Function({0xB0, 0x06, 0xBA, 0xF9, 0x0C, 0x00, 0x00, 0xEE, 0xEB, 0xFE});
  const uint64_t pause = Function({0xF3, 0x90, 0xC3});
  Load();
  const sim::RunOutcome outcome = machine_.Run([&] { Call(reset); });
  EXPECT_EQ(outcome.end, sim::RunEnd::Reset);
  EXPECT_EQ(outcome.resetValue, 6);
  machine_.Activate();
  Call(pause);
  EXPECT_EQ(Last().kind, AccessKind::Pause);
}

// What the processor cannot carry out ends the call with the image offset,
// never a guess.
TEST_F(EmulatedCpuTest, WhatItCannotRunIsNamed) {
  const struct {
    std::vector<uint8_t> code;
    std::string message;
  } cases[] = {
      {{0x0F, 0x09, 0xC3}, "a system instruction (0F 09) at test.efi+0x0"},
      {{0xF4, 0xC3}, "HLT (F4) at test.efi+0x10"},
      {{0xFA, 0xC3}, "an interrupt-flag instruction (FA) at test.efi+0x20"},
      {{0x0F, 0x21, 0xC0, 0xC3}, "a read of DR0 (0F 21 C0) at test.efi+0x30"},
      {{0x0F, 0x22, 0xC1, 0xC3}, "a write of CR0 (0F 22 C1) at test.efi+0x40"},
      {{0x0F, 0x0B}, "invalid instruction at test.efi+0x50"},
      {{0x8B, 0x04, 0x25, 0x10, 0x00, 0x00, 0x00, 0xC3},
       "reads address 0x10 (4 bytes) at test.efi+0x60"},
      {{0x48, 0xB8, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xE0},
       "jumped to 0x20000000, which is not code"},
  };
  std::vector<uint64_t> functions;
  for (const auto &c : cases) functions.push_back(Function(c.code));
  Load();
  for (size_t index = 0; index < std::size(cases); index++) {
    try {
      Call(functions[index]);
      ADD_FAILURE() << cases[index].message << ": ran";
    } catch (const sim::CpuError &error) {
      EXPECT_NE(std::string(error.what()).find(cases[index].message), std::string::npos)
          << error.what();
    }
  }
}

}  // namespace
