// S3 save library: the shared private data record, its two events, and the
// hand-over of the S3 save table to SMM at ReadyToBoot.
#include "S3SaveLib.h"

#include "../board/BoardHookDxe.h"
#include "../debug/DebugLib.h"
#include "../hw/HwAccess.h"
#include "../include/PcdTokens.h"
#include "../uefi/StandardInterfaces.h"
#include "ErrorTrap.h"
#include "LibraryStartup.h"

constinit S3_LIB_PRIVATE_DATA *mS3LibPrivateData = NULL;
constinit EFI_EVENT mBootScriptLockEvent = NULL;
constinit EFI_EVENT mCloseTableEvent = NULL;

namespace {

// The processor's MMIO configuration base address register; bit 0 enables
// the memory-mapped PCI configuration space the platform relies on.
constexpr UINT32 MSR_MMIO_CONFIGURATION_BASE = 0xC0010058;
constexpr UINT64 MMIO_CONFIGURATION_ENABLE = 0x1;

// The table comes from another module and its marker offsets are arbitrary,
// so its fields are read and written without assuming alignment. Volatile:
// after a trap returns, the field is read again from memory.
typedef UINT32 UNALIGNED_UINT32 __attribute__((aligned(1)));
typedef UINT16 UNALIGNED_UINT16 __attribute__((aligned(1)));
typedef UINT64 UNALIGNED_UINT64 __attribute__((aligned(1)));

UINTN TableAddress(UINT64 Offset) {
  return static_cast<UINTN>(mS3LibPrivateData->TableBase + Offset);
}

UINT32 ReadTable32(UINT64 Offset) {
  return *reinterpret_cast<volatile CONST UNALIGNED_UINT32 *>(TableAddress(Offset));
}

UINT64 ReadTable64(UINT64 Offset) {
  return *reinterpret_cast<volatile CONST UNALIGNED_UINT64 *>(TableAddress(Offset));
}

UINT32 BoundaryMarker() {
  return ReadTable32(ReadTable64(__builtin_offsetof(S3_LIB_TABLE_HEADER, BoundaryOffset)));
}

}  // namespace

EFI_STATUS S3SaveLibStartup(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;

  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  UINT64 SharedRecord = Pcd != NULL ? Pcd->Get64(PCD_TOKEN_S3_LIB_PRIVATE_DATA) : 0;

  if ((HwReadMsr(MSR_MMIO_CONFIGURATION_BASE) & MMIO_CONFIGURATION_ENABLE) == 0) {
    ErrorTrap(ERROR_TRAP_S3_MMIO_CONFIG_DISABLED);
  }

  // Without the database the record could not be found by, or shared with,
  // the other modules; a record of this module's own would never get a table.
  if (Pcd == NULL) {
    DebugPrint(DEBUG_S3_SAVE, "S3SaveLib locate PcdProtocol fail\n");
    return EFI_UNSUPPORTED;
  }

  // An earlier module created the record and armed the events for the boot.
  if (SharedRecord != 0) {
    mS3LibPrivateData = reinterpret_cast<S3_LIB_PRIVATE_DATA *>(static_cast<UINTN>(SharedRecord));
    return EFI_SUCCESS;
  }

  DebugPrint(DEBUG_S3_SAVE, "S3LibPrivateData allocation\n");
  VOID *Buffer = NULL;
  EFI_STATUS Status =
      gBS->AllocatePool(EfiRuntimeServicesData, sizeof(S3_LIB_PRIVATE_DATA), &Buffer);
  if (EFI_ERROR(Status) || Buffer == NULL) {
    ErrorTrap(ERROR_TRAP_S3_PRIVATE_DATA_POOL);
    DebugPrint(DEBUG_S3_SAVE, "S3LibPrivateData allocate fail\n");
    return EFI_OUT_OF_RESOURCES;
  }
  S3_LIB_PRIVATE_DATA *Record = static_cast<S3_LIB_PRIVATE_DATA *>(Buffer);
  Record->BootScriptLocked = 0;
  Record->TableClosed = 0;
  for (UINTN Index = 0; Index < sizeof(Record->Reserved); Index++) {
    Record->Reserved[Index] = 0;
  }
  Record->TableBase = 0;

  Pcd->Set64(PCD_TOKEN_S3_LIB_PRIVATE_DATA, static_cast<UINT64>(reinterpret_cast<UINTN>(Record)));
  // Set before the events exist: both notifications work on it.
  mS3LibPrivateData = Record;

  // The handle is checked right after creation: the notification, run by the
  // SignalEvent below, closes the event and clears the handle when the
  // ready-to-lock protocol is already installed, which is no failure.
  EFI_EVENT Event = NULL;
  Status = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, BootScriptLockNotify, NULL, &Event);
  mBootScriptLockEvent = EFI_ERROR(Status) ? NULL : Event;
  if (mBootScriptLockEvent == NULL) {
    ErrorTrap(ERROR_TRAP_S3_BOOT_SCRIPT_LOCK_EVENT);
    DebugPrint(DEBUG_S3_SAVE, "S3SaveLib create BootScriptLock Event fail\n");
    return EFI_UNSUPPORTED;
  }
  VOID *Registration = NULL;
  gBS->RegisterProtocolNotify(&gEfiDxeSmmReadyToLockProtocolGuid, Event, &Registration);
  gBS->SignalEvent(Event);

  Event = NULL;
  Status = gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, S3SaveCloseTableCallBack, NULL,
                              &gEfiEventReadyToBootGuid, &Event);
  if (!EFI_ERROR(Status)) {
    mCloseTableEvent = Event;
  }
  if (Status != EFI_SUCCESS) {
    ErrorTrap(ERROR_TRAP_S3_CLOSE_TABLE_EVENT);
    if (EFI_ERROR(Status)) {
      DebugPrint(DEBUG_S3_SAVE, "S3SaveLib create CloseTable Event fail\n");
      return EFI_UNSUPPORTED;
    }
  }
  return EFI_SUCCESS;
}

VOID EFIAPI BootScriptLockNotify(EFI_EVENT Event, VOID *Context) {
  (void)Context;
  VOID *ReadyToLock = NULL;
  if (EFI_ERROR(gBS->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, NULL, &ReadyToLock))) {
    return;
  }
  if (Event != NULL) {
    gBS->CloseEvent(Event);
    if (Event == mBootScriptLockEvent) {
      mBootScriptLockEvent = NULL;
    }
  }
  if (mS3LibPrivateData != NULL) {
    mS3LibPrivateData->BootScriptLocked = 1;
  }
}

VOID EFIAPI S3SaveCloseTableCallBack(EFI_EVENT Event, VOID *Context) {
  (void)Context;
  if (Event != NULL) {
    gBS->CloseEvent(Event);
    if (Event == mCloseTableEvent) {
      mCloseTableEvent = NULL;
    }
  }
  DebugPrint(DEBUG_S3_SAVE, "S3SaveCloseTableCallBack\n");

  if (mS3LibPrivateData == NULL || mS3LibPrivateData->TableBase == 0) {
    DebugPrint(DEBUG_S3_SAVE, "mS3LibPrivateData is NULL\n");
    return;
  }
  if (CheckS3SaveTable() != S3_SAVE_TABLE_SOUND) {
    return;
  }

  UINT64 EndOffset = ReadTable64(__builtin_offsetof(S3_LIB_TABLE_HEADER, EndOffset));
  *reinterpret_cast<volatile UNALIGNED_UINT16 *>(TableAddress(EndOffset)) = S3_SAVE_TABLE_END_MARK;

  // The database stays found once found; treating its absence like an unset
  // token keeps the callback from calling through NULL.
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  UINT64 BufferAddress = Pcd != NULL ? Pcd->Get64(PCD_TOKEN_SMM_COMMUNICATION_BUFFER) : 0;
  if (BufferAddress == 0) {
    ErrorTrap(ERROR_TRAP_S3_SMM_BUFFER_TOKEN);
    return;
  }
  VOID *CommBuffer = reinterpret_cast<VOID *>(static_cast<UINTN>(BufferAddress));

  S3_SAVE_SMM_MESSAGE Message;
  __builtin_memset(&Message, 0, sizeof(Message));
  Message.HeaderGuid = gS3SaveSmmGuid;
  Message.MessageLength = sizeof(Message) - __builtin_offsetof(S3_SAVE_SMM_MESSAGE, RequestCode);
  Message.RequestCode = S3_SAVE_SMM_REQUEST_CLOSE_TABLE;
  Message.PrivateData = static_cast<UINT64>(reinterpret_cast<UINTN>(mS3LibPrivateData));
  __builtin_memcpy(CommBuffer, &Message, sizeof(Message));

  // A failed lookup may leave a pointer behind; only a successful one is
  // called through.
  VOID *Interface = NULL;
  EFI_STATUS Status = gBS->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, NULL, &Interface);
  if (Status != EFI_SUCCESS) {
    ErrorTrap(ERROR_TRAP_S3_SMM_COMMUNICATION);
  }
  if (Status != EFI_SUCCESS || Interface == NULL) {
    DebugPrint(DEBUG_S3_SAVE, "S3SaveLib locate SmmCommunicationProtocol fail \n");
    return;
  }
  EFI_SMM_COMMUNICATION_PROTOCOL *SmmCommunication =
      static_cast<EFI_SMM_COMMUNICATION_PROTOCOL *>(Interface);
  UINTN CommSize = sizeof(Message);
  SmmCommunication->Communicate(SmmCommunication, CommBuffer, &CommSize);

  mS3LibPrivateData->TableClosed = 1;
  // TableBase keeps its value; TableClosed tells that it names freed memory.
  gBS->FreePool(reinterpret_cast<VOID *>(static_cast<UINTN>(mS3LibPrivateData->TableBase)));
}

UINT32 CheckS3SaveTable() {
  if (ReadTable32(__builtin_offsetof(S3_LIB_TABLE_HEADER, Signature)) != S3_SAVE_TABLE_SIGNATURE) {
    ErrorTrap(ERROR_TRAP_S3_TABLE_SIGNATURE);
    if (ReadTable32(__builtin_offsetof(S3_LIB_TABLE_HEADER, Signature)) !=
        S3_SAVE_TABLE_SIGNATURE) {
      DebugPrint(DEBUG_S3_SAVE, "S3Lib table Signature check fail\n");
      return S3_SAVE_TABLE_BROKEN;
    }
  }
  if (BoundaryMarker() != S3_SAVE_TABLE_BOUNDARY_MARKER) {
    ErrorTrap(ERROR_TRAP_S3_TABLE_BOUNDARY);
    if (BoundaryMarker() != S3_SAVE_TABLE_BOUNDARY_MARKER) {
      DebugPrint(DEBUG_S3_SAVE, "S3Lib table boundary check fail\n");
      return S3_SAVE_TABLE_BROKEN;
    }
  }
  return S3_SAVE_TABLE_SOUND;
}
