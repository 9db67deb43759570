// The "Setup" variable as the PEI module reads it: its vendor GUID and the
// one option this system uses.
#pragma once
#include "../uefi/UefiBase.h"

// EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9
inline constexpr EFI_GUID gSetupVariableGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};

// The variable is read whole into a buffer of this size: a larger variable
// is not read at all.
#define SETUP_VARIABLE_MAX_SIZE 4092
// Nonzero when the option that sets token 0x1F5 is on.
#define SETUP_OPTION_OFFSET 4062
