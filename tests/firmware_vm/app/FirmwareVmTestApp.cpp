// Test application for the firmware integration test: booted by the real
// firmware as EFI/BOOT/BOOTX64.EFI, it prepares the interfaces the driver
// expects from other modules, reads the firmware volume BoardHook.fv from
// the same drive and hands it to the firmware's DXE dispatcher: once while
// no PCD_PROTOCOL is installed, when the driver's dependency expression
// keeps it from running, then again with the protocol (the application's
// proxy) installed. When the firmware has loaded the driver from the
// volume, the application waits until the host harness has set its
// breakpoints in the loaded image and chosen the board; the firmware then
// starts the driver. Afterwards the application calls its hooks, installs
// the protocols whose arrival runs its notifications, signals ReadyToBoot,
// and writes what it saw to the debug console port. A periodic watchdog at
// TPL_NOTIFY writes the report and shuts the machine down when the driver
// does not return, as in the fatal-error display loop.
#include "../../../include/BoardHookProtocol.h"
#include "../../../include/HeapBufferList.h"
#include "../../../include/S3SaveLib.h"
#include "../../../uefi/PlatformModules.h"
#include "../../../uefi/StandardInterfaces.h"
#include "AppUefi.h"
#include "DriveFile.h"
#include "DriverImage.h"
#include "HarnessLink.h"
#include "PcdProxy.h"
#include "Report.h"
#include "S3Handoff.h"

namespace {

// The volume on the drive, and the most the application reads of it.
constexpr char16_t VOLUME_FILE_NAME[] = u"\\BoardHook.fv";
constexpr UINTN VOLUME_SIZE_LIMIT = 1024 * 1024;
// Timer periods are in 100 ns units.
constexpr UINT64 WATCHDOG_PERIOD = 100 * 10000;  // 100 ms
constexpr UINTN WATCHDOG_TICKS = 20;             // 2 s after the timer is armed
// How long the application waits for the harness before it goes on alone.
constexpr UINTN HARNESS_WAIT_LIMIT_MS = 15000;

constinit EFI_HANDLE mImageHandle = NULL;
constinit EFI_SYSTEM_TABLE *mSystemTable = NULL;
constinit EFI_BOOT_SERVICES *mBootServices = NULL;

// What the report says, filled in as the run goes on.
struct PROTOCOL_WATCH {
  const CHAR8 *Name;
  const EFI_GUID *Guid;
  VOID *Registration;
  UINTN Count;
  VOID *Interface;
};

constinit PROTOCOL_WATCH mHeapBufferListWatch = {"heap_buffer_list", &gHeapBufferListProtocolGuid,
                                                 NULL, 0, NULL};
constinit PROTOCOL_WATCH mBoardHookWatch = {"board_hook", &gBoardHookProtocolGuid, NULL, 0, NULL};

// Written by the harness while the application waits (FIRMWARE_VM_BOARD_*).
constinit volatile UINT32 mHarnessBoard = FIRMWARE_VM_BOARD_UNSET;

struct RUN_STATE {
  EFI_STATUS PcdWithdrawStatus;
  EFI_STATUS PcdProxyStatus;
  EFI_STATUS SuppressStandInStatus;
  EFI_STATUS VolumeReadStatus;
  UINTN VolumeSize;
  EFI_STATUS VolumeStatus;
  EFI_HANDLE Volume;
  EFI_STATUS DispatchWithoutPcd;
  BOOLEAN FoundWithoutPcd;
  EFI_STATUS DispatchWithPcd;
  UINT32 Board;
  UINTN HarnessWaitMs;
  // The driver as the firmware loaded it from the volume.
  BOOLEAN DriverFound;
  EFI_LOADED_IMAGE_PROTOCOL *Driver;
  EFI_GUID DriverFile;
  UINTN DriverBase;
  UINTN DriverSize;
  UINT32 DriverCodeType;
  BOOLEAN DriverReturned;
  BOOLEAN DriverStaysLoaded;
  BOOLEAN HooksCalled;
  BOOLEAN ReportWritten;
  UINTN WatchdogTicks;
  // Hook results after the driver returned.
  BOOLEAN HookPresent[6];
  UINT8 Hook0;
  EFI_STATUS Hook1;
  UINT8 Hook2;
  EFI_STATUS Hook4;
  UINT8 Hook4FirstCount;
  UINT8 Hook4SecondByte0;
  UINT8 Hook5;
  EFI_STATUS TriggerStatus;
};
constinit RUN_STATE mRun = {};

constexpr UINTN MAX_SUPPRESSED = 32;
constinit UINT16 mSuppressed[MAX_SUPPRESSED] = {};
constinit UINTN mSuppressedCount = 0;

EFI_STATUS EFIAPI StandInSuppressItem(const CHAR8 *FormSetName, UINT16 ItemNumber) {
  (void)FormSetName;
  if (mSuppressedCount < MAX_SUPPRESSED) {
    mSuppressed[mSuppressedCount] = ItemNumber;
  }
  mSuppressedCount++;
  return EFI_SUCCESS;
}

constinit SETUP_ITEM_SUPPRESS_PROTOCOL mSuppressStandIn = {StandInSuppressItem};
constinit UINT8 mTriggerInterface = 0;

// Each call of LocateProtocol with the registration key returns the next
// instance installed since the last call.
VOID EFIAPI ProtocolInstalled(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  PROTOCOL_WATCH *Watch = static_cast<PROTOCOL_WATCH *>(Context);
  VOID *Interface = NULL;
  while (!EFI_ERROR(mBootServices->LocateProtocol(Watch->Guid, Watch->Registration, &Interface))) {
    Watch->Count++;
    Watch->Interface = Interface;
    ReportText("event.installed ");
    ReportText(Watch->Name);
    ReportText(" ");
    ReportHexField("interface", reinterpret_cast<UINTN>(Interface));
    ReportText("\n");
  }
}

EFI_STATUS WatchProtocol(PROTOCOL_WATCH *Watch) {
  EFI_EVENT Event = NULL;
  EFI_STATUS Status =
      mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ProtocolInstalled, Watch, &Event);
  if (!EFI_ERROR(Status)) {
    Status = mBootServices->RegisterProtocolNotify(Watch->Guid, Event, &Watch->Registration);
  }
  return Status;
}

VOID ReportWatch(const PROTOCOL_WATCH &Watch) {
  ReportText("watch name=");
  ReportText(Watch.Name);
  ReportText(" ");
  ReportDecField("installed", Watch.Count);
  ReportHexField("interface", reinterpret_cast<UINTN>(Watch.Interface));
  ReportDecField("in_driver_image", InDriverImage(Watch.Interface) ? 1 : 0);
}

// The published heap-buffer list record, read as another module sees it.
VOID ReportHeapBufferList() {
  ReportWatch(mHeapBufferListWatch);
  const HEAP_BUFFER_LIST_PROTOCOL *Record =
      static_cast<const HEAP_BUFFER_LIST_PROTOCOL *>(mHeapBufferListWatch.Interface);
  if (Record != NULL) {
    ReportDecField("revision", Record->Revision);
    ReportDecField("list_empty", Record->ListHead.ForwardLink == &Record->ListHead ? 1 : 0);
  }
  ReportText("\n");
}

// One line per subject: a label, then key=value fields.
VOID WriteReport(const CHAR8 *Reason) {
  mRun.ReportWritten = TRUE;
  // A fresh line, in case the report interrupts a progress line.
  ReportText("\nREPORT BEGIN\nreport reason=");
  ReportText(Reason);
  ReportText("\n");
  ReportHexField("standins pcd_withdrawn", mRun.PcdWithdrawStatus);
  ReportHexField("pcd_proxy", mRun.PcdProxyStatus);
  ReportHexField("setup_item_suppress", mRun.SuppressStandInStatus);
  ReportText("\n");
  ReportHexField("volume read_status", mRun.VolumeReadStatus);
  ReportDecField("size", mRun.VolumeSize);
  ReportHexField("process_status", mRun.VolumeStatus);
  ReportText("\n");
  ReportHexField("dispatch without_pcd", mRun.DispatchWithoutPcd);
  ReportYesNo("found_without_pcd", mRun.FoundWithoutPcd);
  ReportHexField("with_pcd", mRun.DispatchWithPcd);
  ReportText("\n");
  ReportDecField("harness board", mRun.Board);
  ReportDecField("waited_ms", mRun.HarnessWaitMs);
  ReportText("\n");
  ReportYesNo("driver found", mRun.DriverFound);
  ReportGuidField("file", mRun.DriverFile);
  ReportHexField("base", mRun.DriverBase);
  ReportHexField("size", mRun.DriverSize);
  ReportDecField("code_type", mRun.DriverCodeType);
  ReportYesNo("returned", mRun.DriverReturned);
  ReportYesNo("stays_loaded", mRun.DriverStaysLoaded);
  ReportText("\n");
  ReportHeapBufferList();
  ReportWatch(mBoardHookWatch);
  ReportText("\n");
  // The board entry installs the hook table after the whole start-up chain.
  ReportYesNo("startup reached_end", mBoardHookWatch.Count != 0);
  ReportText("\n");
  ReportPcdCalls();
  ReportYesNo("hooks called", mRun.HooksCalled);
  if (mRun.HooksCalled) {
    ReportText("present=");
    for (BOOLEAN Present : mRun.HookPresent) {
      ReportText(Present ? "1" : "0");
    }
    ReportText(" ");
    ReportDecField("hook0", mRun.Hook0);
    ReportHexField("hook1", mRun.Hook1);
    ReportDecField("hook2", mRun.Hook2);
    ReportHexField("hook4", mRun.Hook4);
    ReportHexField("hook4_first_count", mRun.Hook4FirstCount);
    ReportHexField("hook4_second_byte0", mRun.Hook4SecondByte0);
    ReportDecField("hook5", mRun.Hook5);
    ReportHexField("trigger_status", mRun.TriggerStatus);
  }
  ReportText("\n");
  ReportDecField("suppress count", mSuppressedCount);
  ReportText("items=");
  for (UINTN Index = 0; Index < mSuppressedCount && Index < MAX_SUPPRESSED; Index++) {
    ReportText(Index == 0 ? "" : ",");
    ReportDec(mSuppressed[Index]);
  }
  ReportText("\n");
  ReportS3Handoff();
  ReportDecField("watchdog ticks", mRun.WatchdogTicks);
  ReportText("\nREPORT END\n");
}

VOID Shutdown() {
  mSystemTable->RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, NULL);
  ReportText("shutdown.failed\n");
  for (;;) {
  }
}

VOID EFIAPI WatchdogTick(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  if (mRun.ReportWritten || ++mRun.WatchdogTicks < WATCHDOG_TICKS) {
    return;
  }
  WriteReport("watchdog");
  Shutdown();
}

VOID InstallStandIns() {
  EFI_HANDLE Handle = NULL;
  mRun.SuppressStandInStatus = mBootServices->InstallProtocolInterface(
      &Handle, &gSetupItemSuppressProtocolGuid, EFI_NATIVE_INTERFACE, &mSuppressStandIn);
  InstallSmmCommunicationStandIn(mBootServices);
  WithdrawFirmwareReadyToLock(mBootServices);
}

// The harness reads the line, sets its breakpoints in the driver at the
// reported base and writes the board into the plan word.
VOID WaitForHarness() {
  ReportHexField("harness.wait plan", reinterpret_cast<UINTN>(&mHarnessBoard));
  ReportHexField("driver_base", mRun.DriverBase);
  ReportHexField("driver_size", mRun.DriverSize);
  ReportText("\n");
  while (mHarnessBoard == FIRMWARE_VM_BOARD_UNSET && mRun.HarnessWaitMs < HARNESS_WAIT_LIMIT_MS) {
    mBootServices->Stall(1000);
    mRun.HarnessWaitMs++;
  }
  mRun.Board = mHarnessBoard;
  ReportDecField("harness.go board", mRun.Board);
  ReportText("\n");
}

VOID ArmWatchdog() {
  EFI_EVENT Timer = NULL;
  EFI_STATUS Status = mBootServices->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_NOTIFY,
                                                 WatchdogTick, NULL, &Timer);
  if (!EFI_ERROR(Status)) {
    Status = mBootServices->SetTimer(Timer, TimerPeriodic, WATCHDOG_PERIOD);
  }
  ReportHexField("watchdog.armed status", Status);
  ReportText("\n");
}

// Calls every member of the hook table the driver installed and installs
// the protocol whose arrival runs the driver's setup-suppression callback.
VOID ExerciseHooks() {
  VOID *Interface = NULL;
  if (EFI_ERROR(mBootServices->LocateProtocol(&gBoardHookProtocolGuid, NULL, &Interface))) {
    return;
  }
  // Members may be NULL, as every caller of the table must allow for.
  BOARD_HOOK_PROTOCOL *Hooks = static_cast<BOARD_HOOK_PROTOCOL *>(Interface);
  mRun.HookPresent[0] = Hooks->Hook0 != NULL;
  mRun.HookPresent[1] = Hooks->Hook1 != NULL;
  mRun.HookPresent[2] = Hooks->Hook2 != NULL;
  mRun.HookPresent[3] = Hooks->Hook3 != NULL;
  mRun.HookPresent[4] = Hooks->Hook4 != NULL;
  mRun.HookPresent[5] = Hooks->Hook5 != NULL;
  if (Hooks->Hook0 != NULL) {
    mRun.Hook0 = Hooks->Hook0();
  }
  if (Hooks->Hook1 != NULL) {
    mRun.Hook1 = Hooks->Hook1();
  }
  if (Hooks->Hook2 != NULL) {
    mRun.Hook2 = Hooks->Hook2();
  }
  if (Hooks->Hook4 != NULL) {
    UINT8 First[16];
    UINT8 Second[24];
    mBootServices->SetMem(First, sizeof(First), 0xA5);
    mBootServices->SetMem(Second, sizeof(Second), 0xA5);
    mRun.Hook4 = Hooks->Hook4(First, Second);
    mRun.Hook4FirstCount = First[3];
    mRun.Hook4SecondByte0 = Second[0];
  }
  if (Hooks->Hook5 != NULL) {
    mRun.Hook5 = Hooks->Hook5();
  }
  EFI_HANDLE Handle = NULL;
  mRun.TriggerStatus = mBootServices->InstallProtocolInterface(
      &Handle, &gSetupSuppressTriggerProtocolGuid, EFI_NATIVE_INTERFACE, &mTriggerInterface);
  mRun.HooksCalled = TRUE;
}

// The firmware's DXE services table, from the system table's configuration
// table.
DXE_SERVICES *FindDxeServices() {
  for (UINTN Index = 0; Index < mSystemTable->NumberOfTableEntries; Index++) {
    const EFI_CONFIGURATION_TABLE &Entry = mSystemTable->ConfigurationTable[Index];
    const UINT8 *Have = reinterpret_cast<const UINT8 *>(&Entry.VendorGuid);
    const UINT8 *Want = reinterpret_cast<const UINT8 *>(&gEfiDxeServicesTableGuid);
    UINTN Same = 0;
    while (Same < sizeof(EFI_GUID) && Have[Same] == Want[Same]) {
      Same++;
    }
    if (Same == sizeof(EFI_GUID)) {
      return static_cast<DXE_SERVICES *>(Entry.VendorTable);
    }
  }
  return NULL;
}

// The firmware has loaded an image: the driver when it came from the
// volume the application handed over. Runs at TPL_CALLBACK inside the
// dispatcher, after loading and before starting the image, so the harness
// can set its breakpoints before the driver's first instruction.
VOID EFIAPI ImageLoaded(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  VOID **Registration = static_cast<VOID **>(Context);
  VOID *Interface = NULL;
  while (!EFI_ERROR(
      mBootServices->LocateProtocol(&gEfiLoadedImageProtocolGuid, *Registration, &Interface))) {
    EFI_LOADED_IMAGE_PROTOCOL *Loaded = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
    if (mRun.DriverFound || mRun.Volume == NULL || Loaded->DeviceHandle != mRun.Volume) {
      continue;
    }
    mRun.DriverFound = TRUE;
    mRun.Driver = Loaded;
    const EFI_DEVICE_PATH_PROTOCOL *Node = Loaded->FilePath;
    if (Node != NULL && Node->Type == MEDIA_DEVICE_PATH && Node->SubType == MEDIA_PIWG_FW_FILE_DP) {
      mRun.DriverFile =
          reinterpret_cast<const MEDIA_FW_VOL_FILEPATH_DEVICE_PATH *>(Node)->FvFileName;
    }
    mRun.DriverBase = reinterpret_cast<UINTN>(Loaded->ImageBase);
    mRun.DriverSize = Loaded->ImageSize;
    mRun.DriverCodeType = Loaded->ImageCodeType;
    SetDriverImage(mRun.DriverBase, mRun.DriverSize);
    ReportHexField("driver.loaded base", mRun.DriverBase);
    ReportText("\n");
    WaitForHarness();
    ArmWatchdog();
    ReportText("driver.start begin\n");
  }
}

constinit VOID *mImageRegistration = NULL;

EFI_STATUS WatchImageLoads() {
  EFI_EVENT Event = NULL;
  EFI_STATUS Status = mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ImageLoaded,
                                                 &mImageRegistration, &Event);
  if (!EFI_ERROR(Status)) {
    Status = mBootServices->RegisterProtocolNotify(&gEfiLoadedImageProtocolGuid, Event,
                                                   &mImageRegistration);
  }
  return Status;
}

// TRUE while an image handle still carries the driver's loaded image
// protocol: the firmware unloads a driver whose entry returns an error.
BOOLEAN DriverStaysLoaded() {
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  if (EFI_ERROR(mBootServices->LocateHandleBuffer(ByProtocol, &gEfiLoadedImageProtocolGuid, NULL,
                                                  &Count, &Handles))) {
    return FALSE;
  }
  BOOLEAN Found = FALSE;
  for (UINTN Index = 0; Index < Count; Index++) {
    VOID *Interface = NULL;
    mBootServices->HandleProtocol(Handles[Index], &gEfiLoadedImageProtocolGuid, &Interface);
    Found = Found || Interface == mRun.Driver;
  }
  mBootServices->FreePool(Handles);
  return Found;
}

// The volume from the drive, made known to the dispatcher, which runs
// first without and then with a PCD_PROTOCOL installed.
VOID DispatchVolume(DXE_SERVICES *DxeServices) {
  VOID *Interface = NULL;
  mBootServices->HandleProtocol(mImageHandle, &gEfiLoadedImageProtocolGuid, &Interface);
  EFI_LOADED_IMAGE_PROTOCOL *Self = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
  VOID *Volume = NULL;
  mRun.VolumeReadStatus = Self != NULL
                              ? ReadDriveFile(mBootServices, Self->DeviceHandle,
                                              reinterpret_cast<const CHAR16 *>(VOLUME_FILE_NAME),
                                              VOLUME_SIZE_LIMIT, &Volume, &mRun.VolumeSize)
                              : EFI_NOT_FOUND;
  ReportHexField("volume.read status", mRun.VolumeReadStatus);
  ReportText("\n");
  if (EFI_ERROR(mRun.VolumeReadStatus) || DxeServices == NULL) {
    return;
  }
  mRun.VolumeStatus = DxeServices->ProcessFirmwareVolume(Volume, mRun.VolumeSize, &mRun.Volume);
  ReportHexField("volume.process status", mRun.VolumeStatus);
  ReportText("\n");
  if (EFI_ERROR(mRun.VolumeStatus)) {
    return;
  }
  mRun.DispatchWithoutPcd = DxeServices->Dispatch();
  mRun.FoundWithoutPcd = mRun.DriverFound;
  ReportHexField("dispatch.without_pcd status", mRun.DispatchWithoutPcd);
  ReportText("\n");
  mRun.PcdProxyStatus = InstallPcdProxy(mBootServices);
  mRun.DispatchWithPcd = DxeServices->Dispatch();
  mRun.DriverReturned = mRun.DriverFound;
  ReportHexField("dispatch.with_pcd status", mRun.DispatchWithPcd);
  ReportText("\n");
  if (mRun.DriverFound) {
    mRun.DriverStaysLoaded = DriverStaysLoaded();
  }
}

}  // namespace

extern "C" EFI_STATUS EFIAPI FirmwareVmTestAppEntry(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE *SystemTable) {
  mImageHandle = ImageHandle;
  mSystemTable = SystemTable;
  mBootServices = SystemTable->BootServices;
  ReportText("app.start\n");

  mRun.PcdWithdrawStatus = WithdrawFirmwarePcd(mBootServices);
  InstallStandIns();
  ReportHexField("watch.heap_buffer_list status", WatchProtocol(&mHeapBufferListWatch));
  ReportHexField("watch.board_hook status", WatchProtocol(&mBoardHookWatch));
  ReportHexField("watch.images status", WatchImageLoads());
  ReportText("\n");

  DispatchVolume(FindDxeServices());
  if (mRun.DriverReturned) {
    ExerciseHooks();
    LockAndHandTableToSmm(mBootServices, mRun.Board == FIRMWARE_VM_BOARD_BAD_SIGNATURE
                                             ? FIRMWARE_VM_BAD_TABLE_SIGNATURE
                                             : S3_SAVE_TABLE_SIGNATURE);
  }

  // The watchdog must not interleave its report with this one.
  mBootServices->RaiseTPL(TPL_NOTIFY);
  if (!mRun.ReportWritten) {
    WriteReport("returned");
  }
  Shutdown();
  return EFI_SUCCESS;
}
