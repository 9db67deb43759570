// UART FIFO back-end (list index 3): always active; sends each message
// unchanged to the UART at 0x3F8, which earlier firmware has set up, filling
// the transmitter FIFO with one burst per readiness check instead of polling
// before every byte.
#include "UartFifoBackend.h"

#include "../hw/HwAccess.h"

namespace {

BOOLEAN EFIAPI UartFifoIsActive() { return TRUE; }

VOID EFIAPI UartFifoInitialize() {}

BOOLEAN EFIAPI UartFifoAdjustFilter(UINT64 *Filter) {
  (void)Filter;
  return FALSE;
}

// Reads the LSR until all bits of Mask are set; FALSE after
// UART_FIFO_POLL_LIMIT reads without them.
BOOLEAN WaitForLineStatus(UINT8 Mask) {
  for (UINT32 Poll = 0; Poll < UART_FIFO_POLL_LIMIT; Poll++) {
    if ((HwIoRead8(UART_FIFO_LINE_STATUS_PORT) & Mask) == Mask) {
      return TRUE;
    }
  }
  return FALSE;
}

// The record's Write: the dispatcher ignores the count of bytes sent.
VOID EFIAPI UartFifoBackendWrite(CONST CHAR8 *Text, UINTN Length) {
  UartFifoWrite(reinterpret_cast<CONST UINT8 *>(Text), Length);
}

}  // namespace

UINTN UartFifoWrite(CONST UINT8 *Buffer, UINTN Length) {
  if (Buffer == NULL) {
    return 0;
  }
  if (Length == 0) {
    WaitForLineStatus(UART_FIFO_LSR_TRANSMIT_READY | UART_FIFO_LSR_TRANSMITTER_EMPTY);
    return 0;
  }
  UINTN Sent = 0;
  while (Sent < Length) {
    if (!WaitForLineStatus(UART_FIFO_LSR_TRANSMITTER_EMPTY)) {
      return 0;
    }
    UINTN Burst = Length - Sent;
    if (Burst > UART_FIFO_BURST) {
      Burst = UART_FIFO_BURST;
    }
    for (UINTN Index = 0; Index < Burst; Index++) {
      HwIoWrite8(UART_FIFO_TRANSMIT_PORT, Buffer[Sent + Index]);
    }
    Sent += Burst;
  }
  return Length;
}

constinit const DEBUG_PRINT_BACKEND UartFifoBackend = {UartFifoIsActive, UartFifoInitialize,
                                                       UartFifoAdjustFilter,
                                                       DebugBackendWriteSlot(UartFifoBackendWrite)};
