// The DXE phase of one boot, the entry the rest of the tool calls: the
// platform set up from the board and the PEI phase's hand-over (DxeSetup.h),
// the boot's order of events run on it (DxeScenario.h) and the phase's
// record drawn from what happened (DxeReport.h).
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "Board.h"
#include "Images.h"
#include "SimJson.h"

namespace bootsim {

struct DxeInput {
  const Board *board = nullptr;
  std::string handOver;  // the configuration database as the PEI phase left it
  std::array<uint8_t, 128> cmos{};
  bool trace = false;
  // The driver image to boot on the emulated processor; null boots the
  // host build linked into the tool.
  const ImageFile *image = nullptr;
};

// Runs the phase in this process and returns its record (the "dxe" object
// of the report, plus "cmos" as it stands after the phase). The driver's
// module data must be at its load-time state: run it once per process.
Json RunDxePhase(const DxeInput &input);

// Runs the phase in a forked child of the tool, whose driver data is still
// as loaded, as it is after a reset reloads the driver. SimulatorError when
// the child fails.
Json RunDxePhaseIsolated(const DxeInput &input);

}  // namespace bootsim
