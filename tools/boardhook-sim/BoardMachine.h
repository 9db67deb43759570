// Builds the simulated machine of a described board: the processor state
// (both phases) and the PCI topology, UART and CMOS (the DXE phase; the PEI
// module touches none of them).
#pragma once
#include "Board.h"
#include "sim/machine/Machine.h"
#include "sim/machine/NetworkController.h"

namespace bootsim {

void DescribeProcessor(sim::Machine &machine, const CpuDescription &cpu);
void DescribeBoardHardware(sim::Machine &machine, const Board &board);

}  // namespace bootsim
