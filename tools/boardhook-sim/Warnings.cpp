#include "Warnings.h"

#include <cstdio>

namespace bootsim {

std::vector<std::string> BoardWarnings(const Board &board) {
  std::vector<std::string> warnings;
  if (board.name.empty() && board.description.empty() && board.rootPorts.empty() &&
      board.bridges.empty() && board.devices.empty() && board.pcd.empty()) {
    warnings.push_back("the description is empty: the board boots with every default");
  }
  for (const DeviceDescription &device : board.devices) {
    bool reached = false;
    for (const RootPortDescription &port : board.rootPorts) {
      reached = reached || (device.address.bus >= port.bridge.secondaryBus &&
                            device.address.bus <= port.bridge.subordinateBus);
    }
    if (!reached) {
      warnings.push_back("device " + device.address.Text() +
                         " lies behind no root port: the firmware never looks at it");
    }
    if (device.id == PCI_ID_ABSENT) {
      warnings.push_back("device " + device.address.Text() +
                         " has the ID word 0xFFFFFFFF, which reads as no device at all");
    }
  }
  for (const BridgeDescription &bridge : board.bridges) {
    if (bridge.id == PCI_ID_ABSENT) {
      warnings.push_back("bridge " + bridge.address.Text() +
                         " has the ID word 0xFFFFFFFF, which reads as no device at all");
    }
  }
  return warnings;
}

void PrintBoardWarnings(const Board &board) {
  for (const std::string &warning : BoardWarnings(board)) {
    std::fprintf(stderr, "boardhook-sim: warning: %s: %s\n", board.source.c_str(), warning.c_str());
  }
}

}  // namespace bootsim
