#include "BoardChecks.h"

#include <algorithm>
#include <map>
#include <set>

#include "sim/machine/HostBridgeFunction.h"
#include "sim/machine/NetworkController.h"

namespace bootsim {

namespace {

std::string Hex(uint64_t value) { return NumberText(value, NumberBase::Hexadecimal); }

std::string LineText(const BoardSource &source, const std::string &key) {
  return "(line " + std::to_string(source.Line(key)) + ")";
}

// The bus range of every group: described, or 32 buses each.
std::array<BusGroup, BUS_GROUP_COUNT> BusGroups(const Board &board) {
  std::array<BusGroup, BUS_GROUP_COUNT> groups;
  for (unsigned g = 0; g < BUS_GROUP_COUNT; g++) {
    groups[g].group = g;
    groups[g].value = sim::HostBridgeFunction::DefaultBusRange(g);
  }
  for (const BusGroup &group : board.hostBridge.busGroups) groups[group.group] = group;
  return groups;
}

// Root ports sit where their location token makes the firmware look.
void PlaceRootPorts(Board &board, const BoardSource &source) {
  const std::array<BusGroup, BUS_GROUP_COUNT> groups = BusGroups(board);
  std::map<unsigned, std::string> ports;
  for (RootPortDescription &port : board.rootPorts) {
    const std::string &key = port.bridge.key;
    const auto [other, added] = ports.emplace(port.port, key);
    if (!added) {
      source.Fail(key + ".port", "root port " + std::to_string(port.port) +
                                     " is also described by " + other->second + " " +
                                     LineText(source, other->second));
    }
    const BusGroup &group = groups[RootPortBusGroup(port.location)];
    if (!RootPortBusInRange(port.location, group.value)) {
      auto busText = [&](const char *field, uint8_t value) {
        return group.key.empty() ? Hex(value) : source.Number(group.key + "." + field, value);
      };
      source.Fail(key + ".location",
                  "contradictory topology: location " +
                      source.Number(key + ".location", port.location) + " names offset " +
                      Hex(RootPortBusOffset(port.location)) + " of bus group " +
                      std::to_string(group.group) + ", which covers buses " +
                      busText("first", group.First()) + " to " + busText("last", group.Last()) +
                      " (the firmware would look on bus 0; describe that with [pcd] and "
                      "[[bridge]])");
    }
    const PCI_BDF bridge = RootPortBdf(port.location, group.value);
    port.bridge.address = {PciBdfBus(bridge), PciBdfDevice(bridge), PciBdfFunction(bridge)};
  }
  for (const PcdDefault &entry : board.pcd) {
    for (const RootPortDescription &port : board.rootPorts) {
      if (static_cast<uint32_t>(PCD_ROOT_PORT_LOCATION_TOKENS[port.port - 1]) == entry.token) {
        source.Fail(entry.key,
                    "contradictory: " + port.bridge.key + " already gives this token its value");
      }
    }
  }
}

// Every function has an address of its own; 00:00.0 is the host bridge.
void CheckAddresses(const Board &board, const BoardSource &source) {
  std::map<PciLocation, std::string, bool (*)(const PciLocation &, const PciLocation &)> placed(
      [](const PciLocation &a, const PciLocation &b) {
        return std::tie(a.bus, a.device, a.function) < std::tie(b.bus, b.device, b.function);
      });
  auto place = [&](const PciLocation &address, const std::string &key,
                   const std::string &addressKey) {
    if (placed.size() == kMaxPciFunctions) {
      source.Fail(key, "a board holds at most " + std::to_string(kMaxPciFunctions) +
                           " PCI functions (devices and bridges)");
    }
    if (address == PciLocation{0, 0, 0}) {
      source.Fail(addressKey, "contradictory topology: 00:00.0 is the host bridge");
    }
    const auto [other, added] = placed.emplace(address, key);
    if (!added) {
      source.Fail(addressKey, "contradictory topology: " + address.Text() +
                                  " is also described by " + other->second + " " +
                                  LineText(source, other->second));
    }
  };
  for (const RootPortDescription &port : board.rootPorts) {
    place(port.bridge.address, port.bridge.key, port.bridge.key + ".location");
  }
  for (const BridgeDescription &bridge : board.bridges) {
    place(bridge.address, bridge.key, bridge.key + ".address");
  }
  for (const DeviceDescription &device : board.devices) {
    place(device.address, device.key, device.key + ".address");
  }
}

// Bridge bus ranges: above the bridge's own bus, not empty, and nested or
// apart.
void CheckBridges(const Board &board, const BoardSource &source) {
  std::vector<const BridgeDescription *> bridges;
  for (const RootPortDescription &port : board.rootPorts) bridges.push_back(&port.bridge);
  for (const BridgeDescription &bridge : board.bridges) bridges.push_back(&bridge);
  auto number = [&](const BridgeDescription &bridge, const char *field, uint8_t value) {
    return source.Number(bridge.key + "." + field, value);
  };
  for (const BridgeDescription *bridge : bridges) {
    if (bridge->secondaryBus <= bridge->address.bus) {
      source.Fail(bridge->key + ".secondary_bus",
                  "contradictory topology: the secondary bus " +
                      number(*bridge, "secondary_bus", bridge->secondaryBus) +
                      " is not above the bridge's own bus " + Hex(bridge->address.bus));
    }
    if (bridge->subordinateBus < bridge->secondaryBus) {
      source.Fail(bridge->key + ".subordinate_bus",
                  "contradictory topology: the subordinate bus " +
                      number(*bridge, "subordinate_bus", bridge->subordinateBus) +
                      " lies below the secondary bus " +
                      number(*bridge, "secondary_bus", bridge->secondaryBus));
    }
  }
  for (size_t a = 0; a < bridges.size(); a++) {
    for (size_t b = 0; b < bridges.size(); b++) {
      if (a == b) continue;
      const BridgeDescription &outer = *bridges[a];
      const BridgeDescription &inner = *bridges[b];
      const bool overlap =
          inner.secondaryBus <= outer.subordinateBus && outer.secondaryBus <= inner.subordinateBus;
      if (!overlap) continue;
      const bool nested = outer.secondaryBus <= inner.address.bus &&
                          inner.address.bus <= outer.subordinateBus &&
                          inner.subordinateBus <= outer.subordinateBus;
      const bool reverse = inner.secondaryBus <= outer.address.bus &&
                           outer.address.bus <= inner.subordinateBus &&
                           outer.subordinateBus <= inner.subordinateBus;
      if (!nested && !reverse) {
        source.Fail(inner.key + ".secondary_bus",
                    "contradictory topology: buses " +
                        number(inner, "secondary_bus", inner.secondaryBus) + " to " +
                        number(inner, "subordinate_bus", inner.subordinateBus) +
                        " overlap those of " + outer.key + " " + LineText(source, outer.key));
      }
    }
  }
}

// Device windows: apart from each other and from configuration space; MAC
// locations inside the window that holds them.
void CheckWindows(const Board &board, const BoardSource &source) {
  struct Window {
    uint64_t first, last;  // inclusive, so a window may end at 2^64 - 1
    const Bar *bar;
  };
  constexpr uint64_t kEcamFirst = 0xE0000000, kEcamLast = 0xEFFFFFFF;
  std::vector<Window> windows;
  for (const DeviceDescription &device : board.devices) {
    for (const Bar &bar : device.bars) {
      if (bar.base == 0) continue;  // unassigned: decodes nothing
      const Window window = {bar.base, bar.base + (bar.size - 1), &bar};
      if (window.first <= kEcamLast && kEcamFirst <= window.last) {
        source.Fail(bar.key + ".base", "contradictory topology: BAR " + std::to_string(bar.index) +
                                           " at " + source.Number(bar.key + ".base", bar.base) +
                                           " overlaps PCI configuration space (0xE0000000 to "
                                           "0xEFFFFFFF)");
      }
      windows.push_back(window);
    }
    const uint64_t needed = device.mac ? sim::MacBar0BytesNeeded(device.mac->location) : 0;
    if (needed != 0) {
      const auto bar0 = std::find_if(device.bars.begin(), device.bars.end(),
                                     [](const Bar &bar) { return bar.index == 0; });
      if (bar0 == device.bars.end() || bar0->size < needed) {
        source.Fail(device.key + ".mac.location",
                    "this location needs a BAR 0 of at least " + Hex(needed) + " bytes");
      }
    }
  }
  std::sort(windows.begin(), windows.end(),
            [](const Window &a, const Window &b) { return a.first < b.first; });
  for (size_t index = 1; index < windows.size(); index++) {
    const Window &before = windows[index - 1], &after = windows[index];
    if (after.first <= before.last) {
      // Name the window described later in the file.
      const bool laterIsAfter = source.Line(after.bar->key) >= source.Line(before.bar->key);
      const Window &named = laterIsAfter ? after : before;
      const Window &other = laterIsAfter ? before : after;
      source.Fail(named.bar->key + ".base",
                  "contradictory topology: BAR " + std::to_string(named.bar->index) + " at " +
                      source.Number(named.bar->key + ".base", named.bar->base) +
                      " overlaps the window of " + other.bar->key + " " +
                      LineText(source, other.bar->key));
    }
  }
}

}  // namespace

void CheckBoard(Board &board, const BoardSource &source) {
  PlaceRootPorts(board, source);
  CheckAddresses(board, source);
  CheckBridges(board, source);
  CheckWindows(board, source);
}

}  // namespace bootsim
