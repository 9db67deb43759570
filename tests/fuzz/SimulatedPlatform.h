// The simulated platforms the fuzz targets run the module code on, set up
// as the tests set them up, anew for every input.
#pragma once
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/pei/PeiFoundation.h"
#include "sim/platform/DxePlatform.h"

namespace fuzz {

// The DXE phase: the simulated platform's one DXE fixture, with the
// service globals set (the targets call library code directly). The back
// door answers, so a trap returns and the caller's fall-back runs.
struct DxePlatform {
  sim::DxePlatform Platform{sim::DxePlatformOptions().WithServicesSet().WithBackDoorAnswer(1)};
  sim::SimClock &Clock = Platform.clock;
  sim::Machine &Machine = Platform.machine;
  sim::DxeCore &Core = Platform.Core();
  sim::PcdDatabase &Pcd = Platform.pcd;
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
    Pcd.DeclareSystemTokens();
  }
};

}  // namespace fuzz
