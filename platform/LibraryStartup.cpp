// Library start-up and tear-down chain of BoardHookDxe, the module globals
// and the cached HOB-list lookup.
#include "LibraryStartup.h"

#include "../debug/DebugLib.h"
#include "../uefi/Hob.h"
#include "ErrorTrap.h"
#include "HeapBufferList.h"
#include "S3SaveLib.h"

constinit EFI_HANDLE gImageHandle = NULL;
constinit EFI_SYSTEM_TABLE *gST = NULL;
constinit EFI_BOOT_SERVICES *gBS = NULL;
constinit EFI_RUNTIME_SERVICES *gRT = NULL;
constinit VOID *mHobList = NULL;

VOID RunLibraryStartup(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  // Step 1: the module globals. No UEFI service is used before this.
  gImageHandle = ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  gRT = SystemTable->RuntimeServices;

  // Step 2: the HOB list, which the heap-buffer list is built from.
  FindHobList();

  // Step 3: heap-buffer list. It must run before step 4: the debug-port
  // back-end finds its buffer in that list.
  HeapBufferListStartup();

  // Step 4: debug output library, which starts the enabled output
  // back-ends. Its status is not examined.
  DebugPrintInitialize();

  // Step 5: S3 save library. A failure is reported by the library itself;
  // the chain does not examine the status.
  S3SaveLibStartup(ImageHandle, SystemTable);
}

VOID RunLibraryTeardown(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  // The S3 save library's events, BootScriptLock first. A handle is NULL when
  // the event was never armed or its notification already closed it. If a
  // failed close's trap returns, the tear-down goes on.
  if (mBootScriptLockEvent != NULL) {
    if (gBS->CloseEvent(mBootScriptLockEvent) != EFI_SUCCESS) {
      ErrorTrap(ERROR_TRAP_TEARDOWN_BOOT_SCRIPT_LOCK_EVENT);
    }
    mBootScriptLockEvent = NULL;
  }
  if (mCloseTableEvent != NULL) {
    if (gBS->CloseEvent(mCloseTableEvent) != EFI_SUCCESS) {
      ErrorTrap(ERROR_TRAP_TEARDOWN_CLOSE_TABLE_EVENT);
    }
    mCloseTableEvent = NULL;
  }
  // Nothing else is undone: the heap-buffer list stays published, and the
  // S3 save library's record and token 584 keep their values.
}

VOID *FindHobList() {
  if (mHobList != NULL) {
    return mHobList;
  }
  const EFI_CONFIGURATION_TABLE *Table = gST->ConfigurationTable;
  if (Table == NULL) {
    return NULL;
  }
  for (UINTN Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    if (GuidEquals(&Table[Index].VendorGuid, &gEfiHobListGuid)) {
      mHobList = Table[Index].VendorTable;
      return mHobList;
    }
  }
  return NULL;
}
