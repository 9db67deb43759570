// Stand-ins for the PPIs that other modules and the platform install in
// PEI: SMBus, stall, read-only variables, the BMC's IPMI transport and the
// two I2C channel PPIs. Each is programmable, records its calls with their
// arguments, writes a line per call to the foundation's trace, and is
// installed with Install() (through the InstallPpi service, so the
// notifications registered for it run).
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../../uefi/PlatformModules.h"
#include "../../uefi/StandardInterfaces.h"
#include "../core/FaultPlan.h"
#include "PeiFoundation.h"

namespace sim {

// ---- EFI_PEI_SMBUS2_PPI ---------------------------------------------------
// Devices by 7-bit address, each with one byte that ReadByte returns and
// WriteByte replaces. Present from the start: the identification inputs
// 0x39 and 0x3A (byte 0) and the write targets 0x71 and 0x74. An address
// with no device answers EFI_DEVICE_ERROR, as an unacknowledged transfer.
class SmbusPpiStandIn {
 public:
  struct Call {
    UINTN AddressWord;  // the whole EFI_SMBUS_DEVICE_ADDRESS word
    uint8_t Address;    // its 7-bit field
    UINTN Command;
    EFI_SMBUS_OPERATION Operation;
    BOOLEAN PecCheck;
    UINTN LengthIn;
    uint8_t Data;  // byte written, or byte read on success
    EFI_STATUS Status;
  };

  explicit SmbusPpiStandIn(PeiFoundation &Pei);
  EFI_PEI_SMBUS2_PPI *Ppi() { return &interface_.Ppi; }
  EFI_STATUS Install() { return pei_.InstallPpi(gEfiPeiSmbus2PpiGuid, Ppi()); }

  void AddDevice(uint8_t Address, uint8_t Byte = 0);
  void RemoveDevice(uint8_t Address);
  void SetInputByte(uint8_t Address, uint8_t Byte) { AddDevice(Address, Byte); }
  std::optional<uint8_t> DeviceByte(uint8_t Address) const;
  // Bytes written to a device, in order.
  std::vector<uint8_t> Writes(uint8_t Address) const;

  // Failure of one operation on one device; a failing call transfers nothing.
  FaultPlan &Faults(uint8_t Address, EFI_SMBUS_OPERATION Operation) {
    return faults_[{Address, Operation}];
  }

  const std::vector<Call> &Calls() const { return calls_; }

  EFI_STATUS Execute(EFI_SMBUS_DEVICE_ADDRESS SlaveAddress, EFI_SMBUS_DEVICE_COMMAND Command,
                     EFI_SMBUS_OPERATION Operation, BOOLEAN PecCheck, UINTN *Length, VOID *Buffer);

 private:
  struct Interface {
    EFI_PEI_SMBUS2_PPI Ppi;
    SmbusPpiStandIn *Self;
  };
  struct Device {
    uint8_t Byte;
    std::vector<uint8_t> Writes;
  };
  friend struct SmbusThunks;

  PeiFoundation &pei_;
  Interface interface_;
  std::map<uint8_t, Device> devices_;
  std::map<std::pair<uint8_t, EFI_SMBUS_OPERATION>, FaultPlan> faults_;
  std::vector<Call> calls_;
};

// ---- EFI_PEI_STALL_PPI ----------------------------------------------------
// Advances the foundation's clock by the stalled time.
class StallPpiStandIn {
 public:
  explicit StallPpiStandIn(PeiFoundation &Pei);
  EFI_PEI_STALL_PPI *Ppi() { return &interface_.Ppi; }
  EFI_STATUS Install() { return pei_.InstallPpi(gEfiPeiStallPpiGuid, Ppi()); }

  // The microseconds of each call, in order.
  const std::vector<UINTN> &Calls() const { return calls_; }
  uint64_t TotalMicroseconds() const;

  EFI_STATUS Stall(const EFI_PEI_SERVICES **PeiServices, UINTN Microseconds);

 private:
  struct Interface {
    EFI_PEI_STALL_PPI Ppi;
    StallPpiStandIn *Self;
  };
  friend struct StallThunks;

  PeiFoundation &pei_;
  Interface interface_;
  std::vector<UINTN> calls_;
};

// ---- EFI_PEI_READ_ONLY_VARIABLE2_PPI --------------------------------------
// Variables by name and vendor GUID. GetVariable honours the caller's
// DataSize: a smaller buffer gets EFI_BUFFER_TOO_SMALL, the needed size and
// no data.
class ReadOnlyVariablePpiStandIn {
 public:
  static constexpr uint32_t kDefaultAttributes = 0x7;  // NV | BS | RT

  struct Call {
    std::u16string Name;
    EFI_GUID Guid;
    bool AttributesWanted;
    UINTN DataSizeIn;
    UINTN DataSizeOut;
    EFI_STATUS Status;
  };

  explicit ReadOnlyVariablePpiStandIn(PeiFoundation &Pei);
  EFI_PEI_READ_ONLY_VARIABLE2_PPI *Ppi() { return &interface_.Ppi; }
  EFI_STATUS Install() { return pei_.InstallPpi(gEfiPeiReadOnlyVariable2PpiGuid, Ppi()); }

  void SetVariable(const std::u16string &Name, const EFI_GUID &Guid, std::vector<uint8_t> Data,
                   uint32_t Attributes = kDefaultAttributes);
  void RemoveVariable(const std::u16string &Name, const EFI_GUID &Guid);

  FaultPlan &GetVariableFaults() { return faults_; }
  const std::vector<Call> &Calls() const { return calls_; }

  EFI_STATUS GetVariable(const CHAR16 *VariableName, const EFI_GUID *VariableGuid,
                         UINT32 *Attributes, UINTN *DataSize, VOID *Data);
  EFI_STATUS NextVariableName(UINTN *VariableNameSize, CHAR16 *VariableName,
                              EFI_GUID *VariableGuid);

 private:
  struct Interface {
    EFI_PEI_READ_ONLY_VARIABLE2_PPI Ppi;
    ReadOnlyVariablePpiStandIn *Self;
  };
  struct Variable {
    std::vector<uint8_t> Data;
    uint32_t Attributes;
  };
  using Key = std::pair<std::u16string, std::string>;  // name, GUID text
  friend struct VariableThunks;

  PeiFoundation &pei_;
  Interface interface_;
  std::map<Key, Variable> variables_;
  std::map<Key, EFI_GUID> guids_;
  FaultPlan faults_;
  std::vector<Call> calls_;
};

// ---- BMC_IPMI_PPI ---------------------------------------------------------
// The BMC's IPMI transport. It answers the Master Write-Read command
// (network function 6, command 0x52) once a number of attempts have failed,
// with a chosen response length, or never. A failed attempt returns
// FailureStatus and leaves the response length as it was. Or it follows a
// script, one answer per attempt. Other commands answer EFI_UNSUPPORTED.
class BmcIpmiPpiStandIn {
 public:
  // One scripted answer: its status and the response length byte, written
  // or left as the caller set it. Response bytes are written (at most as
  // many as the caller's buffer holds) when the length is written and the
  // status is not an error.
  struct Answer {
    EFI_STATUS Status;
    uint8_t ResponseLength;
    bool LengthWritten;
  };

  struct Call {
    uint8_t NetFunction;
    uint8_t Lun;
    uint8_t Command;
    std::vector<uint8_t> Request;
    uint32_t RequestSize;
    uint8_t ResponseCapacity;  // the response length byte on entry
    uint8_t ResponseLength;    // and on return
    EFI_STATUS Status;
  };

  explicit BmcIpmiPpiStandIn(PeiFoundation &Pei);
  BMC_IPMI_PPI *Ppi() { return &interface_.Ppi; }
  EFI_STATUS Install() { return pei_.InstallPpi(gBmcIpmiPpiGuid, Ppi()); }

  // The first FailedAttempts requests fail; every later one is answered
  // with ResponseLength bytes of the response (zero-padded).
  void AnswerAfter(unsigned FailedAttempts, uint8_t ResponseLength = 1);
  void NeverAnswer() {
    answers_ = false;
    script_.clear();
  }
  // Attempt n (from 1) answers as Answers[n - 1], later attempts as the
  // last one; AnswerAfter and NeverAnswer end the script.
  void SetScript(std::vector<Answer> Answers) {
    script_ = std::move(Answers);
    attempts_ = 0;
  }
  void SetResponse(std::vector<uint8_t> Bytes) { response_ = std::move(Bytes); }
  void SetFailureStatus(EFI_STATUS Status) { failureStatus_ = Status; }

  const std::vector<Call> &Calls() const { return calls_; }

  EFI_STATUS SendCommand(UINT8 NetFunction, UINT8 Lun, UINT8 Command, UINT8 *RequestData,
                         UINT32 RequestDataSize, UINT8 *ResponseData, UINT8 *ResponseDataSize);

 private:
  struct Interface {
    BMC_IPMI_PPI Ppi;
    BmcIpmiPpiStandIn *Self;
  };
  friend struct BmcThunks;
  void WriteResponse(UINT8 *ResponseData, uint8_t Length) const;

  PeiFoundation &pei_;
  Interface interface_;
  bool answers_ = true;
  unsigned failedAttempts_ = 0;
  uint8_t responseLength_ = 1;
  unsigned attempts_ = 0;
  std::vector<uint8_t> response_ = {0x00};
  EFI_STATUS failureStatus_ = EFI_TIMEOUT;
  std::vector<Answer> script_;
  std::vector<Call> calls_;
};

// ---- I2C_TABLE_PPI and I2C_APPLY_PPI --------------------------------------
// Their functions carry no This pointer, so each stand-in is reached as the
// one live instance of its kind (a second live instance aborts the process).
class I2cTablePpiStandIn {
 public:
  using Table = std::array<uint8_t, I2C_CHANNEL_TABLE_SIZE>;
  struct ConfigureCall {
    const EFI_PEI_SERVICES **PeiServices;
    UINTN Bus;
    UINTN SlaveAddress;
    UINTN Channel;
    UINTN TokenNumber;
  };
  struct FillCall {
    UINT8 *Tables[3];
  };

  explicit I2cTablePpiStandIn(PeiFoundation &Pei);
  ~I2cTablePpiStandIn();
  I2cTablePpiStandIn(const I2cTablePpiStandIn &) = delete;
  I2cTablePpiStandIn &operator=(const I2cTablePpiStandIn &) = delete;
  I2C_TABLE_PPI *Ppi() { return &ppi_; }
  EFI_STATUS Install() { return pei_.InstallPpi(gI2cTablePpiGuid, Ppi()); }

  // The contents FillTables writes to table Index (0 to 2). By default the
  // tables differ: byte n of table i is 0x10 * (i + 1) + n % 16.
  void SetTable(size_t Index, const Table &Contents) { tables_.at(Index) = Contents; }
  const Table &TableContents(size_t Index) const { return tables_.at(Index); }

  const std::vector<ConfigureCall> &ConfigureCalls() const { return configureCalls_; }
  const std::vector<FillCall> &FillCalls() const { return fillCalls_; }

  static I2cTablePpiStandIn &Live();

 private:
  PeiFoundation &pei_;
  I2C_TABLE_PPI ppi_;
  std::array<Table, 3> tables_;
  std::vector<ConfigureCall> configureCalls_;
  std::vector<FillCall> fillCalls_;
  friend struct I2cThunks;
};

class I2cApplyPpiStandIn {
 public:
  struct Call {
    const EFI_PEI_SERVICES **PeiServices;
    UINTN Bus;
    UINTN SlaveAddress;
    UINTN Channel;
    UINT8 *Table;
    I2cTablePpiStandIn::Table Contents;  // the table's bytes at the call
    UINTN EntryCount;
  };

  explicit I2cApplyPpiStandIn(PeiFoundation &Pei);
  ~I2cApplyPpiStandIn();
  I2cApplyPpiStandIn(const I2cApplyPpiStandIn &) = delete;
  I2cApplyPpiStandIn &operator=(const I2cApplyPpiStandIn &) = delete;
  I2C_APPLY_PPI *Ppi() { return &ppi_; }
  EFI_STATUS Install() { return pei_.InstallPpi(gI2cApplyPpiGuid, Ppi()); }

  const std::vector<Call> &Calls() const { return calls_; }

  static I2cApplyPpiStandIn &Live();

 private:
  PeiFoundation &pei_;
  I2C_APPLY_PPI ppi_;
  std::vector<Call> calls_;
  friend struct I2cThunks;
};

}  // namespace sim
