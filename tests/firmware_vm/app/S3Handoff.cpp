#include "S3Handoff.h"

#include "../../../include/PcdTokens.h"
#include "../../../include/S3SaveLib.h"
#include "../../../uefi/StandardInterfaces.h"
#include "AppUefi.h"
#include "DriverImage.h"
#include "PcdProxy.h"
#include "Report.h"

namespace {

// The table another module would have built: header, entries, and the
// boundary marker in its last four bytes.
constexpr UINTN TABLE_SIZE = 128;
constexpr UINT64 TABLE_BOUNDARY_OFFSET = TABLE_SIZE - 4;
constexpr UINT64 TABLE_END_OFFSET = sizeof(S3_LIB_TABLE_HEADER);
// The message takes 40 bytes; the 8 after it must stay as they were.
constexpr UINTN MESSAGE_SIZE = 40;
constexpr UINTN BUFFER_SIZE = MESSAGE_SIZE + 8;
constexpr UINT8 BUFFER_FILL = 0xA5;

struct HANDOFF_STATE {
  EFI_STATUS SmmStandInStatus;
  UINTN FirmwareReadyToLockWithdrawn;
  EFI_STATUS WithdrawStatus;
  BOOLEAN LockPrepared;
  UINT8 LockedBeforeInstall;
  EFI_STATUS LockInstallStatus;
  UINT8 LockedAfterInstall;
  S3_LIB_PRIVATE_DATA *Record;
  UINT8 *Table;
  UINT8 *Buffer;
  BOOLEAN Signalled;
  BOOLEAN SignalReturned;
  UINTN GroupNotifications;
  // What the SMM side saw, at the moment Communicate was called.
  UINTN CommunicateCalls;
  BOOLEAN CommunicateThisIsStandIn;
  BOOLEAN CommunicateBufferIsToken585;
  BOOLEAN CommunicateFromDriver;
  UINTN CommunicateSize;
  UINT16 EndMarkAtCommunicate;
  UINT8 TableClosedAtCommunicate;
  UINT8 MessageAtCommunicate[MESSAGE_SIZE];
  // FreePool of the table while the signal ran.
  UINTN TableFreeCalls;
  EFI_STATUS TableFreeStatus;
  BOOLEAN TableFreedByDriver;
};
constinit HANDOFF_STATE mState = {};

constinit EFI_BOOT_SERVICES *mBootServices = NULL;
constinit EFI_STATUS(EFIAPI *mFirmwareFreePool)(VOID *Buffer) = NULL;

typedef UINT16 UNALIGNED_UINT16 __attribute__((aligned(1)));

UINT16 TableEndMark() {
  return *reinterpret_cast<volatile const UNALIGNED_UINT16 *>(mState.Table + TABLE_END_OFFSET);
}

EFI_STATUS EFIAPI StandInCommunicate(const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer,
                                     UINTN *CommSize);

constinit EFI_SMM_COMMUNICATION_PROTOCOL mCommunicationStandIn = {StandInCommunicate};

EFI_STATUS EFIAPI StandInCommunicate(const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer,
                                     UINTN *CommSize) {
  mState.CommunicateCalls++;
  mState.CommunicateThisIsStandIn = This == &mCommunicationStandIn;
  mState.CommunicateBufferIsToken585 = CommBuffer != NULL && CommBuffer == mState.Buffer;
  mState.CommunicateFromDriver = InDriverImage(__builtin_return_address(0));
  mState.CommunicateSize = CommSize != NULL ? *CommSize : 0;
  if (mState.Table != NULL) {
    mState.EndMarkAtCommunicate = TableEndMark();
  }
  if (mState.Record != NULL) {
    mState.TableClosedAtCommunicate = mState.Record->TableClosed;
  }
  if (mState.CommunicateBufferIsToken585) {
    mBootServices->CopyMem(mState.MessageAtCommunicate, CommBuffer, MESSAGE_SIZE);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI WatchedFreePool(VOID *Buffer) {
  EFI_STATUS Status = mFirmwareFreePool(Buffer);
  if (Buffer != NULL && Buffer == mState.Table) {
    mState.TableFreeCalls++;
    mState.TableFreeStatus = Status;
    mState.TableFreedByDriver = InDriverImage(__builtin_return_address(0));
  }
  return Status;
}

// Boot-service slots are changed the way the standard asks: with the
// table's checksum computed again.
VOID SetFreePoolSlot(EFI_STATUS(EFIAPI *FreePool)(VOID *Buffer)) {
  mBootServices->FreePool = FreePool;
  mBootServices->Hdr.CRC32 = 0;
  UINT32 Crc = 0;
  CalculateCrc32Service(mBootServices)(mBootServices, mBootServices->Hdr.HeaderSize, &Crc);
  mBootServices->Hdr.CRC32 = Crc;
}

VOID EFIAPI NoteReadyToBoot(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  mState.GroupNotifications++;
}

UINT8 *AllocateFilled(UINTN Size, UINT8 Fill) {
  VOID *Buffer = NULL;
  if (EFI_ERROR(mBootServices->AllocatePool(EfiBootServicesData, Size, &Buffer))) {
    return NULL;
  }
  mBootServices->SetMem(Buffer, Size, Fill);
  return static_cast<UINT8 *>(Buffer);
}

UINT8 *BuildTable(UINT32 Signature) {
  UINT8 *Table = AllocateFilled(TABLE_SIZE, 0);
  if (Table == NULL) {
    return NULL;
  }
  S3_LIB_TABLE_HEADER Header = {};
  Header.Signature = Signature;
  Header.BoundaryOffset = TABLE_BOUNDARY_OFFSET;
  Header.EndOffset = TABLE_END_OFFSET;
  mBootServices->CopyMem(Table, &Header, sizeof(Header));
  UINT32 Marker = S3_SAVE_TABLE_BOUNDARY_MARKER;
  mBootServices->CopyMem(Table + TABLE_BOUNDARY_OFFSET, &Marker, sizeof(Marker));
  return Table;
}

VOID InstallReadyToLock() {
  mState.LockPrepared = TRUE;
  mState.LockedBeforeInstall = mState.Record->BootScriptLocked;
  EFI_HANDLE Handle = NULL;
  mState.LockInstallStatus = mBootServices->InstallProtocolInterface(
      &Handle, &gEfiDxeSmmReadyToLockProtocolGuid, EFI_NATIVE_INTERFACE, NULL);
  mState.LockedAfterInstall = mState.Record->BootScriptLocked;
}

VOID SignalReadyToBoot() {
  EFI_EVENT Event = NULL;
  if (EFI_ERROR(mBootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, NoteReadyToBoot, NULL,
                                             &gEfiEventReadyToBootGuid, &Event))) {
    return;
  }
  mFirmwareFreePool = mBootServices->FreePool;
  SetFreePoolSlot(WatchedFreePool);
  mState.Signalled = TRUE;
  mBootServices->SignalEvent(Event);
  mState.SignalReturned = TRUE;
  SetFreePoolSlot(mFirmwareFreePool);
  mBootServices->CloseEvent(Event);
}

}  // namespace

EFI_STATUS InstallSmmCommunicationStandIn(EFI_BOOT_SERVICES *BootServices) {
  mBootServices = BootServices;
  VOID *Existing = NULL;
  if (!EFI_ERROR(
          BootServices->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, NULL, &Existing))) {
    mState.SmmStandInStatus = EFI_ALREADY_STARTED;
    return mState.SmmStandInStatus;
  }
  EFI_HANDLE Handle = NULL;
  mState.SmmStandInStatus = BootServices->InstallProtocolInterface(
      &Handle, &gEfiSmmCommunicationProtocolGuid, EFI_NATIVE_INTERFACE, &mCommunicationStandIn);
  return mState.SmmStandInStatus;
}

VOID WithdrawFirmwareReadyToLock(EFI_BOOT_SERVICES *BootServices) {
  mBootServices = BootServices;
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  if (EFI_ERROR(BootServices->LocateHandleBuffer(ByProtocol, &gEfiDxeSmmReadyToLockProtocolGuid,
                                                 NULL, &Count, &Handles))) {
    return;
  }
  for (UINTN Index = 0; Index < Count; Index++) {
    VOID *Interface = NULL;
    BootServices->HandleProtocol(Handles[Index], &gEfiDxeSmmReadyToLockProtocolGuid, &Interface);
    mState.WithdrawStatus = BootServices->UninstallProtocolInterface(
        Handles[Index], &gEfiDxeSmmReadyToLockProtocolGuid, Interface);
    if (!EFI_ERROR(mState.WithdrawStatus)) {
      mState.FirmwareReadyToLockWithdrawn++;
    }
  }
  BootServices->FreePool(Handles);
}

VOID LockAndHandTableToSmm(EFI_BOOT_SERVICES *BootServices, UINT32 TableSignature) {
  mBootServices = BootServices;
  mState.Record = reinterpret_cast<S3_LIB_PRIVATE_DATA *>(
      static_cast<UINTN>(BoardTokenValue(PCD_TOKEN_S3_LIB_PRIVATE_DATA)));
  if (mState.Record == NULL) {
    return;
  }
  InstallReadyToLock();

  mState.Table = BuildTable(TableSignature);
  mState.Buffer = AllocateFilled(BUFFER_SIZE, BUFFER_FILL);
  if (mState.Table == NULL || mState.Buffer == NULL) {
    return;
  }
  mState.Record->TableBase = reinterpret_cast<UINTN>(mState.Table);
  SetBoardTokenValue(PCD_TOKEN_SMM_COMMUNICATION_BUFFER, reinterpret_cast<UINTN>(mState.Buffer));
  SignalReadyToBoot();
}

VOID ReportS3Handoff() {
  ReportHexField("smm stand_in_status", mState.SmmStandInStatus);
  ReportDecField("communicate_calls", mState.CommunicateCalls);
  if (mState.CommunicateCalls != 0) {
    ReportDecField("this_is_stand_in", mState.CommunicateThisIsStandIn);
    ReportDecField("buffer_is_token585", mState.CommunicateBufferIsToken585);
    ReportDecField("from_driver", mState.CommunicateFromDriver);
    ReportDecField("size", mState.CommunicateSize);
    ReportHexField("end_mark", mState.EndMarkAtCommunicate);
    ReportDecField("table_closed", mState.TableClosedAtCommunicate);
    ReportBytesField("message", mState.MessageAtCommunicate, MESSAGE_SIZE);
  }
  ReportText("\n");

  ReportDecField("lock firmware_withdrawn", mState.FirmwareReadyToLockWithdrawn);
  ReportYesNo("prepared", mState.LockPrepared);
  if (mState.LockPrepared) {
    ReportDecField("locked_before", mState.LockedBeforeInstall);
    ReportHexField("install_status", mState.LockInstallStatus);
    ReportDecField("locked_after", mState.LockedAfterInstall);
  }
  ReportText("\n");

  ReportHexField("s3 record", reinterpret_cast<UINTN>(mState.Record));
  ReportHexField("table", reinterpret_cast<UINTN>(mState.Table));
  ReportHexField("buffer", reinterpret_cast<UINTN>(mState.Buffer));
  ReportYesNo("signalled", mState.Signalled);
  ReportYesNo("signal_returned", mState.SignalReturned);
  ReportDecField("group_notifications", mState.GroupNotifications);
  if (mState.Record != NULL) {
    ReportDecField("locked", mState.Record->BootScriptLocked);
    ReportDecField("closed", mState.Record->TableClosed);
    ReportHexField("table_base", mState.Record->TableBase);
  }
  ReportDecField("table_free_calls", mState.TableFreeCalls);
  if (mState.TableFreeCalls != 0) {
    ReportHexField("table_free_status", mState.TableFreeStatus);
    ReportDecField("table_freed_by_driver", mState.TableFreedByDriver);
  } else if (mState.Table != NULL) {
    // A table still allocated can be read after the signal.
    ReportHexField("end_mark_after", TableEndMark());
  }
  if (mState.Buffer != NULL) {
    ReportBytesField("buffer_after", mState.Buffer, BUFFER_SIZE);
  }
  ReportText("\n");
}
