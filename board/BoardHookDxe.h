// Entry points of the BoardHookDxe driver and its access path to the
// platform configuration database.
#pragma once
#include "../uefi/Pcd.h"
#include "../uefi/UefiTables.h"

// The image's entry point: runs the library start-up chain, then the board
// entry, and the library tear-down if the board entry fails.
extern "C" EFI_STATUS EFIAPI BoardHookDxeImageEntry(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE *SystemTable);

// The board entry: installs BOARD_HOOK_PROTOCOL on a new handle and arms
// SetupSuppressCallback for the installation of
// SETUP_SUPPRESS_TRIGGER_PROTOCOL. Reads neither argument; always
// EFI_SUCCESS, whatever the services return.
EFI_STATUS EFIAPI BoardHookDxeEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Returns PCD_PROTOCOL, or NULL while it cannot be found. The first
// successful lookup is cached; while the protocol is missing, every call
// looks again. Callers test the pointer: a hook or callback that gets NULL
// does no board work and returns as it would on success.
PCD_PROTOCOL *GetPcdProtocol();

// The cache behind GetPcdProtocol: NULL at load, set by the first successful
// lookup, never cleared by the driver (host tests reset it between boots).
extern PCD_PROTOCOL *mPcdProtocol;
