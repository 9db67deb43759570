// Serial back-end (list index 2): active whenever printing is enabled; sends
// each message byte by byte to the UART at DebugSerialBase, which earlier
// firmware has set up. Every byte waits for the transmit holding register on
// its own, so a UART that never gets ready costs a bounded number of reads
// per byte.
#include "SerialBackend.h"

#include "../platform/WidthAccess.h"
#include "DebugConfig.h"

namespace {

BOOLEAN EFIAPI SerialIsActive() { return DebugPrintEnable; }

VOID EFIAPI SerialInitialize() {}

BOOLEAN EFIAPI SerialAdjustFilter(UINT64 *Filter) {
  (void)Filter;
  return FALSE;
}

BOOLEAN IsIoBase(UINT64 SerialBase) { return SerialBase <= SERIAL_IO_BASE_MAX; }

UINT8 ReadLineStatus(UINT64 SerialBase) {
  UINT8 Status = 0;
  if (IsIoBase(SerialBase)) {
    // Port numbers are 16 bits, as the port instructions' DX register.
    WidthIoRead(WIDTH_CODE_8, static_cast<UINT16>(SerialBase + SERIAL_IO_LSR_OFFSET), &Status,
                NULL);
  } else {
    WidthMemRead(WIDTH_CODE_8, SerialBase + SERIAL_MEMORY_LSR_OFFSET, &Status, NULL);
  }
  return Status;
}

}  // namespace

BOOLEAN SerialWriteByteAt(UINT64 SerialBase, UINT8 Char) {
  BOOLEAN Ready = FALSE;
  for (UINT32 Poll = 0; Poll < SERIAL_READY_POLL_LIMIT; Poll++) {
    if ((ReadLineStatus(SerialBase) & SERIAL_LSR_TRANSMIT_READY) != 0) {
      Ready = TRUE;
      break;
    }
  }
  if (!Ready) {
    return FALSE;
  }
  if (IsIoBase(SerialBase)) {
    WidthIoWrite(WIDTH_CODE_8, static_cast<UINT16>(SerialBase), &Char, NULL);
  } else {
    WidthMemWrite(WIDTH_CODE_8, SerialBase, &Char, NULL);
  }
  return TRUE;
}

BOOLEAN SerialWriteByte(UINT8 Char) { return SerialWriteByteAt(DebugSerialBase, Char); }

VOID EFIAPI SerialWrite(CONST CHAR8 *Text, UINTN Length) {
  if (Text == NULL) {
    return;
  }
  for (UINTN Index = 0; Index < Length; Index++) {
    UINT8 Char = static_cast<UINT8>(Text[Index]);
    if (Char == '\n') {
      SerialWriteByte('\r');
    }
    SerialWriteByte(Char);
  }
}

constinit const DEBUG_PRINT_BACKEND SerialBackend = {
    SerialIsActive, SerialInitialize, SerialAdjustFilter, DebugBackendWriteSlot(SerialWrite)};
