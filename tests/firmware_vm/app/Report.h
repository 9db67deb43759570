// Text output of the test application on the debug console port, a channel
// the firmware itself leaves silent, so the host reads only this report.
#pragma once
#include "../../../uefi/UefiBase.h"

inline constexpr UINT16 REPORT_PORT = 0x402;

VOID ReportText(const CHAR8 *Text);
VOID ReportHex(UINT64 Value);
VOID ReportDec(UINT64 Value);
// "<Key>=<Value in hex>" followed by a blank.
VOID ReportHexField(const CHAR8 *Key, UINT64 Value);
VOID ReportDecField(const CHAR8 *Key, UINT64 Value);
// "<Key>=yes " or "<Key>=no ".
VOID ReportYesNo(const CHAR8 *Key, BOOLEAN Value);
// "<Key>=<the GUID in registry form, upper case>" and a blank.
VOID ReportGuidField(const CHAR8 *Key, const EFI_GUID &Guid);
// "<Key>=<two hexadecimal digits per byte, in memory order>" and a blank.
VOID ReportBytesField(const CHAR8 *Key, const VOID *Bytes, UINTN Length);
