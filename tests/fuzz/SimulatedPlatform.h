// The simulated DXE platform the fuzz targets run the driver code on, set
// up as the tests set it up, anew for every input. The PEI targets use
// sim::PeiPlatform as it is.
#pragma once
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
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

}  // namespace fuzz
