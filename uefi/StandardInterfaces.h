// PPIs and protocols of the PI and UEFI standards that this system calls.
#pragma once
#include "PiPei.h"

// ---- EFI_PEI_SMBUS2_PPI --------------------------------------------------
struct EFI_SMBUS_DEVICE_ADDRESS {
  UINTN SmbusDeviceAddress : 7;
};
ASSERT_SIZE(EFI_SMBUS_DEVICE_ADDRESS, 8, 4);
typedef UINTN EFI_SMBUS_DEVICE_COMMAND;

enum EFI_SMBUS_OPERATION : UINT32 {
  EfiSmbusQuickRead,
  EfiSmbusQuickWrite,
  EfiSmbusReceiveByte,
  EfiSmbusSendByte,
  EfiSmbusReadByte,
  EfiSmbusWriteByte,
  EfiSmbusReadWord,
  EfiSmbusWriteWord,
  EfiSmbusReadBlock,
  EfiSmbusWriteBlock,
  EfiSmbusProcessCall,
  EfiSmbusBWBRProcessCall
};

struct EFI_PEI_SMBUS2_PPI {
  EFI_STATUS(EFIAPI *Execute)
  (const EFI_PEI_SMBUS2_PPI *This, EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
   EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation, BOOLEAN PecCheck, UINTN *Length,
   VOID *Buffer);
  EFI_PEI_UNUSED_SERVICE ArpDevice;
  EFI_PEI_UNUSED_SERVICE GetArpMap;
  EFI_PEI_UNUSED_SERVICE Notify;
  EFI_GUID Identifier;
};
ASSERT_SIZE(EFI_PEI_SMBUS2_PPI, 48, 32);

// 9CA93627-B65B-4324-A202-C0B461764543
inline constexpr EFI_GUID gEfiPeiSmbus2PpiGuid = {
    0x9CA93627, 0xB65B, 0x4324, {0xA2, 0x02, 0xC0, 0xB4, 0x61, 0x76, 0x45, 0x43}};

// ---- EFI_PEI_STALL_PPI ---------------------------------------------------
struct EFI_PEI_STALL_PPI {
  UINTN Resolution;
  EFI_STATUS(EFIAPI *Stall)
  (const EFI_PEI_SERVICES **PeiServices, const EFI_PEI_STALL_PPI *This, UINTN Microseconds);
};
ASSERT_SIZE(EFI_PEI_STALL_PPI, 16, 8);

// 1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56
inline constexpr EFI_GUID gEfiPeiStallPpiGuid = {
    0x1F4C6F90, 0xB06B, 0x48D8, {0xA2, 0x01, 0xBA, 0xE5, 0xF1, 0xCD, 0x7D, 0x56}};

// ---- EFI_PEI_READ_ONLY_VARIABLE2_PPI -------------------------------------
struct EFI_PEI_READ_ONLY_VARIABLE2_PPI {
  EFI_STATUS(EFIAPI *GetVariable)
  (const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This, const CHAR16 *VariableName,
   const EFI_GUID *VariableGuid, UINT32 *Attributes, UINTN *DataSize, VOID *Data);
  EFI_STATUS(EFIAPI *NextVariableName)
  (const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This, UINTN *VariableNameSize, CHAR16 *VariableName,
   EFI_GUID *VariableGuid);
};
ASSERT_SIZE(EFI_PEI_READ_ONLY_VARIABLE2_PPI, 16, 8);

// 2AB86EF5-ECB5-4134-B556-3854CA1FE1B4
inline constexpr EFI_GUID gEfiPeiReadOnlyVariable2PpiGuid = {
    0x2AB86EF5, 0xECB5, 0x4134, {0xB5, 0x56, 0x38, 0x54, 0xCA, 0x1F, 0xE1, 0xB4}};

// ---- EFI_SMM_COMMUNICATION_PROTOCOL --------------------------------------
struct EFI_SMM_COMMUNICATION_PROTOCOL {
  EFI_STATUS(EFIAPI *Communicate)
  (const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer, UINTN *CommSize);
};
ASSERT_SIZE(EFI_SMM_COMMUNICATION_PROTOCOL, 8, 4);

struct EFI_SMM_COMMUNICATE_HEADER {
  EFI_GUID HeaderGuid;
  UINTN MessageLength;
  UINT8 Data[1];
};

// C68ED8E2-9DC6-4CBD-9D94-DB65ACC5C332
inline constexpr EFI_GUID gEfiSmmCommunicationProtocolGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};

// ---- EFI_DXE_SMM_READY_TO_LOCK_PROTOCOL (no members) ---------------------
// 60FF8964-E906-41D0-AFED-F241E974E08E
inline constexpr EFI_GUID gEfiDxeSmmReadyToLockProtocolGuid = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};

// ---- Event groups --------------------------------------------------------
// 7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B
inline constexpr EFI_GUID gEfiEventReadyToBootGuid = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
