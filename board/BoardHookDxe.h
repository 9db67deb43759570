// Entry points of the BoardHookDxe driver.
#pragma once
#include "../uefi/UefiSpec.h"

extern "C" EFI_STATUS EFIAPI BoardHookDxeImageEntry(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE *SystemTable);
