// The report's explanations: addresses shown by the object they point into,
// trap codes by their condition, and whole boots whose explanations name
// the reads and calls that led to each event.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Explain.h"
#include "ToolRun.h"
#include "platform/ErrorCodes.h"

namespace {

using boardhook_sim_test::Contains;
using boardhook_sim_test::RunTool;
using boardhook_sim_test::TestBoard;
using boardhook_sim_test::ToolRun;
using bootsim::Json;

TEST(AddressMapTest, ShowsAddressesByTheObjectTheyPointInto) {
  bootsim::AddressMap map(0xE0000000, 256u << 20);
  map.AddArea(0x10000000, 0x6000, "BoardHookDxe.efi");
  map.AddArea(0x11000040, 0x30, "pool block 3");
  map.AddArea(0xF1000000, 0x20000, "BAR0 of 03:00.0");
  const struct {
    uint64_t address;
    const char *symbol;
  } cases[] = {
      {0xE0000000, "00:00.0+0x0"},
      {0xE0100019, "01:00.0+0x19"},
      {0xE0322145, "03:04.2+0x145"},
      {0xEFFFFFFF, "ff:1f.7+0xFFF"},
      {0x10000000, "BoardHookDxe.efi+0x0"},
      {0x10005FFF, "BoardHookDxe.efi+0x5FFF"},
      {0x10006000, ""},  // just past the image
      {0x11000048, "pool block 3+0x8"},
      {0xF1005400, "BAR0 of 03:00.0+0x5400"},
      {0xDFFFFFFF, ""},
      {0xF0000000, ""},  // ECAM covers 256 buses only
  };
  for (const auto &each : cases) {
    EXPECT_EQ(map.Symbol(each.address), each.symbol) << std::hex << each.address;
  }
  EXPECT_EQ(map.Describe(0x11000048), "0x11000048 (pool block 3+0x8)");
  EXPECT_EQ(map.Describe(0x1234), "0x1234");
}

TEST(TrapConditionTest, EveryCodeOfTheLibraryLayerIsNamed) {
  for (const uint32_t code :
       {ERROR_TRAP_WIDTH_IO_READ, ERROR_TRAP_WIDTH_IO_WRITE, ERROR_TRAP_WIDTH_MEM_READ,
        ERROR_TRAP_WIDTH_MEM_WRITE, ERROR_TRAP_HEAP_NODE_RUNTIME_POOL,
        ERROR_TRAP_HEAP_NODE_BOOT_POOL, ERROR_TRAP_HEAP_LIST_PUBLISH, ERROR_TRAP_S3_TABLE_SIGNATURE,
        ERROR_TRAP_S3_TABLE_BOUNDARY, ERROR_TRAP_S3_SMM_BUFFER_TOKEN,
        ERROR_TRAP_S3_SMM_COMMUNICATION, ERROR_TRAP_S3_MMIO_CONFIG_DISABLED,
        ERROR_TRAP_S3_PRIVATE_DATA_POOL, ERROR_TRAP_S3_BOOT_SCRIPT_LOCK_EVENT,
        ERROR_TRAP_S3_CLOSE_TABLE_EVENT, ERROR_TRAP_TEARDOWN_BOOT_SCRIPT_LOCK_EVENT,
        ERROR_TRAP_TEARDOWN_CLOSE_TABLE_EVENT}) {
    EXPECT_FALSE(bootsim::TrapCondition(code).empty()) << std::hex << code;
  }
  EXPECT_EQ(bootsim::TrapCondition(ERROR_TRAP_S3_SMM_BUFFER_TOKEN),
            "token 585 (SMM communication buffer) is 0");
  EXPECT_EQ(bootsim::TrapCondition(0x12345), "");
}

bool AnyStartsWith(const Json &texts, const std::string &prefix) {
  for (const Json &each : texts) {
    if (each.get<std::string>().rfind(prefix, 0) == 0) return true;
  }
  return false;
}

class ExplainBootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (boardhook_sim_test::PeiRunnerMissing()) {
      GTEST_SKIP() << "the PEI runner is not built (scripts/build host32)";
    }
  }

  static Json Boot(const std::string &board, int expectedExit) {
    std::vector<std::string> args = {"--json"};
    if (!board.empty()) args.push_back(board);
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, expectedExit) << run.err;
    EXPECT_TRUE(run.report.is_object()) << run.out << run.err;
    return run.report;
  }
};

// The reference board (type 14, token 446 = 3, token 447 = 5): each item
// names the token read that came just before it, and no read before the
// previous item.
TEST_F(ExplainBootTest, SuppressedItemsShowTheTokenReadBeforeThem) {
  const Json report = Boot("", 0);
  ASSERT_TRUE(report.is_object());
  const Json &items = report.at("boots")[0].at("dxe").at("explanations").at("suppressed");
  ASSERT_GE(items.size(), 10u);
  EXPECT_EQ(items[0].at("item"), 1840);
  EXPECT_TRUE(Contains(items[0].at("because"), "token 446 = 0x3 (identification byte 2, bits 0-2)"))
      << items[0];
  EXPECT_EQ(items[1].at("item"), 1842);
  EXPECT_EQ(items[1].at("because"), Json::array()) << "no read between 1840 and 1842";
  EXPECT_EQ(items[7].at("item"), 1850);
  EXPECT_EQ(items[7].at("because"), Json({"token 447 = 0x5 (identification byte 2, bits 3-5)"}));
  EXPECT_EQ(items[9].at("item"), 1779);
  EXPECT_EQ(items[9].at("because"), Json({"token 445 = 0x0 (item 1779 select)"}));
}

// Each root port: its token, the bridge it led to, the device probed and
// where the entry's bytes came from, by controller family.
TEST_F(ExplainBootTest, RootPortsNameWhereEachMacEntryCameFrom) {
  const Json report = Boot("", 0);
  ASSERT_TRUE(report.is_object());
  const Json &ports = report.at("boots")[0].at("dxe").at("explanations").at("root_ports");
  ASSERT_EQ(ports.size(), 4u) << ports.dump(1);
  std::vector<unsigned> tokens;
  for (const Json &port : ports) tokens.push_back(port.at("token").get<unsigned>());
  EXPECT_EQ(tokens, (std::vector<unsigned>{1, 449, 450, 451}));

  const Json &first = ports[0];
  EXPECT_EQ(first.at("id_word"), 0x15728086u);
  EXPECT_EQ(first.at("base_class"), 2);
  EXPECT_EQ(first.at("entry"),
            Json({{"list", "first"}, {"index", 1}, {"address", "00:1B:21:10:00:01"}}));
  EXPECT_EQ(first.at("source"), "device registers");
  ASSERT_EQ(first.at("from").size(), 2u) << first;
  EXPECT_NE(first.at("from")[0].get<std::string>().find("+0x1E2120..0x1E2123 = 00 1B 21 10"),
            std::string::npos)
      << first;

  EXPECT_EQ(ports[1].at("source"), "configuration bytes");
  EXPECT_EQ(ports[1].at("entry").at("list"), "second");
  EXPECT_EQ(ports[1].at("entry").at("index"), 1);

  // The VPD controller's entry: the keyword, where it stands and whose VPD.
  const Json &vpd = ports[2];
  EXPECT_EQ(vpd.at("id_word"), 0x101715B3u);
  ASSERT_TRUE(vpd.at("source").is_string()) << vpd;
  const std::string source = vpd.at("source").get<std::string>();
  EXPECT_EQ(source.rfind("VPD keyword V", 0), 0u) << source;
  EXPECT_NE(source.find("(length 12) at VPD address 0x"), std::string::npos) << source;
  EXPECT_NE(source.find(" of " + vpd.at("device").get<std::string>()), std::string::npos) << source;
  EXPECT_TRUE(AnyStartsWith(vpd.at("from"), "VPD of " + vpd.at("device").get<std::string>()))
      << vpd;
}

// The link check on a type-12 board with nothing behind port 1: the reset
// follows the all-ones ID word and the counter read.
TEST_F(ExplainBootTest, MissingControllerResetShowsTheAllOnesIdWord) {
  const Json report = Boot(TestBoard("type12-missing.toml"), 0);
  ASSERT_TRUE(report.is_object());
  const Json &reset = report.at("boots")[0].at("dxe").at("explanations").at("reset");
  ASSERT_TRUE(reset.is_object()) << report.at("boots")[0].at("dxe").at("explanations");
  EXPECT_EQ(reset.at("value"), 6);
  const Json &because = reset.at("because");
  EXPECT_TRUE(Contains(because, "token 4 = 0xC (board type)")) << because;
  EXPECT_TRUE(AnyStartsWith(because, "token 1 = 0x9")) << because;
  EXPECT_TRUE(Contains(because, "ID word of ff:00.0 = all ones")) << because;
  EXPECT_TRUE(Contains(because, "CMOS 0x58 = 0x0")) << because;
  EXPECT_EQ(because.back(), "reset control 0xCF9 <- 0x6");
  // The fourth boot resets no more.
  EXPECT_TRUE(report.at("boots")[3].at("dxe").at("explanations").at("reset").is_null());
}

// PEI: the notification that found no stall PPI returns the lookup's
// status, and the failed lookups are named where they were made.
TEST_F(ExplainBootTest, PeiNotificationsShowTheirStatusAndFailedLookups) {
  const Json report = Boot(TestBoard("pei-missing-ppis.toml"), 0);
  ASSERT_TRUE(report.is_object());
  const Json &pei = report.at("boots")[0].at("pei").at("explanations");
  ASSERT_FALSE(pei.at("entry").is_null());
  EXPECT_EQ(pei.at("entry").at("status_text"), "EFI_SUCCESS");
  EXPECT_TRUE(Contains(pei.at("entry").at("failed"),
                       "LocatePpi(EFI_PEI_READ_ONLY_VARIABLE2_PPI, 0) = EFI_NOT_FOUND"))
      << pei;
  bool smbusSeen = false;
  for (const Json &notification : pei.at("notifications")) {
    if (notification.at("ppi") != "EFI_PEI_SMBUS2_PPI") continue;
    smbusSeen = true;
    EXPECT_EQ(notification.at("status_text"), "EFI_NOT_FOUND");
    EXPECT_EQ(notification.at("failed"), Json({"LocatePpi(EFI_PEI_STALL_PPI, 0) = EFI_NOT_FOUND"}));
  }
  EXPECT_TRUE(smbusSeen) << pei;
}

// The trap's code by its condition, and the reads before it: here the
// processor register whose enable bit is clear.
TEST_F(ExplainBootTest, TrapIsNamedByItsConditionAfterTheReadsBeforeIt) {
  const ToolRun run = RunTool({"--json", "-"},
                              "[board]\nname = \"MMIO configuration off\"\n[cpu]\n"
                              "msrs = [{index = 0xC0010058, value = 0xE0000020}]\n");
  EXPECT_EQ(run.exitCode, 1) << run.err;
  ASSERT_TRUE(run.report.is_object()) << run.out << run.err;
  const Json &trap = run.report.at("boots")[0].at("dxe").at("explanations").at("trap");
  ASSERT_TRUE(trap.is_object());
  EXPECT_EQ(trap.at("code"), 0x90869);
  EXPECT_EQ(trap.at("condition"),
            "the MMIO configuration enable bit (MSR 0xC0010058 bit 0) is clear");
  ASSERT_FALSE(trap.at("because").empty());
  EXPECT_EQ(trap.at("because").back(), "MSR 0xC0010058 = 0xE0000020");
  EXPECT_TRUE(Contains(trap.at("because"), "token 584 = 0x0 (S3 save library record address)"))
      << trap;
}

// The text report: the explanations stand under their items, one line each.
TEST_F(ExplainBootTest, TextReportShowsExplanationsUnderTheirItems) {
  const ToolRun run = RunTool({});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const char *line : {"      1850 after: token 447 = 0x5 (identification byte 2, bits 3-5)\n",
                           "      1842 after: nothing read\n", "      port 3: token 450 = ",
                           "    notifications: EFI_PEI_SMBUS2_PPI EFI_SUCCESS;"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
  }
}

}  // namespace
