// The order of the DXE phase's boot, as the platform runs it: the driver's
// image entry, then what the platform's other modules do after it: put the
// S3 save table into the shared record, install the setup module's trigger,
// call Hook4 (after the trigger, or before it, as the board describes),
// install the ready-to-lock protocol, signal ReadyToBoot. A reset or a
// fatal-error trap ends the run wherever it happens.
#pragma once
#include "DxeSetup.h"
#include "SimJson.h"
#include "sim/machine/Machine.h"

namespace bootsim {

// What the boot did, in the terms of the phase's record.
struct DxeEvents {
  sim::RunOutcome outcome;
  Json reached = Json::array();  // the steps the boot reached, in order
  Json entryStatus = nullptr;    // null when the entry never returned
  Json hook4 = {{"called", false}};
};

// Runs the boot on the prepared platform and ends the setup's marks.
DxeEvents RunDxeScenario(DxeSetup &setup);

}  // namespace bootsim
