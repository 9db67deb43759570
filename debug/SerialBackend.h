// Serial back-end: the text byte by byte to a 16550-compatible UART.
#pragma once
#include "DebugPrintBackend.h"

extern const DEBUG_PRINT_BACKEND SerialBackend;
