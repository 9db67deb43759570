// Boots the packaged UEFI firmware in a software-emulated q35 machine with a
// FAT drive holding the test application and a firmware volume, which the
// application hands to the firmware's DXE dispatcher, three times:
//
// - ShippedDriver: BoardHook.fv (BoardHookDxe.efi) on a processor whose
//   MMIO configuration register is enabled (the harness answers its read).
//   The dispatcher holds the driver back until PCD_PROTOCOL is installed,
//   then runs it. The whole driver runs: entry, hooks, setup callback,
//   ready-to-lock, S3 hand-off to SMM.
// - TrapThatReturns: BoardHook.fv on the emulator's own processor (the
//   register reads 0) with the CPUID back door answered, and an S3 save
//   table with a broken signature: both traps return and the driver's own
//   fall-backs run.
// - DebugPrintDriver: BoardHookDebugPrint.fv, the same volume with the
//   driver built with DebugPrintEnable 1, the register
//   enabled, the back door silent, the broken table: the debug text on the
//   UART, the POST-code port and the debug tool, compared with what
//   boardhook-sim reports for the same board, and the fatal-error display
//   loop with the table's code.
//
// Each suite boots its machine once and checks the application's report,
// the serial console, the port-write trace and the harness's log.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppReport.h"
#include "HexText.h"
#include "MachineRun.h"
#include "SimulatedBoard.h"
#include "app/HarnessLink.h"

namespace firmware_vm {
namespace {

namespace fs = std::filesystem;

// The board description the simulator boots; it also gives the value the
// harness answers for MSR 0xC0010058.
const fs::path BOARD_FILE = FIRMWARE_VM_SOURCE_DIR "/board.toml";
constexpr std::uint32_t MSR_MMIO_CONFIGURATION_BASE = 0xC0010058;
// Any non-zero answer makes a fatal-error trap return.
constexpr std::uint16_t BACK_DOOR_ANSWER = 1;

// Codes of the S3 save library's traps.
constexpr std::uint32_t MMIO_CONFIGURATION_DISABLED = 0x90869;
constexpr std::uint32_t TABLE_SIGNATURE_BROKEN = 0x90672;

// EfiBootServicesCode: the firmware took the image as a boot-service driver.
constexpr const char *BOOT_SERVICES_CODE = "3";
// What Dispatch returns when it ran no driver.
constexpr const char *EFI_NOT_FOUND_TEXT = "0x800000000000000e";

enum class RunKind { Shipped, TrapThatReturns, DebugPrint };

RunPlan PlanFor(RunKind Kind) {
  std::optional<std::uint64_t> MmioConfiguration =
      BoardMsr(BOARD_FILE, MSR_MMIO_CONFIGURATION_BASE);
  switch (Kind) {
    case RunKind::Shipped:
      return {"shipped",           BOARDHOOK_VOLUME,
              BOARDHOOK_DXE_IMAGE, FIRMWARE_VM_BOARD_SOUND_TABLE,
              MmioConfiguration,   std::nullopt};
    case RunKind::TrapThatReturns:
      return {"trap-that-returns", BOARDHOOK_VOLUME,
              BOARDHOOK_DXE_IMAGE, FIRMWARE_VM_BOARD_BAD_SIGNATURE,
              std::nullopt,        BACK_DOOR_ANSWER};
    case RunKind::DebugPrint:
      return {"debug-print",
              BOARDHOOK_DEBUG_PRINT_VOLUME,
              BOARDHOOK_DXE_DEBUG_PRINT_IMAGE,
              FIRMWARE_VM_BOARD_BAD_SIGNATURE,
              MmioConfiguration,
              std::nullopt};
  }
  return {};
}

// One machine run per suite, shared by its tests.
template <RunKind Kind>
class BootedMachine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RunPlan Plan = PlanFor(Kind);
    Run_ = new MachineRun(RunMachine(Plan, FIRMWARE_VM_RUN_DIR));
    Parsed_ = new AppReport(ParseAppReport(Run_->Report));
    std::cout << "[ machine  ] " << Plan.Name << ": " << Run_->WallSeconds << " s wall time\n";
  }
  static void TearDownTestSuite() {
    delete Run_;
    delete Parsed_;
    Run_ = nullptr;
    Parsed_ = nullptr;
  }
  void SetUp() override {
    if (!Run_->SkipReason.empty()) {
      GTEST_SKIP() << Run_->SkipReason;
    }
  }

  // The application's report and the harness, which every check but the
  // first relies on.
  static void RequireReport() {
    ASSERT_EQ(Run_->Harness.Error, "") << "see harness.log in " << Run_->Dir;
    ASSERT_TRUE(Parsed_->Complete)
        << "no complete report on the debug console; see " << Run_->Dir << "\n"
        << Run_->Report;
  }

  static const MachineRun &Run() { return *Run_; }
  static const AppReport &Parsed() { return *Parsed_; }

  // The driver's configuration-database calls, "Member token" each.
  static std::vector<std::string> DriverPcdCalls() {
    std::vector<std::string> Calls;
    for (const ReportLine &Call : Parsed().All("pcd.call")) {
      if (Call["caller"] == "driver") {
        Calls.push_back(Call["member"] + " " + Call["token"]);
      }
    }
    return Calls;
  }

 private:
  static inline MachineRun *Run_ = nullptr;
  static inline AppReport *Parsed_ = nullptr;
};

// What every run shows up to the driver's return or its display loop.
void ExpectCleanEndWithoutCpuException(const MachineRun &Run, const char *Reason) {
  EXPECT_EQ(Run.ExitStatus, 0) << "124 means the run timed out";
  EXPECT_EQ(Run.Serial.find("Exception Type"), std::string::npos)
      << "CPU exception on the serial console:\n"
      << Run.Serial;
  EXPECT_NE(Run.Report.find("app.start"), std::string::npos);
  EXPECT_EQ(ParseAppReport(Run.Report).Line("report")["reason"], Reason);
}

// The harness found the application waiting, set its breakpoints in the
// driver and chose the board.
void ExpectHarnessAttached(const MachineRun &Run, const AppReport &Parsed, unsigned Board) {
  EXPECT_TRUE(Run.Harness.Attached);
  EXPECT_EQ(Parsed.Line("harness")["board"], std::to_string(Board));
  EXPECT_EQ(Hex(Run.Harness.DriverBase), Parsed.Line("driver")["base"]);
}

// The volume went to the firmware's dispatcher: nothing ran while no
// PCD_PROTOCOL was installed; with the application's proxy installed, the
// dispatcher loaded the driver's file from the volume as a boot-service
// driver, the processor entered it, and it stays loaded.
void ExpectDispatchedFromTheVolume(const MachineRun &Run, const AppReport &Parsed,
                                   const fs::path &Volume) {
  ReportLine Standins = Parsed.Line("standins");
  EXPECT_EQ(Standins["pcd_withdrawn"], "0x0");
  EXPECT_EQ(Standins["pcd_proxy"], "0x0");
  ReportLine Read = Parsed.Line("volume");
  EXPECT_EQ(Read["read_status"], "0x0");
  EXPECT_EQ(Read["size"], std::to_string(fs::file_size(Volume)));
  EXPECT_EQ(Read["process_status"], "0x0");
  ReportLine Dispatch = Parsed.Line("dispatch");
  EXPECT_EQ(Dispatch["without_pcd"], EFI_NOT_FOUND_TEXT) << "nothing dispatched";
  EXPECT_EQ(Dispatch["found_without_pcd"], "no");
  EXPECT_EQ(Dispatch["with_pcd"], "0x0");
  ReportLine Driver = Parsed.Line("driver");
  EXPECT_EQ(Driver["found"], "yes");
  EXPECT_EQ(Driver["file"], BOARDHOOK_DXE_FILE_GUID);
  EXPECT_EQ(Driver["code_type"], BOOT_SERVICES_CODE);
  EXPECT_NE(Driver["base"], "0x0");
  EXPECT_TRUE(Run.Harness.EntryReached);
  EXPECT_EQ(Driver["returned"], "yes");
  EXPECT_EQ(Driver["stays_loaded"], "yes");
}

// The six frames of the fatal-error display loop for a code, after 0xDEAD
// on port 0xE0 and the code on port 0x80.
std::vector<PortWrite> DisplayLoopFrames(std::uint32_t Code) {
  return {{0x80, 4, ((Code & 0xFF) << 24) | 0xDE}, {0x80, 4, 0x0000DEAD},
          {0x80, 4, 0x00DEAD00 | (Code >> 24)},    {0x80, 4, 0xDEAD0000 | (Code >> 16)},
          {0x80, 4, 0xAD000000 | (Code >> 8)},     {0x80, 4, Code}};
}

// The 40-byte message of the S3 save library to SMM for a record: the GUID
// 5C4061F0-D051-4F43-BC23-5E5E89B3CEC0, the data length 16, request code 1,
// 4 reserved bytes and the record's address, little-endian.
std::string SmmMessage(std::uint64_t Record) {
  std::string Text =
      "f061405c51d0434fbc235e5e89b3cec0"
      "1000000000000000"
      "01000000"
      "00000000";
  for (int Byte = 0; Byte < 8; Byte++) {
    char Digits[3];
    std::snprintf(Digits, sizeof(Digits), "%02x",
                  static_cast<unsigned>((Record >> (8 * Byte)) & 0xFF));
    Text += Digits;
  }
  return Text;
}

// ---------------------------------------------------------------------------
// The shipped driver on a processor with the MMIO configuration enabled.

class ShippedDriver : public BootedMachine<RunKind::Shipped> {};

TEST_F(ShippedDriver, MachineShutsDownCleanlyWithoutCpuException) {
  ExpectCleanEndWithoutCpuException(Run(), "returned");
}

// The firmware's dispatcher takes the volume, holds the driver back while
// its dependency (PCD_PROTOCOL) is missing, and once the protocol is there
// finds the driver's file in the volume, loads it as a boot-service driver
// and starts it.
TEST_F(ShippedDriver, DispatcherRunsTheDriverFromTheVolumeOnceItsDependencyHolds) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ExpectDispatchedFromTheVolume(Run(), Parsed(), BOARDHOOK_VOLUME);
  EXPECT_EQ(Parsed().Line("standins")["setup_item_suppress"], "0x0");
  ExpectHarnessAttached(Run(), Parsed(), FIRMWARE_VM_BOARD_SOUND_TABLE);
}

// The S3 save library's start-up reads the register once; the shipped build
// neither queries the back door nor hands text to the debug tool.
TEST_F(ShippedDriver, HarnessAnswersTheMmioConfigurationReadOnce) {
  ASSERT_TRUE(BoardMsr(BOARD_FILE, MSR_MMIO_CONFIGURATION_BASE))
      << BOARD_FILE << " gives no value for MSR 0xC0010058";
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  EXPECT_EQ(Run().Harness.MsrReads, std::vector<std::uint32_t>{MSR_MMIO_CONFIGURATION_BASE});
  EXPECT_EQ(Run().Harness.MmioConfigurationAnswers, 1u);
  EXPECT_EQ(Run().Harness.BackDoorQueries, 0u);
  EXPECT_TRUE(Run().Harness.HandOvers.empty());
  // DebugPrintEnable 0: the back-ends' write paths are not in the image.
  EXPECT_FALSE(Run().Harness.HandOverInImage);
}

TEST_F(ShippedDriver, EntryReturnsSuccessAndInstallsTheHookTableFromItsOwnImage) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  EXPECT_EQ(Parsed().Line("driver")["returned"], "yes");
  EXPECT_EQ(Run().Harness.EntryStatus, std::optional<std::uint64_t>(0));
  ReportLine BoardHook = Parsed().Watch("board_hook");
  EXPECT_EQ(BoardHook["installed"], "1");
  EXPECT_EQ(BoardHook["in_driver_image"], "1") << "the hook table is the driver's static data";
  EXPECT_EQ(Parsed().Line("startup")["reached_end"], "yes");
}

TEST_F(ShippedDriver, DriverPublishesTheHeapBufferListFromItsOwnImage) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ReportLine List = Parsed().Watch("heap_buffer_list");
  EXPECT_EQ(List["installed"], "1");
  EXPECT_EQ(List["in_driver_image"], "1") << "the record is the driver's static data";
  EXPECT_EQ(List["revision"], "1");
  // The firmware hands over no heap-buffer HOBs.
  EXPECT_EQ(List["list_empty"], "1");
}

TEST_F(ShippedDriver, S3SaveLibraryReadsItsRecordTokenThroughTheProxy) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  bool Found = false;
  for (const ReportLine &Call : Parsed().All("pcd.call")) {
    Found = Found || (Call["member"] == "Get64" && Call["token"] == "584" &&
                      Call["answer"] == "board" && Call["caller"] == "driver");
  }
  EXPECT_TRUE(Found) << Run().Report;
}

// Every token the driver reads or sets, through the member the real
// PCD_PROTOCOL layout puts it in: the S3 record at start-up, the board type
// in Hook4, the setup callback's tokens and root ports, the SMM buffer at
// ReadyToBoot.
TEST_F(ShippedDriver, DriverReachesItsTokensThroughTheRealProtocolLayout) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  const std::vector<std::string> Expected = {"Get64 584", "Set64 584", "Get8 4",    "Get8 4",
                                             "Get8 446",  "Get8 447",  "Get8 445",  "Get32 1",
                                             "Get32 449", "Get32 450", "Get32 451", "Get64 585"};
  EXPECT_EQ(DriverPcdCalls(), Expected);
  EXPECT_EQ(Parsed().Line("pcd.summary")["dropped"], "0");
}

TEST_F(ShippedDriver, HooksAnswerThroughTheRealCallingConvention) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ReportLine Hooks = Parsed().Line("hooks");
  ASSERT_EQ(Hooks["called"], "yes");
  EXPECT_EQ(Hooks["present"], "111011") << "Hook3 is NULL";
  EXPECT_EQ(Hooks["hook0"], "0");
  EXPECT_EQ(Hooks["hook1"], "0x0");
  EXPECT_EQ(Hooks["hook2"], "0");
  EXPECT_EQ(Hooks["hook5"], "1");
  // Board type 8: the MAC hook clears the first list's count and leaves the
  // second list alone.
  EXPECT_EQ(Hooks["hook4"], "0x0");
  EXPECT_EQ(Hooks["hook4_first_count"], "0x0");
  EXPECT_EQ(Hooks["hook4_second_byte0"], "0xa5");
}

// Installing the trigger runs the suppression callback: 1779 from token 445
// (0, not 1); the device rules read this machine's memory at the board's
// configuration-space base, where nothing decodes and every read gives 0.
// So each port's device reads as present with ID 0: no port item, and rule
// e hides 1819 and 1821.
TEST_F(ShippedDriver, SetupCallbackSuppressesItsItems) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  EXPECT_EQ(Parsed().Line("hooks")["trigger_status"], "0x0");
  ReportLine Suppress = Parsed().Line("suppress");
  EXPECT_EQ(Suppress["items"], "1779,1819,1821");
  EXPECT_EQ(Suppress["count"], "3");
}

// The firmware's own instance is taken away first, so only the
// application's installation can lock the record.
TEST_F(ShippedDriver, ReadyToLockLocksTheSharedRecord) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ReportLine Lock = Parsed().Line("lock");
  ASSERT_EQ(Lock["prepared"], "yes");
  EXPECT_EQ(Lock["locked_before"], "0");
  EXPECT_EQ(Lock["install_status"], "0x0");
  EXPECT_EQ(Lock["locked_after"], "1");
  std::string Record;
  for (const ReportLine &Call : Parsed().All("pcd.call")) {
    if (Call["member"] == "Set64" && Call["token"] == "584") {
      Record = Call["value"];
    }
  }
  EXPECT_EQ(Parsed().Line("s3")["record"], Record)
      << "the record whose address the driver set in token 584";
}

TEST_F(ShippedDriver, ReadyToBootHandsTheRecordToSmmAndFreesTheTable) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ReportLine S3 = Parsed().Line("s3");
  ASSERT_EQ(S3["signal_returned"], "yes");
  EXPECT_EQ(S3["group_notifications"], "1");
  ReportLine Smm = Parsed().Line("smm");
  EXPECT_EQ(Smm["stand_in_status"], "0x0") << "this firmware has no SMM communication protocol";
  ASSERT_EQ(Smm["communicate_calls"], "1");
  EXPECT_EQ(Smm["this_is_stand_in"], "1");
  EXPECT_EQ(Smm["buffer_is_token585"], "1");
  EXPECT_EQ(Smm["from_driver"], "1");
  EXPECT_EQ(Smm["size"], "40");
  // When Communicate runs, the table is end-marked and not yet closed.
  EXPECT_EQ(Smm["end_mark"], "0xffff");
  EXPECT_EQ(Smm["table_closed"], "0");
  std::uint64_t Record = std::stoull(S3["record"], nullptr, 16);
  EXPECT_EQ(Smm["message"], SmmMessage(Record));
  // In real memory afterwards: the message, and the 8 bytes after it as the
  // application left them.
  EXPECT_EQ(S3["buffer_after"], SmmMessage(Record) + "a5a5a5a5a5a5a5a5");
  EXPECT_EQ(S3["closed"], "1");
  EXPECT_EQ(S3["locked"], "1");
  EXPECT_EQ(S3["table_base"], S3["table"]) << "TableBase keeps its value";
  // The firmware's FreePool took the table, called from the driver.
  EXPECT_EQ(S3["table_free_calls"], "1");
  EXPECT_EQ(S3["table_free_status"], "0x0");
  EXPECT_EQ(S3["table_freed_by_driver"], "1");
}

TEST_F(ShippedDriver, PostCodePortIsQuietWithoutAFatalError) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  EXPECT_EQ(Run().Trace.Total(), 0u) << "port writes: see port-writes.log in " << Run().Dir;
}

// ---------------------------------------------------------------------------
// The shipped driver on the emulator's processor, with the back door answered.

class TrapThatReturns : public BootedMachine<RunKind::TrapThatReturns> {};

TEST_F(TrapThatReturns, MachineShutsDownCleanlyWithoutCpuException) {
  ExpectCleanEndWithoutCpuException(Run(), "returned");
}

// Each trap shows its code once and returns: no display loop.
TEST_F(TrapThatReturns, EachTrapShowsItsCodeOnceAndReturns) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ExpectHarnessAttached(Run(), Parsed(), FIRMWARE_VM_BOARD_BAD_SIGNATURE);
  EXPECT_EQ(Run().Harness.BackDoorQueries, 2u);
  const std::vector<PortWrite> Expected = {{0xE0, 2, 0xDEAD},
                                           {0x80, 4, MMIO_CONFIGURATION_DISABLED},
                                           {0xE0, 2, 0xDEAD},
                                           {0x80, 4, TABLE_SIGNATURE_BROKEN}};
  EXPECT_EQ(Run().Trace.Writes(), Expected) << "see port-writes.log in " << Run().Dir;
}

// After the start-up trap returns, the start-up goes on: the record is
// created and the board entry runs.
TEST_F(TrapThatReturns, StartUpGoesOnAfterTheMmioConfigurationTrap) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ExpectDispatchedFromTheVolume(Run(), Parsed(), BOARDHOOK_VOLUME);
  EXPECT_EQ(Run().Harness.EntryStatus, std::optional<std::uint64_t>(0));
  EXPECT_EQ(Parsed().Watch("board_hook")["in_driver_image"], "1");
  EXPECT_EQ(Parsed().Line("hooks")["hook5"], "1");
  EXPECT_EQ(Parsed().Line("suppress")["items"], "1779,1819,1821");
  EXPECT_EQ(Parsed().Line("lock")["locked_after"], "1");
  std::vector<std::string> Calls = DriverPcdCalls();
  ASSERT_GE(Calls.size(), 2u);
  EXPECT_EQ(Calls[0], "Get64 584");
  EXPECT_EQ(Calls[1], "Set64 584");
}

// After the signature trap returns, the check reads the signature again,
// fails and the callback returns: nothing is end-marked, sent or freed, and
// the table stays open. Token 585 is never read.
TEST_F(TrapThatReturns, BrokenSignatureStopsTheHandOffToSmm) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ReportLine S3 = Parsed().Line("s3");
  ASSERT_EQ(S3["signal_returned"], "yes");
  EXPECT_EQ(Parsed().Line("smm")["communicate_calls"], "0");
  EXPECT_EQ(S3["end_mark_after"], "0x0");
  std::string Untouched;
  for (int Byte = 0; Byte < 48; Byte++) {
    Untouched += "a5";
  }
  EXPECT_EQ(S3["buffer_after"], Untouched);
  EXPECT_EQ(S3["closed"], "0");
  EXPECT_EQ(S3["table_base"], S3["table"]);
  EXPECT_EQ(S3["table_free_calls"], "0");
  std::vector<std::string> Calls = DriverPcdCalls();
  EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "Get64 585"), 0);
}

// ---------------------------------------------------------------------------
// The debug-print build, the broken table and a silent back door.

class DebugPrintDriver : public BootedMachine<RunKind::DebugPrint> {
 protected:
  static void SetUpTestSuite() {
    BootedMachine<RunKind::DebugPrint>::SetUpTestSuite();
    Simulated_ = new SimulatedDebugText(SimulateDebugPrintBoot(BOARDHOOK_SIM_TOOL, BOARD_FILE));
  }
  static void TearDownTestSuite() {
    BootedMachine<RunKind::DebugPrint>::TearDownTestSuite();
    delete Simulated_;
    Simulated_ = nullptr;
  }

  // The simulator's debug text for the same board and build.
  static void RequireSimulated() {
    ASSERT_EQ(Simulated_->Error, "");
    ASSERT_FALSE(Simulated_->RedirectTexts.empty()) << "the simulator reports no debug text";
  }
  static const SimulatedDebugText &Simulated() { return *Simulated_; }

 private:
  static inline SimulatedDebugText *Simulated_ = nullptr;
};

// No debug exception either: the harness takes every hand-over to the tool.
TEST_F(DebugPrintDriver, MachineShutsDownCleanlyWithoutCpuException) {
  ExpectCleanEndWithoutCpuException(Run(), "watchdog");
}

// The ReadyToBoot callback finds the broken signature and traps; the back
// door stays silent, so it never returns: 0xDEAD on port 0xE0, the code on
// port 0x80 as one 32-bit write, then the six frames over and over.
TEST_F(DebugPrintDriver, BrokenSignatureTrapsIntoTheDisplayLoopWithTheTablesCode) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ExpectHarnessAttached(Run(), Parsed(), FIRMWARE_VM_BOARD_BAD_SIGNATURE);
  EXPECT_EQ(Run().Harness.MmioConfigurationAnswers, 1u);
  EXPECT_EQ(Run().Harness.BackDoorQueries, 1u);
  ExpectDispatchedFromTheVolume(Run(), Parsed(), BOARDHOOK_DEBUG_PRINT_VOLUME);
  EXPECT_EQ(Run().Harness.EntryStatus, std::optional<std::uint64_t>(0));
  EXPECT_EQ(Parsed().Line("s3")["signal_returned"], "no");
  EXPECT_EQ(Parsed().Line("smm")["communicate_calls"], "0");

  const std::vector<PortWrite> Frames = DisplayLoopFrames(TABLE_SIGNATURE_BROKEN);
  ASSERT_EQ(Frames[0].Value, 0x720000DEu);
  const std::vector<PortWrite> Writes = SplitRedirectFrames(Run().Trace.Writes()).Others;
  ASSERT_GE(Writes.size(), 2u) << "see port-writes.log in " << Run().Dir;
  EXPECT_EQ(Writes[0], (PortWrite{0xE0, 2, 0xDEAD}));
  EXPECT_EQ(Writes[1], (PortWrite{0x80, 4, TABLE_SIGNATURE_BROKEN}));
  std::size_t Shown = Writes.size() - 2;
  EXPECT_GE(Shown, 2 * Frames.size()) << "fewer than two rounds of the display loop";
  for (std::size_t Index = 0; Index < Shown; Index++) {
    const PortWrite &Write = Writes[2 + Index];
    const PortWrite &Want = Frames[Index % Frames.size()];
    ASSERT_EQ(Write, Want) << "frame " << Index << ": port " << Hex(Write.Port) << " width "
                           << Write.Width << " value " << Hex(Write.Value) << ", expected "
                           << Hex(Want.Value);
  }
}

// The redirect back-end's frames on port 0x80, before the trap's writes.
TEST_F(DebugPrintDriver, PostCodePortCarriesTheSimulatorsDebugText) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ASSERT_NO_FATAL_FAILURE(RequireSimulated());
  EXPECT_EQ(SplitRedirectFrames(Run().Trace.Writes()).RedirectTexts, Simulated().RedirectTexts);
}

// The serial and the FIFO back-end on QEMU's 16550 at 0x3F8, which the
// firmware's console shares: the driver's bytes stand in the stream whole
// and in order, line ends included.
TEST_F(DebugPrintDriver, UartCarriesTheSimulatorsDebugText) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ASSERT_NO_FATAL_FAILURE(RequireSimulated());
  ASSERT_FALSE(Simulated().Uart.empty());
  EXPECT_NE(Run().Serial.find(Simulated().Uart), std::string::npos)
      << "expected bytes " << HexBytes(Simulated().Uart) << " in serial.log of " << Run().Dir;
}

// The debug-tool back-end's hand-overs, taken by the harness as the tool:
// the same command word and lengths as in the simulator, each text the
// message the other back-ends sent.
TEST_F(DebugPrintDriver, DebugToolTakesTheSimulatorsHandOvers) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ASSERT_NO_FATAL_FAILURE(RequireSimulated());
  ASSERT_TRUE(Run().Harness.HandOverInImage);
  const std::vector<ToolHandOver> &Taken = Run().Harness.HandOvers;
  ASSERT_EQ(Taken.size(), Simulated().HandOvers.size());
  ASSERT_EQ(Taken.size(), Simulated().RedirectTexts.size());
  for (std::size_t Index = 0; Index < Taken.size(); Index++) {
    EXPECT_EQ(Taken[Index].Edx, Simulated().HandOvers[Index].Edx) << "hand-over " << Index;
    EXPECT_EQ(Taken[Index].Ebx, Simulated().HandOvers[Index].Ebx) << "hand-over " << Index;
    EXPECT_EQ(Taken[Index].Text, Simulated().RedirectTexts[Index]) << "hand-over " << Index;
  }
}

}  // namespace
}  // namespace firmware_vm
