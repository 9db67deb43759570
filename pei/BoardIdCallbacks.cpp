// The notification callbacks: board identification after the BMC handshake,
// and the I2C channel tables.
#include "../include/PcdTokens.h"
#include "../uefi/PlatformModules.h"
#include "../uefi/StandardInterfaces.h"
#include "BoardHookPei.h"

namespace {

// SMBus devices (7-bit addresses).
constexpr UINTN kSmbusBoardIdLow = 0x39;   // first identification byte, B1
constexpr UINTN kSmbusBoardIdHigh = 0x3A;  // second identification byte, B2
constexpr UINTN kSmbusI2cChannel = 0x71;   // 0xE2 in the 8-bit form
constexpr UINTN kSmbusI2cChannel2 = 0x74;

// The I2C device behind the channel, in the 8-bit form.
constexpr UINT8 kI2cSlaveAddress = 0xE2;

// BMC wait: IPMI Master Write-Read of one byte from 0xE2 on bus 0.
constexpr UINT8 kIpmiNetFunctionApplication = 0x06;
constexpr UINT8 kIpmiLun = 0x00;
constexpr UINT8 kIpmiMasterWriteRead = 0x52;
// The response length byte starts at 10 and is not reset between attempts,
// so after a failed attempt it may hold whatever size the transport reported.
// The buffer holds every size that byte can express.
constexpr UINT8 kBmcResponseLengthStart = 10;
constexpr UINTN kBmcResponseRoom = 0x100;
constexpr UINTN kBmcAttempts = 10;
constexpr UINTN kBmcRetryStallMicroseconds = 100000;

template <typename T>
EFI_STATUS LocateInstance0(EFI_PEI_SERVICES **PeiServices, const EFI_GUID &Guid, T **Ppi) {
  const EFI_PEI_SERVICES **Services = const_cast<const EFI_PEI_SERVICES **>(PeiServices);
  return (*Services)->LocatePpi(Services, &Guid, 0, NULL, reinterpret_cast<VOID **>(Ppi));
}

EFI_STATUS SmbusByte(EFI_PEI_SMBUS2_PPI *Smbus, UINTN Address, EFI_SMBUS_OPERATION Operation,
                     UINT8 *Byte) {
  EFI_SMBUS_DEVICE_ADDRESS SlaveAddress = {};
  SlaveAddress.SmbusDeviceAddress = Address & 0x7F;
  UINTN Length = 1;
  return Smbus->Execute(Smbus, SlaveAddress, 0, Operation, FALSE, &Length, Byte);
}

EFI_STATUS SmbusWriteByte(EFI_PEI_SMBUS2_PPI *Smbus, UINTN Address, UINT8 Value) {
  return SmbusByte(Smbus, Address, EfiSmbusWriteByte, &Value);
}

// Bits 0-3 of B1 in reverse order.
UINT8 BoardTypeFrom(UINT8 B1) {
  return static_cast<UINT8>(((B1 & 0x1) << 3) | ((B1 & 0x2) << 1) | ((B1 & 0x4) >> 1) |
                            ((B1 & 0x8) >> 3));
}

// Bits 4-5 of B1 in reverse order.
UINT8 BoardRevisionFrom(UINT8 B1) {
  return static_cast<UINT8>(((B1 & 0x10) >> 3) | ((B1 & 0x20) >> 5));
}

// Asks the BMC to read one byte from the I2C device until it answers with a
// one-byte response: at most kBmcAttempts requests, each failed one
// followed by a stall. The response length is set once, before the first
// request; the wait ends in any case.
VOID WaitForBmc(const EFI_PEI_SERVICES **PeiServices, BMC_IPMI_PPI *Bmc, EFI_PEI_STALL_PPI *Stall) {
  UINT8 Request[4] = {0x00, kI2cSlaveAddress, 0x01, 0x00};
  UINT8 Response[kBmcResponseRoom];
  UINT8 ResponseLength = kBmcResponseLengthStart;
  for (UINTN Attempt = 0; Attempt < kBmcAttempts; Attempt++) {
    const EFI_STATUS Status =
        Bmc->SendCommand(Bmc, kIpmiNetFunctionApplication, kIpmiLun, kIpmiMasterWriteRead, Request,
                         sizeof(Request), Response, &ResponseLength);
    if (!EFI_ERROR(Status) && ResponseLength == 1) {
      return;
    }
    Stall->Stall(PeiServices, Stall, kBmcRetryStallMicroseconds);
  }
}

}  // namespace

EFI_STATUS EFIAPI CaptureBoardIdCallback(EFI_PEI_SERVICES **PeiServices,
                                         EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi) {
  (void)NotifyDescriptor;
  (void)Ppi;
  EFI_PEI_SMBUS2_PPI *Smbus = NULL;
  EFI_PEI_STALL_PPI *Stall = NULL;
  BMC_IPMI_PPI *Bmc = NULL;
  EFI_STATUS Status = LocateInstance0(PeiServices, gEfiPeiSmbus2PpiGuid, &Smbus);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = LocateInstance0(PeiServices, gEfiPeiStallPpiGuid, &Stall);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = LocateInstance0(PeiServices, gBmcIpmiPpiGuid, &Bmc);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  WaitForBmc(const_cast<const EFI_PEI_SERVICES **>(PeiServices), Bmc, Stall);

  Status = SmbusWriteByte(Smbus, kSmbusI2cChannel, 0x10);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT8 B1 = 0;
  const BOOLEAN HaveB1 = !EFI_ERROR(SmbusByte(Smbus, kSmbusBoardIdLow, EfiSmbusReadByte, &B1));
  if (HaveB1) {
    SetPcd8(PCD_TOKEN_BOARD_TYPE, BoardTypeFrom(B1));
  }
  UINT8 B2 = 0;
  Status = SmbusByte(Smbus, kSmbusBoardIdHigh, EfiSmbusReadByte, &B2);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  SetPcd8(PCD_TOKEN_BOARD_ID_LOW, static_cast<UINT8>(B2 & 0x7));
  SetPcd8(PCD_TOKEN_BOARD_ID_MID, static_cast<UINT8>((B2 >> 3) & 0x7));
  SetPcd8(PCD_TOKEN_BOARD_ID_HIGH, static_cast<UINT8>((B2 >> 6) & 0x3));
  // Without B1 no byte defines the revision: the token keeps its value.
  if (HaveB1) {
    SetPcd8(PCD_TOKEN_BOARD_REVISION, BoardRevisionFrom(B1));
  }
  return Status;
}

EFI_STATUS EFIAPI ProgramI2cChannelsCallback(EFI_PEI_SERVICES **PeiServices,
                                             EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
                                             VOID *Ppi) {
  (void)NotifyDescriptor;
  (void)Ppi;
  const EFI_PEI_SERVICES **Services = const_cast<const EFI_PEI_SERVICES **>(PeiServices);
  EFI_PEI_SMBUS2_PPI *Smbus = NULL;
  if (EFI_ERROR(LocateInstance0(PeiServices, gEfiPeiSmbus2PpiGuid, &Smbus))) {
    return EFI_SUCCESS;
  }
  SmbusWriteByte(Smbus, kSmbusI2cChannel2, 0x00);

  I2C_TABLE_PPI *TablePpi = NULL;
  if (EFI_ERROR(LocateInstance0(PeiServices, gI2cTablePpiGuid, &TablePpi))) {
    return EFI_SUCCESS;
  }
  TablePpi->Configure(Services, 0, kI2cSlaveAddress, 4, PCD_TOKEN_BOARD_REVISION);
  // T1, T2 and T3, cleared so that a table the other module leaves unfilled
  // is applied as zeros rather than as stale stack contents.
  UINT8 Tables[3][I2C_CHANNEL_TABLE_SIZE] = {};
  TablePpi->FillTables(Tables[0], Tables[1], Tables[2]);

  I2C_APPLY_PPI *Apply = NULL;
  if (!EFI_ERROR(LocateInstance0(PeiServices, gI2cApplyPpiGuid, &Apply))) {
    Apply->Apply(Services, 0, kI2cSlaveAddress, 2, Tables[0], 5);
    Apply->Apply(Services, 0, kI2cSlaveAddress, 4, Tables[1], 5);
  }
  SmbusWriteByte(Smbus, kSmbusI2cChannel, 0x00);
  return EFI_SUCCESS;
}
