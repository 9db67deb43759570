// Host backend of the hardware-access interface: every access goes to the
// active simulated platform.
#include <cstdio>
#include <cstdlib>

#include "../../hw/HwAccess.h"
#include "HardwarePlatform.h"

namespace sim {
namespace {
HardwarePlatform *gActive = nullptr;
}

HardwarePlatform *ActivePlatform() { return gActive; }
void SetActivePlatform(HardwarePlatform *platform) { gActive = platform; }

static HardwarePlatform &Platform(const char *what) {
  if (gActive == nullptr) {
    std::fprintf(stderr, "hardware access (%s) with no simulated platform active\n", what);
    std::abort();
  }
  return *gActive;
}

}  // namespace sim

using sim::HardwarePlatform;
using sim::Platform;

UINT8 HwIoRead8(UINT16 Port) { return static_cast<UINT8>(Platform("in").IoRead(Port, 8)); }
UINT16 HwIoRead16(UINT16 Port) { return static_cast<UINT16>(Platform("in").IoRead(Port, 16)); }
UINT32 HwIoRead32(UINT16 Port) { return Platform("in").IoRead(Port, 32); }
VOID HwIoWrite8(UINT16 Port, UINT8 Value) { Platform("out").IoWrite(Port, 8, Value); }
VOID HwIoWrite16(UINT16 Port, UINT16 Value) { Platform("out").IoWrite(Port, 16, Value); }
VOID HwIoWrite32(UINT16 Port, UINT32 Value) { Platform("out").IoWrite(Port, 32, Value); }

UINT8 HwMmioRead8(UINTN Address) {
  return static_cast<UINT8>(Platform("mmio read").MmioRead(Address, 8));
}
UINT16 HwMmioRead16(UINTN Address) {
  return static_cast<UINT16>(Platform("mmio read").MmioRead(Address, 16));
}
UINT32 HwMmioRead32(UINTN Address) { return Platform("mmio read").MmioRead(Address, 32); }
VOID HwMmioWrite8(UINTN Address, UINT8 Value) {
  Platform("mmio write").MmioWrite(Address, 8, Value);
}
VOID HwMmioWrite16(UINTN Address, UINT16 Value) {
  Platform("mmio write").MmioWrite(Address, 16, Value);
}
VOID HwMmioWrite32(UINTN Address, UINT32 Value) {
  Platform("mmio write").MmioWrite(Address, 32, Value);
}

UINT64 HwReadMsr(UINT32 Index) { return Platform("rdmsr").ReadMsr(Index); }
VOID HwWriteMsr(UINT32 Index, UINT64 Value) { Platform("wrmsr").WriteMsr(Index, Value); }

UINTN HwReadDr2() {
  return static_cast<UINTN>(Platform("dr2").ReadRegister(HardwarePlatform::Register::Dr2));
}
VOID HwWriteDr2(UINTN Value) {
  Platform("dr2").WriteRegister(HardwarePlatform::Register::Dr2, Value);
}
UINTN HwReadDr3() {
  return static_cast<UINTN>(Platform("dr3").ReadRegister(HardwarePlatform::Register::Dr3));
}
VOID HwWriteDr3(UINTN Value) {
  Platform("dr3").WriteRegister(HardwarePlatform::Register::Dr3, Value);
}
UINTN HwReadDr7() {
  return static_cast<UINTN>(Platform("dr7").ReadRegister(HardwarePlatform::Register::Dr7));
}
VOID HwWriteDr7(UINTN Value) {
  Platform("dr7").WriteRegister(HardwarePlatform::Register::Dr7, Value);
}
UINTN HwReadCr4() {
  return static_cast<UINTN>(Platform("cr4").ReadRegister(HardwarePlatform::Register::Cr4));
}
VOID HwWriteCr4(UINTN Value) {
  Platform("cr4").WriteRegister(HardwarePlatform::Register::Cr4, Value);
}

UINT16 HwCpuidBackDoor(UINT32 Eax, UINT32 Ebx, UINT32 Ecx) {
  return Platform("cpuid").CpuidBackDoor(Eax, Ebx, Ecx);
}
UINT64 HwReadTsc() { return Platform("rdtsc").ReadTsc(); }
VOID HwPause() { Platform("pause").Pause(); }
UINTN HwReadIdtBase() { return static_cast<UINTN>(Platform("sidt").IdtBase()); }
VOID HwDebugToolHandOver(UINT32 Edx, UINT32 Eax, UINT32 Ebx) {
  Platform("debug tool").DebugToolHandOver(Edx, Eax, Ebx);
}
