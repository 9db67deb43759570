// Entry point of the BoardHookPei module.
#pragma once
#include "../uefi/PiPei.h"

extern "C" EFI_STATUS EFIAPI BoardHookPeiEntryPoint(EFI_PEI_FILE_HANDLE FileHandle,
                                                    const EFI_PEI_SERVICES **PeiServices);
