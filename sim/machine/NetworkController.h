// The onboard network-controller families as device models: where each
// family keeps its MAC address (device registers behind BAR 0, or the
// device serial number in extended configuration space). A controller's
// ID word and BAR 0 are described on its PciFunction as for any device.
#pragma once
#include <array>
#include <cstdint>

#include "PciFunction.h"

namespace sim {

using MacAddress = std::array<uint8_t, 6>;

enum class MacLocation : uint8_t {
  Registers,             // six bytes at BAR 0 + 0x5400
  RegistersSplit,        // four at BAR 0 + 0x1E2120, two at BAR 0 + 0x1E2140
  SerialNumber,          // EUI-64 in configuration bytes 0x140-0x147
  SerialNumberReversed,  // configuration bytes 0x145 down to 0x140
};

inline constexpr uint32_t kMacRegisterOffset = 0x5400;
inline constexpr uint32_t kMacSplitLowOffset = 0x1E2120;   // address bytes 0 to 3
inline constexpr uint32_t kMacSplitHighOffset = 0x1E2140;  // address bytes 4 and 5
inline constexpr uint16_t kSerialNumberOffset = 0x140;

// The BAR 0 size a family needs to hold its address; 0 for the families
// that keep it in configuration space.
uint64_t MacBar0BytesNeeded(MacLocation location);

// Puts the address where the family keeps it. The register families write
// into BAR 0's register window.
void PlaceMacAddress(PciFunction &function, MacLocation location, const MacAddress &mac);

}  // namespace sim
