// Library start-up and tear-down chain of BoardHookDxe, the module globals
// and the cached HOB-list lookup.
#include "LibraryStartup.h"

#include "../uefi/Hob.h"
#include "HeapBufferList.h"

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

  // Step 4: debug output library (DebugPrintInitialize), which starts the
  // enabled output back-ends.

  // Step 5: S3 save library (S3SaveLibStartup with ImageHandle and
  // SystemTable); its status is not examined.
}

VOID RunLibraryTeardown(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  // Step 1: close the S3 save library's BootScriptLock event when it exists
  // (a failed close traps with code 0x90941).
  // Step 2: close its CloseTable event when it exists (code 0x90946).
  // Nothing else is undone: the heap-buffer list stays published.
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
