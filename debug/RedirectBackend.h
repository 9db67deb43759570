// Port-redirect back-end: the text between two marker words on an I/O port.
#pragma once
#include "DebugPrintBackend.h"

// Written before the text: the bytes "RTS_" in memory order.
#define REDIRECT_START_MARKER 0x5F535452U
// Written after the text: the bytes "DNE_" in memory order.
#define REDIRECT_END_MARKER 0x5F454E44U

extern const DEBUG_PRINT_BACKEND RedirectBackend;

// Writes the start marker (one 32-bit write), each of the Length bytes of
// Text (one 8-bit write each) and the end marker (one 32-bit write) to the
// port DebugRedirectPort. Never waits, cannot fail.
VOID EFIAPI RedirectWrite(CONST CHAR8 *Text, UINTN Length);
