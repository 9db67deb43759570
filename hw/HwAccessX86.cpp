// x86 backend of the hardware-access interface: the real instructions, for
// the firmware images (x86-64 and IA-32).
#include "HwAccess.h"

UINT8 HwIoRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

UINT16 HwIoRead16(UINT16 Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

UINT32 HwIoRead32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

VOID HwIoWrite8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}

VOID HwIoWrite16(UINT16 Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port));
}

VOID HwIoWrite32(UINT16 Port, UINT32 Value) {
  __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port));
}

UINT8 HwMmioRead8(UINTN Address) { return *reinterpret_cast<volatile UINT8 *>(Address); }

UINT16 HwMmioRead16(UINTN Address) { return *reinterpret_cast<volatile UINT16 *>(Address); }

UINT32 HwMmioRead32(UINTN Address) { return *reinterpret_cast<volatile UINT32 *>(Address); }

VOID HwMmioWrite8(UINTN Address, UINT8 Value) {
  *reinterpret_cast<volatile UINT8 *>(Address) = Value;
}

VOID HwMmioWrite16(UINTN Address, UINT16 Value) {
  *reinterpret_cast<volatile UINT16 *>(Address) = Value;
}

VOID HwMmioWrite32(UINTN Address, UINT32 Value) {
  *reinterpret_cast<volatile UINT32 *>(Address) = Value;
}

UINT64 HwReadMsr(UINT32 Index) {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index));
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID HwWriteMsr(UINT32 Index, UINT64 Value) {
  __asm__ __volatile__("wrmsr"
                       :
                       : "c"(Index), "a"(static_cast<UINT32>(Value)),
                         "d"(static_cast<UINT32>(Value >> 32)));
}

#define DEFINE_REGISTER_ACCESS(Name, Register)                     \
  UINTN HwRead##Name() {                                           \
    UINTN Value;                                                   \
    __asm__ __volatile__("mov %%" #Register ", %0" : "=r"(Value)); \
    return Value;                                                  \
  }                                                                \
  VOID HwWrite##Name(UINTN Value) { __asm__ __volatile__("mov %0, %%" #Register : : "r"(Value)); }

DEFINE_REGISTER_ACCESS(Dr2, dr2)
DEFINE_REGISTER_ACCESS(Dr3, dr3)
DEFINE_REGISTER_ACCESS(Dr7, dr7)
DEFINE_REGISTER_ACCESS(Cr4, cr4)

UINT16 HwCpuidBackDoor(UINT32 Eax, UINT32 Ebx, UINT32 Ecx) {
  UINTN Si = 0;
  UINT32 OutEax;
  UINT32 OutEbx;
  UINT32 OutEcx;
  UINT32 OutEdx;
  __asm__ __volatile__("cpuid"
                       : "=a"(OutEax), "=b"(OutEbx), "=c"(OutEcx), "=d"(OutEdx), "+S"(Si)
                       : "a"(Eax), "b"(Ebx), "c"(Ecx));
  return static_cast<UINT16>(Si);
}

UINT64 HwReadTsc() {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High));
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID HwPause() { __asm__ __volatile__("pause" ::: "memory"); }

UINTN HwReadIdtBase() {
  struct __attribute__((packed)) {
    UINT16 Limit;
    UINTN Base;
  } Descriptor;
  __asm__ __volatile__("sidt %0" : "=m"(Descriptor));
  return Descriptor.Base;
}

VOID HwDebugToolHandOver(UINT32 Edx, UINT32 Eax, UINT32 Ebx) {
  __asm__ __volatile__("outl %%eax, %%dx" : : "d"(Edx), "a"(Eax), "b"(Ebx) : "memory");
}
