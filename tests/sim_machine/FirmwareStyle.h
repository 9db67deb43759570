// Routines written like firmware code (built without exceptions) that never
// return on real hardware, for the run tests.
#pragma once
#include "uefi/UefiBase.h"

// Writes 0x06 to the reset control port, then waits for the reset.
VOID ResetAndWait();
// Shows a fatal-error code and, unless the CPUID back door answers, keeps
// showing frames on port 0x80, waiting 2.5 s of core clock between frames
// (P-state MSRs and the time-stamp counter), like the fatal-error trap.
VOID ShowFatalError(UINT32 Code);
// Reads the port until the bit is set, without any bound.
VOID PollPortForever(UINT16 Port, UINT8 Bit);
// Executes PAUSE forever.
VOID PauseForever();

// An interface-style call (EFIAPI) into routines above, as a firmware core
// calls a notification function.
typedef VOID(EFIAPI *FIRMWARE_CALLBACK)(UINT32 Argument);
VOID EFIAPI ResetCallback(UINT32 Argument);
VOID CallThroughInterface(FIRMWARE_CALLBACK Callback, UINT32 Argument);
