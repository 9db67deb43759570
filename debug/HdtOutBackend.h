// Debug-tool back-end: the text handed to an attached hardware debug tool.
#pragma once
#include "DebugPrintBackend.h"

extern const DEBUG_PRINT_BACKEND HdtOutBackend;
