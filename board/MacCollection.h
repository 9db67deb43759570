// Collection of the MAC addresses of the onboard network controllers: the
// work behind Hook4 of BOARD_HOOK_PROTOCOL. Each controller family keeps its
// address in a place of its own (device registers behind BAR0, extended
// configuration bytes, or VPD keywords), so the family is chosen from the
// controller's vendor and device ID.
#pragma once
#include "../uefi/UefiBase.h"
#include "PciAccess.h"

// A MAC list: byte 0 is the number of entries, entry k (from 1) holds six
// address bytes at 1 + 6 * (k - 1).
#define MAC_ADDRESS_SIZE 6
// The first buffer of CollectMacAddresses keeps bytes 0 to 2 for its caller;
// its MAC list (port 1) starts here.
#define FIRST_BUFFER_MAC_LIST_OFFSET 3

// Stall at the end of a collection, in microseconds.
#define MAC_COLLECTION_STALL_US 1000

// VPD selector of a root port's controller: which keyword (V2 to V5) holds
// its address.
#define VPD_SELECTOR_FIRST 1
#define VPD_SELECTOR_SECOND 2

// Hook4. Reads the board type and fills the MAC list at byte 3 of FirstList
// (port 1; at least 10 bytes) and, except on board types 5 and 8, the MAC
// list at byte 0 of SecondList (ports 2 to 4 in order, packed; at least 19
// bytes). The count at byte 3 of FirstList is always reset; board type 8
// collects nothing, 5 only port 1. Ends with a 1 ms stall, except on board
// type 8 and when the configuration database is missing (then only the
// first count is reset). Always EFI_SUCCESS.
EFI_STATUS EFIAPI CollectMacAddresses(UINT8 *FirstList, UINT8 *SecondList);

// Appends the MAC address of the controller at Device, behind root port
// Port (1 to 4), to MacList. An absent controller (ID word all ones) adds no
// entry. A present one is counted first, its entry zeroed, its memory space
// and bus master enabled, and then its address is read by its family's
// method; an address that cannot be read leaves the entry zero. Without the
// configuration database nothing is done. Always EFI_SUCCESS.
EFI_STATUS GetControllerMacAddress(UINT8 Port, PCI_BDF Device, UINT8 *MacList);

// Reads the device's first 256 VPD bytes and converts the keyword that
// Selector (1 to 4) names, V2 to V5, into the six bytes at Entry. The VA
// keyword's digit tells how many selectors the VPD serves. Entry keeps its
// contents when the device has no VPD capability, the selector is not
// served, or the keyword with 12 data bytes is missing.
VOID ReadVpdMacAddress(PCI_BDF Device, UINT16 Selector, UINT8 *Entry);

// The keyword scan and conversion of ReadVpdMacAddress on a 256-byte VPD
// image already read: Entry keeps its contents when the selector is not
// served or its keyword with 12 data bytes is missing.
VOID VpdMacAddressFromImage(const UINT8 *Image, UINT16 Selector, UINT8 *Entry);

// Converts the 12 hex characters at Offset of the 256-byte VPD Image into
// six bytes at Entry, high digit first. Only "0"-"9" and "A"-"F" are digits;
// any other byte (lower case included) counts with its own value, kept to 8
// bits. An Offset whose 12 characters would not lie inside the image leaves
// Entry unchanged.
VOID AsciiHexToMac(UINT8 *Entry, const UINT8 *Image, UINT32 Offset);
