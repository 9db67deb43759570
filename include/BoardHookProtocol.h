// BOARD_HOOK_PROTOCOL: the board hook table that BoardHookDxe installs for
// other DXE modules. Six pointer-sized members; Hook3 is NULL, so callers
// test a member before calling it.
#pragma once
#include "../uefi/UefiBase.h"

typedef BOOLEAN(EFIAPI *BOARD_HOOK_BOOLEAN)();
typedef EFI_STATUS(EFIAPI *BOARD_HOOK_STATUS)();
// Hook4: fills the MAC lists of the onboard network controllers. FirstList
// holds a MAC list at byte 3 (port 1, at least 10 bytes); SecondList one at
// byte 0 (ports 2 to 4, at least 19 bytes).
typedef EFI_STATUS(EFIAPI *BOARD_HOOK_COLLECT_MAC_ADDRESSES)(UINT8 *FirstList, UINT8 *SecondList);

struct BOARD_HOOK_PROTOCOL {
  BOARD_HOOK_BOOLEAN Hook0;
  BOARD_HOOK_STATUS Hook1;
  BOARD_HOOK_BOOLEAN Hook2;
  VOID *Hook3;
  BOARD_HOOK_COLLECT_MAC_ADDRESSES Hook4;
  BOARD_HOOK_BOOLEAN Hook5;
};
ASSERT_SIZE(BOARD_HOOK_PROTOCOL, 48, 24);
ASSERT_OFFSET(BOARD_HOOK_PROTOCOL, Hook4, 32, 16);
ASSERT_OFFSET(BOARD_HOOK_PROTOCOL, Hook5, 40, 20);

// 6B588D7C-C72E-4A78-8858-77E1DA8FC7F7
inline constexpr EFI_GUID gBoardHookProtocolGuid = {
    0x6B588D7C, 0xC72E, 0x4A78, {0x88, 0x58, 0x77, 0xE1, 0xDA, 0x8F, 0xC7, 0xF7}};
