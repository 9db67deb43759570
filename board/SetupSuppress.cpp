// Setup-item suppression and link-retry reset.
#include "SetupSuppress.h"

#include "../platform/LibraryStartup.h"

VOID EFIAPI SetupSuppressCallback(EFI_EVENT Event, VOID *Context) {
  (void)Context;
  // Closing the event first makes this a one-shot: later installations of
  // the trigger protocol find no event to signal.
  gBS->CloseEvent(Event);
}
