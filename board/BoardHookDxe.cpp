// Image entry of BoardHookDxe.
#include "BoardHookDxe.h"

#include "../include/BoardHookProtocol.h"

namespace {

BOOLEAN EFIAPI BoardHookReturnFalse() { return FALSE; }
EFI_STATUS EFIAPI BoardHookReturnSuccess() { return EFI_SUCCESS; }
BOOLEAN EFIAPI BoardHookReturnTrue() { return TRUE; }

// The firmware keeps this table's address, so it lives in module data.
constinit BOARD_HOOK_PROTOCOL mBoardHookProtocol = {
    BoardHookReturnFalse, BoardHookReturnSuccess, BoardHookReturnFalse, NULL, NULL,
    BoardHookReturnTrue};

}  // namespace

extern "C" EFI_STATUS EFIAPI BoardHookDxeImageEntry(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  EFI_HANDLE Handle = NULL;
  SystemTable->BootServices->InstallProtocolInterface(&Handle, &gBoardHookProtocolGuid,
                                                      EFI_NATIVE_INTERFACE, &mBoardHookProtocol);
  return EFI_SUCCESS;
}
