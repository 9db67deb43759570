// Interfaces of other modules of the board's firmware, fixed only by their
// GUIDs and by the call sites of this system. Slots this system does not
// call are placeholders that keep the used slots at their word positions.
#pragma once
#include "PiPei.h"

// ---- DXE -----------------------------------------------------------------
// Its installation is the trigger; its interface is never looked at.
// DBC9FD21-FAD8-45B0-9E78-27158867CC93
inline constexpr EFI_GUID gSetupSuppressTriggerProtocolGuid = {
    0xDBC9FD21, 0xFAD8, 0x45B0, {0x9E, 0x78, 0x27, 0x15, 0x88, 0x67, 0xCC, 0x93}};

struct SETUP_ITEM_SUPPRESS_PROTOCOL {
  // Hides item ItemNumber of the form set named FormSetName (ASCII).
  EFI_STATUS(EFIAPI *SuppressItem)(const CHAR8 *FormSetName, UINT16 ItemNumber);
};
ASSERT_SIZE(SETUP_ITEM_SUPPRESS_PROTOCOL, 8, 4);

// 41EADC00-8DB2-4BFE-B0EA-CBAAE7F4D31B
inline constexpr EFI_GUID gSetupItemSuppressProtocolGuid = {
    0x41EADC00, 0x8DB2, 0x4BFE, {0xB0, 0xEA, 0xCB, 0xAA, 0xE7, 0xF4, 0xD3, 0x1B}};

// ---- PEI -----------------------------------------------------------------
struct BMC_IPMI_PPI;
typedef EFI_STATUS(EFIAPI *BMC_IPMI_SEND_COMMAND)(BMC_IPMI_PPI *This, UINT8 NetFunction, UINT8 Lun,
                                                  UINT8 Command, UINT8 *RequestData,
                                                  UINT32 RequestDataSize, UINT8 *ResponseData,
                                                  UINT8 *ResponseDataSize);

struct BMC_IPMI_PPI {
  VOID *Word0;
  VOID *Word1;
  VOID *Word2;
  BMC_IPMI_SEND_COMMAND SendCommand;  // word 3
};
ASSERT_OFFSET(BMC_IPMI_PPI, SendCommand, 24, 12);

// 8122CEBD-F4FD-4EA8-976C-F003ADDC4CB4
inline constexpr EFI_GUID gBmcIpmiPpiGuid = {
    0x8122CEBD, 0xF4FD, 0x4EA8, {0x97, 0x6C, 0xF0, 0x03, 0xAD, 0xDC, 0x4C, 0xB4}};

#define I2C_CHANNEL_TABLE_SIZE 60

struct I2C_TABLE_PPI {
  VOID *Word0;
  // Word 1: fills the three channel tables.
  EFI_STATUS(EFIAPI *FillTables)(UINT8 *Table1, UINT8 *Table2, UINT8 *Table3);
  // Word 2: (PeiServices, 0, 0xE2, 4, 0x1BB) in this system.
  EFI_STATUS(EFIAPI *Configure)
  (const EFI_PEI_SERVICES **PeiServices, UINTN Bus, UINTN SlaveAddress, UINTN Channel,
   UINTN TokenNumber);
};
ASSERT_OFFSET(I2C_TABLE_PPI, FillTables, 8, 4);
ASSERT_OFFSET(I2C_TABLE_PPI, Configure, 16, 8);

// 799B5F79-F0E1-4354-8927-277F71D0D926
inline constexpr EFI_GUID gI2cTablePpiGuid = {
    0x799B5F79, 0xF0E1, 0x4354, {0x89, 0x27, 0x27, 0x7F, 0x71, 0xD0, 0xD9, 0x26}};

struct I2C_APPLY_PPI {
  // Word 0: (PeiServices, 0, 0xE2, 2 or 4, table, 5) in this system.
  EFI_STATUS(EFIAPI *Apply)
  (const EFI_PEI_SERVICES **PeiServices, UINTN Bus, UINTN SlaveAddress, UINTN Channel, UINT8 *Table,
   UINTN EntryCount);
};
ASSERT_OFFSET(I2C_APPLY_PPI, Apply, 0, 0);

// 3B3803D1-4709-45E6-80F6-43722863F427
inline constexpr EFI_GUID gI2cApplyPpiGuid = {
    0x3B3803D1, 0x4709, 0x45E6, {0x80, 0xF6, 0x43, 0x72, 0x28, 0x63, 0xF4, 0x27}};
