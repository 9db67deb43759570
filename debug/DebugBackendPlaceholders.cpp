// Stand-ins for the four output back-ends until each gets its file of its
// own: they answer the back-ends' active tests and emit nothing. A back-end's
// own file replaces its section here (delete the section; the linker reports
// a record defined twice).
#include "../hw/HwAccess.h"
#include "DebugConfig.h"
#include "HdtOutBackend.h"
#include "RedirectBackend.h"
#include "SerialBackend.h"
#include "UartFifoBackend.h"

namespace {

VOID EFIAPI PlaceholderNothing() {}
BOOLEAN EFIAPI PlaceholderKeepFilter(UINT64 *Filter) {
  (void)Filter;
  return FALSE;
}
VOID EFIAPI PlaceholderWrite(CONST CHAR8 *Text, UINTN Length) {
  (void)Text;
  (void)Length;
}
BOOLEAN EFIAPI PlaceholderIsEnabled() { return DebugPrintEnable != 0 ? TRUE : FALSE; }

}  // namespace

// --- RedirectBackend (index 0): active when printing is enabled.
constinit const DEBUG_PRINT_BACKEND RedirectBackend = {PlaceholderIsEnabled, PlaceholderNothing,
                                                       PlaceholderKeepFilter, PlaceholderWrite};

// --- HdtOutBackend (index 1): active when enabled and either forced by
// DebugPrintEnable 1 or a debug tool's breakpoint port is found in DR2.
namespace {
BOOLEAN EFIAPI PlaceholderHdtOutIsActive() {
  if (HdtOutEnable == 0) {
    return FALSE;
  }
  if (DebugPrintEnable == 1) {
    return TRUE;
  }
  return HwReadDr2() == 0x99CC ? TRUE : FALSE;
}
// Without its buffer header the debug tool keeps the default filter.
BOOLEAN EFIAPI PlaceholderHdtOutAdjustFilter(UINT64 *Filter) {
  (void)Filter;
  return TRUE;
}
}  // namespace

constinit const DEBUG_PRINT_BACKEND HdtOutBackend = {
    PlaceholderHdtOutIsActive, PlaceholderNothing, PlaceholderHdtOutAdjustFilter, PlaceholderWrite};

// --- SerialBackend (index 2): active when printing is enabled.
constinit const DEBUG_PRINT_BACKEND SerialBackend = {PlaceholderIsEnabled, PlaceholderNothing,
                                                     PlaceholderKeepFilter, PlaceholderWrite};

// --- UartFifoBackend (index 3): always active.
namespace {
BOOLEAN EFIAPI PlaceholderAlwaysActive() { return TRUE; }
}  // namespace

constinit const DEBUG_PRINT_BACKEND UartFifoBackend = {PlaceholderAlwaysActive, PlaceholderNothing,
                                                       PlaceholderKeepFilter, PlaceholderWrite};
