// Port-redirect back-end (list index 0): active whenever printing is enabled;
// sends each message to one I/O port, framed by two marker words so that a
// port monitor can tell the messages apart.
#include "RedirectBackend.h"

#include "../platform/WidthAccess.h"
#include "DebugConfig.h"

namespace {

BOOLEAN EFIAPI RedirectIsActive() { return DebugPrintEnable; }

VOID EFIAPI RedirectInitialize() {}

BOOLEAN EFIAPI RedirectAdjustFilter(UINT64 *Filter) {
  (void)Filter;
  return FALSE;
}

VOID WriteMarker(UINT32 Marker) { WidthIoWrite(WIDTH_CODE_32, DebugRedirectPort, &Marker, NULL); }

}  // namespace

VOID EFIAPI RedirectWrite(CONST CHAR8 *Text, UINTN Length) {
  WriteMarker(REDIRECT_START_MARKER);
  if (Text != NULL) {
    for (UINTN Index = 0; Index < Length; Index++) {
      WidthIoWrite(WIDTH_CODE_8, DebugRedirectPort, &Text[Index], NULL);
    }
  }
  WriteMarker(REDIRECT_END_MARKER);
}

constinit const DEBUG_PRINT_BACKEND RedirectBackend = {RedirectIsActive, RedirectInitialize,
                                                       RedirectAdjustFilter,
                                                       DebugBackendWriteSlot(RedirectWrite)};
