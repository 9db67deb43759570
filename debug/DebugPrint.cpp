// Debug print dispatcher: formats a message once and offers it to the fixed
// list of output back-ends, each of which decides by its own active test and
// filter whether to emit it. Keeps no state.
#include "DebugConfig.h"
#include "DebugLib.h"
#include "DebugPrintBackend.h"
#include "HdtOutBackend.h"
#include "PrintFormat.h"
#include "RedirectBackend.h"
#include "SerialBackend.h"
#include "UartFifoBackend.h"

// Size of the message text on the print pass's stack, NUL included.
#define DEBUG_PRINT_TEXT_SIZE 512

constinit DEBUG_PRINT_BACKEND_ENTRY mDebugPrintBackends[DEBUG_PRINT_BACKEND_COUNT + 1] = {
    &RedirectBackend, &HdtOutBackend, &SerialBackend, &UartFifoBackend, NULL};

VOID EFIAPI DebugBackendWriteNothing(CONST CHAR8 *Text, UINTN Length) {
  (void)Text;
  (void)Length;
}

VOID GetDebugPrintBackends(DEBUG_PRINT_BACKEND_ENTRY **List) { *List = mDebugPrintBackends; }

BOOLEAN AnyDebugBackendActive(DEBUG_PRINT_BACKEND_ENTRY *List) {
  BOOLEAN AnyActive = FALSE;
  if (List == NULL) {
    return FALSE;
  }
  // Every back-end is asked, also after the first TRUE.
  for (UINTN Index = 0; List[Index] != NULL; Index++) {
    if (List[Index]->IsActive()) {
      AnyActive = TRUE;
    }
  }
  return AnyActive;
}

VOID DebugPrintV(UINT64 ErrorLevel, CONST CHAR8 *Format, VA_LIST Marker) {
  if (DebugPrintEnable == 0) {
    return;
  }

  CHAR8 Text[DEBUG_PRINT_TEXT_SIZE];
  // A rejected format leaves the text untouched; back-ends then still get a
  // terminated text of length 0 (and defined bytes where they peek at two).
  Text[0] = 0;
  Text[1] = 0;
  UINTN Length = AsciiFormatV(Text, sizeof(Text), Format, Marker);

  DEBUG_PRINT_BACKEND_ENTRY *List;
  GetDebugPrintBackends(&List);
  if (!AnyDebugBackendActive(List)) {
    return;
  }
  for (UINTN Index = 0; List[Index] != NULL; Index++) {
    CONST DEBUG_PRINT_BACKEND *Backend = List[Index];
    if (!Backend->IsActive()) {
      continue;
    }
    UINT64 Filter = DebugPrintFilter;
    Backend->AdjustFilter(&Filter);
    if ((ErrorLevel & Filter) != 0) {
      Backend->Write(Text, Length);
    }
  }
}

VOID DebugPrint(UINT64 ErrorLevel, CONST CHAR8 *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  DebugPrintV(ErrorLevel, Format, Marker);
  VA_END(Marker);
}

EFI_STATUS DebugPrintInitialize() {
  if (!AnyDebugBackendActive(mDebugPrintBackends)) {
    return EFI_SUCCESS;
  }
  for (UINTN Index = 0; mDebugPrintBackends[Index] != NULL; Index++) {
    if (mDebugPrintBackends[Index]->IsActive()) {
      mDebugPrintBackends[Index]->Initialize();
    }
  }
  return EFI_SUCCESS;
}
