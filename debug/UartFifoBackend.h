// UART FIFO back-end: the text in bursts to the UART at I/O port 0x3F8.
#pragma once
#include "DebugPrintBackend.h"

extern const DEBUG_PRINT_BACKEND UartFifoBackend;
