// Ports, processor state and the access trace of the simulated machine, as
// the firmware reaches them through the hardware-access interface.
#include <gtest/gtest.h>

#include <cstring>

#include "hw/HwAccess.h"
#include "sim/machine/Machine.h"

namespace sim {
namespace {

using Register = HardwarePlatform::Register;

class MachineTest : public ::testing::Test {
 protected:
  MachineTest() { machine.Activate(); }
  Machine machine;
};

TEST_F(MachineTest, CmosIndexAndDataWithNmiMaskBitApart) {
  HwIoWrite8(0x70, 0x80 | 0x10);
  HwIoWrite8(0x71, 0xA5);
  EXPECT_EQ(machine.Cmos().Get(0x10), 0xA5);
  EXPECT_TRUE(machine.Cmos().NmiMasked());
  machine.Cmos().Set(0x58, 3);
  HwIoWrite8(0x70, 0x58);
  EXPECT_EQ(HwIoRead8(0x71), 3);
  machine.Restart();
  EXPECT_EQ(machine.Cmos().Get(0x10), 0xA5);
}

TEST_F(MachineTest, UartLineStatusReadinessModes) {
  using Mode = UartReadiness;
  struct Case {
    const char *name;
    UartReadiness transmitReady, transmitterEmpty;
    std::vector<uint8_t> lsr;  // the first reads, then again after a byte is sent
  };
  const Case cases[] = {
      {"at once", Mode::AtOnce(), Mode::AtOnce(), {0x60, 0x60}},
      {"ready after 2 reads", Mode::AfterReads(2), Mode::AtOnce(), {0x40, 0x40, 0x60, 0x60}},
      {"never ready", Mode::Never(), Mode::AtOnce(), {0x40, 0x40, 0x40}},
      {"transmitter never empty", Mode::AtOnce(), Mode::Never(), {0x20, 0x20}},
      {"empty after 1 read", Mode::AtOnce(), Mode::AfterReads(1), {0x20, 0x60}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Machine uartMachine;
    uartMachine.Activate();
    uartMachine.Uart().SetTransmitReady(c.transmitReady).SetTransmitterEmpty(c.transmitterEmpty);
    for (int round = 0; round < 2; ++round) {
      std::vector<uint8_t> lsr;
      for (size_t i = 0; i < c.lsr.size(); ++i) lsr.push_back(HwIoRead8(0x3FD));
      EXPECT_EQ(lsr, c.lsr);
      HwIoWrite8(0x3F8, static_cast<UINT8>('a' + round));
    }
    EXPECT_EQ(uartMachine.Uart().TransmittedText(), "ab");
  }
}

TEST_F(MachineTest, UartDivisorLatchIsNotTransmitted) {
  HwIoWrite8(0x3FB, 0x83);  // line control: divisor latch access, 8 bits
  HwIoWrite8(0x3F8, 0x01);
  HwIoWrite8(0x3F9, 0x00);
  HwIoWrite8(0x3FB, 0x03);
  HwIoWrite8(0x3F8, 'x');
  EXPECT_EQ(machine.Uart().TransmittedText(), "x");
}

TEST_F(MachineTest, MemoryMappedUartHasRegistersFourBytesApart) {
  Uart16550 &uart = machine.AddMmioUart(0x10000);
  uart.SetTransmitReady(UartReadiness::AfterReads(1));
  EXPECT_EQ(HwMmioRead8(0x10000 + 0x14), 0x40);
  EXPECT_EQ(HwMmioRead8(0x10000 + 0x14), 0x60);
  HwMmioWrite8(0x10000, 'm');
  EXPECT_EQ(uart.TransmittedText(), "m");
  EXPECT_TRUE(machine.Uart().Transmitted().empty());
}

TEST_F(MachineTest, PostCodesAndDebugToolPortsAreRecordedInOrder) {
  HwIoWrite16(0xE0, 0xDEAD);
  HwIoWrite32(0x80, 0x90672);
  HwIoWrite8(0x80, 0x41);
  HwIoWrite16(0xFFED, 0x4241);
  EXPECT_EQ(
      machine.PostCodes().Writes(),
      (std::vector<PortWrite>{{0xE0, 16, 0xDEAD, 0}, {0x80, 32, 0x90672, 0}, {0x80, 8, 0x41, 0}}));
  EXPECT_EQ(machine.DebugTool().PortWrites().Writes(),
            (std::vector<PortWrite>{{0xFFED, 16, 0x4241, 0}}));
  EXPECT_EQ(HwIoRead8(0x80), 0xFF);
}

TEST_F(MachineTest, DebugToolHandOverKeepsRegistersAndArmedState) {
  HwDebugToolHandOver(0xC0BF99CC, 0x1000, 12);
  HwWriteDr2(0x99CC);
  HwWriteDr7(0x02000420);
  HwWriteCr4(HwReadCr4() | 0x8);
  HwDebugToolHandOver(0xC0BF99CC, 0x2000, 5);
  EXPECT_EQ(machine.DebugTool().HandOvers(),
            (std::vector<HandOver>{{0xC0BF99CC, 0x1000, 12, false, 0},
                                   {0xC0BF99CC, 0x2000, 5, true, 0}}));
  // A hand-over whose DX names another port is an ordinary write there.
  HwDebugToolHandOver(0x80, 0x55, 1);
  EXPECT_EQ(machine.PostCodes().Values(0x80), std::vector<uint32_t>{0x55});
  EXPECT_EQ(machine.DebugTool().HandOvers().size(), 2u);
}

TEST_F(MachineTest, ProcessorDefaultsAndWrites) {
  EXPECT_EQ(HwReadMsr(0xC0010058), 0xE0000021u);  // ECAM base, 256 buses, enabled
  EXPECT_EQ(HwReadMsr(0xC0010063), 0u);
  uint64_t p0 = HwReadMsr(0xC0010064);
  uint64_t divisor = (p0 >> 8) & 0x3F;
  EXPECT_EQ((p0 & 0xFF) * 200000000 / (divisor ? divisor : 1), machine.Timing().tscHz);
  EXPECT_EQ(HwReadMsr(0x12345678), 0u);
  HwWriteMsr(0x12345678, 0x1122334455667788ull);
  EXPECT_EQ(HwReadMsr(0x12345678), 0x1122334455667788ull);

  EXPECT_EQ(HwReadDr7(), 0x400u);
  EXPECT_EQ(HwReadCr4(), 0x620u);
  HwWriteDr3(0x1234);
  EXPECT_EQ(HwReadDr3(), 0x1234u);
  EXPECT_EQ(HwReadDr2(), 0u);
}

TEST_F(MachineTest, CpuidBackDoorAnswersOnlyItsLeafAndDefaultsToZero) {
  EXPECT_EQ(HwCpuidBackDoor(0xBACCD00B, 2, 0x90672), 0);
  machine.SetCpuidBackDoorAnswer(0x1234);
  EXPECT_EQ(HwCpuidBackDoor(0xBACCD00B, 2, 0x90672), 0x1234);
  EXPECT_EQ(HwCpuidBackDoor(0x1, 2, 0x90672), 0);
  TraceRecord query = machine.Trace().Records()[1];
  EXPECT_EQ(query.kind, AccessKind::CpuidBackDoor);
  EXPECT_EQ(query.address, 0x90672u);  // ECX
  EXPECT_EQ(query.aux, 0xBACCD00Bull | uint64_t{2} << 32);
}

TEST_F(MachineTest, TimeStampCounterRunsAtItsRateAndRestartsAtZero) {
  machine.Clock().AdvanceMicroseconds(1000);
  EXPECT_EQ(machine.Tsc(), 2000000u);
  uint64_t first = HwReadTsc();
  uint64_t second = HwReadTsc();
  EXPECT_GT(second, first);  // a read takes time, so a polling loop ends
  machine.Restart();
  EXPECT_EQ(machine.Tsc(), 0u);
}

TEST_F(MachineTest, IdtBaseHasTheServicesWordBelowIt) {
  int services = 0;
  uintptr_t base = machine.PlaceIdt(reinterpret_cast<uintptr_t>(&services));
  UINTN read = HwReadIdtBase();
  EXPECT_EQ(read, base);
  uintptr_t below;
  std::memcpy(&below, reinterpret_cast<const void *>(read - sizeof(uintptr_t)), sizeof below);
  EXPECT_EQ(below, reinterpret_cast<uintptr_t>(&services));
}

TEST_F(MachineTest, TraceRecordsEveryAccessWithTimeAndCounts) {
  HwIoWrite8(0x80, 0x11);
  size_t mark = machine.Trace().Mark();
  machine.Clock().AdvanceMicroseconds(3);
  HwIoWrite32(0x80, 0x22);
  for (int i = 0; i < 5; ++i) HwIoRead8(0x3FD);
  HwMmioRead32(0xE0000000);
  HwWriteMsr(0xC001100A, 1);
  HwWriteDr2(0x99CC);

  std::vector<TraceRecord> since = machine.Trace().Since(mark);
  ASSERT_EQ(since.size(), 5u);
  EXPECT_EQ(since[0].kind, AccessKind::IoWrite);
  EXPECT_EQ(since[0].width, 32);
  EXPECT_EQ(since[0].value, 0x22u);
  EXPECT_EQ(since[0].timeNs, 3000u);
  EXPECT_EQ(since[1].repeat, 5u);  // one record for the identical reads
  EXPECT_EQ(since[2].kind, AccessKind::MmioRead);
  EXPECT_EQ(since[2].value, 0x0001B0A5u);  // the host bridge
  EXPECT_EQ(since[3].kind, AccessKind::MsrWrite);
  EXPECT_EQ(since[3].address, 0xC001100Au);
  EXPECT_EQ(since[4].kind, AccessKind::RegisterWrite);
  EXPECT_EQ(since[4].address, static_cast<uint64_t>(Register::Dr2));

  const AccessTrace &trace = machine.Trace();
  EXPECT_EQ(trace.Count(AccessKind::IoRead), 5u);
  EXPECT_EQ(trace.Count(AccessKind::IoWrite, 0x80), 2u);
  EXPECT_EQ(trace.Values(AccessKind::IoWrite, 0x80), (std::vector<uint64_t>{0x11, 0x22}));
  EXPECT_EQ(trace.Values(AccessKind::IoRead, 0x3FD).size(), 5u);
  EXPECT_EQ(trace.IoWrites(0x80, mark).size(), 1u);
  EXPECT_EQ(trace.Summary(), "IoRead 5, IoWrite 2, MmioRead 1, MsrWrite 1, RegisterWrite 1");
}

TEST_F(MachineTest, TraceBeyondCapacityKeepsCounting) {
  machine.Trace().SetCapacity(2);
  for (uint8_t i = 0; i < 4; ++i) HwIoWrite8(0x80, i);
  EXPECT_EQ(machine.Trace().Records().size(), 2u);
  EXPECT_TRUE(machine.Trace().Truncated());
  EXPECT_EQ(machine.Trace().Count(AccessKind::IoWrite), 4u);
}

}  // namespace
}  // namespace sim
