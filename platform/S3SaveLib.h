// S3 save library: one private data record per boot, shared by every DXE
// module built with the library through configuration-database token 584.
// The module that creates the record marks it locked when the DXE SMM
// ready-to-lock protocol is installed and, at the first ReadyToBoot, checks
// the S3 save table, closes it with an end mark, hands the record to SMM
// through the buffer that token 585 names, and frees the table.
#pragma once
#include "../include/S3SaveLib.h"
#include "../uefi/UefiTables.h"

// Results of CheckS3SaveTable.
#define S3_SAVE_TABLE_SOUND 0U
#define S3_SAVE_TABLE_BROKEN 7U

// The record in use: the one this module created or the one token 584 named
// at start-up. NULL until S3SaveLibStartup has found or created it.
extern S3_LIB_PRIVATE_DATA *mS3LibPrivateData;

// The two events the start-up arms, NULL while not armed. A notification that
// closes its own event clears its handle, so RunLibraryTeardown closes only
// events that are still open.
extern EFI_EVENT mBootScriptLockEvent;
extern EFI_EVENT mCloseTableEvent;

// Step 5 of the library start-up chain; reads neither argument.
// Token 584 already set: takes that record and arms nothing. Otherwise
// creates the record in runtime pool, publishes it in token 584 and arms the
// BootScriptLock event (signalled once at once, so a ready-to-lock protocol
// installed earlier takes effect) and the CloseTable event in the ReadyToBoot
// group. A clear MMIO configuration enable bit traps (0x90869) and goes on.
// EFI_OUT_OF_RESOURCES when there is no pool (trap 0x90875), EFI_UNSUPPORTED
// when an event cannot be created (traps 0x90898 / 0x90915).
// Without PCD_PROTOCOL the record can be neither found nor shared: the
// start-up prints "S3SaveLib locate PcdProtocol fail\n", allocates nothing,
// arms nothing and returns EFI_UNSUPPORTED; the table is then never closed
// by this module.
EFI_STATUS S3SaveLibStartup(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Notification of the BootScriptLock event: once the DXE SMM ready-to-lock
// protocol can be located, closes the event and sets BootScriptLocked;
// before that it does nothing and the event stays armed.
VOID EFIAPI BootScriptLockNotify(EFI_EVENT Event, VOID *Context);

// Notification of the CloseTable event (ReadyToBoot): closes the event, so
// it runs once, then checks, end-marks and hands over the table and frees
// it. Returns early, sending and freeing nothing, when there is no table,
// the table is broken, token 585 is 0 or SMM communication is missing.
VOID EFIAPI S3SaveCloseTableCallBack(EFI_EVENT Event, VOID *Context);

// Checks the signature and the boundary marker of the table at the record's
// TableBase (which must not be 0): S3_SAVE_TABLE_SOUND or
// S3_SAVE_TABLE_BROKEN. A mismatch traps (0x90672 / 0x90677); if the trap
// returns the value is read once more, so a table mended meanwhile passes.
UINT32 CheckS3SaveTable();
