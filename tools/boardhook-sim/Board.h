// A described board: everything boardhook-sim needs to boot it. The TOML
// reader (BoardFile.h) fills it and checks it; the two phases build their
// simulated platform from it. docs/board-format.md describes each field.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bootsim {

// Present on every board unless listed as absent: the two identification
// inputs and the two write targets of the PEI module.
inline constexpr uint8_t kSmbusIdInput1 = 0x39;
inline constexpr uint8_t kSmbusIdInput2 = 0x3A;

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

struct BmcDescription {
  bool present = true;
  std::optional<uint32_t> answerAfter = 0;  // failed attempts first; nullopt: never answers
  uint8_t responseLength = 1;
  uint64_t failureStatus = 0;  // status of a failed attempt (EFI_TIMEOUT by default)
};

struct SetupVariableDescription {
  bool present = true;
  std::vector<uint8_t> data;  // the variable's whole data
};

struct PcdDefault {
  uint32_t token = 0;
  unsigned size = 0;  // bytes
  uint64_t value = 0;
  uint32_t line = 0;
};

struct BusGroup {
  unsigned group = 0;
  uint8_t first = 0;
  uint8_t last = 0;
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
};

struct ByteBlock {
  uint64_t offset = 0;
  std::vector<uint8_t> bytes;
};

struct BarBytes {
  unsigned bar = 0;
  ByteBlock block;
};

enum class MacLocation : uint8_t {
  Registers,             // six bytes at BAR 0 + 0x5400
  RegistersSplit,        // four at BAR 0 + 0x1E2120, two at BAR 0 + 0x1E2140
  SerialNumber,          // EUI-64 in configuration bytes 0x140-0x147
  SerialNumberReversed,  // configuration bytes 0x145 down to 0x140
};

struct MacDescription {
  std::array<uint8_t, 6> address{};
  MacLocation location = MacLocation::Registers;
};

struct VpdDescription {
  std::vector<uint8_t> image;
  uint32_t completionReads = 0;
  bool neverCompletes = false;
};

struct BridgeDescription {
  PciLocation address;
  uint32_t id = 0;
  uint8_t secondaryBus = 0;
  uint8_t subordinateBus = 0;
  std::string key;  // where it was described, for messages ("root_port[1]")
  uint32_t line = 0;
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
  std::vector<uint8_t> capabilities;  // IDs linked before the VPD capability
  std::optional<VpdDescription> vpd;
  std::optional<MacDescription> mac;
  std::vector<ByteBlock> configBytes;
  std::vector<BarBytes> barBytes;
  std::string key;
  uint32_t line = 0;
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

struct ModulesDescription {
  bool setupSuppressTrigger = true;
  bool setupItemSuppress = true;
  bool smmReadyToLock = true;
  bool smmCommunication = true;
  // PPIs other modules install after BoardHookPei's entry, in this order.
  std::vector<std::string> peiInstalls = {"smbus", "i2c-table", "i2c-apply"};
};

struct Board {
  std::string name;
  std::string description;
  std::string source;  // file name, or "built-in reference board"

  SmbusDescription smbus;
  BmcDescription bmc;
  SetupVariableDescription setupVariable;
  std::vector<PcdDefault> pcd;  // besides the root-port locations
  std::vector<BusGroup> busGroups;
  std::vector<RootPortDescription> rootPorts;
  std::vector<BridgeDescription> bridges;
  std::vector<DeviceDescription> devices;
  CpuDescription cpu;
  UartDescription uart;
  std::vector<HeapBufferDescription> heapBuffers;
  S3SaveDescription s3;
  std::array<std::optional<uint8_t>, 128> cmos{};
  ModulesDescription modules;
};

// The configuration-database tokens this system uses, with their widths in
// bytes; the description may give defaults only for these.
struct TokenInfo {
  uint32_t token;
  unsigned size;
};
inline constexpr std::array<TokenInfo, 14> kSystemTokens = {{{1, 4},
                                                             {3, 1},
                                                             {4, 1},
                                                             {442, 1},
                                                             {443, 1},
                                                             {445, 1},
                                                             {446, 1},
                                                             {447, 1},
                                                             {449, 4},
                                                             {450, 4},
                                                             {451, 4},
                                                             {501, 8},
                                                             {584, 8},
                                                             {585, 8}}};
// The location tokens of root ports 1 to 4.
inline constexpr std::array<uint32_t, 4> kRootPortTokens = {1, 449, 450, 451};

}  // namespace bootsim
