// Serial back-end: the text byte by byte to a 16550-compatible UART.
#pragma once
#include "DebugPrintBackend.h"

// Bases up to this value are I/O ports (registers 1 apart); above it they are
// memory addresses (registers 4 apart).
#define SERIAL_IO_BASE_MAX 0xFFFFU
// Line status register: 5 ports above an I/O base, 0x14 bytes above a memory
// base.
#define SERIAL_IO_LSR_OFFSET 5U
#define SERIAL_MEMORY_LSR_OFFSET 0x14U
// LSR bit: the transmit holding register is empty.
#define SERIAL_LSR_TRANSMIT_READY 0x20U
// LSR reads, back to back, before a byte is given up.
#define SERIAL_READY_POLL_LIMIT 2000U

extern const DEBUG_PRINT_BACKEND SerialBackend;

// Sends the Length bytes of Text through SerialWriteByte, a carriage return
// before every line feed. A dropped byte does not stop the ones after it.
VOID EFIAPI SerialWrite(CONST CHAR8 *Text, UINTN Length);

// Writes Char to the UART at DebugSerialBase once its LSR shows the transmit
// holding register empty; TRUE when written, FALSE (byte dropped) when none
// of SERIAL_READY_POLL_LIMIT reads showed it.
BOOLEAN SerialWriteByte(UINT8 Char);

// SerialWriteByte on the UART at SerialBase instead of DebugSerialBase.
BOOLEAN SerialWriteByteAt(UINT64 SerialBase, UINT8 Char);
