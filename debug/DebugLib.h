// Debug output of BoardHookDxe: the one entry through which the driver emits
// diagnostic text, and the start-up pass of the output back-ends.
#pragma once
#include "../uefi/UefiBase.h"

// Message class of the S3 save library, the one class in use (bit 50).
#define DEBUG_S3_SAVE 0x0004000000000000ULL

// Formats Format (see PrintFormat.h) once into a 512-byte text on the stack
// and offers the text to every active output back-end whose filter shares a
// bit with ErrorLevel. Texts longer than 511 characters are cut.
//
// The argument list is read one 64-bit slot per argument, whatever the
// conversion: pass every argument as UINT64, UINTN or a pointer (cast narrower
// integers and characters to UINT64). Plain C variadics, not EFIAPI.
VOID DebugPrint(UINT64 ErrorLevel, CONST CHAR8 *Format, ...);

// The print pass of DebugPrint on an argument list already collected.
VOID DebugPrintV(UINT64 ErrorLevel, CONST CHAR8 *Format, VA_LIST Marker);

// Start-up pass: gives every active back-end one call of its Initialize.
// Runs once from the library start-up chain; returns EFI_SUCCESS in every case.
EFI_STATUS DebugPrintInitialize();
