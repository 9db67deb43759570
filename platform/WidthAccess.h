// One I/O port or memory access with a width chosen by a width code:
// 1 or 0x81 for 8 bits, 2 or 0x82 for 16 bits, 3 or 0x83 for 32 bits. Any
// other code performs no access and traps (ErrorTrap); if the trap returns,
// the routine returns without touching the port, the location or the value.
// Reads store only as many bytes of *Value as the width has. Context is not
// used; callers pass NULL.
#pragma once
#include "../uefi/UefiBase.h"

// The width codes; bit 7 of a code selects nothing.
enum : UINT32 {
  WIDTH_CODE_8 = 1,
  WIDTH_CODE_16 = 2,
  WIDTH_CODE_32 = 3,
  WIDTH_CODE_8_ALTERNATE = 0x81,
  WIDTH_CODE_16_ALTERNATE = 0x82,
  WIDTH_CODE_32_ALTERNATE = 0x83
};

VOID WidthIoRead(UINT32 Width, UINT16 Port, VOID *Value, VOID *Context);
VOID WidthIoWrite(UINT32 Width, UINT16 Port, CONST VOID *Value, VOID *Context);
VOID WidthMemRead(UINT32 Width, UINT64 Address, VOID *Value, VOID *Context);
VOID WidthMemWrite(UINT32 Width, UINT64 Address, CONST VOID *Value, VOID *Context);
