// The BoardHookPei module: entry, board hook PPI, configuration-database
// access and the two notification callbacks.
#pragma once
#include "../include/BoardHookPpi.h"
#include "../uefi/Pcd.h"
#include "../uefi/PiPei.h"

// Registers the two notifications, copies the "Setup" option into token
// 0x1F5 and installs BOARD_HOOK_PPI. Always EFI_SUCCESS.
extern "C" EFI_STATUS EFIAPI BoardHookPeiEntryPoint(EFI_PEI_FILE_HANDLE FileHandle,
                                                    const EFI_PEI_SERVICES **PeiServices);

// The constant notification lists the entry registers (one entry each).
extern const EFI_PEI_NOTIFY_DESCRIPTOR mCaptureBoardIdNotifyList[1];
extern const EFI_PEI_NOTIFY_DESCRIPTOR mProgramI2cChannelsNotifyList[1];
// The constant hook table installed as BOARD_HOOK_PPI.
extern const BOARD_HOOK_PPI mBoardHookPpi;

BOOLEAN EFIAPI PeiHookReturnFalse();
BOOLEAN EFIAPI PeiHookReturnTrue();
EFI_STATUS EFIAPI PeiHookGetFixedBytes(UINTN Ignored0, UINTN Ignored1, UINT8 *Bytes, BOOLEAN *Flag);

// The services pointer kept in the word below the IDT base (SIDT).
const EFI_PEI_SERVICES **ReadPeiServicesFromIdt();
// PCD_PPI, located anew at every call; NULL when it is not installed.
PCD_PPI *GetPcdPpi();
// Writes an 8-bit token (skipped when PCD_PPI is missing); returns Value.
UINT8 SetPcd8(UINTN TokenNumber, UINT8 Value);

// Runs when EFI_PEI_SMBUS2_PPI is installed: waits for the BMC, then reads
// the board identification from SMBus into tokens 4, 0x1BE, 0x1BF, 0x1BA
// and 0x1BB.
EFI_STATUS EFIAPI CaptureBoardIdCallback(EFI_PEI_SERVICES **PeiServices,
                                         EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi);
// Runs when I2C_APPLY_PPI is installed: has the I2C channel tables filled
// and applied for the device at 0xE2, between clearing 0x74 and 0x71.
EFI_STATUS EFIAPI ProgramI2cChannelsCallback(EFI_PEI_SERVICES **PeiServices,
                                             EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
                                             VOID *Ppi);
