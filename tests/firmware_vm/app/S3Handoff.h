// The platform around the driver's S3 save library, played by the
// application: an SMM communication stand-in that records the message, the
// DXE SMM ready-to-lock protocol, an S3 save table in the shared record, the
// message buffer of token 585 and the ReadyToBoot signal.
#pragma once
#include "../../../uefi/UefiTables.h"

// Installs the recording stand-in for EFI_SMM_COMMUNICATION_PROTOCOL unless
// the firmware has the protocol (EFI_ALREADY_STARTED then).
EFI_STATUS InstallSmmCommunicationStandIn(EFI_BOOT_SERVICES *BootServices);

// Before the driver starts: the firmware's own ready-to-lock instances are
// taken away, so that the driver's start-up finds the protocol absent and
// only the installation below can lock the record.
VOID WithdrawFirmwareReadyToLock(EFI_BOOT_SERVICES *BootServices);

// After the driver returned: installs the ready-to-lock protocol, then puts
// an S3 save table (signature as given) into the record whose address token
// 584 holds, names a message buffer in token 585 and signals the ReadyToBoot
// group with FreePool watched. Does not return when the driver's callback
// stays in a fatal-error display loop.
VOID LockAndHandTableToSmm(EFI_BOOT_SERVICES *BootServices, UINT32 TableSignature);

// The "lock", "s3" and "smm" report lines; also from the watchdog, while the
// ReadyToBoot signal has not returned.
VOID ReportS3Handoff();
