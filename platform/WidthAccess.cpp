// Width-coded port and memory access.
#include "WidthAccess.h"

#include "../hw/HwAccess.h"
#include "ErrorTrap.h"

namespace {

enum ACCESS_BYTES : UINT32 { AccessNone = 0, Access8 = 1, Access16 = 2, Access32 = 4 };

// The code is compared as a whole 32-bit value: bit 7 selects nothing, and
// any other bit makes the code invalid.
ACCESS_BYTES AccessBytes(UINT32 Width) {
  switch (Width) {
    case WIDTH_CODE_8:
    case WIDTH_CODE_8_ALTERNATE:
      return Access8;
    case WIDTH_CODE_16:
    case WIDTH_CODE_16_ALTERNATE:
      return Access16;
    case WIDTH_CODE_32:
    case WIDTH_CODE_32_ALTERNATE:
      return Access32;
    default:
      return AccessNone;
  }
}

// The value buffer may be unaligned; copy its bytes instead of casting.
UINT8 LoadValue8(CONST VOID *Value) {
  UINT8 Result;
  __builtin_memcpy(&Result, Value, sizeof(Result));
  return Result;
}
UINT16 LoadValue16(CONST VOID *Value) {
  UINT16 Result;
  __builtin_memcpy(&Result, Value, sizeof(Result));
  return Result;
}
UINT32 LoadValue32(CONST VOID *Value) {
  UINT32 Result;
  __builtin_memcpy(&Result, Value, sizeof(Result));
  return Result;
}
template <typename T>
VOID StoreValue(VOID *Value, T Data) {
  __builtin_memcpy(Value, &Data, sizeof(Data));
}

}  // namespace

VOID WidthIoRead(UINT32 Width, UINT16 Port, VOID *Value, VOID *Context) {
  (void)Context;
  switch (AccessBytes(Width)) {
    case Access8:
      StoreValue(Value, HwIoRead8(Port));
      return;
    case Access16:
      StoreValue(Value, HwIoRead16(Port));
      return;
    case Access32:
      StoreValue(Value, HwIoRead32(Port));
      return;
    case AccessNone:
      ErrorTrap(ERROR_TRAP_WIDTH_IO_READ);
      return;
  }
}

VOID WidthIoWrite(UINT32 Width, UINT16 Port, CONST VOID *Value, VOID *Context) {
  (void)Context;
  switch (AccessBytes(Width)) {
    case Access8:
      HwIoWrite8(Port, LoadValue8(Value));
      return;
    case Access16:
      HwIoWrite16(Port, LoadValue16(Value));
      return;
    case Access32:
      HwIoWrite32(Port, LoadValue32(Value));
      return;
    case AccessNone:
      ErrorTrap(ERROR_TRAP_WIDTH_IO_WRITE);
      return;
  }
}

VOID WidthMemRead(UINT32 Width, UINT64 Address, VOID *Value, VOID *Context) {
  (void)Context;
  UINTN Location = static_cast<UINTN>(Address);
  switch (AccessBytes(Width)) {
    case Access8:
      StoreValue(Value, HwMmioRead8(Location));
      return;
    case Access16:
      StoreValue(Value, HwMmioRead16(Location));
      return;
    case Access32:
      StoreValue(Value, HwMmioRead32(Location));
      return;
    case AccessNone:
      ErrorTrap(ERROR_TRAP_WIDTH_MEM_READ);
      return;
  }
}

VOID WidthMemWrite(UINT32 Width, UINT64 Address, CONST VOID *Value, VOID *Context) {
  (void)Context;
  UINTN Location = static_cast<UINTN>(Address);
  switch (AccessBytes(Width)) {
    case Access8:
      HwMmioWrite8(Location, LoadValue8(Value));
      return;
    case Access16:
      HwMmioWrite16(Location, LoadValue16(Value));
      return;
    case Access32:
      HwMmioWrite32(Location, LoadValue32(Value));
      return;
    case AccessNone:
      ErrorTrap(ERROR_TRAP_WIDTH_MEM_WRITE);
      return;
  }
}
