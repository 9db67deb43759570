// One simulated boot of a described board, from power-on to ReadyToBoot: the
// PEI phase in the 32-bit runner, the DXE phase in a forked child, again
// after every reset with the CMOS kept, up to a limit. The result is the
// report as one JSON document (Report.h renders it for people).
#pragma once
#include "Board.h"
#include "Images.h"
#include "PeiPhase.h"
#include "SimJson.h"

namespace bootsim {

struct BootOptions {
  bool trace = false;      // keep the full hardware-access trace of every phase
  unsigned maxResets = 8;  // a boot that resets more often is a reset loop
  PeiRunnerSetup runner;
  FirmwareChoice firmware;           // the images to boot, or the host build
  std::string dxeBuild = "shipped";  // the report's name for the DXE driver's build
};

// The exit status of the report's result: 0 ReadyToBoot, 1 trap, reset loop
// or hang.
inline constexpr int kExitReadyToBoot = 0;
inline constexpr int kExitFailedBoot = 1;
inline constexpr int kExitBadInput = 2;
inline constexpr int kExitSimulatorFailure = 3;

// SimulatorError when a phase cannot be run at all. The PEI phases run in
// `runner` when given (a batch's), else in a runner started for this boot.
Json BootBoard(const Board &board, const BootOptions &options, PeiRunnerSession *runner = nullptr);

}  // namespace bootsim
