// Setup-item suppression and the link-retry reset, run as on a real boot:
// the driver's entry, then the installation of the trigger protocol, against
// the simulated DXE core, configuration database and machine. A reset ends
// the boot through the machine's run harness; the CMOS counter survives it
// and the next boot starts with a fresh core, as after a real reset.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "board/BoardHookDxe.h"
#include "board/SetupSuppress.h"
#include "include/PcdTokens.h"
#include "platform/LibraryStartup.h"
#include "sim/dxe/DxeCore.h"
#include "sim/dxe/SetupStandins.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/platform/DxePlatform.h"
#include "uefi/PlatformModules.h"

namespace {

using sim::AccessKind;
using sim::RunEnd;

static_assert(LINK_RETRY_CMOS_INDEX == 0x58, "the counter's CMOS byte");
constexpr uint16_t kCmosIndexPort = 0x70;
constexpr uint16_t kCmosDataPort = 0x71;
constexpr uint16_t kResetPort = 0xCF9;

// Root ports 1 to 4 sit at 80:01.1 to 80:01.4. Their locations name bus
// group 1, which the host bridge maps to buses 0x80 to 0x9F, so a driver
// that skipped the translation would look at bus 0x20.
constexpr uint8_t kRootPortBus = 0x80;
constexpr uint32_t kRootPortId = 0x0002B0A5;
constexpr std::array<uint64_t, 4> kLocationTokens = {
    PCD_TOKEN_ROOT_PORT1_LOCATION, PCD_TOKEN_ROOT_PORT2_LOCATION, PCD_TOKEN_ROOT_PORT3_LOCATION,
    PCD_TOKEN_ROOT_PORT4_LOCATION};

constexpr uint32_t kPlainNicId = 0x0010B0A5;

// The device behind a root port (on the port's secondary bus 0x81 to 0x84).
struct Device {
  uint32_t id = kPlainNicId;
  uint8_t baseClass = 0x02;
  uint32_t subsystem = 0;
  uint32_t romBase = 0;
};

struct Board {
  uint8_t type = 0;
  uint8_t token445 = 1;
  uint8_t token446 = 0;
  uint8_t token447 = 0;
  std::array<std::optional<Device>, 4> ports;
};

Board FullBoard(uint8_t type = 0) {
  Board board;
  board.type = type;
  for (auto &port : board.ports) {
    port = Device{};
  }
  return board;
}

uint8_t DeviceBus(size_t port) { return static_cast<uint8_t>(kRootPortBus + 1 + port); }

void PlugDevice(sim::Machine &machine, size_t port, const Device &device) {
  sim::PciFunction &function = machine.AddPciFunction({DeviceBus(port), 0, 0}, device.id);
  function.SetClass(device.baseClass).SetSubsystemWord(device.subsystem);
  if (device.romBase != 0) {
    function.SetRomBase(device.romBase);
  }
}

void Describe(sim::Machine &machine, sim::PcdDatabase &pcd, const Board &board) {
  machine.SetBusRange(1, kRootPortBus, 0x9F);
  pcd.Declare(PCD_TOKEN_BOARD_TYPE, 1, board.type);
  pcd.Declare(PCD_TOKEN_SETUP_ITEM_1779_SELECT, 1, board.token445);
  pcd.Declare(PCD_TOKEN_BOARD_ID_LOW, 1, board.token446);
  pcd.Declare(PCD_TOKEN_BOARD_ID_MID, 1, board.token447);
  for (size_t port = 0; port < 4; port++) {
    const auto rootPortFunction = static_cast<uint8_t>(port + 1);
    machine.AddPciBridge({kRootPortBus, 1, rootPortFunction}, kRootPortId, DeviceBus(port),
                         DeviceBus(port));
    // Bus group 1, offset 0, device 1; bits 31:16 mean nothing.
    pcd.Declare(kLocationTokens[port], 4, 0xA5A50000 | 0x2000 | (1 << 3) | rootPortFunction);
    if (board.ports[port]) {
      PlugDevice(machine, port, *board.ports[port]);
    }
  }
}

// What one boot left behind.
struct BootResult {
  sim::RunOutcome outcome;
  std::vector<sim::SuppressItemCall> calls;
  std::vector<uint16_t> items;  // those of form set "Setup"
  size_t coreErrors = 0;
  size_t openSuppressEvents = 0;
};

struct BootOptions {
  // Without it at the first trigger, it is installed right after it.
  bool suppressProtocol = true;
  bool pcdProtocol = true;
  int triggers = 1;
  EFI_STATUS suppressStatus = EFI_SUCCESS;
};

// One simulated board: the machine, its configuration database and the boots
// run on it.
class Rig {
 public:
  explicit Rig(const Board &board) { Describe(machine, pcd, board); }

  // One boot of the DXE phase up to the setup module's trigger: the
  // driver's entry, then the trigger protocol installed after it, as often
  // as options.triggers says.
  BootResult Boot(const BootOptions &options = {}) {
    pcdMark = pcd.Accesses().size();
    traceMark = machine.Trace().Mark();

    // A reset reloads the driver: a new core, its module state back to load
    // time.
    platform.options.pcdProtocol = options.pcdProtocol;
    sim::DxeCore &core = platform.Reboot();
    sim::SetupItemSuppress setup;
    setup.SetStatus(options.suppressStatus);
    if (options.suppressProtocol) {
      setup.Install(core);
    }
    sim::SetupSuppressTrigger trigger;

    BootResult result;
    result.outcome = machine.Run([&] {
      EXPECT_EQ(core.RunEntryPoint(BoardHookDxeImageEntry), EFI_SUCCESS);
      for (int count = 0; count < options.triggers; count++) {
        trigger.Install(core);
        if (!options.suppressProtocol && count == 0) {
          setup.Install(core);
        }
      }
    });
    result.calls = setup.Calls();
    result.items = setup.Items();
    result.coreErrors = core.Errors().size();
    for (const sim::EventInfo &event : core.OpenEvents()) {
      result.openSuppressEvents += event.notify == SetupSuppressCallback ? 1 : 0;
    }
    return result;
  }

  uint8_t Counter() { return machine.Cmos().Get(LINK_RETRY_CMOS_INDEX); }

  // Accesses of the last boot to the CMOS ports and the reset port, as
  // "w70=58 r71=02 ..." (direction, port, value).
  std::string CmosAndResetAccesses() {
    std::string text;
    for (const sim::TraceRecord &record : machine.Trace().Since(traceMark)) {
      const bool io = record.kind == AccessKind::IoRead || record.kind == AccessKind::IoWrite;
      if (!io || (record.address != kCmosIndexPort && record.address != kCmosDataPort &&
                  record.address != kResetPort)) {
        continue;
      }
      for (uint64_t repeat = 0; repeat < record.repeat; repeat++) {
        char entry[32];
        std::snprintf(
            entry, sizeof entry, "%s%02x=%02x ", record.kind == AccessKind::IoRead ? "r" : "w",
            static_cast<unsigned>(record.address & 0xFF), static_cast<unsigned>(record.value));
        text += entry;
      }
    }
    if (!text.empty()) {
      text.pop_back();
    }
    return text;
  }

  // Reads of a configuration-database token in the last boot.
  size_t TokenReads(uint64_t token) const {
    size_t count = 0;
    for (size_t index = pcdMark; index < pcd.Accesses().size(); index++) {
      count += pcd.Accesses()[index].token == token ? 1 : 0;
    }
    return count;
  }

  sim::DxePlatform platform;
  sim::Machine &machine = platform.machine;
  sim::PcdDatabase &pcd = platform.pcd;
  size_t pcdMark = 0;
  size_t traceMark = 0;
};

// --- Which items are hidden, in which order ---------------------------------

TEST(SetupSuppressTest, SuppressesItemsInOrderForRepresentativeBoards) {
  struct Case {
    const char *name;
    Board board;
    std::vector<uint16_t> items;
  };
  auto withPort1 = [](Board board, std::optional<Device> device) {
    board.ports[0] = device;
    return board;
  };
  auto withTokens = [](Board board, uint8_t t445, uint8_t t446, uint8_t t447) {
    board.token445 = t445;
    board.token446 = t446;
    board.token447 = t447;
    return board;
  };
  const Device rom1533{.id = 0x15338086, .baseClass = 0x01, .romBase = 0xFE000000};
  const Device nic1533{.id = 0x15338086};
  const Device other1533{.id = 0x15338086, .baseClass = 0x01};
  Board sparse = FullBoard(BOARD_TYPE_NO_ONBOARD_NETWORK);
  sparse.ports[0].reset();
  sparse.ports[1].reset();
  sparse.ports[3].reset();

  const std::vector<Case> cases = {
      {"every port populated, neutral tokens: rule e", FullBoard(), {1819, 1821}},
      {"empty board, token 445 not 1",
       withTokens(Board{}, 0, 0, 0),
       {1779, 1819, 1819, 1821, 1823, 1825, 1827}},
      {"token 446 = 6 and token 447 = 5",
       withTokens(FullBoard(), 1, 6, 5),
       {1840, 1842, 1844, 1846, 1848, 1850, 1852, 1850, 1852, 1819, 1821}},
      {"token 446 = 3 and token 447 = 6",
       withTokens(FullBoard(), 2, 3, 6),
       {1840, 1842, 1844, 1846, 1848, 1850, 1852, 1840, 1779, 1819, 1821}},
      {"tokens that match no rule", withTokens(FullBoard(), 1, 5, 3), {1819, 1821}},
      {"rule a: a ROM base comes before the board-type test",
       withPort1(FullBoard(BOARD_TYPE_SINGLE_PORT), rom1533),
       {1819, 1820}},
      {"an all-ones ROM base is no ROM: rule c",
       withPort1(FullBoard(BOARD_TYPE_SINGLE_PORT),
                 Device{.id = 0x15338086, .baseClass = 0x01, .romBase = 0xFFFFFFFF}),
       {1820, 1821}},
      {"an all-ones ROM base is no ROM: rule d",
       withPort1(FullBoard(), Device{.id = 0x15218086, .romBase = 0xFFFFFFFF}),
       {1820, 1821}},
      {"rule b: board 5, network class",
       withPort1(FullBoard(BOARD_TYPE_SINGLE_PORT), nic1533),
       {1819, 1820}},
      {"rule c: board 5, other class",
       withPort1(FullBoard(BOARD_TYPE_SINGLE_PORT), other1533),
       {1820, 1821}},
      {"rule d: 1533 on another board",
       withPort1(FullBoard(BOARD_TYPE_SHARED_VPD), other1533),
       {1820, 1821}},
      {"rule d: 1521", withPort1(FullBoard(), Device{.id = 0x15218086}), {1820, 1821}},
      {"rule d: 10FB", withPort1(FullBoard(), Device{.id = 0x10FB8086}), {1820, 1821}},
      {"rule e: ports 1, 2 and 4 empty", sparse, {1819, 1819, 1821, 1823, 1827}},
      {"board 12 whose controllers answer",
       withTokens(FullBoard(BOARD_TYPE_LINK_RETRY_A), 0, 0, 5),
       {1850, 1852, 1779, 1819, 1821}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.board);
    const BootResult boot = rig.Boot();
    EXPECT_EQ(boot.outcome.end, RunEnd::Returned) << boot.outcome;
    EXPECT_EQ(boot.items, c.items);
    ASSERT_EQ(boot.calls.size(), c.items.size());
    for (const sim::SuppressItemCall &call : boot.calls) {
      EXPECT_EQ(call.form_set, "Setup");
    }
    EXPECT_TRUE(rig.pcd.InvalidAccesses().empty()) << "a token read at the wrong width";
    EXPECT_EQ(boot.openSuppressEvents, 0u);
    EXPECT_EQ(boot.coreErrors, 0u);
  }
}

// --- The link check and its reset counter -----------------------------------

TEST(SetupSuppressTest, LinkCheckCountsResetsInCmos) {
  struct Case {
    const char *name;
    uint8_t type;
    std::optional<Device> port1;
    std::optional<Device> port3;
    uint8_t counterBefore;
    RunEnd end;
    uint8_t counterAfter;
    std::string cmosAndReset;
    size_t port3LocationReads;  // the link check's read, then the port rule's
  };
  const Device nic091F{.subsystem = 0x0000091F};
  const Device nicOther{.subsystem = 0x1234091F};
  const Device storage{.baseClass = 0x01};
  const std::vector<Case> cases = {
      {"12, port-1 controller missing, counter 0",
       12,
       {},
       Device{},
       0,
       RunEnd::Reset,
       1,
       "w70=58 r71=00 w71=01 wf9=06",
       0},
      {"12, missing, counter 2",
       12,
       {},
       Device{},
       2,
       RunEnd::Reset,
       3,
       "w70=58 r71=02 w71=03 wf9=06",
       0},
      {"12, missing, counter 3: cleared, boot goes on",
       12,
       {},
       Device{},
       3,
       RunEnd::Returned,
       0,
       "w70=58 r71=03 w70=58 w71=00",
       1},
      {"12, missing, counter beyond the limit",
       12,
       {},
       Device{},
       0xA7,
       RunEnd::Returned,
       0,
       "w70=58 r71=a7 w70=58 w71=00",
       1},
      {"12, port 1 holds no network controller", 12, storage, Device{}, 1, RunEnd::Reset, 2,
       "w70=58 r71=01 w71=02 wf9=06", 0},
      {"14, subsystem 091F, port-3 controller missing",
       14,
       nic091F,
       {},
       0,
       RunEnd::Reset,
       1,
       "w70=58 r71=00 w71=01 wf9=06",
       1},
      {"14, subsystem 091F, port-3 controller there", 14, nic091F, Device{}, 2, RunEnd::Returned, 0,
       "w70=58 w71=00", 2},
      {"12, other subsystem: port 3 not looked at",
       12,
       nicOther,
       {},
       2,
       RunEnd::Returned,
       0,
       "w70=58 w71=00",
       1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Board board = FullBoard(c.type);
    board.ports[0] = c.port1;
    board.ports[2] = c.port3;
    Rig rig(board);
    rig.machine.Cmos().Set(LINK_RETRY_CMOS_INDEX, c.counterBefore);
    const BootResult boot = rig.Boot();
    EXPECT_EQ(boot.outcome.end, c.end) << boot.outcome;
    EXPECT_EQ(rig.Counter(), c.counterAfter);
    EXPECT_EQ(rig.CmosAndResetAccesses(), c.cmosAndReset);
    EXPECT_EQ(rig.TokenReads(PCD_TOKEN_ROOT_PORT3_LOCATION), c.port3LocationReads);
    if (c.end == RunEnd::Reset) {
      EXPECT_EQ(boot.outcome.resetValue, 0x06);
      EXPECT_TRUE(boot.calls.empty()) << "nothing is suppressed before a reset";
    } else {
      EXPECT_FALSE(boot.calls.empty());
      EXPECT_EQ(boot.coreErrors, 0u);
    }
  }
}

TEST(SetupSuppressTest, OtherBoardTypesNeverTouchCmosOrReset) {
  for (uint8_t type : {0, 5, 7, 8, 13, 0xFF}) {
    SCOPED_TRACE(static_cast<int>(type));
    Board board = FullBoard(type);
    board.ports[0].reset();  // would reset a board of type 12 or 14
    Rig rig(board);
    rig.machine.Cmos().Set(LINK_RETRY_CMOS_INDEX, 2);
    const BootResult boot = rig.Boot();
    EXPECT_EQ(boot.outcome.end, RunEnd::Returned) << boot.outcome;
    EXPECT_EQ(rig.CmosAndResetAccesses(), "");
    EXPECT_EQ(rig.Counter(), 2);
    EXPECT_EQ(boot.items, (std::vector<uint16_t>{1819, 1819, 1821}));
  }
}

// Boots a board of type 12 whose port-1 controller stays missing: each boot
// up to the limit ends in a reset that the counter survives, then the boot
// goes on without the controller. Once the controller answers, a boot clears
// the counter.
TEST(SetupSuppressTest, MissingControllerResetsThreeTimesThenBootContinues) {
  Board board = FullBoard(BOARD_TYPE_LINK_RETRY_A);
  board.ports[0].reset();
  Rig rig(board);

  for (uint8_t resets = 1; resets <= 3; resets++) {
    SCOPED_TRACE(static_cast<int>(resets));
    const BootResult boot = rig.Boot();
    ASSERT_EQ(boot.outcome.end, RunEnd::Reset) << boot.outcome;
    EXPECT_EQ(boot.outcome.resetValue, 0x06);
    EXPECT_EQ(rig.Counter(), resets);
    EXPECT_TRUE(boot.calls.empty());
  }

  BootResult boot = rig.Boot();
  ASSERT_EQ(boot.outcome.end, RunEnd::Returned) << boot.outcome;
  EXPECT_EQ(rig.Counter(), 0);
  EXPECT_EQ(boot.items, (std::vector<uint16_t>{1819, 1819, 1821}));
  EXPECT_EQ(boot.coreErrors, 0u);

  // Still missing on the next boot: the count starts over.
  boot = rig.Boot();
  ASSERT_EQ(boot.outcome.end, RunEnd::Reset) << boot.outcome;
  EXPECT_EQ(rig.Counter(), 1);

  // The controller's link comes up: the check passes and clears the counter.
  PlugDevice(rig.machine, 0, Device{});
  boot = rig.Boot();
  ASSERT_EQ(boot.outcome.end, RunEnd::Returned) << boot.outcome;
  EXPECT_EQ(rig.Counter(), 0);
  EXPECT_EQ(rig.CmosAndResetAccesses(), "w70=58 w71=00");
  EXPECT_EQ(boot.items, (std::vector<uint16_t>{1819, 1821}));
}

// --- Missing interfaces and later triggers ----------------------------------

TEST(SetupSuppressTest, MissingInterfacesAndLaterTriggersDoNothing) {
  // A board of type 12 with its controller missing and the counter at 0:
  // any run of the link check would reset it.
  Board board = FullBoard(BOARD_TYPE_LINK_RETRY_A);
  board.ports[0].reset();
  board.token445 = 0;

  struct Case {
    const char *name;
    BootOptions options;
  };
  const std::vector<Case> cases = {
      // The protocol comes right after the first trigger, before the second.
      {"no SETUP_ITEM_SUPPRESS_PROTOCOL at the trigger",
       {.suppressProtocol = false, .triggers = 2}},
      {"no PCD_PROTOCOL", {.pcdProtocol = false, .triggers = 2}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(board);
    const BootResult boot = rig.Boot(c.options);
    EXPECT_EQ(boot.outcome.end, RunEnd::Returned) << boot.outcome;
    EXPECT_TRUE(boot.calls.empty());
    EXPECT_EQ(rig.CmosAndResetAccesses(), "");
    EXPECT_EQ(rig.TokenReads(PCD_TOKEN_BOARD_TYPE), 0u);
    EXPECT_EQ(boot.openSuppressEvents, 0u);
    EXPECT_EQ(boot.coreErrors, 0u);
  }
}

TEST(SetupSuppressTest, SecondTriggerDoesNothingAndRefusalsDoNotStopTheSequence) {
  Board board = FullBoard(0);
  board.ports[1].reset();
  board.token446 = 6;
  Rig rig(board);
  const BootResult boot = rig.Boot({.triggers = 3, .suppressStatus = EFI_DEVICE_ERROR});
  EXPECT_EQ(boot.outcome.end, RunEnd::Returned) << boot.outcome;
  EXPECT_EQ(boot.items,
            (std::vector<uint16_t>{1840, 1842, 1844, 1846, 1848, 1850, 1852, 1819, 1821, 1823}));
  EXPECT_EQ(rig.TokenReads(PCD_TOKEN_BOARD_TYPE), 1u);
  EXPECT_EQ(boot.openSuppressEvents, 0u);
  EXPECT_EQ(boot.coreErrors, 0u);
}

}  // namespace
