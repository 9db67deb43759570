// A described board: everything boardhook-sim needs to boot it. The TOML
// reader (BoardFile.h) fills it and checks it; the two phases build their
// simulated platform from it. docs/board-format.md describes each field.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Expect.h"
#include "board/PciAccess.h"
#include "include/PcdTokens.h"
#include "sim/machine/NetworkController.h"

namespace bootsim {

// Present on every board unless listed as absent: the two identification
// inputs and the two write targets of the PEI module.
inline constexpr uint8_t kSmbusIdInput1 = 0x39;
inline constexpr uint8_t kSmbusIdInput2 = 0x3A;

// Several failures may name one device and operation; each holds. A failure
// of the nth call takes precedence over a failure of every call.
struct SmbusFailure {
  uint8_t address = 0;
  bool write = false;  // the write operation, else the read operation
  uint64_t status = 0;
  uint32_t call = 0;  // 0: every call; n: only the nth call of that operation
};

struct SmbusDescription {
  uint8_t idByte1 = 0;  // read from 0x39
  uint8_t idByte2 = 0;  // read from 0x3A
  std::vector<uint8_t> absent;
  std::vector<SmbusFailure> failures;
};

// One answer of the BMC's transport to the Master Write-Read request.
struct BmcAttempt {
  uint64_t status = 0;  // 64-bit form; success, a warning or an error
  uint8_t responseLength = 1;
  bool lengthWritten = true;  // whether the response length byte is written
};

struct BmcDescription {
  bool present = true;
  std::optional<uint32_t> answerAfter = 0;  // failed attempts first; nullopt: never answers
  uint8_t responseLength = 1;
  uint64_t failureStatus = 0;  // status of a failed attempt (EFI_TIMEOUT by default)
  // A script instead: attempt n answers as entry n; later attempts as the
  // last entry.
  std::vector<BmcAttempt> attempts;
};

struct SetupVariableDescription {
  bool present = true;
  std::vector<uint8_t> data;  // the variable's whole data
};

// A token's build-time default. Size 0: the database has no such token.
struct PcdDefault {
  uint32_t token = 0;
  unsigned size = 0;  // bytes: 1, 2, 4 or 8; 0 for a token that is not declared
  uint64_t value = 0;
  std::string key;  // as written ("pcd.3"), for messages
};

// The bus-range register of one bus group: first bus in bits 23:16, last
// bus in bits 31:24.
struct BusGroup {
  unsigned group = 0;
  uint32_t value = 0;
  std::string key;  // where it was described; empty for a default group
  uint8_t First() const { return BusRangeFirst(value); }
  uint8_t Last() const { return BusRangeLast(value); }
};

struct HostBridgeDescription {
  uint32_t id = 0x0001B0A5;  // vendor 0xB0A5 is the simulator's own
  uint8_t baseClass = 0x06;
  uint8_t subClass = 0;
  uint8_t progIf = 0;
  uint8_t revision = 0;
  std::vector<BusGroup> busGroups;  // groups not listed: 32 buses each
  // What a memory read returns, per byte, where no window answers.
  uint8_t unclaimedRead = 0xFF;
};

struct PciLocation {
  uint8_t bus = 0;
  uint8_t device = 0;
  uint8_t function = 0;
  bool operator==(const PciLocation &) const = default;
  std::string Text() const;  // "bb:dd.f"
};

struct Bar {
  unsigned index = 0;
  uint64_t base = 0;
  uint64_t size = 0;
  bool is64 = false;
  bool prefetchable = false;
  std::string key;  // where it was described, for messages ("device[0].bars[1]")
};

struct ByteBlock {
  uint64_t offset = 0;
  std::vector<uint8_t> bytes;
};

struct BarBytes {
  unsigned bar = 0;
  ByteBlock block;
};

using sim::MacLocation;

struct MacDescription {
  std::array<uint8_t, 6> address{};
  MacLocation location = MacLocation::Registers;
};

struct VpdDescription {
  std::vector<uint8_t> image;
  uint32_t completionReads = 0;
  bool neverCompletes = false;
  // Reads of this VPD address and above never complete.
  std::optional<uint16_t> stopsCompletingAt;
  size_t position = SIZE_MAX;  // index in the capability list; SIZE_MAX: last
  uint8_t offset = 0;          // configuration offset; 0: after the one before
};

// A capability other than VPD: its ID and where it stands (0: after the one
// before it, from 0x40 on).
struct Capability {
  uint8_t id = 0;
  uint8_t offset = 0;
};

struct BridgeDescription {
  PciLocation address;
  uint32_t id = 0;
  uint8_t secondaryBus = 0;
  uint8_t subordinateBus = 0;
  std::string key;  // where it was described, for messages ("root_port[1]")
};

struct RootPortDescription {
  unsigned port = 0;      // 1 to 4
  uint32_t location = 0;  // the root-port location token's value
  BridgeDescription bridge;
};

struct DeviceDescription {
  PciLocation address;
  uint32_t id = 0;
  uint8_t baseClass = 0;
  uint8_t subClass = 0;
  uint8_t progIf = 0;
  uint8_t revision = 0;
  uint32_t subsystem = 0;
  std::optional<uint32_t> romBase;
  uint16_t command = 0;
  std::vector<Bar> bars;
  std::vector<Capability> capabilities;  // in list order, the VPD capability apart
  std::optional<VpdDescription> vpd;
  std::optional<MacDescription> mac;
  std::vector<ByteBlock> configBytes;
  std::vector<BarBytes> barBytes;
  std::string key;
};

struct MsrValue {
  uint32_t index = 0;
  uint64_t value = 0;
};

struct CpuDescription {
  std::vector<MsrValue> msrs;
  std::optional<uint64_t> dr2, dr3, dr7, cr4;
  uint16_t backDoorAnswer = 0;
  std::optional<uint64_t> tscHz;
};

// When a UART line-status bit reports ready: at once, after n reads that
// still show it clear, or never.
struct UartReadinessDescription {
  enum class Mode : uint8_t { AtOnce, AfterReads, Never } mode = Mode::AtOnce;
  uint32_t reads = 0;
};

struct UartDescription {
  UartReadinessDescription transmitReady;
  UartReadinessDescription transmitterEmpty;
};

struct HeapBufferDescription {
  uint32_t signature = 0x50414548;  // "HEAP"
  uint32_t handle = 0;
  uint8_t memoryKind = 0;
  uint8_t active = 1;
  std::vector<uint8_t> data;
};

struct S3SaveDescription {
  // Another DXE module puts an S3 save table into the shared record after
  // the driver has started.
  bool table = false;
  uint32_t signature = 0x54335341;  // "AS3T"
  uint64_t size = 128;
  uint64_t boundaryOffset = 124;
  uint32_t boundaryMarker = 0x01558844;
  uint64_t endOffset = 48;
  // Token 585 names a buffer of this size for the SMM message; 0: no buffer.
  uint64_t smmBufferSize = 40;
  // An earlier DXE module created the shared record (token 584) before the
  // driver started, so the driver's library finds it and arms no events.
  bool recordByEarlierModule = false;
};

// The PEI phase's order of events: the module's entry ("entry") and the
// installations of the PPIs whose callbacks it registers, each step one
// InstallPpi call with one or more PPIs in its list.
inline constexpr const char *kPeiEntryStep = "entry";
using PeiStep = std::vector<std::string>;  // {"entry"} or the PPIs of one list

struct ModulesDescription {
  bool setupSuppressTrigger = true;
  bool setupItemSuppress = true;
  bool smmReadyToLock = true;
  bool smmCommunication = true;
  // The platform's PPIs present before the module runs.
  bool pcdPpi = true;
  bool stallPpi = true;
  bool readOnlyVariablePpi = true;
  std::vector<PeiStep> peiSequence = {{kPeiEntryStep}, {"smbus"}, {"i2c-table"}, {"i2c-apply"}};
};

// A PEI service that fails: NotifyPpi, AllocatePool or LocatePpi (of every
// PPI, or of one).
struct PeiServiceFailure {
  std::string service;
  std::string ppi;    // LocatePpi only: "smbus", "stall", ...; empty: every PPI
  uint32_t call = 0;  // 0: every call; n: the nth (of lookups of that PPI)
  uint64_t status = 0;
};

// The platform module that calls Hook4: its two buffers and when it calls.
struct Hook4Buffer {
  size_t size = 0;
  uint8_t fill = 0xA5;
  std::vector<uint8_t> bytes;  // the first bytes; the rest is fill
};

struct Hook4CallerDescription {
  enum class When : uint8_t { AfterSetupTrigger, BeforeSetupTrigger, Never };
  When when = When::AfterSetupTrigger;
  Hook4Buffer first{10, 0xA5, {}};
  Hook4Buffer second{19, 0xA5, {}};
};

struct Board {
  std::string name;
  std::string description;
  std::string source;  // file name, or "built-in reference board"

  SmbusDescription smbus;
  BmcDescription bmc;
  SetupVariableDescription setupVariable;
  std::vector<PcdDefault> pcd;  // besides the root-port locations
  HostBridgeDescription hostBridge;
  std::vector<RootPortDescription> rootPorts;
  std::vector<BridgeDescription> bridges;
  std::vector<DeviceDescription> devices;
  CpuDescription cpu;
  UartDescription uart;
  std::vector<HeapBufferDescription> heapBuffers;
  S3SaveDescription s3;
  std::array<std::optional<uint8_t>, 128> cmos{};
  ModulesDescription modules;
  std::vector<PeiServiceFailure> peiFailures;
  Hook4CallerDescription hook4;
  // What the boot must report ([expect]); empty when the board says nothing.
  Expectations expect;
};

}  // namespace bootsim
