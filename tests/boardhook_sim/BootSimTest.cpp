// Whole boots through the boardhook-sim program, as a user runs it: the
// reference board's JSON report field by field, described boards that take
// distinct paths, and bad input with its message and exit status 2.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "SimJson.h"
#include "Subprocess.h"
#include "ToolRun.h"

namespace {

using boardhook_sim_test::Contains;
using boardhook_sim_test::RunTool;
using boardhook_sim_test::TestBoard;
using boardhook_sim_test::ToolRun;
using bootsim::Json;

// The tool needs the host32 tree's PEI runner; scripts/build and scripts/test
// build it, a host64-only build does not.
class BootSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (boardhook_sim_test::PeiRunnerMissing()) {
      GTEST_SKIP() << "the PEI runner is not built (scripts/build host32)";
    }
  }

  static Json Boot(const std::vector<std::string> &args, int expectedExit) {
    std::vector<std::string> all = args;
    all.push_back("--json");
    const ToolRun run = RunTool(all);
    EXPECT_EQ(run.exitCode, expectedExit) << run.err;
    EXPECT_TRUE(run.report.is_object()) << run.out << run.err;
    return run.report;
  }
};

// The PEI phase's token writes, as "operation token=value".
std::vector<std::string> Sets(const Json &sets) {
  std::vector<std::string> text;
  for (const Json &set : sets) {
    EXPECT_EQ(set.at("status").get<uint64_t>(), 0u) << set;
    text.push_back(set.at("operation").get<std::string>() + " " + set.at("token").dump() + "=" +
                   set.at("value").dump());
  }
  return text;
}

TEST_F(BootSimTest, ReferenceBoardReport) {
  const Json report = Boot({}, 0);
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report.at("format"), "boardhook-sim-report/1");
  EXPECT_EQ(report.at("board").at("name"), "reference");

  const Json &result = report.at("result");
  EXPECT_EQ(result.at("status"), "ready-to-boot");
  EXPECT_EQ(result.at("exit_code"), 0);
  EXPECT_EQ(result.at("boots"), 1);
  EXPECT_EQ(result.at("resets"), 0);

  // Identification, as the PEI phase handed it over: 0x17 -> type 14 and
  // revision 2; 0x2B -> 3, 5, 0; the Setup option -> 0xFF.
  const Json &id = report.at("identification");
  EXPECT_EQ(id.at("board_type"), 14);
  EXPECT_EQ(id.at("tokens").at("446"), 3);
  EXPECT_EQ(id.at("tokens").at("447"), 5);
  EXPECT_EQ(id.at("tokens").at("442"), 0);
  EXPECT_EQ(id.at("tokens").at("443"), 2);
  EXPECT_EQ(id.at("tokens").at("501"), 0xFF);

  ASSERT_EQ(report.at("boots").size(), 1u);
  const Json &boot = report.at("boots")[0];
  EXPECT_EQ(boot.at("end"), "ready-to-boot");
  EXPECT_EQ(boot.at("ended_in"), "DXE");

  // PEI: the BMC answers the third request after two 100 ms stalls; the
  // identification bytes are read after the write to 0x71; the I2C tables
  // are applied for channels 2 and 4; 0x71 is cleared last.
  const Json &pei = boot.at("pei");
  EXPECT_EQ(pei.at("entry_status"), 0);
  EXPECT_EQ(pei.at("installed"), Json({"smbus", "i2c-table", "i2c-apply"}));
  EXPECT_EQ(pei.at("bmc").at("attempts"), 3);
  EXPECT_EQ(pei.at("bmc").at("answered"), true);
  EXPECT_EQ(pei.at("stalls"), Json({100000, 100000}));
  EXPECT_EQ(pei.at("stalled_us"), 200000);
  std::vector<std::string> smbus;
  for (const Json &call : pei.at("smbus")) {
    smbus.push_back(call.at("operation").get<std::string>() + " " + call.at("address").dump() +
                    " " + call.at("data").dump());
  }
  EXPECT_EQ(smbus, (std::vector<std::string>{"write 113 16", "read 57 23", "read 58 43",
                                             "write 116 0", "write 113 0"}));
  EXPECT_EQ(pei.at("i2c").at("configure_calls"), 1);
  EXPECT_EQ(pei.at("i2c").at("fill_calls"), 1);
  ASSERT_EQ(pei.at("i2c").at("applies").size(), 2u);
  EXPECT_EQ(pei.at("i2c").at("applies")[0].at("channel"), 2);
  EXPECT_EQ(pei.at("i2c").at("applies")[1].at("channel"), 4);
  EXPECT_EQ(pei.at("i2c").at("applies")[1].at("slave_address"), 0xE2);
  EXPECT_EQ(Sets(pei.at("token_sets")),
            (std::vector<std::string>{"Set64 501=255", "Set8 4=14", "Set8 446=3", "Set8 447=5",
                                      "Set8 442=0", "Set8 443=2"}));
  // The PEI image reads its services pointer with a real SIDT, which the
  // simulated machine does not see; the report says so instead of counting 0.
  EXPECT_FALSE(pei.at("access_counts").contains("IdtBaseRead"));
  EXPECT_TRUE(pei.at("unobserved_counts").contains("IdtBaseRead"));
  EXPECT_FALSE(report.at("totals").at("access_counts").at("total").contains("IdtBaseRead"));
  // What was booted: the built images, at their fixed load addresses.
  for (const char *phase : {"pei", "dxe"}) {
    const Json &booted = report.at("booted").at(phase);
    EXPECT_EQ(booted.at("from_source"), false);
    EXPECT_EQ(booted.at("load_address"), 0x10000000);
    EXPECT_EQ(booted.at("sha256").get<std::string>().size(), 64u);
    EXPECT_EQ(booted.at("size").get<uint64_t>(),
              std::filesystem::file_size(booted.at("file").get<std::string>()));
  }
  EXPECT_NE(report.at("booted").at("pei").at("file").get<std::string>().find("BoardHookPei.te"),
            std::string::npos);
  EXPECT_NE(report.at("booted").at("dxe").at("file").get<std::string>().find("BoardHookDxe.efi"),
            std::string::npos);

  // DXE: the driver starts, the platform's steps all run, nothing misused.
  const Json &dxe = boot.at("dxe");
  EXPECT_EQ(dxe.at("entry_status"), 0);
  EXPECT_EQ(dxe.at("outcome").at("end"), "returned");
  const Json &reached = dxe.at("reached");
  EXPECT_EQ(reached.front(), "entry");
  EXPECT_EQ(reached.back(), "ready-to-boot");
  EXPECT_TRUE(dxe.at("core_errors").empty()) << dxe.at("core_errors");
  EXPECT_TRUE(dxe.at("invalid_token_accesses").empty()) << dxe.at("invalid_token_accesses");
  EXPECT_EQ(dxe.at("cmos_counter_before"), 0);
  EXPECT_EQ(dxe.at("cmos_counter_after"), 0);

  // Hook4: port 1's address from the split device registers into the first
  // list (the caller's bytes 0-2 untouched); ports 2 to 4 into the second:
  // the serial-number family on port 2 with its last byte incremented, the
  // VPD's V2 on port 3 (token 3 + 1), the register family's function 1 on
  // port 4. One 1 ms stall.
  const Json &hook4 = dxe.at("hook4");
  EXPECT_EQ(hook4.at("called"), true);
  EXPECT_EQ(hook4.at("status"), 0);
  const Json &first = hook4.at("first_list");
  EXPECT_EQ(first.at("count"), 1);
  EXPECT_EQ(first.at("entries"), Json({"00:1B:21:10:00:01"}));
  EXPECT_EQ(first.at("bytes"), "A5A5A501001B21100001");
  EXPECT_EQ(first.at("overrun"), false);
  const Json &second = hook4.at("second_list");
  EXPECT_EQ(second.at("count"), 3);
  EXPECT_EQ(second.at("entries"),
            Json({"00:10:18:20:00:02", "00:02:C9:30:00:01", "00:1B:21:40:00:01"}));
  EXPECT_EQ(second.at("overrun"), false);
  EXPECT_EQ(dxe.at("stalls"), Json({1000}));

  // Setup items, in call order: token 446 = 3 hides 1840-1852 (even), token
  // 447 = 5 hides 1850 and 1852 again, token 445 != 1 hides 1779; the port-1
  // controller (no ROM, type 14, not one of the rule-d IDs) takes rule e.
  // Every port has its controller. The link check of type 14 found the
  // port-1 controller and, for its subsystem word, the port-3 one: no reset.
  EXPECT_EQ(dxe.at("setup_items").at("suppressed"),
            Json({1840, 1842, 1844, 1846, 1848, 1850, 1852, 1850, 1852, 1779, 1819, 1821}));
  EXPECT_TRUE(dxe.at("setup_items").at("other_form_sets").empty());

  // Every token written in the boot: the PEI phase's sets come first.
  const Json &written = boot.at("tokens_written");
  ASSERT_GE(written.size(), 6u);
  EXPECT_EQ(written[0].at("phase"), "PEI");
  EXPECT_EQ(written[0].at("token"), 501);

  const Json &totals = report.at("totals");
  EXPECT_EQ(totals.at("stalled_us").at("pei"), 200000);
  EXPECT_GE(totals.at("simulated_time_ns").get<uint64_t>(), 200000000u);
  EXPECT_EQ(report.at("resets").at("count"), 0);
}

// Board type 8 and type 5: the identification bytes decide the type that
// the DXE driver reads from the hand-over, and with it what Hook4 collects.
TEST_F(BootSimTest, BoardTypeFromIdentificationDecidesMacCollection) {
  struct Case {
    const char *board;
    int type;
    Json firstEntries;
    Json dxeStalls;  // type 8 returns at once, without the 1 ms stall
    Json suppressed;
  };
  const std::vector<Case> cases = {
      // Rule e for port 1's controller.
      {"type8.toml", 8, Json::array(), Json::array(), Json({1819, 1821})},
      // Type 5 with a network controller of ID word 0x15338086: rule b.
      {"type5.toml", 5, Json({"00:1B:21:50:00:01"}), Json({1000}), Json({1819, 1820})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.board);
    const Json report = Boot({TestBoard(c.board)}, 0);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report.at("identification").at("board_type"), c.type);
    EXPECT_EQ(report.at("result").at("status"), "ready-to-boot");
    const Json &dxe = report.at("boots")[0].at("dxe");
    const Json &hook4 = dxe.at("hook4");
    EXPECT_EQ(hook4.at("first_list").at("count"), c.firstEntries.size());
    EXPECT_EQ(hook4.at("first_list").at("entries"), c.firstEntries);
    // Both types leave the second list as the caller passed it.
    EXPECT_EQ(hook4.at("second_list").at("touched"), false);
    EXPECT_EQ(dxe.at("stalls"), c.dxeStalls);
    EXPECT_EQ(dxe.at("setup_items").at("suppressed"), c.suppressed);
  }
}

// Board type 12 with the port-1 controller missing: three boots end in a
// reset (0x06 to port 0xCF9) that counts in CMOS byte 0x58, which survives
// each; the fourth clears the counter and boots on without the controller.
TEST_F(BootSimTest, MissingControllerResetsThreeTimesThenBootsOn) {
  const Json report = Boot({TestBoard("type12-missing.toml")}, 0);
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report.at("identification").at("board_type"), 12);
  EXPECT_EQ(report.at("result").at("status"), "ready-to-boot");
  EXPECT_EQ(report.at("result").at("boots"), 4);
  EXPECT_EQ(report.at("resets").at("count"), 3);
  EXPECT_EQ(report.at("resets").at("values"), Json({6, 6, 6}));
  EXPECT_EQ(report.at("resets").at("cmos_counter"), 0);
  const Json &boots = report.at("boots");
  ASSERT_EQ(boots.size(), 4u);
  for (size_t index = 0; index < 3; index++) {
    SCOPED_TRACE(index);
    const Json &dxe = boots[index].at("dxe");
    EXPECT_EQ(boots[index].at("end"), "reset");
    EXPECT_EQ(dxe.at("cmos_counter_before"), index);
    EXPECT_EQ(dxe.at("cmos_counter_after"), index + 1);
    // The reset came from the trigger's callback: nothing after it ran.
    EXPECT_EQ(dxe.at("reached"), Json({"entry"}));
    EXPECT_TRUE(dxe.at("setup_items").at("suppressed").empty());
    // Every boot starts again from the PEI phase.
    EXPECT_EQ(boots[index].at("pei").at("bmc").at("attempts"), 1);
  }
  const Json &last = boots[3].at("dxe");
  EXPECT_EQ(boots[3].at("end"), "ready-to-boot");
  EXPECT_EQ(last.at("cmos_counter_before"), 3);
  EXPECT_EQ(last.at("cmos_counter_after"), 0);
  // Port 1 empty: 1819, then rule e hides 1819 and 1821.
  EXPECT_EQ(last.at("setup_items").at("suppressed"), Json({1819, 1819, 1821}));
  EXPECT_EQ(last.at("hook4").at("first_list").at("count"), 0);
  EXPECT_EQ(last.at("hook4").at("second_list").at("count"), 1);
}

// The same board with a limit below the firmware's three: a reset loop.
TEST_F(BootSimTest, ResetsBeyondTheLimitAreAResetLoop) {
  const Json report = Boot({TestBoard("type12-missing.toml"), "--max-resets", "2"}, 1);
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report.at("result").at("status"), "reset-loop");
  EXPECT_EQ(report.at("result").at("exit_code"), 1);
  EXPECT_EQ(report.at("result").at("boots"), 3);
  EXPECT_EQ(report.at("resets").at("count"), 3);
  EXPECT_EQ(report.at("resets").at("cmos_counter"), 3);
}

// A BMC that never answers: ten requests and ten stalls of 100 ms, then the
// identification is read as usual.
TEST_F(BootSimTest, SilentBmcCostsTenAttemptsAndOneSecond) {
  const Json report = Boot({TestBoard("bmc-silent.toml")}, 0);
  ASSERT_TRUE(report.is_object());
  const Json &pei = report.at("boots")[0].at("pei");
  EXPECT_EQ(pei.at("bmc").at("attempts"), 10);
  EXPECT_EQ(pei.at("bmc").at("answered"), false);
  EXPECT_EQ(pei.at("stalled_us"), 1000000);
  EXPECT_EQ(report.at("identification").at("board_type"), 12);
}

// The PEI phase's SMBus transfers as "operation address status".
std::vector<std::string> SmbusTransfers(const Json &pei) {
  std::vector<std::string> text;
  for (const Json &call : pei.at("smbus")) {
    char line[64];
    std::snprintf(
        line, sizeof line, "%s 0x%02X %s", call.at("operation").get<std::string>().c_str(),
        call.at("address").get<unsigned>(), call.at("status_text").get<std::string>().c_str());
    text.push_back(line);
  }
  return text;
}

// Every token write of a boot as "phase operation token=value status".
std::vector<std::string> Writes(const Json &boot) {
  std::vector<std::string> text;
  for (const Json &set : boot.at("tokens_written")) {
    if (set.at("token") == 584) continue;  // an address, different each run
    text.push_back(set.at("phase").get<std::string>() + " " +
                   set.at("operation").get<std::string>() + " " + set.at("token").dump() + "=" +
                   set.at("value").dump() + " " + set.at("status_text").get<std::string>());
  }
  return text;
}

// Descriptions of the cases the firmware tells apart, each booted, with
// what the firmware does on it. Every board boots once, to ReadyToBoot.
TEST_F(BootSimTest, DescribedCasesReproduceWhatTheFirmwareDoes) {
  using Transfers = std::vector<std::string>;
  const std::string ok = "EFI_SUCCESS";
  struct Case {
    const char *board;
    std::function<void(const Json &boot)> check;
  };
  const std::vector<Case> cases = {
      // Both failures of the read of 0x3A hold; each callback run writes
      // token 4 and stops there.
      {"smbus-failures-twice.toml",
       [&](const Json &boot) {
         EXPECT_EQ(SmbusTransfers(boot.at("pei")),
                   (Transfers{"write 0x71 " + ok, "read 0x39 " + ok, "read 0x3A EFI_DEVICE_ERROR",
                              "write 0x71 " + ok, "read 0x39 " + ok, "read 0x3A EFI_TIMEOUT",
                              "write 0x74 " + ok, "write 0x71 " + ok}));
         EXPECT_EQ(Writes(boot), (Transfers{"PEI Set8 4=3 " + ok, "PEI Set8 4=3 " + ok}));
       }},
      // The identification callback runs inside the entry, before the
      // "Setup" option is read.
      {"pei-smbus-before-entry.toml",
       [&](const Json &boot) {
         EXPECT_EQ(boot.at("pei").at("installed_before"), Json({"smbus"}));
         EXPECT_EQ(boot.at("pei").at("installed"), Json({"i2c-table + i2c-apply"}));
         EXPECT_EQ(Writes(boot), (Transfers{"PEI Set8 4=3 " + ok, "PEI Set8 446=0 " + ok,
                                            "PEI Set8 447=0 " + ok, "PEI Set8 442=0 " + ok,
                                            "PEI Set8 443=0 " + ok, "PEI Set64 501=255 " + ok}));
         const Json &services = boot.at("pei").at("services");
         const auto notify = std::find(services.begin(), services.end(),
                                       Json("Notify(EFI_PEI_SMBUS2_PPI) = EFI_SUCCESS"));
         const auto variable =
             std::find(services.begin(), services.end(),
                       Json("LocatePpi(EFI_PEI_READ_ONLY_VARIABLE2_PPI, 0) = EFI_SUCCESS"));
         EXPECT_LT(notify, variable) << services;
       }},
      // The I2C callback runs first: 0x74 and 0x71 are cleared before 0x71
      // gets 0x10, which then stays.
      {"pei-i2c-before-smbus-callback.toml",
       [&](const Json &boot) {
         EXPECT_EQ(SmbusTransfers(boot.at("pei")),
                   (Transfers{"write 0x74 " + ok, "write 0x71 " + ok, "write 0x71 " + ok,
                              "read 0x39 " + ok, "read 0x3A " + ok}));
         EXPECT_EQ(boot.at("pei").at("smbus").back().at("address"), 0x3A);
       }},
      // No stall PPI: the identification callback returns before the BMC
      // and SMBus; no variable PPI: token 501 stays.
      {"pei-missing-ppis.toml",
       [&](const Json &boot) {
         EXPECT_EQ(boot.at("pei").at("bmc").at("attempts"), 0);
         EXPECT_EQ(SmbusTransfers(boot.at("pei")),
                   (Transfers{"write 0x74 " + ok, "write 0x71 " + ok}));
         EXPECT_TRUE(Writes(boot).empty());
         EXPECT_TRUE(Contains(boot.at("pei").at("services"),
                              "LocatePpi(EFI_PEI_STALL_PPI, 0) = EFI_NOT_FOUND"));
       }},
      // No PCD_PPI: the module reads everything and writes nothing.
      {"pei-no-pcd.toml",
       [&](const Json &boot) {
         EXPECT_EQ(boot.at("pei").at("smbus").size(), 5u);
         EXPECT_TRUE(Writes(boot).empty());
         EXPECT_EQ(boot.at("identification").at("board_type"), 0);
       }},
      // NotifyPpi fails for the SMBus notification, AllocatePool for the
      // hook descriptor, and the I2C callback's lookup of SMBus.
      {"pei-failing-services.toml",
       [&](const Json &boot) {
         const Json &services = boot.at("pei").at("services");
         EXPECT_TRUE(Contains(services, "NotifyPpi(EFI_PEI_SMBUS2_PPI) = EFI_OUT_OF_RESOURCES"));
         EXPECT_TRUE(Contains(services, "AllocatePool(12) = EFI_OUT_OF_RESOURCES"));
         EXPECT_FALSE(Contains(services, "InstallPpi(BOARD_HOOK_PPI) = EFI_SUCCESS"));
         EXPECT_FALSE(Contains(services, "Notify(EFI_PEI_SMBUS2_PPI) = EFI_SUCCESS"));
         EXPECT_TRUE(Contains(services, "Notify(I2C_APPLY_PPI) = EFI_SUCCESS"));
         EXPECT_TRUE(Contains(services, "LocatePpi(EFI_PEI_SMBUS2_PPI, 0) = EFI_NOT_FOUND"));
         EXPECT_TRUE(boot.at("pei").at("smbus").empty());
         EXPECT_EQ(boot.at("pei").at("i2c").at("configure_calls"), 0);
       }},
      // The length byte 1 of a failed answer stays for the next one.
      {"bmc-length-kept.toml",
       [&](const Json &boot) {
         const Json &bmc = boot.at("pei").at("bmc");
         EXPECT_EQ(bmc.at("attempts"), 2);
         EXPECT_EQ(bmc.at("answered"), true);
         EXPECT_EQ(bmc.at("answers")[0].at("status_text"), "EFI_DEVICE_ERROR");
         EXPECT_EQ(boot.at("pei").at("stalls"), Json({100000}));
       }},
      // Eleven bytes are not one: ten attempts, one second of stalls.
      {"bmc-long-answer.toml",
       [&](const Json &boot) {
         const Json &bmc = boot.at("pei").at("bmc");
         EXPECT_EQ(bmc.at("attempts"), 10);
         EXPECT_EQ(bmc.at("answered"), false);
         EXPECT_EQ(bmc.at("answers")[9].at("response_length"), 11);
         EXPECT_EQ(boot.at("pei").at("stalled_us"), 1000000);
         EXPECT_EQ(boot.at("pei").at("smbus").size(), 5u);
       }},
      // An empty bus group sends port 2 to bus 0, where its bridge is.
      {"host-bridge-empty-group.toml",
       [&](const Json &boot) {
         EXPECT_EQ(boot.at("dxe").at("hook4").at("second_list").at("entries"),
                   Json({"00:1B:21:22:00:02"}));
       }},
      // VPD first in the list is found; VPD that stops completing before
      // VA leaves a counted entry of zeros.
      {"vpd-placement.toml",
       [&](const Json &boot) {
         const Json &hook4 = boot.at("dxe").at("hook4");
         EXPECT_EQ(hook4.at("first_list").at("entries"), Json({"00:02:C9:30:00:11"}));
         EXPECT_EQ(hook4.at("second_list").at("entries"), Json({"00:00:00:00:00:00"}));
       }},
      // A read outside every window returns what the host bridge answers
      // (0x00 here); a 64-bit BAR of 8 GiB above 4 GiB is read.
      {"bars-and-unclaimed.toml",
       [&](const Json &boot) {
         const Json &hook4 = boot.at("dxe").at("hook4");
         EXPECT_EQ(hook4.at("first_list").at("entries"), Json({"00:00:00:00:00:00"}));
         EXPECT_EQ(hook4.at("second_list").at("entries"), Json({"00:1B:21:64:00:02"}));
       }},
      // Token 4 of 16 bits refuses the PEI Set8 and reads as type 5 in DXE
      // (the second list untouched); token 445 undeclared reads 0.
      {"tokens-any.toml",
       [&](const Json &boot) {
         EXPECT_EQ(Writes(boot).front(), "PEI Set8 4=12 EFI_INVALID_PARAMETER");
         const Json &dxe = boot.at("dxe");
         EXPECT_EQ(dxe.at("hook4").at("second_list").at("touched"), false);
         EXPECT_EQ(dxe.at("setup_items").at("suppressed").front(), 1779);
         std::vector<std::string> refused;
         for (const Json &access : dxe.at("invalid_token_accesses")) {
           refused.push_back(access.at("operation").get<std::string>() + " " +
                             access.at("token").dump());
         }
         EXPECT_NE(std::find(refused.begin(), refused.end(), "Get8 445"), refused.end());
         EXPECT_NE(std::find(refused.begin(), refused.end(), "Get8 4"), refused.end());
       }},
      // The table's fields at their edges are read and written in place.
      {"s3-table-edges.toml",
       [&](const Json &boot) {
         const Json &s3 = boot.at("dxe").at("s3");
         EXPECT_EQ(s3.at("messages").size(), 1u);
         EXPECT_EQ(s3.at("table").at("end_mark"), 0xFFFF);
         EXPECT_EQ(s3.at("table").at("freed"), true);
       }},
      // Hook4 before the trigger, the caller's bytes 0-2 kept, a second
      // buffer too small for the entry.
      {"hook4-caller.toml",
       [&](const Json &boot) {
         const Json &dxe = boot.at("dxe");
         EXPECT_EQ(dxe.at("reached"), Json({"entry", "hook4", "setup-suppress-trigger",
                                            "smm-ready-to-lock", "ready-to-boot"}));
         EXPECT_EQ(dxe.at("hook4").at("first_list").at("bytes"), "01020300EEEEEEEEEEEE");
         EXPECT_EQ(dxe.at("hook4").at("second_list").at("size"), 4);
         EXPECT_EQ(dxe.at("hook4").at("second_list").at("overrun"), true);
       }},
  };
  // One batch boots every board (a batch reports each board as its boot
  // alone does), in the order of the cases.
  std::vector<std::string> args = {"--jobs", "2"};
  for (const Case &c : cases) args.push_back(TestBoard(c.board));
  const Json batch = Boot(args, 0);
  ASSERT_TRUE(batch.is_object());
  ASSERT_EQ(batch.at("boards").size(), cases.size());
  for (size_t index = 0; index < cases.size(); index++) {
    const Case &c = cases[index];
    SCOPED_TRACE(c.board);
    const Json &report = batch.at("boards")[index].at("report");
    ASSERT_TRUE(report.is_object()) << batch.at("boards")[index];
    ASSERT_EQ(report.at("boots").size(), 1u);
    const Json &boot = report.at("boots")[0];
    EXPECT_EQ(boot.at("end"), "ready-to-boot");
    EXPECT_TRUE(boot.at("dxe").at("core_errors").empty()) << boot.at("dxe").at("core_errors");
    c.check(boot);
  }
}

// --debug-print boots the DXE driver built with DebugPrintEnable 1: its
// messages reach every back-end as the firmware sends them (the S3 save
// library's among them), the shipped build sends none, everything else of
// the boot stays as shipped, and the report names the build that ran.
TEST_F(BootSimTest, DebugPrintBuildShowsTheDriversTextOnEachBackEnd) {
  const Json shipped = Boot({}, 0);
  const Json debug = Boot({"--debug-print"}, 0);
  ASSERT_TRUE(shipped.is_object());
  ASSERT_TRUE(debug.is_object());
  EXPECT_EQ(shipped.at("dxe_build"), "shipped");
  EXPECT_EQ(debug.at("dxe_build"), "debug-print");
  EXPECT_NE(
      debug.at("booted").at("dxe").at("file").get<std::string>().find("BoardHookDxeDebugPrint.efi"),
      std::string::npos);

  const Json &quiet = shipped.at("boots")[0].at("dxe").at("debug_text");
  EXPECT_TRUE(quiet.at("port_redirect").empty()) << quiet;
  EXPECT_EQ(quiet.at("uart"), "");
  EXPECT_TRUE(quiet.at("debug_tool").at("hand_overs").empty()) << quiet;
  EXPECT_TRUE(quiet.at("debug_tool").at("port_writes").empty()) << quiet;
  EXPECT_EQ(quiet.at("debug_tool").at("header").at("buffered_text"), "");

  // The reference board's driver prints the S3 save library's two messages;
  // the formatter ends each line with CR LF.
  const std::vector<std::string> messages = {"S3LibPrivateData allocation\r\n",
                                             "S3SaveCloseTableCallBack\r\n"};
  std::string uart, buffered;
  for (const std::string &message : messages) {
    // The serial back-end puts another CR before the LF, the FIFO back-end
    // sends the text unchanged: both drive the UART at 0x3F8.
    uart += message.substr(0, message.size() - 2) + "\r\r\n" + message;
    buffered += message;
  }
  const Json &dxe = debug.at("boots")[0].at("dxe");
  const Json &text = dxe.at("debug_text");
  // Port 0x80: each message framed by the redirect markers.
  EXPECT_EQ(text.at("port_redirect"), Json(messages));
  EXPECT_EQ(text.at("uart"), uart);
  // The debug tool: the board hands over a buffered header, so the text
  // collects in its buffer; the first two bytes of each message go to port
  // 0xFFED, and nothing fills the buffer, so nothing is handed over.
  const Json &tool = text.at("debug_tool");
  EXPECT_EQ(tool.at("header").at("buffered_text"), buffered);
  ASSERT_EQ(tool.at("port_writes").size(), messages.size()) << tool;
  for (const Json &write : tool.at("port_writes")) {
    EXPECT_EQ(write.at("port"), 0xFFED);
    EXPECT_EQ(write.at("width"), 16);
    EXPECT_EQ(write.at("value"), 'S' | '3' << 8);
  }
  EXPECT_TRUE(tool.at("hand_overs").empty()) << tool;

  // Printing changes what the driver sends, not what it does.
  const Json &plain = shipped.at("boots")[0].at("dxe");
  EXPECT_EQ(debug.at("result"), shipped.at("result"));
  EXPECT_EQ(dxe.at("reached"), plain.at("reached"));
  EXPECT_EQ(dxe.at("hook4"), plain.at("hook4"));
  EXPECT_EQ(dxe.at("setup_items"), plain.at("setup_items"));
  EXPECT_EQ(dxe.at("s3").at("messages").size(), plain.at("s3").at("messages").size());
  EXPECT_TRUE(dxe.at("core_errors").empty()) << dxe.at("core_errors");

  // The text report names the build and shows the UART text with its CR.
  const ToolRun run = RunTool({"--debug-print"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("DXE driver: debug-print build (DebugPrintEnable 1"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("        \"S3LibPrivateData allocation\\r\\r\\n\"\n"
                         "        \"S3LibPrivateData allocation\\r\\n\"\n"),
            std::string::npos)
      << run.out;
}

// Images the user names are checked before any phase runs: a file that is
// missing or not an image of the phase's machine is bad input; options that
// contradict each other too.
TEST(BootSimToolTest, NamedImagesAreCheckedBeforeTheBoot) {
  const std::string dxe = std::string(BOARDHOOK_IMAGE_DIR) + "/BoardHookDxe.efi";
  const std::string pei = std::string(BOARDHOOK_IMAGE_DIR) + "/BoardHookPei.efi";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--dxe-image", "/nonexistent.efi"}, "cannot open /nonexistent.efi"},
      {{"--dxe-image", pei}, "machine 0x14C (IA-32), expected 0x8664 (x64)"},
      {{"--pei-image", dxe}, "machine 0x8664 (x64), expected 0x14C (IA-32)"},
      {{"--pei-image", BOARDHOOK_SIM_REFERENCE}, "not a PE image"},
      {{"--from-source", "--dxe-image", dxe}, "excludes"},
      {{"--from-source", "--debug-print"}, "host build linked into the tool is the shipped build"},
  };
  for (const auto &c : cases) {
    const ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.exitCode, 2) << c.args[1];
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
}

// The same board gives the same report, byte for byte, on every run: the
// images load at fixed addresses and the pool comes from a fixed arena, so
// token 584, the S3 record, the table and the SMM message do not move.
TEST_F(BootSimTest, ReportsRepeatByteForByte) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--json"}, {"--json", "--from-source"}, {"--debug-print"}}) {
    const ToolRun first = RunTool(args);
    const ToolRun second = RunTool(args);
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, second.out) << args.back();
  }
}

// Every board booted from the images and from the host build gives the same
// report, apart from what was booted and the count the PEI image's real
// SIDT keeps from the simulated machine. Each way boots all boards as one
// batch (a batch reports each board as its boot alone does, as BatchTest
// shows), so the PEI runner starts once per worker, not once per boot.
TEST_F(BootSimTest, ImagesAndSourceAgreeOnEveryBoard) {
  auto comparable = [](Json report) {
    report.erase("booted");
    for (Json &boot : report.at("boots")) {
      boot.at("pei").erase("unobserved_counts");
      boot.at("pei").at("access_counts").erase("IdtBaseRead");
    }
    Json &counts = report.at("totals").at("access_counts");
    counts.at("pei").erase("IdtBaseRead");
    counts.at("total").erase("IdtBaseRead");
    return report;
  };
  std::vector<std::string> args = {
      "--json", "--trace", "--jobs", "2", BOARDHOOK_SIM_BOARDS, BOARDHOOK_SIM_EXAMPLE_BOARDS};
  const ToolRun fromImages = RunTool(args);
  args.push_back("--from-source");
  const ToolRun fromSource = RunTool(args);
  ASSERT_TRUE(fromImages.report.is_object()) << fromImages.err;
  ASSERT_TRUE(fromSource.report.is_object()) << fromSource.err;
  const Json &imageBoards = fromImages.report.at("boards");
  const Json &sourceBoards = fromSource.report.at("boards");
  ASSERT_EQ(imageBoards.size(), sourceBoards.size());
  ASSERT_GT(imageBoards.size(), 20u);  // both folders were read
  for (size_t index = 0; index < imageBoards.size(); index++) {
    const Json &image = imageBoards[index];
    const Json &source = sourceBoards[index];
    const std::string board = image.at("source").get<std::string>();
    ASSERT_EQ(board, source.at("source").get<std::string>());
    EXPECT_EQ(image.at("exit_code"), source.at("exit_code")) << board;
    if (image.at("report").is_null() || source.at("report").is_null()) {
      EXPECT_EQ(image.at("report"), source.at("report")) << board;
      continue;
    }
    const Json images = comparable(image.at("report"));
    Json sourced = comparable(source.at("report"));
    // The trace of the PEI phase holds the SIDT reads only from source.
    for (Json &boot : sourced.at("boots")) {
      Json &trace = boot.at("pei").at("trace");
      Json kept = Json::array();
      for (const Json &record : trace) {
        if (record.at("kind") != "IdtBaseRead") kept.push_back(record);
      }
      trace = kept;
    }
    EXPECT_EQ(images, sourced) << board << ":\n" << Json::diff(sourced, images).dump(1);
  }
}

// The PEI module boots alike from its TE image (the default) and from its
// PE32 image: both place the code at the same addresses, and the reports
// differ only in the file booted.
TEST_F(BootSimTest, TeAndPe32ImagesOfThePeiModuleBootAlike) {
  const std::string pe32 = std::string(BOARDHOOK_IMAGE_DIR) + "/BoardHookPei.efi";
  const ToolRun fromTe = RunTool({"--json", "--trace"});
  const ToolRun fromPe32 = RunTool({"--json", "--trace", "--pei-image", pe32});
  ASSERT_TRUE(fromTe.report.is_object()) << fromTe.err;
  ASSERT_TRUE(fromPe32.report.is_object()) << fromPe32.err;
  Json te = fromTe.report, pe = fromPe32.report;
  EXPECT_EQ(pe.at("booted").at("pei").at("file"), pe32);
  EXPECT_NE(te.at("booted").at("pei").at("size"), pe.at("booted").at("pei").at("size"));
  for (Json *report : {&te, &pe}) {
    for (const char *field : {"file", "size", "sha256"})
      report->at("booted").at("pei").erase(field);
  }
  EXPECT_EQ(te, pe) << Json::diff(pe, te).dump(1);
}

TEST(BootSimToolTest, PrintsTheShippedReferenceBoard) {
  const ToolRun run = RunTool({"--print-reference-board"});
  EXPECT_EQ(run.exitCode, 0);
  std::ifstream file(BOARDHOOK_SIM_REFERENCE);
  std::stringstream shipped;
  shipped << file.rdbuf();
  EXPECT_EQ(run.out, shipped.str());
}

TEST(BootSimToolTest, ChecksDescriptions) {
  EXPECT_EQ(RunTool({"--check", BOARDHOOK_SIM_REFERENCE}).exitCode, 0);
  for (const auto &entry : std::filesystem::directory_iterator(BOARDHOOK_SIM_BOARDS)) {
    const ToolRun run = RunTool({"--check", entry.path().string()});
    EXPECT_EQ(run.exitCode, 0) << entry.path() << ": " << run.err;
  }
}

// Bad input: one message naming file, line and key, exit status 2, and no
// report on stdout.
TEST(BootSimToolTest, BadInputExitsWithStatusTwo) {
  char directory[] = "/tmp/boardhook-sim-test-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string dir = directory;
  auto write = [&](const std::string &name, const std::string &text) {
    std::ofstream(dir + "/" + name) << text;
    return dir + "/" + name;
  };
  struct Case {
    std::vector<std::string> args;
    std::string message;  // the start of stderr
  };
  const std::string syntax = write("syntax.toml", "[smbus]\nid_byte_1 = \n");
  const std::string unknown = write("unknown.toml", "[bmc]\npresent = true\nanswer = 3\n");
  const std::string range = write("range.toml", "\n[smbus]\nid_byte_2 = 256\n");
  const std::string topology =
      write("topology.toml",
            "[[device]]\naddress = \"01:00.0\"\nid = 1\n[[bridge]]\naddress = "
            "\"01:00.0\"\nsecondary_bus = 2\nsubordinate_bus = 2\n");
  const std::string quoted = write("quoted.toml", "[smbus]\nid_byte_1 = \"0x17\"\n");
  const std::string s3 = write("s3.toml", "[s3_save]\ntable = true\nboundary_offset = 30\n");
  const std::string accent = write("accent.toml", "[smbus]\nid_bytè_1 = 1\n");
  const std::string arabic = write("arabic.toml", "[board]\nname = 1\xEF\xB5\xBB\n");
  const std::string heap =
      write("heap.toml", "[[heap_buffer]]\nhandle = 1\n\nhdt_header = {buffer_size = 0xFF00}\n");
  const std::vector<Case> cases = {
      {{dir + "/missing.toml"}, "boardhook-sim: " + dir + "/missing.toml: cannot read the file"},
      {{"/dev/zero"}, "boardhook-sim: /dev/zero:1: the description is larger than 4 MiB"},
      {{""}, "boardhook-sim: \"\": the board file's path is empty"},
      {{"--check", ""}, "boardhook-sim: \"\": the board file's path is empty"},
      {{quoted},
       "boardhook-sim: " + quoted +
           ":2: key 'smbus.id_byte_1': write the number without quotes, 0x17"},
      {{"--check", s3},
       "boardhook-sim: " + s3 +
           ":3: key 's3_save.boundary_offset': the marker at 30 would overwrite"},
      {{accent},
       "boardhook-sim: " + accent + ":2: key 'smbus.id_bytè': non-ASCII character 'è' (U+00E8)"},
      {{arabic}, "boardhook-sim: " + arabic + ":2: key 'board.name': non-ASCII character"},
      {{heap},
       "boardhook-sim: " + heap +
           ":4: key 'heap_buffer[0].hdt_header': a heap buffer holds at most 65280 bytes"},
      {{syntax}, "boardhook-sim: " + syntax + ":2: TOML syntax error"},
      {{unknown}, "boardhook-sim: " + unknown + ":3: key 'bmc.answer': unknown key"},
      {{range}, "boardhook-sim: " + range + ":3: key 'smbus.id_byte_2': value 256 does not fit"},
      {{topology},
       "boardhook-sim: " + topology + ":2: key 'device[0].address': contradictory topology"},
      {{"--max-resets", "x"}, "--max-resets"},
      {{"--no-such-option"}, "The following argument was not expected"},
  };
  for (const Case &c : cases) {
    const ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.exitCode, 2) << c.args[0];
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    // A description's fault is one line.
    if (c.message.rfind("boardhook-sim: ", 0) == 0) {
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
