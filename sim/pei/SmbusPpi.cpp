// Stand-in for EFI_PEI_SMBUS2_PPI.
#include <cstring>

#include "../core/EfiText.h"
#include "PeiStandIns.h"

namespace sim {

struct SmbusThunks {
  static EFI_STATUS EFIAPI Execute(const EFI_PEI_SMBUS2_PPI *This,
                                   EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                                   EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation,
                                   BOOLEAN PecCheck, UINTN *Length, VOID *Buffer) {
    auto *Owner = reinterpret_cast<const SmbusPpiStandIn::Interface *>(This)->Self;
    return Owner->Execute(SlaveAddress, Command, Operation, PecCheck, Length, Buffer);
  }
  static EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }
};

namespace {
const char *OperationName(EFI_SMBUS_OPERATION Operation) {
  switch (Operation) {
    case EfiSmbusReadByte:
      return "ReadByte";
    case EfiSmbusWriteByte:
      return "WriteByte";
    default:
      return "Operation";
  }
}
}  // namespace

SmbusPpiStandIn::SmbusPpiStandIn(PeiFoundation &Pei) : pei_(Pei) {
  std::memset(&interface_, 0, sizeof(interface_));
  interface_.Ppi.Execute = SmbusThunks::Execute;
  interface_.Ppi.ArpDevice = SmbusThunks::Unsupported;
  interface_.Ppi.GetArpMap = SmbusThunks::Unsupported;
  interface_.Ppi.Notify = SmbusThunks::Unsupported;
  interface_.Self = this;
  for (uint8_t Address : {0x39, 0x3A, 0x71, 0x74}) {
    AddDevice(Address);
  }
}

void SmbusPpiStandIn::AddDevice(uint8_t Address, uint8_t Byte) { devices_[Address].Byte = Byte; }

void SmbusPpiStandIn::RemoveDevice(uint8_t Address) { devices_.erase(Address); }

std::optional<uint8_t> SmbusPpiStandIn::DeviceByte(uint8_t Address) const {
  const auto Found = devices_.find(Address);
  if (Found == devices_.end()) {
    return std::nullopt;
  }
  return Found->second.Byte;
}

std::vector<uint8_t> SmbusPpiStandIn::Writes(uint8_t Address) const {
  const auto Found = devices_.find(Address);
  return Found == devices_.end() ? std::vector<uint8_t>{} : Found->second.Writes;
}

// Byte reads and writes, as the PI standard describes them: Length and
// Buffer are required, Length must be 1, and it reports the bytes moved.
EFI_STATUS SmbusPpiStandIn::Execute(EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                                    EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation,
                                    BOOLEAN PecCheck, UINTN *Length, VOID *Buffer) {
  UINTN AddressWord;
  std::memcpy(&AddressWord, &SlaveAddress, sizeof(AddressWord));
  Call Record = {.AddressWord = AddressWord,
                 .Address = static_cast<uint8_t>(SlaveAddress.SmbusDeviceAddress),
                 .Command = Command,
                 .Operation = Operation,
                 .PecCheck = PecCheck,
                 .LengthIn = Length != nullptr ? *Length : 0,
                 .Data = 0,
                 .Status = EFI_SUCCESS};
  const bool Write = Operation == EfiSmbusWriteByte;
  if (Write && Buffer != nullptr) {
    Record.Data = *static_cast<const uint8_t *>(Buffer);
  }
  const size_t Line =
      pei_.AddTrace(std::string("Smbus.") + OperationName(Operation) + "(" +
                    HexText(Record.Address) + (Write ? ", " + HexText(Record.Data) : "") + ")");

  const auto Found = devices_.find(Record.Address);
  if (Operation != EfiSmbusReadByte && Operation != EfiSmbusWriteByte) {
    Record.Status = EFI_UNSUPPORTED;
  } else if (Length == nullptr || Buffer == nullptr || (AddressWord & ~UINTN{0x7F}) != 0) {
    Record.Status = EFI_INVALID_PARAMETER;
  } else if (*Length != 1) {
    Record.Status = EFI_BAD_BUFFER_SIZE;
  } else if (const std::optional<EFI_STATUS> Fault = Faults(Record.Address, Operation).Next()) {
    Record.Status = *Fault;
  } else if (Found == devices_.end()) {
    Record.Status = EFI_DEVICE_ERROR;
  } else if (Write) {
    Found->second.Byte = Record.Data;
    Found->second.Writes.push_back(Record.Data);
  } else {
    Record.Data = Found->second.Byte;
    *static_cast<uint8_t *>(Buffer) = Record.Data;
  }
  pei_.CompleteTrace(Line, Record.Status);
  calls_.push_back(Record);
  return Record.Status;
}

}  // namespace sim
