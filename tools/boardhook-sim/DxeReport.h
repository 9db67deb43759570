// The DXE phase's record, drawn from what the platform and its stand-ins
// saw once the boot has run: the steps reached, the driver's token sets,
// the setup items suppressed, the MAC lists Hook4 left, the S3 hand-off,
// the CMOS counter, POST codes, debug text, stalls, the access counts and
// the explanations.
#pragma once
#include "DxeScenario.h"
#include "DxeSetup.h"
#include "SimJson.h"

namespace bootsim {

// The "dxe" object of the report, plus "cmos" as it stands after the phase;
// with `trace` the hardware-access trace as well.
Json DxePhaseRecord(DxeSetup &setup, const DxeEvents &events, bool trace);

}  // namespace bootsim
