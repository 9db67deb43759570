// The readers of the PCI sections of a board description ([host_bridge],
// [[root_port]], [[bridge]], [[device]]).
#pragma once
#include "Board.h"
#include "BoardToml.h"

namespace bootsim {

void ReadHostBridge(TableReader &root, Board &board);
void ReadRootPorts(TableReader &root, Board &board);
void ReadDevices(TableReader &root, Board &board);

}  // namespace bootsim
