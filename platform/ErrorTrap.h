// The library layer's stop for states that must not occur: the error code
// goes to the POST-code port, then the boot processor scrolls the code and
// the word DEAD across that port until a reset. Only a host that answers the
// back-door query (a simulator) makes ErrorTrap return, and every caller has
// a fall-back path for that case.
#pragma once
#include "../uefi/UefiBase.h"
#include "ErrorCodes.h"

VOID ErrorTrap(UINT32 ErrorCode);

// CPUID back door (EAX 0xBACCD00B, EBX 2, ECX Value, SI cleared); returns SI,
// which stays 0 on a processor that does not answer.
UINT16 BackDoorQuery(UINT32 Value);
