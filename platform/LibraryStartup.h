// Module globals of BoardHookDxe and the library start-up and tear-down
// chain that sets them up before any board code runs.
//
// Every part of the driver reaches UEFI services only through gBS, gST and
// gRT. They are written once, by RunLibraryStartup, and only read afterwards.
#pragma once
#include "../uefi/UefiTables.h"

// The image handle and system table passed to the driver's entry point, and
// the system table's boot-services and runtime-services pointers.
extern EFI_HANDLE gImageHandle;
extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
extern EFI_RUNTIME_SERVICES *gRT;

// Start of the HOB list once FindHobList has found it; NULL until then.
extern VOID *mHobList;

// Stores the module globals, looks up the HOB list, then starts the
// libraries that keep state, in a fixed order. Nothing is reported: a
// library whose start-up fails handles that itself, and the chain always
// runs to its end.
VOID RunLibraryStartup(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Undoes what the library start-ups armed (their events). Reads neither
// argument; works from the module globals. Runs only when the board entry
// fails.
VOID RunLibraryTeardown(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Returns the first HOB of the HOB list, found through the system table's
// configuration table (the entry with the lowest index wins), or NULL when
// the table has no HOB-list entry. A found list is cached in mHobList; a miss
// is not, so the next call scans the table again.
VOID *FindHobList();
