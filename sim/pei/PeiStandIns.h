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
    UINTN addressWord;  // the whole EFI_SMBUS_DEVICE_ADDRESS word
    uint8_t address;    // its 7-bit field
    UINTN command;
    EFI_SMBUS_OPERATION operation;
    BOOLEAN pecCheck;
    UINTN lengthIn;
    uint8_t data;  // byte written, or byte read on success
    EFI_STATUS status;
  };

  explicit SmbusPpiStandIn(PeiFoundation &pei);
  EFI_PEI_SMBUS2_PPI *Ppi() { return &interface_.ppi; }
  EFI_STATUS Install() { return pei_.InstallPpi(gEfiPeiSmbus2PpiGuid, Ppi()); }

  void AddDevice(uint8_t address, uint8_t byte = 0);
  void RemoveDevice(uint8_t address);
  void SetInputByte(uint8_t address, uint8_t byte) { AddDevice(address, byte); }
  std::optional<uint8_t> DeviceByte(uint8_t address) const;
  // Bytes written to a device, in order.
  std::vector<uint8_t> Writes(uint8_t address) const;

  // Failure of one operation on one device; a failing call transfers nothing.
  FaultPlan &Faults(uint8_t address, EFI_SMBUS_OPERATION operation) {
    return faults_[{address, operation}];
  }

  const std::vector<Call> &Calls() const { return calls_; }

  EFI_STATUS Execute(EFI_SMBUS_DEVICE_ADDRESS slaveAddress, EFI_SMBUS_DEVICE_COMMAND command,
                     EFI_SMBUS_OPERATION operation, BOOLEAN pecCheck, UINTN *length, VOID *buffer);

 private:
  struct Interface {
    EFI_PEI_SMBUS2_PPI ppi;
    SmbusPpiStandIn *self;
  };
  struct Device {
    uint8_t byte;
    std::vector<uint8_t> writes;
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
  explicit StallPpiStandIn(PeiFoundation &pei);
  EFI_PEI_STALL_PPI *Ppi() { return &interface_.ppi; }
  EFI_STATUS Install() { return pei_.InstallPpi(gEfiPeiStallPpiGuid, Ppi()); }

  // The microseconds of each call, in order.
  const std::vector<UINTN> &Calls() const { return calls_; }
  uint64_t TotalMicroseconds() const;

  EFI_STATUS Stall(const EFI_PEI_SERVICES **peiServices, UINTN microseconds);

 private:
  struct Interface {
    EFI_PEI_STALL_PPI ppi;
    StallPpiStandIn *self;
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
    std::u16string name;
    EFI_GUID guid;
    bool attributesWanted;
    UINTN dataSizeIn;
    UINTN dataSizeOut;
    EFI_STATUS status;
  };

  explicit ReadOnlyVariablePpiStandIn(PeiFoundation &pei);
  EFI_PEI_READ_ONLY_VARIABLE2_PPI *Ppi() { return &interface_.ppi; }
  EFI_STATUS Install() { return pei_.InstallPpi(gEfiPeiReadOnlyVariable2PpiGuid, Ppi()); }

  void SetVariable(const std::u16string &name, const EFI_GUID &guid, std::vector<uint8_t> data,
                   uint32_t attributes = kDefaultAttributes);
  void RemoveVariable(const std::u16string &name, const EFI_GUID &guid);

  FaultPlan &GetVariableFaults() { return faults_; }
  const std::vector<Call> &Calls() const { return calls_; }

  EFI_STATUS GetVariable(const CHAR16 *variableName, const EFI_GUID *variableGuid,
                         UINT32 *attributes, UINTN *dataSize, VOID *data);
  EFI_STATUS NextVariableName(UINTN *variableNameSize, CHAR16 *variableName,
                              EFI_GUID *variableGuid);

 private:
  struct Interface {
    EFI_PEI_READ_ONLY_VARIABLE2_PPI ppi;
    ReadOnlyVariablePpiStandIn *self;
  };
  struct Variable {
    std::vector<uint8_t> data;
    uint32_t attributes;
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
// with a chosen response length, or never. A failed attempt returns the
// failure status (SetFailureStatus) and leaves the response length as it
// was. Or it follows a script, one answer per attempt. Other commands answer
// EFI_UNSUPPORTED.
class BmcIpmiPpiStandIn {
 public:
  // One scripted answer: its status and the response length byte, written
  // or left as the caller set it. Response bytes are written (at most as
  // many as the caller's buffer holds) when the length is written and the
  // status is not an error.
  struct Answer {
    EFI_STATUS status;
    uint8_t responseLength;
    bool lengthWritten;
  };

  struct Call {
    uint8_t netFunction;
    uint8_t lun;
    uint8_t command;
    std::vector<uint8_t> request;
    uint32_t requestSize;
    uint8_t responseCapacity;  // the response length byte on entry
    uint8_t responseLength;    // and on return
    EFI_STATUS status;
  };

  explicit BmcIpmiPpiStandIn(PeiFoundation &pei);
  BMC_IPMI_PPI *Ppi() { return &interface_.ppi; }
  EFI_STATUS Install() { return pei_.InstallPpi(gBmcIpmiPpiGuid, Ppi()); }

  // The first `failedAttempts` requests fail; every later one is answered
  // with `responseLength` bytes of the response (zero-padded).
  void AnswerAfter(unsigned failedAttempts, uint8_t responseLength = 1);
  void NeverAnswer() {
    answers_ = false;
    script_.clear();
  }
  // Attempt n (from 1) answers as `answers[n - 1]`, later attempts as the
  // last one; AnswerAfter and NeverAnswer end the script.
  void SetScript(std::vector<Answer> answers) {
    script_ = std::move(answers);
    attempts_ = 0;
  }
  void SetResponse(std::vector<uint8_t> bytes) { response_ = std::move(bytes); }
  void SetFailureStatus(EFI_STATUS status) { failureStatus_ = status; }

  const std::vector<Call> &Calls() const { return calls_; }

  EFI_STATUS SendCommand(UINT8 netFunction, UINT8 lun, UINT8 command, UINT8 *requestData,
                         UINT32 requestDataSize, UINT8 *responseData, UINT8 *responseDataSize);

 private:
  struct Interface {
    BMC_IPMI_PPI ppi;
    BmcIpmiPpiStandIn *self;
  };
  friend struct BmcThunks;
  void WriteResponse(UINT8 *responseData, uint8_t length) const;

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
    const EFI_PEI_SERVICES **peiServices;
    UINTN bus;
    UINTN slaveAddress;
    UINTN channel;
    UINTN tokenNumber;
  };
  struct FillCall {
    UINT8 *tables[3];
  };

  explicit I2cTablePpiStandIn(PeiFoundation &pei);
  ~I2cTablePpiStandIn();
  I2cTablePpiStandIn(const I2cTablePpiStandIn &) = delete;
  I2cTablePpiStandIn &operator=(const I2cTablePpiStandIn &) = delete;
  I2C_TABLE_PPI *Ppi() { return &ppi_; }
  EFI_STATUS Install() { return pei_.InstallPpi(gI2cTablePpiGuid, Ppi()); }

  // The contents FillTables writes to table `index` (0 to 2). By default the
  // tables differ: byte n of table i is 0x10 * (i + 1) + n % 16.
  void SetTable(size_t index, const Table &contents) { tables_.at(index) = contents; }
  const Table &TableContents(size_t index) const { return tables_.at(index); }

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
    const EFI_PEI_SERVICES **peiServices;
    UINTN bus;
    UINTN slaveAddress;
    UINTN channel;
    UINT8 *table;
    I2cTablePpiStandIn::Table contents;  // the table's bytes at the call
    UINTN entryCount;
  };

  explicit I2cApplyPpiStandIn(PeiFoundation &pei);
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
