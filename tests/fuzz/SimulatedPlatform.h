// The simulated platforms the fuzz targets run the module code on, set up
// as the tests set them up, anew for every input.
#pragma once
#include "board/BoardHookDxe.h"
#include "platform/HeapBufferList.h"
#include "platform/LibraryStartup.h"
#include "platform/S3SaveLib.h"
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/pei/PeiFoundation.h"

namespace fuzz {

// The DXE phase: machine, core and configuration database (installed as
// PCD_PROTOCOL), the driver's module globals back at their load-time
// values. The back door answers, so a trap returns and the caller's
// fall-back runs.
struct DxePlatform {
  sim::SimClock Clock;
  sim::Machine Machine{&Clock};
  sim::DxeCore Core{Clock};
  sim::PcdDatabase Pcd;

  DxePlatform() {
    Machine.SetCpuidBackDoorAnswer(1);
    Machine.Activate();
    gImageHandle = nullptr;
    gST = Core.SystemTable();
    gBS = Core.BootServices();
    gRT = Core.RuntimeServices();
    mHobList = nullptr;
    mHeapBufferListHead = nullptr;
    mPcdProtocol = nullptr;
    mS3LibPrivateData = nullptr;
    mBootScriptLockEvent = nullptr;
    mCloseTableEvent = nullptr;
    Pcd.DeclareSystemTokens();
    Pcd.SetPhase("DXE");
    Core.InstallProtocol(gPcdProtocolGuid, Pcd.Protocol());
  }
};

// The PEI phase: machine (its IDT leads to the foundation's services),
// foundation and configuration database (not installed: a target decides).
struct PeiPlatform {
  sim::SimClock Clock;
  sim::Machine Machine{&Clock};
  sim::PeiFoundation Pei{Clock};
  sim::PcdDatabase Pcd;

  PeiPlatform() {
    Machine.SetIdtBase(Pei.IdtBase());
    Machine.Activate();
    Pcd.DeclareSystemTokens();
  }
};

}  // namespace fuzz
