// MAC collection behind Hook4, against simulated boards: the controller
// families and their read methods, the board types, the root ports and
// their function numbers, the VPD keywords and the hex conversion.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "board/BoardHookDxe.h"
#include "board/MacCollection.h"
#include "include/BoardHookProtocol.h"
#include "include/PcdTokens.h"
#include "platform/LibraryStartup.h"
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "sim/machine/NetworkController.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/platform/DxePlatform.h"

namespace {

using Mac = sim::MacAddress;
using sim::AccessKind;
using sim::PciFunction;
using sim::TraceRecord;

// The board types the driver compares the board-type token with.
static_assert(BOARD_TYPE_SINGLE_PORT == 5 && BOARD_TYPE_SHARED_VPD == 7 &&
              BOARD_TYPE_NO_ONBOARD_NETWORK == 8 && BOARD_TYPE_LINK_RETRY_A == 12 &&
              BOARD_TYPE_LINK_RETRY_B == 14);

constexpr uint8_t kUntouched = 0xEE;
constexpr uint32_t kBridgeId = 0x0002B0A5;  // the simulator's own vendor
constexpr uint32_t kRegisterBarBase = 0xC0000000;
constexpr uint32_t kRegisterBarSize = 0x200000;

// A VPD image as a device stores it: an identifier string, then the
// read-only section with the given keywords (two-character name, data), then
// the end tag.
std::vector<uint8_t> VpdImage(const std::vector<std::pair<std::string, std::string>> &keywords) {
  std::vector<uint8_t> image = {0x82, 4, 0, 'N', 'I', 'C', '!'};
  std::vector<uint8_t> section;
  for (const auto &[name, data] : keywords) {
    section.push_back(static_cast<uint8_t>(name[0]));
    section.push_back(static_cast<uint8_t>(name[1]));
    section.push_back(static_cast<uint8_t>(data.size()));
    section.insert(section.end(), data.begin(), data.end());
  }
  image.push_back(0x90);
  image.push_back(static_cast<uint8_t>(section.size()));
  image.push_back(static_cast<uint8_t>(section.size() >> 8));
  image.insert(image.end(), section.begin(), section.end());
  image.push_back(0x78);
  return image;
}

// One simulated board with the driver loaded: the machine, the DXE core and
// the configuration database, all live for the board's lifetime. Root port
// P (1 to 4) sits at 00:(P + 1).1 with bus 0x10 * P behind it; its location
// token stays 0 (no port) until a controller is added behind it.
class SimulatedBoard {
 public:
  explicit SimulatedBoard(uint8_t boardType, uint8_t functionSelect = 0) {
    pcd.Declare(PCD_TOKEN_BOARD_TYPE, 1, boardType);
    pcd.Declare(PCD_TOKEN_FUNCTION_SELECT, 1, functionSelect);
    EXPECT_EQ(core.RunEntryPoint(BoardHookDxeImageEntry), EFI_SUCCESS);
    hooks = static_cast<BOARD_HOOK_PROTOCOL *>(core.FindProtocol(gBoardHookProtocolGuid));
    EXPECT_NE(hooks, nullptr);
  }

  static constexpr uint8_t BusBehind(int port) { return static_cast<uint8_t>(0x10 * port); }
  static constexpr uint64_t LocationToken(int port) {
    return PCD_ROOT_PORT_LOCATION_TOKENS[port - 1];
  }

  // Declares root port `port` (its bridge and location token) without a
  // controller behind it.
  void AddRootPort(int port) {
    const sim::PciAddress rootPort{0, static_cast<uint8_t>(port + 1), 1};
    if (machine.FindPciFunction(rootPort) == nullptr) {
      machine.AddPciBridge(rootPort, kBridgeId, BusBehind(port), BusBehind(port));
    }
    pcd.Declare(LocationToken(port), 4, rootPort.Bdf() & 0xFF);
  }

  PciFunction &AddController(int port, uint32_t idWord, uint8_t function = 0) {
    AddRootPort(port);
    return machine.AddPciFunction({BusBehind(port), 0, function}, idWord);
  }

  EFI_STATUS Collect() {
    first.assign(16, kUntouched);
    second.assign(24, kUntouched);
    traceStart = machine.Trace().Mark();
    return hooks->Hook4(first.data(), second.data());
  }

  static Mac Entry(const std::vector<uint8_t> &list, size_t index) {
    Mac mac{};
    std::copy_n(list.begin() + 1 + 6 * static_cast<ptrdiff_t>(index), 6, mac.begin());
    return mac;
  }
  std::vector<uint8_t> FirstList() const { return {first.begin() + 3, first.end()}; }
  std::vector<Mac> FirstEntries() const { return Entries(FirstList()); }
  std::vector<Mac> SecondEntries() const { return Entries(second); }

  // Reads of device memory made by the firmware: memory-mapped reads outside
  // the configuration window.
  std::vector<TraceRecord> DeviceMemoryReads() {
    return machine.Trace().Where(
        [](const TraceRecord &r) {
          return r.kind == AccessKind::MmioRead &&
                 (r.address < sim::Machine::kEcamBase ||
                  r.address >= sim::Machine::kEcamBase + sim::Machine::kEcamSize);
        },
        traceStart);
  }
  // Configuration reads of `device` at offsets first to last, in order.
  std::vector<TraceRecord> ConfigReads(sim::PciAddress device, uint16_t firstOffset,
                                       uint16_t lastOffset) {
    const uint64_t low = sim::Machine::EcamAddress(device, firstOffset);
    const uint64_t high = sim::Machine::EcamAddress(device, lastOffset);
    return machine.Trace().Where(
        [&](const TraceRecord &r) {
          return r.kind == AccessKind::MmioRead && r.address >= low && r.address <= high;
        },
        traceStart);
  }

  sim::DxePlatform platform;
  sim::Machine &machine = platform.machine;
  sim::DxeCore &core = platform.Core();
  sim::PcdDatabase &pcd = platform.pcd;
  BOARD_HOOK_PROTOCOL *hooks = nullptr;
  std::vector<uint8_t> first;
  std::vector<uint8_t> second;
  size_t traceStart = 0;

 private:
  static std::vector<Mac> Entries(const std::vector<uint8_t> &list) {
    std::vector<Mac> entries;
    for (size_t index = 0; index < list[0]; index++) {
      entries.push_back(Entry(list, index));
    }
    return entries;
  }
};

// Each controller's register window at an address of its own.
uint32_t RegisterBarBase(const PciFunction &device) {
  return kRegisterBarBase + (static_cast<uint32_t>(device.Address().bus) << 22);
}

// Describes the MAC address of a controller the way its family keeps it.
void DescribeRegisterSplit(PciFunction &device, const Mac &mac) {
  sim::PlaceMacAddress(device.SetBar32(0, RegisterBarBase(device), kRegisterBarSize),
                       sim::MacLocation::RegistersSplit, mac);
}
void DescribeRegisters(PciFunction &device, const Mac &mac) {
  sim::PlaceMacAddress(device.SetBar32(0, RegisterBarBase(device), kRegisterBarSize),
                       sim::MacLocation::Registers, mac);
}
// Bytes 0x147 down to 0x140.
void DescribeConfig(PciFunction &device, const std::array<uint8_t, 8> &highToLow) {
  std::array<uint8_t, 8> lowToHigh;
  std::reverse_copy(highToLow.begin(), highToLow.end(), lowToHigh.begin());
  device.SetConfigBytes(0x140, lowToHigh);
}

TEST(MacCollectionTest, EachFamilyReadsItsAddressByteByByteInOrder) {
  const Mac mac = {0x02, 0x1B, 0x21, 0xA4, 0x5C, 0x7E};
  struct Case {
    std::string name;
    uint32_t idWord;
    std::function<void(PciFunction &)> describe;
    Mac expected;
    std::vector<uint16_t> configOrder;    // extended bytes read, in order
    std::vector<uint32_t> registerOrder;  // BAR offsets read, in order
  };
  std::vector<Case> cases = {
      {"VPD (any 0x15B3 device)",
       0xABCD15B3,
       [](PciFunction &d) {
         d.AddVpdCapability(VpdImage({{"PN", "X1"}, {"VA", "1"}, {"V2", "021B21A45C7E"}}));
       },
       mac,
       {},
       {}},
      {"config descending",
       0x165F14E4,
       [](PciFunction &d) {
         DescribeConfig(d, {0xD1, 0xD0, 0x02, 0x1B, 0x21, 0xA4, 0x5C, 0x7E});
       },
       mac,
       {0x145, 0x144, 0x143, 0x142, 0x141, 0x140},
       {}},
      {"config split (port 1: no increment)",
       0x16D814E4,
       [](PciFunction &d) {
         DescribeConfig(d, {0x02, 0x1B, 0x21, 0xD1, 0xD0, 0xA4, 0x5C, 0x7E});
       },
       mac,
       {0x147, 0x146, 0x145, 0x142, 0x141, 0x140},
       {}},
      {"config split by function (function 0)",
       0x165014E4,
       [](PciFunction &d) {
         DescribeConfig(d, {0x02, 0x1B, 0x21, 0xD1, 0xD0, 0xA4, 0x5C, 0x7E});
       },
       mac,
       {0x147, 0x146, 0x145, 0x142, 0x141, 0x140},
       {}},
      {"device registers at 0x5400",
       0x10D38086,
       [&](PciFunction &d) { DescribeRegisters(d, mac); },
       mac,
       {},
       {0x5400, 0x5401, 0x5402, 0x5403, 0x5404, 0x5405}},
  };
  for (uint32_t id : {0x15728086u, 0x15898086u, 0x158B8086u, 0x15FF8086u, 0x104E8086u}) {
    cases.push_back({"split device registers " + std::to_string(id),
                     id,
                     [&](PciFunction &d) { DescribeRegisterSplit(d, mac); },
                     mac,
                     {},
                     {0x1E2120, 0x1E2121, 0x1E2122, 0x1E2123, 0x1E2140, 0x1E2141}});
  }

  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedBoard board(/*boardType=*/0);
    PciFunction &device = board.AddController(1, c.idWord).SetCommand(0x0401);
    c.describe(device);

    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    EXPECT_EQ(board.FirstEntries(), std::vector<Mac>{c.expected});
    EXPECT_EQ(std::vector<uint8_t>(board.first.begin(), board.first.begin() + 3),
              std::vector<uint8_t>(3, kUntouched));
    EXPECT_EQ(board.first[10], kUntouched);
    EXPECT_EQ(board.second[0], 0);  // probed, nothing found
    // Memory space and bus master on, the other command bits kept.
    EXPECT_EQ(device.Command(), 0x0407);

    std::vector<uint16_t> configOrder;
    for (const TraceRecord &r : board.ConfigReads(device.Address(), 0x140, 0x147)) {
      EXPECT_EQ(r.width, 8);
      configOrder.push_back(static_cast<uint16_t>(r.address & 0xFFF));
    }
    EXPECT_EQ(configOrder, c.configOrder);
    std::vector<uint32_t> registerOrder;
    for (const TraceRecord &r : board.DeviceMemoryReads()) {
      EXPECT_EQ(r.width, 8);
      registerOrder.push_back(static_cast<uint32_t>(r.address - RegisterBarBase(device)));
    }
    EXPECT_EQ(registerOrder, c.registerOrder);
  }
}

TEST(MacCollectionTest, ConfigSplitFamilyIncrementsLastByteOnPortTwoOnly) {
  struct Case {
    int port;
    std::array<uint8_t, 8> highToLow;
    Mac expected;
  };
  const Case cases[] = {
      {2, {0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 0x55}, {0x02, 0x11, 0x22, 0x33, 0x44, 0x56}},
      {3, {0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 0x55}, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}},
      // 8-bit, no carry into the byte before.
      {2, {0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 0xFF}, {0x02, 0x11, 0x22, 0x33, 0x44, 0x00}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.port);
    SimulatedBoard board(/*boardType=*/0);
    DescribeConfig(board.AddController(c.port, 0x16D814E4), c.highToLow);
    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    EXPECT_EQ(board.SecondEntries(), std::vector<Mac>{c.expected});
  }
}

// Token 3 chooses the function of device 0 behind ports 2 to 4. Every
// function 0 to 3 holds a controller whose address names its function, so
// the entry shows which one was read; a vendor-0x14E4 controller adds the
// function number to its last byte.
TEST(MacCollectionTest, FunctionSelectChoosesFunctionNumbers) {
  struct Case {
    uint8_t functionSelect;
    std::array<uint8_t, 3> functions;  // of ports 2, 3, 4
  };
  const Case cases[] = {{0, {0, 0, 0}}, {1, {0, 0, 0}}, {2, {1, 0, 1}},
                        {3, {1, 0, 1}}, {4, {1, 2, 3}}, {0xFF, {1, 2, 3}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.functionSelect));
    SimulatedBoard board(/*boardType=*/0, c.functionSelect);
    for (int port = 2; port <= 4; port++) {
      for (uint8_t function = 0; function < 4; function++) {
        DescribeConfig(board.AddController(port, 0x165714E4, function),
                       {0x02, 0x00, static_cast<uint8_t>(port), 0, 0, 0, function, 0xFF});
      }
    }
    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    std::vector<Mac> expected;
    for (int port = 2; port <= 4; port++) {
      const uint8_t function = c.functions[port - 2];
      // 0xFF plus the function number, 8-bit: function 2 gives 0x01.
      expected.push_back({0x02, 0x00, static_cast<uint8_t>(port), 0, function,
                          static_cast<uint8_t>(0xFF + function)});
    }
    EXPECT_EQ(board.SecondEntries(), expected);
  }
}

TEST(MacCollectionTest, AbsentPortsAndControllersLeavePackedEntries) {
  const Mac port2 = {0x02, 0, 0, 0, 0, 0x02};
  const Mac port3 = {0x02, 0, 0, 0, 0, 0x03};
  const Mac port4 = {0x02, 0, 0, 0, 0, 0x04};
  enum class Port3 { Present, NoLocation, NoController };
  for (Port3 variant : {Port3::Present, Port3::NoLocation, Port3::NoController}) {
    SCOPED_TRACE(static_cast<int>(variant));
    SimulatedBoard board(/*boardType=*/0);
    DescribeRegisters(board.AddController(2, 0x10D38086), port2);
    DescribeRegisters(board.AddController(4, 0x10D38086), port4);
    if (variant == Port3::Present) {
      DescribeRegisters(board.AddController(3, 0x10D38086), port3);
    } else if (variant == Port3::NoController) {
      board.AddRootPort(3);
    }
    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    if (variant == Port3::Present) {
      EXPECT_EQ(board.SecondEntries(), (std::vector<Mac>{port2, port3, port4}));
    } else {
      EXPECT_EQ(board.SecondEntries(), (std::vector<Mac>{port2, port4}));
      EXPECT_EQ(board.second[13], kUntouched);  // nothing beyond the two entries
    }
    EXPECT_EQ(board.first[3], 0);  // no port 1 on this board
  }
}

TEST(MacCollectionTest, BoardTypesDecideWhatIsCollectedAndStall) {
  const Mac macs[4] = {{0x02, 0, 0, 0, 0, 0x01},
                       {0x02, 0, 0, 0, 0, 0x02},
                       {0x02, 0, 0, 0, 0, 0x03},
                       {0x02, 0, 0, 0, 0, 0x04}};
  struct Case {
    uint8_t boardType;
    bool withControllers;
    std::vector<Mac> first;
    std::optional<std::vector<Mac>> second;  // nullopt: untouched
    uint64_t stallUs;
  };
  const Case cases[] = {
      {BOARD_TYPE_NO_ONBOARD_NETWORK, true, {}, std::nullopt, 0},
      {BOARD_TYPE_SINGLE_PORT, true, {macs[0]}, std::nullopt, 1000},
      {0, true, {macs[0]}, std::vector<Mac>{macs[1], macs[2], macs[3]}, 1000},
      {BOARD_TYPE_LINK_RETRY_A, true, {macs[0]}, std::vector<Mac>{macs[1], macs[2], macs[3]}, 1000},
      // The stall does not depend on finding anything.
      {0, false, {}, std::vector<Mac>{}, 1000},
      {BOARD_TYPE_SINGLE_PORT, false, {}, std::nullopt, 1000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "board type " << int(c.boardType) << ", controllers " << c.withControllers);
    SimulatedBoard board(c.boardType);
    for (int port = 1; port <= 4; port++) {
      if (c.withControllers) {
        DescribeRegisters(board.AddController(port, 0x10D38086), macs[port - 1]);
      } else {
        board.AddRootPort(port);
      }
    }
    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    EXPECT_EQ(board.FirstEntries(), c.first);
    EXPECT_EQ(std::vector<uint8_t>(board.first.begin(), board.first.begin() + 3),
              std::vector<uint8_t>(3, kUntouched));
    if (c.second) {
      EXPECT_EQ(board.SecondEntries(), *c.second);
    } else {
      EXPECT_EQ(board.second, std::vector<uint8_t>(24, kUntouched));
    }
    EXPECT_EQ(board.platform.clock.StalledMicroseconds(), c.stallUs);
    EXPECT_EQ(board.core.CallCount(sim::Service::Stall), c.stallUs == 0 ? 0u : 1u);
    if (c.boardType == BOARD_TYPE_NO_ONBOARD_NETWORK) {
      EXPECT_EQ(board.machine.Trace().Mark(), board.traceStart);  // no hardware access
    }
    EXPECT_TRUE(board.core.Errors().empty());
    EXPECT_TRUE(board.pcd.InvalidAccesses().empty());
  }
}

// The configuration-database reads of one collection, in order: token 3
// follows the bus search of each port, and port 4 reads it a second time
// when the first value is below 4.
TEST(MacCollectionTest, ReadsTokensInOrderAtTheirWidths) {
  struct Case {
    uint8_t boardType;
    uint8_t functionSelect;
    std::vector<std::string> reads;  // "operation token"
    uint32_t idWord = 0x10D38086;
  };
  const std::vector<std::string> ports = {"Get8 4",    "Get32 1", "Get32 449", "Get8 3",
                                          "Get32 450", "Get8 3",  "Get32 451", "Get8 3"};
  auto then = [](std::vector<std::string> reads, const std::string &read) {
    reads.push_back(read);
    return reads;
  };
  const Case cases[] = {
      {BOARD_TYPE_NO_ONBOARD_NETWORK, 0, {"Get8 4"}},
      {BOARD_TYPE_SINGLE_PORT, 0, {"Get8 4", "Get32 1"}},
      {0, 0, then(ports, "Get8 3")},
      {0, 3, then(ports, "Get8 3")},
      {0, 4, ports},
      {0, 0xFF, ports},
      // A vendor-0x15B3 controller reads token 3 for its selector (not on
      // port 1), then the board type; board type 7 then locates port 1.
      {7,
       0,
       {"Get8 4",    "Get32 1", "Get8 4",    "Get32 1", "Get32 449", "Get8 3", "Get8 3",
        "Get8 4",    "Get32 1", "Get32 450", "Get8 3",  "Get8 3",    "Get8 4", "Get32 1",
        "Get32 451", "Get8 3",  "Get8 3",    "Get8 3",  "Get8 4",    "Get32 1"},
       0x101715B3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "board type " << int(c.boardType) << ", token 3 " << int(c.functionSelect));
    SimulatedBoard board(c.boardType, c.functionSelect);
    for (int port = 1; port <= 4; port++) {
      for (uint8_t function = 0; function < 4; function++) {
        board.AddController(port, c.idWord, function);
      }
    }
    board.pcd.ClearAccesses();
    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    std::vector<std::string> reads;
    for (const sim::PcdAccess &access : board.pcd.Accesses()) {
      reads.push_back(access.operation + " " + std::to_string(access.token));
    }
    EXPECT_EQ(reads, c.reads);
    EXPECT_TRUE(board.pcd.InvalidAccesses().empty());
  }
}

// Board type 5 probes port 1 even when its location translates to 0: bus 0
// device 0 is then the host bridge, whose BAR0 is unassigned.
TEST(MacCollectionTest, BoardTypeFiveProbesPortOneWhateverItsLocation) {
  SimulatedBoard board(BOARD_TYPE_SINGLE_PORT);
  ASSERT_EQ(board.Collect(), EFI_SUCCESS);
  EXPECT_EQ(board.FirstEntries(), std::vector<Mac>{Mac{}});
  EXPECT_TRUE(board.DeviceMemoryReads().empty());
  EXPECT_EQ(board.platform.clock.StalledMicroseconds(), 1000u);

  SimulatedBoard general(/*boardType=*/0);
  ASSERT_EQ(general.Collect(), EFI_SUCCESS);
  EXPECT_EQ(general.first[3], 0);
  EXPECT_EQ(general.second[0], 0);
}

TEST(MacCollectionTest, RootPortLocationIsTranslatedThroughBusGroups) {
  SimulatedBoard board(/*boardType=*/0);
  // Port 4's root port at board-relative bus 0x25 (group 1, offset 5), which
  // group 1 starting at bus 0x60 makes physical bus 0x65.
  board.machine.SetBusRange(1, 0x60, 0x7F);
  board.machine.AddPciBridge({0x65, 3, 0}, kBridgeId, 0x70, 0x72);
  // The highest bus behind the bridge whose device 0 answers.
  board.machine.AddPciFunction({0x71, 0, 0}, 0x165F14E4)
      .SetConfigBytes(0x140, {0x06, 0x05, 0x04, 0x03, 0x02, 0x01});
  board.pcd.Declare(PCD_TOKEN_ROOT_PORT4_LOCATION, 4, 0xFFFF2518);
  ASSERT_EQ(board.Collect(), EFI_SUCCESS);
  EXPECT_EQ(board.SecondEntries(), (std::vector<Mac>{{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}}));
}

TEST(MacCollectionTest, UnreadableRegisterWindowLeavesCountedZeroEntry) {
  struct Case {
    const char *name;
    uint32_t idWord;
    uint32_t bar0;
    std::optional<uint32_t> bar1;
  };
  const Case cases[] = {
      {"unassigned BAR0", 0x10D38086, 0, std::nullopt},
      {"unassigned 64-bit BAR0", 0x15728086, 0x0000000C, 0},
      {"all ones", 0x10D38086, 0xFFFFFFFF, std::nullopt},
      {"all-ones 64-bit base", 0x15728086, 0xFFFFFFFC, 0xFFFFFFFF},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedBoard board(/*boardType=*/0);
    PciFunction &device = board.AddController(1, c.idWord).SetConfig32(0x10, c.bar0);
    if (c.bar1) {
      device.SetConfig32(0x14, *c.bar1);
    }
    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    EXPECT_EQ(board.FirstEntries(), std::vector<Mac>{Mac{}});
    EXPECT_TRUE(board.DeviceMemoryReads().empty());
    EXPECT_EQ(device.Command() & 0x6, 0x6);
  }
}

TEST(MacCollectionTest, SixtyFourBitBarIsReadAboveFourGigabytes) {
  struct Case {
    uint32_t idWord;
    uint64_t barBase;
    uint64_t barSize;
    std::vector<uint64_t> offsets;
  };
  const Case cases[] = {
      {0x10D38086,
       0x0000004000010000ULL,
       0x10000,
       {0x5400, 0x5401, 0x5402, 0x5403, 0x5404, 0x5405}},
      {0x15FF8086,
       0x0000004000200000ULL,
       0x200000,
       {0x1E2120, 0x1E2121, 0x1E2122, 0x1E2123, 0x1E2140, 0x1E2141}},
  };
  const Mac mac = {0x0C, 0x42, 0xA1, 0x00, 0x00, 0x5E};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.idWord);
    SimulatedBoard board(/*boardType=*/0);
    PciFunction &device = board.AddController(1, c.idWord).SetBar64(0, c.barBase, c.barSize);
    for (size_t i = 0; i < 6; i++) {
      device.Registers(0).SetBytes(c.offsets[i], {mac[i]});
    }
    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    EXPECT_EQ(board.FirstEntries(), std::vector<Mac>{mac});
    std::vector<uint64_t> offsets;
    for (const TraceRecord &r : board.DeviceMemoryReads()) {
      EXPECT_EQ(r.width, 8);
      offsets.push_back(r.address - c.barBase);
    }
    EXPECT_EQ(offsets, c.offsets);
  }
}

TEST(MacCollectionTest, AsciiHexToMacTakesUpperCaseDigitsOnly) {
  struct Case {
    const char *text;
    Mac expected;
  };
  const Case cases[] = {
      {"0A1B2C3D4E5F", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
      {"FFEEDD998800", {0xFF, 0xEE, 0xDD, 0x99, 0x88, 0x00}},
      // Other bytes count with their own value: 'a' 0x61, 'b' 0x62, 'G' 0x47.
      {"ab0000000000", {0x72, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {"000000000G0g", {0x00, 0x00, 0x00, 0x00, 0x47, 0x67}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    std::array<uint8_t, 256> image{};
    std::copy_n(c.text, 12, image.begin() + 100);
    Mac entry{};
    AsciiHexToMac(entry.data(), image.data(), 100);
    EXPECT_EQ(entry, c.expected);
  }

  // Twelve characters that would run past the image are not converted.
  std::array<uint8_t, 256> image;
  image.fill('1');
  Mac entry{};
  AsciiHexToMac(entry.data(), image.data(), 244);
  EXPECT_EQ(entry, (Mac{0x11, 0x11, 0x11, 0x11, 0x11, 0x11}));
  entry = {};
  AsciiHexToMac(entry.data(), image.data(), 245);
  EXPECT_EQ(entry, Mac{});
}

TEST(MacCollectionTest, VpdSelectorPicksKeywordTheCountAdmits) {
  const Mac v2 = {0x00, 0x02, 0xC9, 0x11, 0x22, 0x33};
  const Mac v3 = {0x00, 0x02, 0xC9, 0x44, 0x55, 0x66};
  const Mac v5 = {0x00, 0x02, 0xC9, 0x77, 0x88, 0x99};
  const Mac before = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  const auto standard = VpdImage({{"VA", "2"}, {"V2", "0002C9112233"}, {"V3", "0002C9445566"}});

  // A V2 keyword whose data would cross the end of the 256-byte image.
  std::vector<uint8_t> crossing(256, 0);
  std::copy_n(
      "VA\x01"
      "4",
      4, crossing.begin() + 10);
  std::copy_n("V2\x0c", 3, crossing.begin() + 242);
  std::fill(crossing.begin() + 245, crossing.end(), '1');

  struct Case {
    const char *name;
    std::optional<std::vector<uint8_t>> image;  // nullopt: no VPD capability
    uint16_t selector;
    Mac expected;
  };
  const std::vector<Case> cases = {
      {"selector 1 takes V2", standard, 1, v2},
      {"selector 2 takes V3", standard, 2, v3},
      {"count 2 does not admit selector 3", standard, 3, before},
      {"selector 0", standard, 0, before},
      {"selector 5", standard, 5, before},
      {"admitted but V4 missing", VpdImage({{"VA", "4"}, {"V2", "0002C9112233"}}), 3, before},
      {"count below '0' admits any selector", VpdImage({{"VA", "/"}, {"V5", "0002C9778899"}}), 4,
       v5},
      {"later keyword replaces earlier",
       VpdImage({{"VA", "1"}, {"V2", "0002C9445566"}, {"V2", "0002C9112233"}}), 1, v2},
      {"wrong length ignored", VpdImage({{"VA", "1"}, {"V2", "0002C911223"}}), 1, before},
      {"keyword crossing the image end ignored", crossing, 1, before},
      {"no VPD capability", std::nullopt, 1, before},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Machine machine;
    PciFunction &device = machine.AddPciFunction({5, 0, 0}, 0x101315B3);
    device.AddCapability(0x01, std::vector<uint8_t>(6, 0));  // power management
    if (c.image) {
      device.AddCapability(0x10, std::vector<uint8_t>(2, 0));  // PCI Express
      device.AddVpdCapability(*c.image).SetCompletionReads(2);
    }
    Mac entry = before;
    ReadVpdMacAddress(device.Address().Bdf(), c.selector, entry.data());
    EXPECT_EQ(entry, c.expected);
  }
}

// Vendor-0x15B3 controllers: port 1, and the port whose number is token 3
// plus one, use selector 1 (V2); other ports selector 2 (V3). On board type
// 7 the port-1 device's VPD then decides, with the port number as selector.
TEST(MacCollectionTest, VpdControllersUseSelectorsByPortAndBoardType) {
  const auto portOneVpd = VpdImage(
      {{"VA", "4"}, {"V2", "0002C9000001"}, {"V3", "0002C9000002"}, {"V4", "0002C9000003"}});
  const auto ownVpd = VpdImage({{"VA", "2"}, {"V2", "0002C9AAAAAA"}, {"V3", "0002C9BBBBBB"}});
  const Mac portOneV2 = {0x00, 0x02, 0xC9, 0x00, 0x00, 0x01};
  const Mac portOneV3 = {0x00, 0x02, 0xC9, 0x00, 0x00, 0x02};
  const Mac portOneV4 = {0x00, 0x02, 0xC9, 0x00, 0x00, 0x03};
  const Mac ownV2 = {0x00, 0x02, 0xC9, 0xAA, 0xAA, 0xAA};
  const Mac ownV3 = {0x00, 0x02, 0xC9, 0xBB, 0xBB, 0xBB};
  struct Case {
    uint8_t boardType;
    uint8_t functionSelect;
    std::vector<Mac> second;  // ports 2, 3, 4
  };
  const Case cases[] = {
      {0, 0, {ownV3, ownV3, ownV3}},
      // Token 3 = 2: port 3 uses selector 1 (and function 0).
      {0, 2, {ownV3, ownV2, ownV3}},
      // Port 4 asks the port-1 VPD for selector 4, which it lacks: the entry
      // keeps what the device's own VPD gave.
      {BOARD_TYPE_SHARED_VPD, 0, {portOneV3, portOneV4, ownV3}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "board type " << int(c.boardType) << ", token 3 " << int(c.functionSelect));
    SimulatedBoard board(c.boardType, c.functionSelect);
    board.AddController(1, 0x101715B3).AddVpdCapability(portOneVpd);
    for (int port = 2; port <= 4; port++) {
      // Functions 0 and 1 so that token 3 = 2 finds a controller on each.
      for (uint8_t function = 0; function < 2; function++) {
        board.AddController(port, 0x101715B3, function).AddVpdCapability(ownVpd);
      }
    }
    ASSERT_EQ(board.Collect(), EFI_SUCCESS);
    EXPECT_EQ(board.FirstEntries(), std::vector<Mac>{portOneV2});
    EXPECT_EQ(board.SecondEntries(), c.second);
  }
}

TEST(MacCollectionTest, VpdControllerWithoutCapabilityCountsWithZeroEntry) {
  SimulatedBoard board(/*boardType=*/0);
  board.AddController(2, 0x101715B3);
  ASSERT_EQ(board.Collect(), EFI_SUCCESS);
  EXPECT_EQ(board.SecondEntries(), std::vector<Mac>{Mac{}});
}

TEST(MacCollectionTest, WithoutConfigurationDatabaseNothingIsCollected) {
  sim::DxePlatform platform(sim::DxePlatformOptions().WithoutPcdProtocol());
  sim::Machine &machine = platform.machine;
  sim::DxeCore &core = platform.Core();
  ASSERT_EQ(core.RunEntryPoint(BoardHookDxeImageEntry), EFI_SUCCESS);
  auto *hooks = static_cast<BOARD_HOOK_PROTOCOL *>(core.FindProtocol(gBoardHookProtocolGuid));
  ASSERT_NE(hooks, nullptr);

  std::vector<uint8_t> first(16, kUntouched);
  std::vector<uint8_t> second(24, kUntouched);
  const size_t mark = machine.Trace().Mark();
  EXPECT_EQ(hooks->Hook4(first.data(), second.data()), EFI_SUCCESS);
  EXPECT_EQ(first[3], 0);
  first[3] = kUntouched;
  EXPECT_EQ(first, std::vector<uint8_t>(16, kUntouched));
  EXPECT_EQ(second, std::vector<uint8_t>(24, kUntouched));
  EXPECT_EQ(machine.Trace().Mark(), mark);
  EXPECT_EQ(platform.clock.StalledMicroseconds(), 0u);
}

}  // namespace
