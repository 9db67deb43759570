// Entry of the BoardHookPei module.
#include "BoardHookPei.h"

#include "../include/BoardHookPpi.h"

namespace {

BOOLEAN EFIAPI PeiHookReturnFalse() { return FALSE; }
BOOLEAN EFIAPI PeiHookReturnTrue() { return TRUE; }

constinit const BOARD_HOOK_PPI mBoardHookPpi = {PeiHookReturnFalse, NULL, NULL, NULL,
                                                PeiHookReturnTrue,  NULL};

}  // namespace

extern "C" EFI_STATUS EFIAPI BoardHookPeiEntryPoint(EFI_PEI_FILE_HANDLE FileHandle,
                                                    const EFI_PEI_SERVICES **PeiServices) {
  (void)FileHandle;
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
