// Setup-item suppression and link-retry reset.
#include "SetupSuppress.h"

#include "../hw/HwAccess.h"
#include "../include/PcdTokens.h"
#include "../platform/LibraryStartup.h"
#include "../uefi/PlatformModules.h"
#include "BoardHookDxe.h"
#include "PciAccess.h"

namespace {

// The form set whose items this driver hides (ASCII, not the UTF-16
// variable name).
constexpr CHAR8 SETUP_FORM_SET_NAME[] = "Setup";

// The subsystem word of the port-1 controller whose board also carries a
// network controller behind root port 3.
constexpr UINT32 SUBSYSTEM_WORD_WITH_PORT3_CONTROLLER = 0x0000091F;

constexpr UINT32 PCI_ID_8086_1533 = 0x15338086;
constexpr UINT32 PCI_ID_8086_1521 = 0x15218086;
constexpr UINT32 PCI_ID_8086_10FB = 0x10FB8086;

// CMOS RAM: index port and data port.
constexpr UINT16 CMOS_INDEX_PORT = 0x70;
constexpr UINT16 CMOS_DATA_PORT = 0x71;
constexpr UINT8 LINK_RETRY_LIMIT = 3;

constexpr UINT16 RESET_CONTROL_PORT = 0xCF9;
// System reset (bit 1) carried out by the CPU reset (bit 2).
constexpr UINT8 RESET_CONTROL_RESET = 0x06;

// Root ports 1 to 4: the token holding the port's location and the setup
// item hidden when no device answers behind it.
struct ROOT_PORT_SETUP_ITEM {
  UINTN LocationToken;
  UINT16 AbsentItem;
};

constexpr ROOT_PORT_SETUP_ITEM ROOT_PORT_ITEMS[] = {
    {PCD_TOKEN_ROOT_PORT1_LOCATION, 1819},
    {PCD_TOKEN_ROOT_PORT2_LOCATION, 1823},
    {PCD_TOKEN_ROOT_PORT3_LOCATION, 1825},
    {PCD_TOKEN_ROOT_PORT4_LOCATION, 1827},
};

// Items hidden by the board-identification tokens.
constexpr UINT16 BOARD_ID_LOW_ITEMS[] = {1840, 1842, 1844, 1846, 1848, 1850, 1852};
constexpr UINT16 BOARD_ID_MID_5_ITEMS[] = {1850, 1852};
constexpr UINT16 BOARD_ID_MID_6_ITEM = 1840;
constexpr UINT16 ITEM_1779 = 1779;

// The three port-1 items of which the port-1 rules hide exactly two.
constexpr UINT16 PORT1_ITEM_1819 = 1819;
constexpr UINT16 PORT1_ITEM_1820 = 1820;
constexpr UINT16 PORT1_ITEM_1821 = 1821;

UINT32 ReadIdWord(UINT8 Bus) {
  return PciConfigRead32(PciBdf(Bus, 0, 0), PCI_VENDOR_DEVICE_ID_OFFSET);
}

// The bus of the network controller behind the root port named by Token.
UINT8 NetworkBusOfPort(PCD_PROTOCOL *Pcd, UINTN Token) {
  return FindNetworkBus(TranslateBusNumber(Pcd->Get32(Token)));
}

VOID ClearLinkRetryCounter() {
  HwIoWrite8(CMOS_INDEX_PORT, LINK_RETRY_CMOS_INDEX);
  HwIoWrite8(CMOS_DATA_PORT, 0);
}

// A controller is missing: reset the platform, unless that already happened
// LINK_RETRY_LIMIT times in a row; then clear the count and let the boot go
// on without the controller. The reset path does not return.
VOID RetryLinkByReset() {
  HwIoWrite8(CMOS_INDEX_PORT, LINK_RETRY_CMOS_INDEX);
  UINT8 Resets = HwIoRead8(CMOS_DATA_PORT);
  if (Resets >= LINK_RETRY_LIMIT) {
    ClearLinkRetryCounter();
    return;
  }
  // The index is still selected.
  HwIoWrite8(CMOS_DATA_PORT, static_cast<UINT8>(Resets + 1));
  HwIoWrite8(RESET_CONTROL_PORT, RESET_CONTROL_RESET);
  for (;;) {
    HwPause();
  }
}

// Boards 12 and 14: the network controller behind root port 1 must answer,
// and on boards whose controller has subsystem word 0x0000091F also the one
// behind root port 3.
VOID CheckOnboardNetworkLinks(PCD_PROTOCOL *Pcd) {
  UINT8 Port1Bus = NetworkBusOfPort(Pcd, PCD_TOKEN_ROOT_PORT1_LOCATION);
  if (ReadIdWord(Port1Bus) == PCI_ID_ABSENT) {
    RetryLinkByReset();
    return;
  }
  if (PciConfigRead32(PciBdf(Port1Bus, 0, 0), PCI_SUBSYSTEM_ID_OFFSET) ==
      SUBSYSTEM_WORD_WITH_PORT3_CONTROLLER) {
    UINT8 Port3Bus = NetworkBusOfPort(Pcd, PCD_TOKEN_ROOT_PORT3_LOCATION);
    if (ReadIdWord(Port3Bus) == PCI_ID_ABSENT) {
      RetryLinkByReset();
      return;
    }
  }
  ClearLinkRetryCounter();
}

// The result is not examined: a refused item simply stays visible.
VOID Suppress(SETUP_ITEM_SUPPRESS_PROTOCOL *Setup, UINT16 Item) {
  Setup->SuppressItem(SETUP_FORM_SET_NAME, Item);
}

template <UINTN Count>
VOID SuppressAll(SETUP_ITEM_SUPPRESS_PROTOCOL *Setup, const UINT16 (&Items)[Count]) {
  for (UINT16 Item : Items) {
    Suppress(Setup, Item);
  }
}

VOID SuppressByTokens(SETUP_ITEM_SUPPRESS_PROTOCOL *Setup, PCD_PROTOCOL *Pcd) {
  UINT8 BoardIdLow = Pcd->Get8(PCD_TOKEN_BOARD_ID_LOW);
  if (BoardIdLow == 3 || BoardIdLow == 6) {
    SuppressAll(Setup, BOARD_ID_LOW_ITEMS);
  }
  UINT8 BoardIdMid = Pcd->Get8(PCD_TOKEN_BOARD_ID_MID);
  if (BoardIdMid == 5) {
    SuppressAll(Setup, BOARD_ID_MID_5_ITEMS);
  } else if (BoardIdMid == 6) {
    Suppress(Setup, BOARD_ID_MID_6_ITEM);
  }
  if (Pcd->Get8(PCD_TOKEN_SETUP_ITEM_1779_SELECT) != 1) {
    Suppress(Setup, ITEM_1779);
  }
}

// Hides two of the items 1819, 1820 and 1821 by the first rule that fits the
// port-1 device (absent included); the comments name the item left.
VOID SuppressPort1Items(SETUP_ITEM_SUPPRESS_PROTOCOL *Setup, UINT8 BoardType, UINT8 Bus,
                        UINT32 IdWord) {
  PCI_BDF Device = PciBdf(Bus, 0, 0);
  UINT32 RomBase = PciConfigRead32(Device, PCI_EXPANSION_ROM_OFFSET);
  UINT16 First;
  UINT16 Second;
  if (RomBase != 0 && RomBase != 0xFFFFFFFFU) {
    First = PORT1_ITEM_1819;  // leaves 1821
    Second = PORT1_ITEM_1820;
  } else if (BoardType == BOARD_TYPE_SINGLE_PORT && IdWord == PCI_ID_8086_1533) {
    if (PciConfigRead8(Device, PCI_BASE_CLASS_OFFSET) == PCI_CLASS_NETWORK) {
      First = PORT1_ITEM_1819;  // leaves 1821
      Second = PORT1_ITEM_1820;
    } else {
      First = PORT1_ITEM_1820;  // leaves 1819
      Second = PORT1_ITEM_1821;
    }
  } else if (IdWord == PCI_ID_8086_1521 || IdWord == PCI_ID_8086_10FB ||
             IdWord == PCI_ID_8086_1533) {
    First = PORT1_ITEM_1820;  // leaves 1819
    Second = PORT1_ITEM_1821;
  } else {
    First = PORT1_ITEM_1819;  // leaves 1820
    Second = PORT1_ITEM_1821;
  }
  Suppress(Setup, First);
  Suppress(Setup, Second);
}

VOID SuppressByDevices(SETUP_ITEM_SUPPRESS_PROTOCOL *Setup, PCD_PROTOCOL *Pcd, UINT8 BoardType) {
  for (UINTN Port = 0; Port < sizeof(ROOT_PORT_ITEMS) / sizeof(ROOT_PORT_ITEMS[0]); Port++) {
    // A location that translates to bus 0 is searched like any other.
    PCI_BDF RootPort = TranslateBusNumber(Pcd->Get32(ROOT_PORT_ITEMS[Port].LocationToken));
    UINT8 Bus = FindDownstreamBus(RootPort);
    UINT32 IdWord = ReadIdWord(Bus);
    if (IdWord == PCI_ID_ABSENT) {
      Suppress(Setup, ROOT_PORT_ITEMS[Port].AbsentItem);
    }
    if (Port == 0) {
      SuppressPort1Items(Setup, BoardType, Bus, IdWord);
    }
  }
}

}  // namespace

VOID EFIAPI SetupSuppressCallback(EFI_EVENT Event, VOID *Context) {
  (void)Context;
  // Closing the event first makes this a one-shot: later installations of
  // the trigger protocol find no event to signal.
  gBS->CloseEvent(Event);

  VOID *Interface = NULL;
  if (EFI_ERROR(gBS->LocateProtocol(&gSetupItemSuppressProtocolGuid, NULL, &Interface)) ||
      Interface == NULL) {
    return;
  }
  auto *Setup = static_cast<SETUP_ITEM_SUPPRESS_PROTOCOL *>(Interface);

  // Without the configuration database there is no board to act on.
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  if (Pcd == NULL) {
    return;
  }

  UINT8 BoardType = Pcd->Get8(PCD_TOKEN_BOARD_TYPE);
  if (BoardType == BOARD_TYPE_LINK_RETRY_A || BoardType == BOARD_TYPE_LINK_RETRY_B) {
    CheckOnboardNetworkLinks(Pcd);
  }

  SuppressByTokens(Setup, Pcd);
  SuppressByDevices(Setup, Pcd, BoardType);
}
