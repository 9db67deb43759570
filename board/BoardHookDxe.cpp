// Entry of the BoardHookDxe driver, its board hook table and its cached
// access to the configuration database.
#include "BoardHookDxe.h"

#include "../include/BoardHookProtocol.h"
#include "../platform/LibraryStartup.h"
#include "../uefi/PlatformModules.h"
#include "MacCollection.h"
#include "SetupSuppress.h"

constinit PCD_PROTOCOL *mPcdProtocol = NULL;

namespace {

// Constant answers of this board; they read no argument.
BOOLEAN EFIAPI BoardHookReturnFalse() { return FALSE; }
EFI_STATUS EFIAPI BoardHookReturnSuccess() { return EFI_SUCCESS; }
BOOLEAN EFIAPI BoardHookReturnTrue() { return TRUE; }

// The firmware keeps this table's address, so it lives in module data for
// the life of the module and is never copied. Hook3 is NULL by design.
constinit BOARD_HOOK_PROTOCOL mBoardHookProtocol = {
    BoardHookReturnFalse, BoardHookReturnSuccess, BoardHookReturnFalse, NULL,
    CollectMacAddresses,  BoardHookReturnTrue,
};

}  // namespace

extern "C" EFI_STATUS EFIAPI BoardHookDxeImageEntry(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE *SystemTable) {
  RunLibraryStartup(ImageHandle, SystemTable);
  EFI_STATUS Status = BoardHookDxeEntryPoint(ImageHandle, SystemTable);
  if (EFI_ERROR(Status)) {
    RunLibraryTeardown(ImageHandle, SystemTable);
  }
  return Status;
}

EFI_STATUS EFIAPI BoardHookDxeEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;

  // A new handle of its own (not the image handle). A failed installation
  // only leaves the hooks unreachable.
  EFI_HANDLE Handle = NULL;
  gBS->InstallProtocolInterface(&Handle, &gBoardHookProtocolGuid, EFI_NATIVE_INTERFACE,
                                &mBoardHookProtocol);

  // The event is not signalled here: only a trigger protocol installed after
  // this point runs the callback, and the callback closes the event itself.
  EFI_EVENT Event = NULL;
  if (!EFI_ERROR(
          gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, SetupSuppressCallback, NULL, &Event))) {
    VOID *Registration = NULL;
    if (EFI_ERROR(gBS->RegisterProtocolNotify(&gSetupSuppressTriggerProtocolGuid, Event,
                                              &Registration))) {
      // Without the registration nothing could ever signal the event.
      gBS->CloseEvent(Event);
    }
  }
  return EFI_SUCCESS;
}

PCD_PROTOCOL *GetPcdProtocol() {
  if (mPcdProtocol == NULL) {
    // Only a successful lookup fills the cache, so a failed one can leave
    // nothing stale behind and the next call looks again.
    VOID *Interface = NULL;
    if (!EFI_ERROR(gBS->LocateProtocol(&gPcdProtocolGuid, NULL, &Interface))) {
      mPcdProtocol = static_cast<PCD_PROTOCOL *>(Interface);
    }
  }
  return mPcdProtocol;
}
