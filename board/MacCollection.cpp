// Collection of the MAC addresses of the onboard network controllers.
#include "MacCollection.h"

#include "../hw/HwAccess.h"
#include "../include/PcdTokens.h"
#include "../platform/LibraryStartup.h"
#include "BoardHookDxe.h"

namespace {

// How a controller family keeps its MAC address.
enum MAC_READ_METHOD : UINT8 {
  MacFromVpd,                    // VPD keywords V2 to V5, chosen by selector
  MacFromConfigDescending,       // configuration bytes 0x145 down to 0x140
  MacFromConfigSplit,            // 0x147, 0x146, 0x145, 0x142, 0x141, 0x140;
                                 // port 2 adds one to the last byte
  MacFromConfigSplitByFunction,  // as above, the function number added to 0x140
  MacFromRegistersSplit,         // BAR + 0x1E2120 (4 bytes), BAR + 0x1E2140 (2)
  MacFromRegisters               // BAR + 0x5400 (6 bytes)
};

struct CONTROLLER_FAMILY {
  UINT32 IdMask;  // applied to the ID word (vendor ID in bits 15:0)
  UINT32 Id;
  MAC_READ_METHOD Method;
};

constexpr UINT32 VENDOR_ONLY = 0x0000FFFFU;
constexpr UINT32 VENDOR_AND_DEVICE = 0xFFFFFFFFU;

// Tested in order; the first match decides, and the last row matches any ID.
constinit const CONTROLLER_FAMILY mControllerFamilies[] = {
    {VENDOR_ONLY, 0x000015B3, MacFromVpd},
    {VENDOR_AND_DEVICE, 0x165F14E4, MacFromConfigDescending},
    {VENDOR_AND_DEVICE, 0x16D814E4, MacFromConfigSplit},
    {VENDOR_ONLY, 0x000014E4, MacFromConfigSplitByFunction},
    {VENDOR_AND_DEVICE, 0x15728086, MacFromRegistersSplit},
    {VENDOR_AND_DEVICE, 0x15898086, MacFromRegistersSplit},
    {VENDOR_AND_DEVICE, 0x158B8086, MacFromRegistersSplit},
    {VENDOR_AND_DEVICE, 0x15FF8086, MacFromRegistersSplit},
    {VENDOR_AND_DEVICE, 0x104E8086, MacFromRegistersSplit},
    {0, 0, MacFromRegisters},
};

// Extended configuration bytes that hold the address, entry byte 0 first.
constinit const UINT16 mConfigDescendingOffsets[MAC_ADDRESS_SIZE] = {0x145, 0x144, 0x143,
                                                                     0x142, 0x141, 0x140};
constinit const UINT16 mConfigSplitOffsets[MAC_ADDRESS_SIZE] = {0x147, 0x146, 0x145,
                                                                0x142, 0x141, 0x140};

// Device-register offsets from the BAR0 base.
constexpr UINT32 REGISTERS_SPLIT_LOW_OFFSET = 0x1E2120;  // entry bytes 0 to 3
constexpr UINT32 REGISTERS_SPLIT_LOW_SIZE = 4;
constexpr UINT32 REGISTERS_SPLIT_HIGH_OFFSET = 0x1E2140;  // entry bytes 4 and 5
constexpr UINT32 REGISTERS_SPLIT_HIGH_SIZE = 2;
constexpr UINT32 REGISTERS_OFFSET = 0x5400;

// Function number of device 0 behind ports 2, 3 and 4, by token 3:
// 0 or 1, 2 or 3, 4 and above.
constinit const UINT8 mPortFunctionNumbers[3][3] = {{0, 0, 0}, {1, 0, 1}, {1, 2, 3}};

// Root-port location tokens of ports 2, 3 and 4.
constinit const UINTN mSecondListPortTokens[3] = {
    PCD_TOKEN_ROOT_PORT2_LOCATION, PCD_TOKEN_ROOT_PORT3_LOCATION, PCD_TOKEN_ROOT_PORT4_LOCATION};

// The VPD keywords: "VA" with one digit telling how many selectors the VPD
// serves, "V2" to "V5" with 12 hex characters of an address each.
constexpr UINT8 VPD_KEYWORD_PREFIX = 'V';
constexpr UINT8 VPD_KEYWORD_SELECTOR_COUNT = 'A';
constexpr UINT8 VPD_SELECTOR_COUNT_LENGTH = 1;
constexpr UINT8 VPD_KEYWORD_FIRST_ADDRESS = '2';
constexpr UINT32 VPD_ADDRESS_KEYWORDS = 4;  // V2 to V5
constexpr UINT8 VPD_ADDRESS_LENGTH = 2 * MAC_ADDRESS_SIZE;

const CONTROLLER_FAMILY &FindControllerFamily(UINT32 IdWord) {
  const CONTROLLER_FAMILY *Family = mControllerFamilies;
  while ((IdWord & Family->IdMask) != Family->Id) {
    Family++;
  }
  return *Family;
}

VOID CopyConfigBytes(PCI_BDF Device, const UINT16 *Offsets, UINT8 *Entry) {
  for (UINT32 Index = 0; Index < MAC_ADDRESS_SIZE; Index++) {
    Entry[Index] = PciConfigRead8(Device, Offsets[Index]);
  }
}

// Copies Size bytes of device registers at Offset from the base in BAR0 into
// Destination, one byte at a time in ascending address order. The base is
// read afresh each time. An unassigned BAR (base 0) or one that reads as all
// ones (a device that no longer answers) is not read: it would reach low
// physical memory or nothing at all, and Destination keeps its zeros.
VOID CopyDeviceRegisters(PCI_BDF Device, UINT32 Offset, UINT8 *Destination, UINT32 Size) {
  UINT32 Bar0 = PciConfigRead32(Device, PCI_BAR0_OFFSET);
  UINT64 Base = Bar0;
  UINT64 AllOnes = 0xFFFFFFFFULL;
  if ((Bar0 & 0x6) == 0x4) {  // a 64-bit memory BAR, BAR1 its upper half
    Base |= static_cast<UINT64>(PciConfigRead32(Device, PCI_BAR1_OFFSET)) << 32;
    AllOnes = ~0ULL;
  }
  Base &= ~0xFULL;
  if (Base == 0 || (Base | 0xF) == AllOnes) {
    return;
  }
  // A window this build cannot address (above 4 GiB in 32-bit code) is left
  // alone as well.
  const UINTN MaxAddress = ~static_cast<UINTN>(0);
  if (Base > MaxAddress - Offset - Size) {
    return;
  }
  UINTN Address = static_cast<UINTN>(Base) + Offset;
  for (UINT32 Index = 0; Index < Size; Index++) {
    Destination[Index] = HwMmioRead8(Address + Index);
  }
}

UINT8 HexDigitValue(UINT8 Character) {
  if (Character >= '0' && Character <= '9') {
    return static_cast<UINT8>(Character - '0');
  }
  if (Character >= 'A' && Character <= 'F') {
    return static_cast<UINT8>(Character - 'A' + 10);
  }
  return Character;
}

// Probes device 0 behind a root port whose location has been translated.
VOID CollectPort(UINT8 Port, PCI_BDF RootPort, UINT8 Function, UINT8 *MacList) {
  UINT8 Bus = FindDownstreamBus(RootPort);
  GetControllerMacAddress(Port, PciBdf(Bus, 0, Function), MacList);
}

}  // namespace

EFI_STATUS EFIAPI CollectMacAddresses(UINT8 *FirstList, UINT8 *SecondList) {
  UINT8 *PortOneList = FirstList + FIRST_BUFFER_MAC_LIST_OFFSET;
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  if (Pcd == NULL) {
    // Without the board configuration nothing can be located; the caller
    // still finds an empty port-1 list.
    PortOneList[0] = 0;
    return EFI_SUCCESS;
  }

  UINT8 BoardType = Pcd->Get8(PCD_TOKEN_BOARD_TYPE);
  PortOneList[0] = 0;
  if (BoardType == BOARD_TYPE_NO_ONBOARD_NETWORK) {
    return EFI_SUCCESS;
  }

  if (BoardType == BOARD_TYPE_SINGLE_PORT) {
    // This board's port 1 is probed even when its location translates to 0.
    PCI_BDF RootPort = TranslateBusNumber(Pcd->Get32(PCD_TOKEN_ROOT_PORT1_LOCATION));
    CollectPort(1, RootPort, 0, PortOneList);
  } else {
    PCI_BDF RootPort = TranslateBusNumber(Pcd->Get32(PCD_TOKEN_ROOT_PORT1_LOCATION));
    if (RootPort != 0) {
      CollectPort(1, RootPort, 0, PortOneList);
    }

    SecondList[0] = 0;
    for (UINT8 Port = 2; Port <= 4; Port++) {
      RootPort = TranslateBusNumber(Pcd->Get32(mSecondListPortTokens[Port - 2]));
      if (RootPort == 0) {
        continue;
      }
      UINT8 Bus = FindDownstreamBus(RootPort);
      UINT8 FunctionSelect = Pcd->Get8(PCD_TOKEN_FUNCTION_SELECT);
      UINT32 Row = 2;
      if (FunctionSelect < 4) {
        // Port 4 tells 2 or 3 from 0 or 1 by a second read of the token.
        if (Port == 4) {
          FunctionSelect = Pcd->Get8(PCD_TOKEN_FUNCTION_SELECT);
        }
        Row = FunctionSelect >= 2 ? 1 : 0;
      }
      UINT8 Function = mPortFunctionNumbers[Row][Port - 2];
      GetControllerMacAddress(Port, PciBdf(Bus, 0, Function), SecondList);
    }
  }

  gBS->Stall(MAC_COLLECTION_STALL_US);
  return EFI_SUCCESS;
}

EFI_STATUS GetControllerMacAddress(UINT8 Port, PCI_BDF Device, UINT8 *MacList) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  if (Pcd == NULL) {
    return EFI_SUCCESS;
  }

  UINT32 IdWord = PciConfigRead32(Device, PCI_VENDOR_DEVICE_ID_OFFSET);
  if (IdWord == PCI_ID_ABSENT) {
    return EFI_SUCCESS;
  }

  // A present controller counts even when its address cannot be read.
  UINT8 Count = static_cast<UINT8>(MacList[0] + 1);
  MacList[0] = Count;
  UINT8 *Entry = &MacList[static_cast<UINT8>(1 + MAC_ADDRESS_SIZE * (Count - 1))];

  const CONTROLLER_FAMILY &Family = FindControllerFamily(IdWord);
  for (UINT32 Index = 0; Index < MAC_ADDRESS_SIZE; Index++) {
    Entry[Index] = 0;
  }

  UINT8 Command = PciConfigRead8(Device, PCI_COMMAND_OFFSET);
  PciConfigWrite8(Device, PCI_COMMAND_OFFSET,
                  static_cast<UINT8>(Command | PCI_COMMAND_MEMORY_SPACE | PCI_COMMAND_BUS_MASTER));

  switch (Family.Method) {
    case MacFromRegistersSplit:
      CopyDeviceRegisters(Device, REGISTERS_SPLIT_LOW_OFFSET, Entry, REGISTERS_SPLIT_LOW_SIZE);
      CopyDeviceRegisters(Device, REGISTERS_SPLIT_HIGH_OFFSET, Entry + REGISTERS_SPLIT_LOW_SIZE,
                          REGISTERS_SPLIT_HIGH_SIZE);
      break;

    case MacFromRegisters:
      CopyDeviceRegisters(Device, REGISTERS_OFFSET, Entry, MAC_ADDRESS_SIZE);
      break;

    case MacFromConfigDescending:
      CopyConfigBytes(Device, mConfigDescendingOffsets, Entry);
      break;

    case MacFromConfigSplit:
      CopyConfigBytes(Device, mConfigSplitOffsets, Entry);
      // Port 2 carries the second address of this controller's pair: one
      // above the stored one, in the last byte only.
      if (Port == 2) {
        Entry[MAC_ADDRESS_SIZE - 1]++;
      }
      break;

    case MacFromConfigSplitByFunction:
      CopyConfigBytes(Device, mConfigSplitOffsets, Entry);
      Entry[MAC_ADDRESS_SIZE - 1] =
          static_cast<UINT8>(Entry[MAC_ADDRESS_SIZE - 1] + PciBdfFunction(Device));
      break;

    case MacFromVpd: {
      UINT16 Selector = VPD_SELECTOR_SECOND;
      if (Port == 1 || Port == Pcd->Get8(PCD_TOKEN_FUNCTION_SELECT) + 1) {
        Selector = VPD_SELECTOR_FIRST;
      }
      ReadVpdMacAddress(Device, Selector, Entry);
      if (Pcd->Get8(PCD_TOKEN_BOARD_TYPE) == BOARD_TYPE_SHARED_VPD) {
        // The port-1 device's VPD decides where it keeps an address for
        // this port: its selector is the port number itself.
        PCI_BDF RootPort = TranslateBusNumber(Pcd->Get32(PCD_TOKEN_ROOT_PORT1_LOCATION));
        UINT8 Bus = FindDownstreamBus(RootPort);
        ReadVpdMacAddress(PciBdf(Bus, 0, 0), Port, Entry);
      }
      break;
    }
  }
  return EFI_SUCCESS;
}

VOID ReadVpdMacAddress(PCI_BDF Device, UINT16 Selector, UINT8 *Entry) {
  UINT8 Capability = FindVpdCapability(Device);
  if (Capability == 0) {
    return;
  }
  UINT8 Image[VPD_IMAGE_SIZE];
  ReadVpdImage(Device, Capability, Image);
  VpdMacAddressFromImage(Image, Selector, Entry);
}

VOID VpdMacAddressFromImage(const UINT8 *Image, UINT16 Selector, UINT8 *Entry) {
  // The scan looks only for the keyword patterns, not at resource tags; a
  // later match replaces an earlier one. Keyword data starts at offset 3 at
  // the earliest, so an offset of 0 means the keyword was not found.
  UINT32 SelectorCount = 0;
  UINT32 AddressOffsets[VPD_ADDRESS_KEYWORDS] = {0, 0, 0, 0};
  for (UINT32 Index = 0; Index + 3 < VPD_IMAGE_SIZE; Index++) {
    if (Image[Index] != VPD_KEYWORD_PREFIX) {
      continue;
    }
    UINT8 Name = Image[Index + 1];
    UINT8 Length = Image[Index + 2];
    if (Name == VPD_KEYWORD_SELECTOR_COUNT && Length == VPD_SELECTOR_COUNT_LENGTH) {
      // Unsigned: a byte below "0" gives a very large count.
      SelectorCount = static_cast<UINT32>(Image[Index + 3]) - '0';
    } else if (Name >= VPD_KEYWORD_FIRST_ADDRESS &&
               Name < VPD_KEYWORD_FIRST_ADDRESS + VPD_ADDRESS_KEYWORDS &&
               Length == VPD_ADDRESS_LENGTH && Index + 3 + VPD_ADDRESS_LENGTH <= VPD_IMAGE_SIZE) {
      AddressOffsets[Name - VPD_KEYWORD_FIRST_ADDRESS] = Index + 3;
    }
  }

  if (Selector < 1 || Selector > VPD_ADDRESS_KEYWORDS || SelectorCount < Selector) {
    return;
  }
  // A served selector whose keyword is missing leaves the entry as it is
  // rather than converting whatever the image starts with.
  UINT32 Offset = AddressOffsets[Selector - 1];
  if (Offset != 0) {
    AsciiHexToMac(Entry, Image, Offset);
  }
}

VOID AsciiHexToMac(UINT8 *Entry, const UINT8 *Image, UINT32 Offset) {
  if (Offset > VPD_IMAGE_SIZE - 2 * MAC_ADDRESS_SIZE) {
    return;
  }
  for (UINT32 Index = 0; Index < MAC_ADDRESS_SIZE; Index++) {
    UINT8 High = HexDigitValue(Image[Offset + 2 * Index]);
    UINT8 Low = HexDigitValue(Image[Offset + 2 * Index + 1]);
    Entry[Index] = static_cast<UINT8>((High << 4) | Low);
  }
}
