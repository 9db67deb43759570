// The DXE phase of one boot: the simulated machine and DXE core built from
// the board, the configuration database restored from the PEI phase's
// hand-over, the driver's image entry, and what the platform's other modules
// do after it: put the S3 save table into the shared record, install the
// setup module's trigger, call Hook4 (after the trigger, or before it, with
// the buffers the board describes), install the ready-to-lock protocol,
// signal ReadyToBoot.
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
