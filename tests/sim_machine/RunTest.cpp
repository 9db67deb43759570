// Runs that the machine ends: resets, the fatal-error display loop and waits
// that never end, through firmware-built frames and interface calls.
#include <gtest/gtest.h>

#include "FirmwareStyle.h"
#include "hw/HwAccess.h"
#include "sim/machine/Machine.h"

namespace sim {
namespace {

using Register = HardwarePlatform::Register;

TEST(MachineRun, ReturningBodyReportsSimulatedDuration) {
  Machine machine;
  Machine newer;  // the active one outside the run
  RunOutcome outcome = machine.Run([&] {
    EXPECT_EQ(ActivePlatform(), &machine);
    HwIoWrite8(0x80, 0x01);
    machine.Stall(1000);
  });
  EXPECT_EQ(outcome.end, RunEnd::Returned);
  EXPECT_EQ(outcome.endNs - outcome.startNs, 1000000u);
  EXPECT_EQ(ActivePlatform(), &newer);  // the run's machine only during the run
  EXPECT_TRUE(newer.Trace().Records().empty());
}

TEST(MachineRun, NewestLiveMachineIsActive) {
  EXPECT_EQ(ActivePlatform(), nullptr);
  {
    Machine older;
    EXPECT_EQ(ActivePlatform(), &older);
    {
      Machine newer;
      EXPECT_EQ(ActivePlatform(), &newer);
    }
    EXPECT_EQ(ActivePlatform(), &older);
  }
  EXPECT_EQ(ActivePlatform(), nullptr);
}

TEST(MachineRun, ResetEndsRunRestartsBoardAndKeepsCmos) {
  Machine machine;
  PciFunction &nic = machine.AddPciFunction({3, 0, 0}, 0x15728086);
  machine.Clock().AdvanceMicroseconds(5);
  RunOutcome outcome = machine.Run([&] {
    HwIoWrite8(0x70, 0x58);
    HwIoWrite8(0x71, 2);
    HwMmioWrite8(Machine::EcamAddress({3, 0, 0}, 0x04), 0x06);
    HwWriteMsr(0xC001100A, 1);
    HwWriteDr2(0x99CC);
    ResetAndWait();
  });
  EXPECT_EQ(outcome.end, RunEnd::Reset) << outcome;
  EXPECT_EQ(outcome.resetValue, 0x06);
  // NVRAM kept; devices, MSRs, registers and the time-stamp counter restarted.
  EXPECT_EQ(machine.Cmos().Get(0x58), 2);
  EXPECT_EQ(nic.Command(), 0);
  EXPECT_EQ(machine.Msr(0xC001100A), 0u);
  EXPECT_EQ(machine.RegisterValue(Register::Dr2), 0u);
  EXPECT_EQ(machine.Tsc(), 0u);
  // The reset write is the last access: nothing of the wait loop ran.
  const std::vector<TraceRecord> &records = machine.Trace().Records();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records.back().kind, AccessKind::Restart);
  EXPECT_EQ(records[records.size() - 2].kind, AccessKind::IoWrite);
  EXPECT_EQ(records[records.size() - 2].address, 0xCF9u);
  EXPECT_EQ(machine.Trace().Count(AccessKind::Pause), 0u);

  // The next boot reads the counter the last one left.
  outcome = machine.Run([] {
    HwIoWrite8(0x70, 0x58);
    EXPECT_EQ(HwIoRead8(0x71), 2);
  });
  EXPECT_EQ(outcome.end, RunEnd::Returned);
}

TEST(MachineRun, OnlyResetControlWritesWithBit2Reset) {
  struct Case {
    uint8_t value;
    RunEnd end;
  };
  for (Case c : {Case{0x02, RunEnd::Returned}, Case{0x04, RunEnd::Reset}, Case{0x06, RunEnd::Reset},
                 Case{0x0E, RunEnd::Reset}}) {
    Machine machine;
    RunOutcome outcome = machine.Run([&] { HwIoWrite8(0xCF9, c.value); });
    EXPECT_EQ(outcome.end, c.end) << "value " << int(c.value);
  }
}

TEST(MachineRun, FatalErrorDisplayEndsAsHungWithCodeAndFrames) {
  Machine machine;
  RunOutcome outcome = machine.Run([] { ShowFatalError(0x90672); });
  ASSERT_EQ(outcome.end, RunEnd::Hung) << outcome;
  EXPECT_EQ(outcome.hang, HangCause::ErrorDisplay);
  EXPECT_EQ(outcome.trapCode, 0x90672u);
  std::vector<uint32_t> expected;
  for (int frame = 0; frame < 12; ++frame) expected.push_back(frame % 2 ? 0xDEAD : 0x90672);
  EXPECT_EQ(outcome.frames, expected);

  // The default P-state and time-stamp counter agree: frames come 2.5 s apart
  // (the wait model ends a wait at most 1/16 late), in few iterations.
  std::vector<TraceRecord> frames = machine.Trace().Where([](const TraceRecord &r) {
    return r.kind == AccessKind::IoWrite && r.address == 0x80 && r.width == 32;
  });
  ASSERT_EQ(frames.size(), 13u);  // the code, then the frames
  for (size_t i = 2; i < frames.size(); ++i) {
    uint64_t apart = frames[i].timeNs - frames[i - 1].timeNs;
    EXPECT_GE(apart, 2500000000u);
    EXPECT_LE(apart, 2500000000u / 16 * 17);
  }
  EXPECT_LT(machine.Trace().Count(AccessKind::Pause), 12 * 400u);
}

TEST(MachineRun, AnsweredBackDoorLetsFatalErrorReturn) {
  Machine machine;
  machine.SetCpuidBackDoorAnswer(1);
  RunOutcome outcome = machine.Run([] { ShowFatalError(0x10133); });
  EXPECT_EQ(outcome.end, RunEnd::Returned);
  EXPECT_EQ(machine.PostCodes().Writes(),
            (std::vector<PortWrite>{{0xE0, 16, 0xDEAD, 0}, {0x80, 32, 0x10133, 0}}));
}

TEST(MachineRun, EndlessPollEndsAsNoProgress) {
  Machine machine;
  machine.Limits().accessesWithoutWrite = 1000;
  machine.Uart().SetTransmitReady(UartReadiness::Never());
  RunOutcome outcome = machine.Run([] { PollPortForever(0x3FD, 0x20); });
  ASSERT_EQ(outcome.end, RunEnd::Hung) << outcome;
  EXPECT_EQ(outcome.hang, HangCause::NoProgress);
  EXPECT_EQ(outcome.lastAccess.kind, AccessKind::IoRead);
  EXPECT_EQ(outcome.lastAccess.address, 0x3FDu);
  // The identical reads share one record.
  ASSERT_EQ(machine.Trace().Records().size(), 1u);
  EXPECT_EQ(machine.Trace().Records()[0].repeat, 1001u);
}

TEST(MachineRun, EndlessPauseEndsAtTimeLimitInFewIterations) {
  Machine machine;
  machine.Limits().runNanoseconds = 10ull * 1000000000;
  RunOutcome outcome = machine.Run([] { PauseForever(); });
  ASSERT_EQ(outcome.end, RunEnd::Hung) << outcome;
  EXPECT_EQ(outcome.hang, HangCause::TimeLimit);
  EXPECT_GT(outcome.endNs - outcome.startNs, 10ull * 1000000000);
  EXPECT_LT(machine.Trace().Count(AccessKind::Pause), 500u);
  // The bound starts anew after the run: later accesses are not over it.
  machine.Activate();
  HwIoWrite8(0x80, 0x01);
  EXPECT_EQ(machine.PostCodes().Values(0x80), std::vector<uint32_t>{0x01});
}

TEST(MachineRun, FirmwareCoreResetServiceEndsRunAsReset) {
  Machine machine;
  machine.AddPciFunction({2, 0, 0}, 0x15728086);
  RunOutcome outcome = machine.Run([&] {
    HwMmioWrite8(Machine::EcamAddress({2, 0, 0}, 0x04), 0x06);
    machine.ResetBoard();
  });
  EXPECT_EQ(outcome.end, RunEnd::Reset);
  EXPECT_EQ(machine.FindPciFunction({2, 0, 0})->Command(), 0);
  EXPECT_EQ(machine.Trace().Count(AccessKind::Restart), 1u);
}

TEST(MachineRun, EndsThroughInterfaceCallsAndUnwindsSimulatorFrames) {
  Machine machine;
  bool simulatorFrameUnwound = false;
  struct Guard {
    bool &flag;
    ~Guard() { flag = true; }
  };
  RunOutcome outcome = machine.Run([&] {
    Guard guard{simulatorFrameUnwound};
    CallThroughInterface(ResetCallback, 0x41);
  });
  EXPECT_EQ(outcome.end, RunEnd::Reset);
  EXPECT_TRUE(simulatorFrameUnwound);
  EXPECT_EQ(machine.PostCodes().Values(0x80), std::vector<uint32_t>{0x42});
}

TEST(MachineRun, CodeThatSwallowsTheEndIsStoppedAtItsNextAccess) {
  Machine machine;
  RunOutcome outcome = machine.Run([] {
    try {
      ResetAndWait();
    } catch (...) {
    }
    HwIoWrite8(0x80, 0x01);
    ADD_FAILURE() << "went on after the reset";
  });
  EXPECT_EQ(outcome.end, RunEnd::Reset);
  EXPECT_TRUE(machine.PostCodes().Writes().empty());
}

TEST(MachineRun, StallsOnTheSharedClockAreTraced) {
  SimClock clock;
  Machine machine(&clock);
  machine.Run([&] {
    HwIoWrite8(0x80, 0x01);
    clock.Stall(1000);  // a core's stall service that only knows the clock
    HwIoWrite8(0x80, 0x02);
  });
  std::vector<TraceRecord> records = machine.Trace().Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].kind, AccessKind::Stall);
  EXPECT_EQ(records[1].value, 1000u);
  EXPECT_EQ(records[1].timeNs, 0u);
  EXPECT_EQ(records[2].timeNs, 1000000u);
}

TEST(MachineRunDeathTest, NeverReturningCodeOutsideRunAborts) {
  EXPECT_DEATH(
      {
        Machine machine;
        machine.Activate();
        ResetAndWait();
      },
      "would never return");
}

}  // namespace
}  // namespace sim
