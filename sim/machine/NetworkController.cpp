#include "NetworkController.h"

namespace sim {

uint64_t MacBar0BytesNeeded(MacLocation location) {
  switch (location) {
    case MacLocation::Registers:
      return kMacRegisterOffset + 6;
    case MacLocation::RegistersSplit:
      return kMacSplitHighOffset + 2;
    case MacLocation::SerialNumber:
    case MacLocation::SerialNumberReversed:
      return 0;
  }
  return 0;
}

void PlaceMacAddress(PciFunction &function, MacLocation location, const MacAddress &mac) {
  const MacAddress &m = mac;
  switch (location) {
    case MacLocation::Registers:
      function.Registers(0).SetBytes(kMacRegisterOffset, {m[0], m[1], m[2], m[3], m[4], m[5]});
      break;
    case MacLocation::RegistersSplit:
      function.Registers(0).SetBytes(kMacSplitLowOffset, {m[0], m[1], m[2], m[3]});
      function.Registers(0).SetBytes(kMacSplitHighOffset, {m[4], m[5]});
      break;
    case MacLocation::SerialNumber:
      // The device serial number as an EUI-64 built from the address:
      // 0x147 down to 0x145 the first three bytes, FF FE, then the last three.
      function.SetConfigBytes(kSerialNumberOffset,
                              {m[5], m[4], m[3], 0xFE, 0xFF, m[2], m[1], m[0]});
      break;
    case MacLocation::SerialNumberReversed:
      function.SetConfigBytes(kSerialNumberOffset, {m[5], m[4], m[3], m[2], m[1], m[0]});
      break;
  }
}

}  // namespace sim
