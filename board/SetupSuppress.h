// Setup-item suppression and link-retry reset, run once when another module
// installs SETUP_SUPPRESS_TRIGGER_PROTOCOL after the driver's entry.
#pragma once
#include "../uefi/UefiTables.h"

// The CMOS byte that counts the resets made in a row because an onboard
// network controller was missing.
inline constexpr UINT8 LINK_RETRY_CMOS_INDEX = 0x58;

// Notify function of the trigger-protocol event (TPL_CALLBACK). Closes its
// own event first, so it runs at most once. Context is NULL and not read.
// Without SETUP_ITEM_SUPPRESS_PROTOCOL or PCD_PROTOCOL it does nothing more.
// On board types 12 and 14 it resets the platform (port 0xCF9, never
// returning) while an onboard network controller is missing, at most three
// times in a row as counted in CMOS byte 0x58. Then it hides items of the
// "Setup" form set by the board-identification tokens and by the devices
// found behind root ports 1 to 4.
VOID EFIAPI SetupSuppressCallback(EFI_EVENT Event, VOID *Context);
