// A stand-in for the firmware's PCD_PROTOCOL: answers this system's token
// numbers from a small board table, forwards every other call to the
// firmware's own interface, and records every call.
#pragma once
#include "../../../uefi/UefiTables.h"

// Takes the firmware's interface off its handle, so that no PCD_PROTOCOL is
// installed, and keeps it to forward calls to.
EFI_STATUS WithdrawFirmwarePcd(EFI_BOOT_SERVICES *BootServices);
// Installs the proxy on the handle the firmware's interface was on.
EFI_STATUS InstallPcdProxy(EFI_BOOT_SERVICES *BootServices);

// The board table's value of one of this system's tokens (0 for another
// token), as the driver last read or set it; and a value set the way another
// module of the platform would set it.
UINT64 BoardTokenValue(UINTN Token);
VOID SetBoardTokenValue(UINTN Token, UINT64 Value);

// One "pcd.call" line per recorded call, then a "pcd.summary" line.
VOID ReportPcdCalls();
