// Direct PCI configuration access of the board driver.
#include "PciAccess.h"

#include "../hw/HwAccess.h"

namespace {

constexpr UINT16 LEGACY_CONFIG_ADDRESS_PORT = 0xCF8;
constexpr UINT16 LEGACY_CONFIG_DATA_PORT = 0xCFC;
constexpr UINT32 LEGACY_CONFIG_ENABLE = 0x80000000U;

// Registers of the VPD capability, relative to its offset.
constexpr UINT32 VPD_ADDRESS_REGISTER = 2;
constexpr UINT32 VPD_DATA_REGISTER = 4;
constexpr UINT16 VPD_ADDRESS_COMPLETE = 0x8000;

// A 32-bit read through the legacy mechanism. The register goes into the
// low byte as given.
UINT32 LegacyConfigRead32(PCI_BDF Bdf, UINT8 Register) {
  HwIoWrite32(LEGACY_CONFIG_ADDRESS_PORT,
              LEGACY_CONFIG_ENABLE | (static_cast<UINT32>(Bdf) << 8) | Register);
  return HwIoRead32(LEGACY_CONFIG_DATA_PORT);
}

}  // namespace

UINT8 PciConfigRead8(PCI_BDF Bdf, UINT32 Register) {
  return HwMmioRead8(PcieConfigAddress(Bdf, Register));
}
UINT16 PciConfigRead16(PCI_BDF Bdf, UINT32 Register) {
  return HwMmioRead16(PcieConfigAddress(Bdf, Register));
}
UINT32 PciConfigRead32(PCI_BDF Bdf, UINT32 Register) {
  return HwMmioRead32(PcieConfigAddress(Bdf, Register));
}
VOID PciConfigWrite8(PCI_BDF Bdf, UINT32 Register, UINT8 Value) {
  HwMmioWrite8(PcieConfigAddress(Bdf, Register), Value);
}
VOID PciConfigWrite16(PCI_BDF Bdf, UINT32 Register, UINT16 Value) {
  HwMmioWrite16(PcieConfigAddress(Bdf, Register), Value);
}
VOID PciConfigWrite32(PCI_BDF Bdf, UINT32 Register, UINT32 Value) {
  HwMmioWrite32(PcieConfigAddress(Bdf, Register), Value);
}

PCI_BDF TranslateBusNumber(UINT32 RootPortLocation) {
  constexpr PCI_BDF HostBridge = PciBdf(0, 0, 0);
  PciConfigWrite32(HostBridge, BUS_RANGE_CONTROL_OFFSET, 0);
  PciConfigWrite32(HostBridge, BUS_RANGE_INDEX_OFFSET,
                   BusRangeIndex(RootPortBusGroup(RootPortLocation)));
  return RootPortBdf(RootPortLocation, PciConfigRead32(HostBridge, BUS_RANGE_DATA_OFFSET));
}

UINT8 FindDownstreamBus(PCI_BDF Bridge) {
  UINT8 SecondaryBus = PciConfigRead8(Bridge, PCI_SECONDARY_BUS_OFFSET);
  UINT8 Bus = PciConfigRead8(Bridge, PCI_SUBORDINATE_BUS_OFFSET);
  while (Bus > SecondaryBus) {
    if (PciConfigRead8(PciBdf(Bus, 0, 0), PCI_VENDOR_DEVICE_ID_OFFSET) != 0xFF) {
      break;
    }
    Bus--;
  }
  return Bus;
}

UINT8 FindNetworkBus(PCI_BDF Bridge) {
  UINT32 SecondaryBus = PciConfigRead8(Bridge, PCI_SECONDARY_BUS_OFFSET);
  UINT32 SubordinateBus = PciConfigRead8(Bridge, PCI_SUBORDINATE_BUS_OFFSET);
  if (SecondaryBus == 0xFF && SubordinateBus == 0xFF) {
    return 0xFF;
  }
  // A 32-bit counter, so a subordinate bus of 0xFF ends the scan there.
  for (UINT32 Bus = SecondaryBus; Bus <= SubordinateBus; Bus++) {
    PCI_BDF Device = PciBdf(static_cast<UINT8>(Bus), 0, 0);
    if (PciConfigRead8(Device, PCI_BASE_CLASS_OFFSET) == PCI_CLASS_NETWORK) {
      return static_cast<UINT8>(Bus);
    }
  }
  return 0xFF;
}

UINT8 FindVpdCapability(PCI_BDF Bdf) {
  UINT32 Visited[256 / 32] = {0, 0, 0, 0, 0, 0, 0, 0};
  UINT8 Offset = static_cast<UINT8>(LegacyConfigRead32(Bdf, PCI_CAPABILITY_POINTER_OFFSET) & 0xFF);
  for (UINT32 Entries = 0; Offset != 0 && Entries < VPD_CAPABILITY_WALK_LIMIT; Entries++) {
    UINT32 Bit = 1U << (Offset & 31);
    if ((Visited[Offset >> 5] & Bit) != 0) {
      return 0;
    }
    Visited[Offset >> 5] |= Bit;

    UINT32 Header = LegacyConfigRead32(Bdf, Offset);
    if ((Header & 0xFF) == PCI_CAPABILITY_ID_VPD) {
      return Offset;
    }
    Offset = static_cast<UINT8>((Header >> 8) & 0xFF);
  }
  return 0;
}

VOID ReadVpdImage(PCI_BDF Bdf, UINT8 CapabilityOffset, UINT8 *Image) {
  UINT32 AddressRegister = CapabilityOffset + VPD_ADDRESS_REGISTER;
  UINT32 DataRegister = CapabilityOffset + VPD_DATA_REGISTER;
  for (UINT32 Offset = 0; Offset < VPD_IMAGE_SIZE; Offset += 4) {
    // Bit 15 clear asks for a read; the device sets it when the data is in.
    PciConfigWrite16(Bdf, AddressRegister, static_cast<UINT16>(Offset));
    UINT32 Polls = 0;
    while ((PciConfigRead16(Bdf, AddressRegister) & VPD_ADDRESS_COMPLETE) == 0) {
      if (++Polls == VPD_COMPLETION_POLL_LIMIT) {
        // Zeros hold no keywords, so the caller finds none in the missing part.
        for (UINT32 Rest = Offset; Rest < VPD_IMAGE_SIZE; Rest++) {
          Image[Rest] = 0;
        }
        return;
      }
    }
    UINT32 Data = PciConfigRead32(Bdf, DataRegister);
    Image[Offset] = static_cast<UINT8>(Data);
    Image[Offset + 1] = static_cast<UINT8>(Data >> 8);
    Image[Offset + 2] = static_cast<UINT8>(Data >> 16);
    Image[Offset + 3] = static_cast<UINT8>(Data >> 24);
  }
}
