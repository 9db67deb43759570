// A stand-in for the firmware's PCD_PROTOCOL: answers this system's token
// numbers from a small board table, forwards every other call to the
// firmware's own interface, and records every call.
#pragma once
#include "../../../uefi/UefiTables.h"

// Replaces the firmware's interface on its handle with the proxy.
EFI_STATUS InstallPcdProxy(EFI_BOOT_SERVICES *BootServices);

// Calls whose return address lies in [Base, Base + Size) are reported as
// made by the driver under test.
VOID SetPcdDriverImage(UINTN Base, UINTN Size);

// One "pcd.call" line per recorded call, then a "pcd.summary" line.
VOID ReportPcdCalls();
