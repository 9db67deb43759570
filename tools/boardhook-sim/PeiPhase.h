// The PEI phase of one boot: the job built from the board, run by the 32-bit
// PEI runner in a process of its own, and the record it returns.
#pragma once
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "Board.h"
#include "PeiJob.h"
#include "Subprocess.h"

namespace bootsim {

// How to start the runner: its path, and the emulator to start it through
// (empty: start it directly, where the kernel runs 32-bit programs).
struct PeiRunnerSetup {
  std::string runner;
  std::string qemu;
};

// The built-in default: the compile-time paths, overridden by the
// environment variables BOARDHOOK_PEI_RUNNER and BOARDHOOK_QEMU_I386.
PeiRunnerSetup DefaultPeiRunnerSetup();

PeiJob MakePeiJob(const Board &board, const std::array<uint8_t, 128> &cmos, bool trace);

// Runs the job in a runner started for it; SimulatorError when the runner
// cannot run it.
PeiRecord RunPeiPhase(const PeiRunnerSetup &setup, const PeiJob &job);

// One runner serving every boot of a batch: the emulator starts once, and
// each job still runs on a fresh copy of the module's data.
class PeiRunnerSession {
 public:
  explicit PeiRunnerSession(const PeiRunnerSetup &setup);
  ~PeiRunnerSession();
  PeiRecord Run(const PeiJob &job);

 private:
  std::vector<std::string> command_;
  std::unique_ptr<LineServer> server_;
};

}  // namespace bootsim
