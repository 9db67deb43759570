// BOARD_HOOK_PPI: the PEI module's own hook table for other PEI modules.
// Five pointer-sized slots (32 bits in PEI), slots 1 and 2 NULL, then a zero
// word so a consumer that reads a sixth slot finds NULL.
#pragma once
#include "../uefi/UefiBase.h"

// Slots 0 and 4: return FALSE and TRUE; they read no argument.
typedef BOOLEAN(EFIAPI *BOARD_HOOK_PPI_BOOLEAN)();
// Slot 3: ignores its first two arguments, writes 8A 09 01 01 to Bytes and
// TRUE to *Flag, returns EFI_SUCCESS.
typedef EFI_STATUS(EFIAPI *BOARD_HOOK_PPI_GET_FIXED_BYTES)(UINTN Ignored0, UINTN Ignored1,
                                                           UINT8 *Bytes, BOOLEAN *Flag);

struct BOARD_HOOK_PPI {
  BOARD_HOOK_PPI_BOOLEAN Slot0;
  VOID *Slot1;
  VOID *Slot2;
  BOARD_HOOK_PPI_GET_FIXED_BYTES Slot3;
  BOARD_HOOK_PPI_BOOLEAN Slot4;
  VOID *Terminator;
};
ASSERT_SIZE(BOARD_HOOK_PPI, 48, 24);
ASSERT_OFFSET(BOARD_HOOK_PPI, Slot3, 24, 12);
ASSERT_OFFSET(BOARD_HOOK_PPI, Slot4, 32, 16);
ASSERT_OFFSET(BOARD_HOOK_PPI, Terminator, 40, 20);

// The four bytes slot 3 writes, in order from the first.
#define BOARD_HOOK_PPI_FIXED_BYTES_SIZE 4

// A0E5A45F-5374-46B3-B51E-D310B2C48AAE
inline constexpr EFI_GUID gBoardHookPpiGuid = {
    0xA0E5A45F, 0x5374, 0x46B3, {0xB5, 0x1E, 0xD3, 0x10, 0xB2, 0xC4, 0x8A, 0xAE}};
