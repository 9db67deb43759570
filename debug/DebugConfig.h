// Build-time settings of the debug output library. Each one is a constant of
// the build: a build overrides a value by defining the macro beside it (for
// example -DBOARDHOOK_DEBUG_PRINT_ENABLE=1); nothing changes them at run time.
#pragma once
#include "../uefi/UefiBase.h"

#ifndef BOARDHOOK_DEBUG_PRINT_ENABLE
#define BOARDHOOK_DEBUG_PRINT_ENABLE 0
#endif
#ifndef BOARDHOOK_DEBUG_PRINT_FILTER
#define BOARDHOOK_DEBUG_PRINT_FILTER 0x100401008A300408ULL
#endif
#ifndef BOARDHOOK_DEBUG_REDIRECT_PORT
#define BOARDHOOK_DEBUG_REDIRECT_PORT 0x0080
#endif
#ifndef BOARDHOOK_HDT_OUT_ENABLE
#define BOARDHOOK_HDT_OUT_ENABLE 1
#endif
#ifndef BOARDHOOK_DEBUG_SERIAL_BASE
#define BOARDHOOK_DEBUG_SERIAL_BASE 0x3F8
#endif

// Master switch of the print pass. Non-zero also makes the port-redirect and
// serial back-ends active; exactly 1 forces the debug-tool back-end active.
inline constexpr BOOLEAN DebugPrintEnable = BOARDHOOK_DEBUG_PRINT_ENABLE;

// The filter every back-end's AdjustFilter starts from: bits 3, 10, 20, 21,
// 25, 27, 31, 40, 50 and 60 in the shipped build.
inline constexpr UINT64 DebugPrintFilter = BOARDHOOK_DEBUG_PRINT_FILTER;

// I/O port of the port-redirect back-end.
inline constexpr UINT16 DebugRedirectPort = BOARDHOOK_DEBUG_REDIRECT_PORT;

// 0 keeps the debug-tool back-end inactive.
inline constexpr BOOLEAN HdtOutEnable = BOARDHOOK_HDT_OUT_ENABLE;

// UART of the serial back-end: 0xFFFF or less is an I/O port, above 0xFFFF a
// memory address.
inline constexpr UINT64 DebugSerialBase = BOARDHOOK_DEBUG_SERIAL_BASE;
