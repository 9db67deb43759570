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
    auto *owner = reinterpret_cast<const SmbusPpiStandIn::Interface *>(This)->self;
    return owner->Execute(SlaveAddress, Command, Operation, PecCheck, Length, Buffer);
  }
  static EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }
};

namespace {
const char *OperationName(EFI_SMBUS_OPERATION operation) {
  switch (operation) {
    case EfiSmbusReadByte:
      return "ReadByte";
    case EfiSmbusWriteByte:
      return "WriteByte";
    default:
      return "Operation";
  }
}
}  // namespace

SmbusPpiStandIn::SmbusPpiStandIn(PeiFoundation &pei) : pei_(pei) {
  std::memset(&interface_, 0, sizeof(interface_));
  interface_.ppi.Execute = SmbusThunks::Execute;
  interface_.ppi.ArpDevice = SmbusThunks::Unsupported;
  interface_.ppi.GetArpMap = SmbusThunks::Unsupported;
  interface_.ppi.Notify = SmbusThunks::Unsupported;
  interface_.self = this;
  for (uint8_t address : {0x39, 0x3A, 0x71, 0x74}) {
    AddDevice(address);
  }
}

void SmbusPpiStandIn::AddDevice(uint8_t address, uint8_t byte) { devices_[address].byte = byte; }

void SmbusPpiStandIn::RemoveDevice(uint8_t address) { devices_.erase(address); }

std::optional<uint8_t> SmbusPpiStandIn::DeviceByte(uint8_t address) const {
  const auto found = devices_.find(address);
  if (found == devices_.end()) {
    return std::nullopt;
  }
  return found->second.byte;
}

std::vector<uint8_t> SmbusPpiStandIn::Writes(uint8_t address) const {
  const auto found = devices_.find(address);
  return found == devices_.end() ? std::vector<uint8_t>{} : found->second.writes;
}

// Byte reads and writes, as the PI standard describes them: `length` and
// `buffer` are required, `length` must be 1, and it reports the bytes moved.
EFI_STATUS SmbusPpiStandIn::Execute(EFI_SMBUS_DEVICE_ADDRESS slaveAddress,
                                    EFI_SMBUS_DEVICE_COMMAND command, EFI_SMBUS_OPERATION operation,
                                    BOOLEAN pecCheck, UINTN *length, VOID *buffer) {
  UINTN addressWord;
  std::memcpy(&addressWord, &slaveAddress, sizeof(addressWord));
  Call record = {.addressWord = addressWord,
                 .address = static_cast<uint8_t>(slaveAddress.SmbusDeviceAddress),
                 .command = command,
                 .operation = operation,
                 .pecCheck = pecCheck,
                 .lengthIn = length != nullptr ? *length : 0,
                 .data = 0,
                 .status = EFI_SUCCESS};
  const bool write = operation == EfiSmbusWriteByte;
  if (write && buffer != nullptr) {
    record.data = *static_cast<const uint8_t *>(buffer);
  }
  const size_t line =
      pei_.AddTrace(std::string("Smbus.") + OperationName(operation) + "(" +
                    HexText(record.address) + (write ? ", " + HexText(record.data) : "") + ")");

  const auto found = devices_.find(record.address);
  if (operation != EfiSmbusReadByte && operation != EfiSmbusWriteByte) {
    record.status = EFI_UNSUPPORTED;
  } else if (length == nullptr || buffer == nullptr || (addressWord & ~UINTN{0x7F}) != 0) {
    record.status = EFI_INVALID_PARAMETER;
  } else if (*length != 1) {
    record.status = EFI_BAD_BUFFER_SIZE;
  } else if (const std::optional<EFI_STATUS> fault = Faults(record.address, operation).Next()) {
    record.status = *fault;
  } else if (found == devices_.end()) {
    record.status = EFI_DEVICE_ERROR;
  } else if (write) {
    found->second.byte = record.data;
    found->second.writes.push_back(record.data);
  } else {
    record.data = found->second.byte;
    *static_cast<uint8_t *>(buffer) = record.data;
  }
  pei_.CompleteTrace(line, record.status);
  calls_.push_back(record);
  return record.status;
}

}  // namespace sim
