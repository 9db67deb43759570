// Test application for the firmware integration test: booted by the real
// firmware as EFI/BOOT/BOOTX64.EFI, it prepares the interfaces the driver
// expects from other modules, loads BoardHookDxe.efi from the same drive,
// waits until the host harness has set its breakpoints in the loaded image
// and chosen the board, starts the driver, calls its hooks, installs the
// protocols whose arrival runs its notifications, signals ReadyToBoot, and
// writes what it saw to the debug console port. A periodic watchdog at
// TPL_NOTIFY writes the report and shuts the machine down when the driver
// does not return, as in the fatal-error display loop.
#include "../../../include/BoardHookProtocol.h"
#include "../../../include/HeapBufferList.h"
#include "../../../include/S3SaveLib.h"
#include "../../../uefi/PlatformModules.h"
#include "../../../uefi/StandardInterfaces.h"
#include "AppUefi.h"
#include "DriverImage.h"
#include "HarnessLink.h"
#include "PcdProxy.h"
#include "Report.h"
#include "S3Handoff.h"

namespace {

constexpr CHAR8 DRIVER_FILE_NAME[] = "\\BoardHookDxe.efi";
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
  EFI_STATUS PcdProxyStatus;
  EFI_STATUS SuppressStandInStatus;
  EFI_STATUS LoadStatus;
  UINT32 Board;
  UINTN HarnessWaitMs;
  EFI_STATUS StartStatus;
  UINTN DriverBase;
  UINTN DriverSize;
  UINT32 DriverCodeType;
  BOOLEAN DriverStarted;
  BOOLEAN DriverReturned;
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
  ReportHexField("standins pcd_proxy", mRun.PcdProxyStatus);
  ReportHexField("setup_item_suppress", mRun.SuppressStandInStatus);
  ReportText("\n");
  ReportDecField("harness board", mRun.Board);
  ReportDecField("waited_ms", mRun.HarnessWaitMs);
  ReportText("\n");
  ReportHexField("driver load_status", mRun.LoadStatus);
  ReportHexField("base", mRun.DriverBase);
  ReportHexField("size", mRun.DriverSize);
  ReportDecField("code_type", mRun.DriverCodeType);
  ReportYesNo("started", mRun.DriverStarted);
  ReportYesNo("returned", mRun.DriverReturned);
  if (mRun.DriverReturned) {
    ReportHexField("start_status", mRun.StartStatus);
  }
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

// The driver's file on the drive this application was loaded from: the
// drive's device path with one file-path node appended.
EFI_DEVICE_PATH_PROTOCOL *DriverDevicePath(EFI_HANDLE Device) {
  VOID *Interface = NULL;
  if (EFI_ERROR(mBootServices->HandleProtocol(Device, &gEfiDevicePathProtocolGuid, &Interface))) {
    return NULL;
  }
  const UINT8 *DrivePath = static_cast<const UINT8 *>(Interface);
  UINTN DriveLength = 0;
  for (;;) {
    const EFI_DEVICE_PATH_PROTOCOL *Node =
        reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(DrivePath + DriveLength);
    if (Node->Type == END_DEVICE_PATH_TYPE && Node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
      break;
    }
    DriveLength += Node->Length[0] | (Node->Length[1] << 8);
  }
  constexpr UINTN NameLength = sizeof(DRIVER_FILE_NAME);  // with the terminator
  UINTN FileNodeLength = sizeof(EFI_DEVICE_PATH_PROTOCOL) + NameLength * sizeof(CHAR16);
  UINTN Total = DriveLength + FileNodeLength + sizeof(EFI_DEVICE_PATH_PROTOCOL);
  VOID *Buffer = NULL;
  if (EFI_ERROR(mBootServices->AllocatePool(EfiBootServicesData, Total, &Buffer))) {
    return NULL;
  }
  UINT8 *Path = static_cast<UINT8 *>(Buffer);
  mBootServices->CopyMem(Path, DrivePath, DriveLength);
  UINT8 *FileNode = Path + DriveLength;
  FileNode[0] = MEDIA_DEVICE_PATH;
  FileNode[1] = MEDIA_FILEPATH_DP;
  FileNode[2] = static_cast<UINT8>(FileNodeLength);
  FileNode[3] = static_cast<UINT8>(FileNodeLength >> 8);
  for (UINTN Index = 0; Index < NameLength; Index++) {
    CHAR16 Char = static_cast<CHAR16>(DRIVER_FILE_NAME[Index]);
    mBootServices->CopyMem(FileNode + 4 + Index * sizeof(CHAR16), &Char, sizeof(Char));
  }
  UINT8 *End = FileNode + FileNodeLength;
  End[0] = END_DEVICE_PATH_TYPE;
  End[1] = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  End[2] = sizeof(EFI_DEVICE_PATH_PROTOCOL);
  End[3] = 0;
  return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path);
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

}  // namespace

extern "C" EFI_STATUS EFIAPI FirmwareVmTestAppEntry(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE *SystemTable) {
  mImageHandle = ImageHandle;
  mSystemTable = SystemTable;
  mBootServices = SystemTable->BootServices;
  ReportText("app.start\n");

  mRun.PcdProxyStatus = InstallPcdProxy(mBootServices);
  InstallStandIns();
  ReportHexField("watch.heap_buffer_list status", WatchProtocol(&mHeapBufferListWatch));
  ReportHexField("watch.board_hook status", WatchProtocol(&mBoardHookWatch));
  ReportText("\n");

  VOID *Interface = NULL;
  mBootServices->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, &Interface);
  EFI_LOADED_IMAGE_PROTOCOL *Self = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
  EFI_DEVICE_PATH_PROTOCOL *DriverPath = Self != NULL ? DriverDevicePath(Self->DeviceHandle) : NULL;

  EFI_HANDLE Driver = NULL;
  mRun.LoadStatus = DriverPath != NULL ? LoadImageService(mBootServices)(
                                             FALSE, ImageHandle, DriverPath, NULL, 0, &Driver)
                                       : EFI_NOT_FOUND;
  ReportHexField("driver.load status", mRun.LoadStatus);
  ReportText("\n");
  if (!EFI_ERROR(mRun.LoadStatus)) {
    Interface = NULL;
    mBootServices->HandleProtocol(Driver, &gEfiLoadedImageProtocolGuid, &Interface);
    EFI_LOADED_IMAGE_PROTOCOL *Loaded = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
    if (Loaded != NULL) {
      mRun.DriverBase = reinterpret_cast<UINTN>(Loaded->ImageBase);
      mRun.DriverSize = Loaded->ImageSize;
      mRun.DriverCodeType = Loaded->ImageCodeType;
      SetDriverImage(mRun.DriverBase, mRun.DriverSize);
    }
    WaitForHarness();
    ArmWatchdog();
    ReportText("driver.start begin\n");
    mRun.DriverStarted = TRUE;
    mRun.StartStatus = StartImageService(mBootServices)(Driver, NULL, NULL);
    mRun.DriverReturned = TRUE;
    ReportHexField("driver.start status", mRun.StartStatus);
    ReportText("\n");
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
