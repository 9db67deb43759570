// Port-redirect back-end: the text between two marker words on an I/O port.
#pragma once
#include "DebugPrintBackend.h"

extern const DEBUG_PRINT_BACKEND RedirectBackend;
