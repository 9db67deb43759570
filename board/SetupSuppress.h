// Setup-item suppression and link-retry reset, run once when another module
// installs SETUP_SUPPRESS_TRIGGER_PROTOCOL after the driver's entry.
#pragma once
#include "../uefi/UefiSpec.h"

// Notify function of the trigger-protocol event (TPL_CALLBACK). Closes its
// own event first, so it runs at most once. Context is NULL and not read.
VOID EFIAPI SetupSuppressCallback(EFI_EVENT Event, VOID *Context);
