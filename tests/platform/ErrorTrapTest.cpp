// The fatal-error trap on the simulated machine: the return when the back
// door answers, the endless display loop (ended by the machine as a hang)
// when it does not, and the frame wait worked out from the P-state.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/ErrorTrap.h"
#include "sim/machine/Machine.h"

namespace {

using sim::AccessKind;
using sim::Machine;
using sim::PortWrite;
using sim::RunEnd;
using sim::RunOutcome;
using sim::TraceRecord;

TEST(ErrorTrap, AnsweredBackDoorShowsCodeOnceAndReturns) {
  Machine machine;
  machine.SetCpuidBackDoorAnswer(1);
  RunOutcome outcome = machine.Run([] { ErrorTrap(0x70180); });
  ASSERT_EQ(outcome.end, RunEnd::Returned) << outcome;

  const std::vector<PortWrite> expected = {{0xE0, 16, 0xDEAD, 0}, {0x80, 32, 0x70180, 0}};
  ASSERT_EQ(machine.PostCodes().Writes().size(), expected.size());
  for (size_t index = 0; index < expected.size(); index++) {
    const PortWrite &write = machine.PostCodes().Writes()[index];
    EXPECT_EQ(write.port, expected[index].port);
    EXPECT_EQ(write.width, expected[index].width);
    EXPECT_EQ(write.value, expected[index].value);
  }

  // One back-door query with the code in ECX, and no display loop after it.
  const auto queries = machine.Trace().Select(AccessKind::CpuidBackDoor);
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].address, 0x70180u);
  EXPECT_EQ(queries[0].aux, 0xBACCD00Bull | (2ull << 32));
  EXPECT_EQ(machine.Trace().Records().back().kind, AccessKind::CpuidBackDoor);
}

TEST(ErrorTrap, SilentBackDoorScrollsCodeAndDeadForever) {
  Machine machine;
  RunOutcome outcome = machine.Run([] { ErrorTrap(0x90672); });
  ASSERT_EQ(outcome.end, RunEnd::Hung) << outcome;
  EXPECT_EQ(outcome.hang, sim::HangCause::ErrorDisplay);
  EXPECT_EQ(outcome.trapCode, 0x90672u);

  const std::vector<uint32_t> round = {0x720000DE, 0x0000DEAD, 0x00DEAD00,
                                       0xDEAD0009, 0xAD000906, 0x00090672};
  std::vector<uint32_t> rounds = round;
  rounds.insert(rounds.end(), round.begin(), round.end());
  EXPECT_EQ(outcome.frames, rounds);

  // On the port: DEAD on 0xE0, the code on 0x80, then the frames, all of
  // them 32-bit writes to 0x80.
  const auto &writes = machine.PostCodes().Writes();
  ASSERT_EQ(writes.size(), 2 + rounds.size());
  EXPECT_EQ(writes[0].port, 0xE0);
  for (size_t index = 1; index < writes.size(); index++) {
    EXPECT_EQ(writes[index].port, 0x80);
    EXPECT_EQ(writes[index].width, 32);
    EXPECT_EQ(writes[index].value, index == 1 ? 0x90672u : rounds[index - 2]);
  }
}

TEST(ErrorTrap, FramesOfOtherCodes) {
  struct Case {
    uint32_t code;
    std::vector<uint32_t> frames;
  };
  const std::vector<Case> cases = {
      {0x10133, {0x330000DE, 0x0000DEAD, 0x00DEAD00, 0xDEAD0001, 0xAD000101, 0x00010133}},
      {0xA1B2C3D4, {0xD40000DE, 0x0000DEAD, 0x00DEADA1, 0xDEADA1B2, 0xADA1B2C3, 0xA1B2C3D4}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    Machine machine;
    machine.Limits().errorDisplayFrames = 6;
    RunOutcome outcome = machine.Run([&] { ErrorTrap(c.code); });
    ASSERT_EQ(outcome.end, RunEnd::Hung) << outcome;
    EXPECT_EQ(outcome.frames, c.frames);
  }
}

// Each frame's wait reads the P-state status and that P-state's definition,
// then polls the time-stamp counter with PAUSE until more than the frame's
// ticks have passed. The trace gives, per frame, the MSRs read and the
// counter values the wait saw.
struct FrameWait {
  std::vector<uint32_t> msrs;
  std::vector<uint64_t> tscReads;
  uint64_t pauses = 0;
};

std::vector<FrameWait> FrameWaits(Machine &machine) {
  std::vector<FrameWait> waits;
  bool inDisplay = false;
  for (const TraceRecord &record : machine.Trace().Records()) {
    if (record.kind == AccessKind::CpuidBackDoor) {
      inDisplay = true;
    } else if (inDisplay && record.kind == AccessKind::IoWrite && record.address == 0x80) {
      waits.emplace_back();
    } else if (!waits.empty() && record.kind == AccessKind::MsrRead) {
      waits.back().msrs.push_back(static_cast<uint32_t>(record.address));
    } else if (!waits.empty() && record.kind == AccessKind::TscRead) {
      for (uint64_t n = 0; n < record.repeat; n++) waits.back().tscReads.push_back(record.value);
    } else if (!waits.empty() && record.kind == AccessKind::Pause) {
      waits.back().pauses += record.repeat;
    }
  }
  return waits;
}

TEST(ErrorTrap, FrameWaitFollowsCurrentPState) {
  struct Case {
    const char *name;
    uint64_t pStateStatus;
    uint64_t definition;  // of the current P-state
    uint64_t ticks;       // ((F * 200 MHz) / D) * 2.5 s
  };
  const std::vector<Case> cases = {
      {"P0 F=10 D=1", 0, 0x800000000000010Aull, 5000000000ull},
      {"P2 F=16 D=4", 2, 0x8000000000000410ull, 2000000000ull},
      {"divisor ID 0 counts as 1", 3, 0x8000000000000010ull, 8000000000ull},
      // Only bits 2:0 of the status and 13:8 / 7:0 of the definition count.
      {"P7, other bits set", 0xFFFFFFF7, 0x8000FFFFFFFFC2FFull, 255ull * 200000000 / 2 * 5 / 2},
      {"F=0: no wait beyond one tick", 1, 0x8000000000000100ull, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Machine machine;
    const uint32_t pState = static_cast<uint32_t>(c.pStateStatus & 7);
    machine.SetMsr(Machine::kMsrPStateStatus, c.pStateStatus);
    machine.SetMsr(Machine::kMsrPStateDefinition0 + pState, c.definition);
    machine.Limits().errorDisplayFrames = 3;
    RunOutcome outcome = machine.Run([] { ErrorTrap(0x90946); });
    ASSERT_EQ(outcome.end, RunEnd::Hung) << outcome;

    // The last frame write ends the run before its wait; two waits complete.
    std::vector<FrameWait> waits = FrameWaits(machine);
    ASSERT_EQ(waits.size(), 3u);
    waits.pop_back();
    for (const FrameWait &wait : waits) {
      EXPECT_EQ(wait.msrs, (std::vector<uint32_t>{Machine::kMsrPStateStatus,
                                                  Machine::kMsrPStateDefinition0 + pState}));
      ASSERT_GE(wait.tscReads.size(), 2u);
      EXPECT_EQ(wait.pauses, wait.tscReads.size() - 1);  // PAUSE before every re-read
      const uint64_t start = wait.tscReads.front();
      const uint64_t last = wait.tscReads.back();
      EXPECT_GT(last - start, c.ticks);
      if (wait.tscReads.size() > 2) {
        EXPECT_LE(wait.tscReads[wait.tscReads.size() - 2] - start, c.ticks);
      }
    }
  }
}

}  // namespace
