// Entry of the BoardHookPei module and its board hook PPI.
#include "BoardHookPei.h"

#include "../include/PcdTokens.h"
#include "../include/SetupVariable.h"
#include "../uefi/PlatformModules.h"
#include "../uefi/StandardInterfaces.h"

constinit const EFI_PEI_NOTIFY_DESCRIPTOR mCaptureBoardIdNotifyList[1] = {
    {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
     &gEfiPeiSmbus2PpiGuid, CaptureBoardIdCallback}};

constinit const EFI_PEI_NOTIFY_DESCRIPTOR mProgramI2cChannelsNotifyList[1] = {
    {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
     &gI2cApplyPpiGuid, ProgramI2cChannelsCallback}};

constinit const BOARD_HOOK_PPI mBoardHookPpi = {
    PeiHookReturnFalse, NULL, NULL, PeiHookGetFixedBytes, PeiHookReturnTrue, NULL};

BOOLEAN EFIAPI PeiHookReturnFalse() { return FALSE; }

BOOLEAN EFIAPI PeiHookReturnTrue() { return TRUE; }

// A caller that passes no buffer gets EFI_INVALID_PARAMETER and nothing is
// written.
EFI_STATUS EFIAPI PeiHookGetFixedBytes(UINTN Ignored0, UINTN Ignored1, UINT8 *Bytes,
                                       BOOLEAN *Flag) {
  (void)Ignored0;
  (void)Ignored1;
  if (Bytes == NULL || Flag == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  Bytes[0] = 0x8A;
  Bytes[1] = 0x09;
  Bytes[2] = 0x01;
  Bytes[3] = 0x01;
  *Flag = TRUE;
  return EFI_SUCCESS;
}

namespace {

constexpr CHAR16 kSetupVariableName[] = {'S', 'e', 't', 'u', 'p', 0};

// Token 0x1F5 becomes 0xFF when the "Setup" byte at SETUP_OPTION_OFFSET is
// nonzero. A variable too short to hold that byte leaves the option off;
// one larger than the buffer is not read. Kept out of line so the 4 KiB
// buffer is on the stack only here, not under the notification callbacks
// that the entry's NotifyPpi calls may run.
__attribute__((noinline)) VOID CopySetupOption(const EFI_PEI_SERVICES **PeiServices) {
  EFI_PEI_READ_ONLY_VARIABLE2_PPI *Variables = NULL;
  if (EFI_ERROR((*PeiServices)
                    ->LocatePpi(PeiServices, &gEfiPeiReadOnlyVariable2PpiGuid, 0, NULL,
                                reinterpret_cast<VOID **>(&Variables)))) {
    return;
  }
  UINT8 SetupData[SETUP_VARIABLE_MAX_SIZE];
  // A service that answers with a warning may have copied less than it
  // reports: the one byte read below starts cleared, so it is never read
  // uninitialised.
  SetupData[SETUP_OPTION_OFFSET] = 0;
  UINTN DataSize = sizeof(SetupData);
  const EFI_STATUS Status = Variables->GetVariable(Variables, kSetupVariableName,
                                                   &gSetupVariableGuid, NULL, &DataSize, SetupData);
  if (EFI_ERROR(Status) || DataSize <= SETUP_OPTION_OFFSET || DataSize > sizeof(SetupData) ||
      SetupData[SETUP_OPTION_OFFSET] == 0) {
    return;
  }
  PCD_PPI *Pcd = GetPcdPpi();
  if (Pcd != NULL) {
    Pcd->Set64(PCD_TOKEN_SETUP_OPTION, 0xFF);
  }
}

}  // namespace

extern "C" EFI_STATUS EFIAPI BoardHookPeiEntryPoint(EFI_PEI_FILE_HANDLE FileHandle,
                                                    const EFI_PEI_SERVICES **PeiServices) {
  (void)FileHandle;
  (*PeiServices)->NotifyPpi(PeiServices, mCaptureBoardIdNotifyList);
  (*PeiServices)->NotifyPpi(PeiServices, mProgramI2cChannelsNotifyList);

  CopySetupOption(PeiServices);

  // The descriptor belongs to the PEI foundation once installed.
  VOID *Buffer = NULL;
  if (!EFI_ERROR(
          (*PeiServices)->AllocatePool(PeiServices, sizeof(EFI_PEI_PPI_DESCRIPTOR), &Buffer))) {
    EFI_PEI_PPI_DESCRIPTOR *Descriptor = static_cast<EFI_PEI_PPI_DESCRIPTOR *>(Buffer);
    Descriptor->Flags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
    Descriptor->Guid = &gBoardHookPpiGuid;
    Descriptor->Ppi = const_cast<BOARD_HOOK_PPI *>(&mBoardHookPpi);
    (*PeiServices)->InstallPpi(PeiServices, Descriptor);
  }
  return EFI_SUCCESS;
}
