// The interface between the debug print dispatcher and its output back-ends,
// and the fixed list of back-ends it walks.
#pragma once
#include "../uefi/UefiBase.h"
#include "DebugConfig.h"

// TRUE when the back-end takes part. No side effects: the print pass asks it
// twice per message.
typedef BOOLEAN(EFIAPI *DEBUG_BACKEND_IS_ACTIVE)(VOID);
// One-time preparation of the output hardware; called only right after
// IsActive returned TRUE.
typedef VOID(EFIAPI *DEBUG_BACKEND_INITIALIZE)(VOID);
// Receives the default filter and may replace it with the back-end's own. The
// result is ignored.
typedef BOOLEAN(EFIAPI *DEBUG_BACKEND_ADJUST_FILTER)(UINT64 *Filter);
// Emits Length bytes of Text; Text is NUL-terminated after Length bytes.
typedef VOID(EFIAPI *DEBUG_BACKEND_WRITE)(CONST CHAR8 *Text, UINTN Length);

struct DEBUG_PRINT_BACKEND {
  DEBUG_BACKEND_IS_ACTIVE IsActive;
  DEBUG_BACKEND_INITIALIZE Initialize;
  DEBUG_BACKEND_ADJUST_FILTER AdjustFilter;
  DEBUG_BACKEND_WRITE Write;
};
ASSERT_SIZE(DEBUG_PRINT_BACKEND, 32, 16);
ASSERT_OFFSET(DEBUG_PRINT_BACKEND, IsActive, 0, 0);
ASSERT_OFFSET(DEBUG_PRINT_BACKEND, Initialize, 8, 4);
ASSERT_OFFSET(DEBUG_PRINT_BACKEND, AdjustFilter, 16, 8);
ASSERT_OFFSET(DEBUG_PRINT_BACKEND, Write, 24, 12);

// The Write slot of a back-end's record. With DebugPrintEnable 0 the print
// pass returns before any back-end is asked to write, so the records hold a
// write that does nothing and the back-ends' write paths stay out of the
// driver.
VOID EFIAPI DebugBackendWriteNothing(CONST CHAR8 *Text, UINTN Length);
constexpr DEBUG_BACKEND_WRITE DebugBackendWriteSlot(DEBUG_BACKEND_WRITE Write) {
  return DebugPrintEnable != 0 ? Write : DebugBackendWriteNothing;
}

// A list of back-ends: pointers to constant records, ended by NULL.
typedef CONST DEBUG_PRINT_BACKEND *CONST DEBUG_PRINT_BACKEND_ENTRY;

// Port redirect (0), debug tool (1), serial (2), UART FIFO (3), NULL.
#define DEBUG_PRINT_BACKEND_COUNT 4
extern DEBUG_PRINT_BACKEND_ENTRY mDebugPrintBackends[DEBUG_PRINT_BACKEND_COUNT + 1];

// Stores the address of mDebugPrintBackends in *List.
VOID GetDebugPrintBackends(DEBUG_PRINT_BACKEND_ENTRY **List);

// Asks IsActive of every entry of List in order, without stopping at the
// first TRUE; TRUE when at least one answered TRUE.
BOOLEAN AnyDebugBackendActive(DEBUG_PRINT_BACKEND_ENTRY *List);
