// Direct PCI configuration access of the board driver: addressing, the
// translation of board-relative root-port locations into bus numbers, the
// searches below a bridge, and the VPD of a device. No PCI bus driver or
// protocol is involved; every access goes through the hardware-access
// interface.
#pragma once
#include "../uefi/UefiBase.h"

// A device location: bits 15:8 bus, bits 7:3 device, bits 2:0 function.
typedef UINT16 PCI_BDF;

constexpr PCI_BDF PciBdf(UINT8 Bus, UINT8 Device, UINT8 Function) {
  return static_cast<PCI_BDF>((Bus << 8) | ((Device & 0x1F) << 3) | (Function & 0x7));
}
constexpr UINT8 PciBdfBus(PCI_BDF Bdf) { return static_cast<UINT8>(Bdf >> 8); }
constexpr UINT8 PciBdfDevice(PCI_BDF Bdf) { return static_cast<UINT8>((Bdf >> 3) & 0x1F); }
constexpr UINT8 PciBdfFunction(PCI_BDF Bdf) { return static_cast<UINT8>(Bdf & 0x7); }

// The memory-mapped (ECAM) configuration space: register R of a device lies
// at PCIE_ECAM_BASE + (Bdf << 12) + R, computed in 32 bits.
inline constexpr UINT32 PCIE_ECAM_BASE = 0xE0000000U;

constexpr UINTN PcieConfigAddress(PCI_BDF Bdf, UINT32 Register) {
  return static_cast<UINT32>(PCIE_ECAM_BASE + (static_cast<UINT32>(Bdf) << 12) + Register);
}

// Standard configuration registers the board code uses.
#define PCI_VENDOR_DEVICE_ID_OFFSET 0x00  // 32: vendor ID 15:0, device ID 31:16
#define PCI_COMMAND_OFFSET 0x04           // 8: low byte of the command register
#define PCI_BASE_CLASS_OFFSET 0x0B        // 8: base class code
#define PCI_BAR0_OFFSET 0x10              // 32
#define PCI_BAR1_OFFSET 0x14              // 32: upper half of a 64-bit BAR0
#define PCI_SECONDARY_BUS_OFFSET 0x19     // 8: of a bridge
#define PCI_SUBORDINATE_BUS_OFFSET 0x1A   // 8: of a bridge
#define PCI_SUBSYSTEM_ID_OFFSET 0x2C      // 32: subsystem vendor 15:0, subsystem 31:16
#define PCI_EXPANSION_ROM_OFFSET 0x30     // 32
#define PCI_CAPABILITY_POINTER_OFFSET 0x34

// The ID word of an absent device: the read of a location where nothing
// answers returns all ones.
#define PCI_ID_ABSENT 0xFFFFFFFFU

#define PCI_COMMAND_MEMORY_SPACE 0x02
#define PCI_COMMAND_BUS_MASTER 0x04
#define PCI_CLASS_NETWORK 0x02
#define PCI_CAPABILITY_ID_VPD 0x03

// One load or store of the given width at a register of a device, through
// the ECAM window (extended registers up to 0xFFF included).
UINT8 PciConfigRead8(PCI_BDF Bdf, UINT32 Register);
UINT16 PciConfigRead16(PCI_BDF Bdf, UINT32 Register);
UINT32 PciConfigRead32(PCI_BDF Bdf, UINT32 Register);
VOID PciConfigWrite8(PCI_BDF Bdf, UINT32 Register, UINT8 Value);
VOID PciConfigWrite16(PCI_BDF Bdf, UINT32 Register, UINT16 Value);
VOID PciConfigWrite32(PCI_BDF Bdf, UINT32 Register, UINT32 Value);

// The host bridge's bus-range window (bus 0, device 0, function 0): a
// control register cleared before use, the index and the data register of
// an indirect register file. Bus group G's range register is at index
// BUS_RANGE_INDEX_BASE + 4 * G: first bus in bits 23:16, last in bits 31:24.
#define BUS_RANGE_CONTROL_OFFSET 0xC0
#define BUS_RANGE_INDEX_OFFSET 0xC4
#define BUS_RANGE_DATA_OFFSET 0xC8
#define BUS_RANGE_INDEX_BASE 0x1C0A0U
#define BUS_GROUP_COUNT 8

constexpr UINT32 BusRangeIndex(UINT32 Group) { return BUS_RANGE_INDEX_BASE + 4 * Group; }
constexpr UINT32 BusRangeValue(UINT8 FirstBus, UINT8 LastBus) {
  return (static_cast<UINT32>(FirstBus) << 16) | (static_cast<UINT32>(LastBus) << 24);
}
constexpr UINT8 BusRangeFirst(UINT32 Range) { return static_cast<UINT8>(Range >> 16); }
constexpr UINT8 BusRangeLast(UINT32 Range) { return static_cast<UINT8>(Range >> 24); }

// A root-port location's bus group (bits 15:13) and its bus offset within
// the group (bits 12:8).
constexpr UINT32 RootPortBusGroup(UINT32 RootPortLocation) {
  return ((RootPortLocation >> 8) & 0xFF) >> 5;
}
constexpr UINT32 RootPortBusOffset(UINT32 RootPortLocation) {
  return (RootPortLocation >> 8) & 0x1F;
}
// Whether the group's first bus plus the offset lies within the group's
// range register (compared as plain integers, so a sum above 255 never does).
constexpr BOOLEAN RootPortBusInRange(UINT32 RootPortLocation, UINT32 Range) {
  return BusRangeFirst(Range) + RootPortBusOffset(RootPortLocation) <= BusRangeLast(Range);
}
// The bus a root-port location names under its group's range register: the
// group's first bus plus the offset, 0 when that lies beyond the last bus.
constexpr UINT8 RootPortBus(UINT32 RootPortLocation, UINT32 Range) {
  return RootPortBusInRange(RootPortLocation, Range)
             ? static_cast<UINT8>(BusRangeFirst(Range) + RootPortBusOffset(RootPortLocation))
             : 0;
}
// The root port's location on that bus; the device and function byte of
// the location passes through unchanged.
constexpr PCI_BDF RootPortBdf(UINT32 RootPortLocation, UINT32 Range) {
  return static_cast<PCI_BDF>((static_cast<UINT32>(RootPortBus(RootPortLocation, Range)) << 8) |
                              (RootPortLocation & 0xFF));
}

// Translates a root-port location (a 32-bit configuration-database value:
// bits 7:0 device and function, bits 15:13 bus group, bits 12:8 offset in
// the group, bits 31:16 ignored) into a PCI_BDF, using the host bridge's
// bus-range register of the group. An offset beyond the group's last bus
// gives bus 0; the device and function byte passes through unchanged.
PCI_BDF TranslateBusNumber(UINT32 RootPortLocation);

// The bus of the device behind a bridge: the highest bus above the bridge's
// secondary bus whose device 0 function 0 answers; the secondary bus when
// none does (it is never probed itself), the subordinate bus when that is
// not above the secondary bus.
UINT8 FindDownstreamBus(PCI_BDF Bridge);

// The first bus from the bridge's secondary to its subordinate bus whose
// device 0 function 0 is a network controller; 0xFF for none, and for an
// absent bridge (both bus numbers 0xFF).
UINT8 FindNetworkBus(PCI_BDF Bridge);

// The configuration offset of the device's VPD capability, found through the
// legacy configuration ports 0xCF8/0xCFC; 0 when the list has none. The walk
// ends with 0 on a zero pointer, on a pointer it has already visited (an
// absent device reads as all ones and points to 0xFF forever) and after
// VPD_CAPABILITY_WALK_LIMIT entries.
UINT8 FindVpdCapability(PCI_BDF Bdf);

// All capabilities that fit into the 192 bytes of capability space at
// 0x40 to 0xFF, four bytes each.
#define VPD_CAPABILITY_WALK_LIMIT 48

#define VPD_IMAGE_SIZE 256

// Reads of the VPD address register per dword before ReadVpdImage gives up
// waiting for the completion flag. A configuration read takes about a
// microsecond on real hardware, so this allows roughly 100 ms per dword,
// well above what serial VPD memories need.
#define VPD_COMPLETION_POLL_LIMIT 100000

// Reads the first 256 bytes of the device's VPD through the VPD capability
// at CapabilityOffset, dword by dword, little-endian into Image. When a
// dword does not complete within VPD_COMPLETION_POLL_LIMIT polls, the read
// stops: Image keeps the bytes read so far and is zero from there on.
VOID ReadVpdImage(PCI_BDF Bdf, UINT8 CapabilityOffset, UINT8 *Image);
