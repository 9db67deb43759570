// The one way firmware code reaches the processor and chipset: I/O ports,
// memory-mapped registers, MSRs, debug and control registers, CPUID, the
// time-stamp counter, PAUSE, SIDT and the hardware-debug-tool hand-over.
// The firmware images link the x86 backend (real instructions); host builds
// link the backend that drives the simulated machine.
#pragma once
#include "../uefi/UefiBase.h"

UINT8 HwIoRead8(UINT16 Port);
UINT16 HwIoRead16(UINT16 Port);
UINT32 HwIoRead32(UINT16 Port);
VOID HwIoWrite8(UINT16 Port, UINT8 Value);
VOID HwIoWrite16(UINT16 Port, UINT16 Value);
VOID HwIoWrite32(UINT16 Port, UINT32 Value);

UINT8 HwMmioRead8(UINTN Address);
UINT16 HwMmioRead16(UINTN Address);
UINT32 HwMmioRead32(UINTN Address);
VOID HwMmioWrite8(UINTN Address, UINT8 Value);
VOID HwMmioWrite16(UINTN Address, UINT16 Value);
VOID HwMmioWrite32(UINTN Address, UINT32 Value);

UINT64 HwReadMsr(UINT32 Index);
VOID HwWriteMsr(UINT32 Index, UINT64 Value);

UINTN HwReadDr2();
VOID HwWriteDr2(UINTN Value);
UINTN HwReadDr3();
VOID HwWriteDr3(UINTN Value);
UINTN HwReadDr7();
VOID HwWriteDr7(UINTN Value);
UINTN HwReadCr4();
VOID HwWriteCr4(UINTN Value);

// CPUID with SI cleared and EAX, EBX, ECX loaded as given; returns SI
// afterwards (0 on a processor that does not answer the back door).
UINT16 HwCpuidBackDoor(UINT32 Eax, UINT32 Ebx, UINT32 Ecx);

UINT64 HwReadTsc();
VOID HwPause();

// Base address of the interrupt descriptor table (SIDT).
UINTN HwReadIdtBase();

// Loads EDX, EAX and EBX and writes EAX (32 bits) to the port in DX; the
// debug tool traps that write through an I/O breakpoint.
VOID HwDebugToolHandOver(UINT32 Edx, UINT32 Eax, UINT32 Ebx);
