// UART FIFO back-end: the text in bursts to the UART at I/O port 0x3F8.
#pragma once
#include "DebugPrintBackend.h"

#define UART_FIFO_TRANSMIT_PORT 0x3F8
#define UART_FIFO_LINE_STATUS_PORT 0x3FD
// LSR bits: transmit holding register empty, whole transmitter empty.
#define UART_FIFO_LSR_TRANSMIT_READY 0x20U
#define UART_FIFO_LSR_TRANSMITTER_EMPTY 0x40U
// Bytes written per readiness check: one transmitter FIFO's worth.
#define UART_FIFO_BURST 16U
// LSR reads before the back-end gives up waiting.
#define UART_FIFO_POLL_LIMIT 65535U

extern const DEBUG_PRINT_BACKEND UartFifoBackend;

// Sends Length bytes of Buffer unchanged, in bursts of UART_FIFO_BURST bytes,
// each after the transmitter has run empty. Returns Length, or 0 when Buffer
// is NULL, when the transmitter never ran empty (bytes already sent stay sent)
// or when Length is 0, which only waits for the transmitter to drain.
UINTN UartFifoWrite(CONST UINT8 *Buffer, UINTN Length);
