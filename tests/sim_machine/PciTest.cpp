// PCI configuration space of the simulated machine: ECAM and the legacy
// mechanism, the host bridge's bus-range window, headers, BAR windows and
// the VPD capability.
#include <gtest/gtest.h>

#include "hw/HwAccess.h"
#include "sim/machine/Machine.h"

namespace sim {
namespace {

class PciTest : public ::testing::Test {
 protected:
  PciTest() { machine.Activate(); }
  static UINTN Ecam(PciAddress at, uint16_t offset) {
    return static_cast<UINTN>(Machine::EcamAddress(at, offset));
  }
  static UINT32 LegacyAddress(PciAddress at, uint8_t reg) {
    return 0x80000000u | static_cast<UINT32>(at.Bdf()) << 8 | reg;
  }
  Machine machine;
};

TEST_F(PciTest, EcamReachesEachFunctionAndAbsentOnesReadAllOnes) {
  const PciAddress present[] = {{1, 0, 0}, {0x25, 3, 5}, {0xFF, 31, 7}};
  uint32_t id = 0x10000001;
  for (PciAddress at : present) machine.AddPciFunction(at, id++);
  id = 0x10000001;
  for (PciAddress at : present) {
    UINTN base =
        0xE0000000 + (UINTN{at.bus} << 20) + (UINTN{at.device} << 15) + (UINTN{at.function} << 12);
    EXPECT_EQ(HwMmioRead32(base), id);
    EXPECT_EQ(HwMmioRead16(base + 2), id >> 16);
    EXPECT_EQ(HwMmioRead8(base), static_cast<UINT8>(id));
    ++id;
  }
  for (PciAddress absent : {PciAddress{1, 0, 1}, PciAddress{1, 1, 0}, PciAddress{2, 0, 0}}) {
    EXPECT_EQ(HwMmioRead32(Ecam(absent, 0)), 0xFFFFFFFFu);
    EXPECT_EQ(HwMmioRead16(Ecam(absent, 0x19)), 0xFFFFu);
    EXPECT_EQ(HwMmioRead8(Ecam(absent, 0x0B)), 0xFFu);
    HwMmioWrite8(Ecam(absent, 0x04), 0x06);  // dropped
  }
  // A function's whole 4 KiB, extended bytes included.
  machine.FindPciFunction({1, 0, 0})->SetConfigBytes(0x140, {0x55, 0x44, 0x33});
  EXPECT_EQ(HwMmioRead8(Ecam({1, 0, 0}, 0x142)), 0x33);
  EXPECT_EQ(HwMmioRead8(Ecam({1, 0, 0}, 0xFFF)), 0x00);
}

TEST_F(PciTest, LegacyMechanismPassesRegisterByteAsWritten) {
  PciFunction &nic = machine.AddPciFunction({4, 0, 1}, 0x165F14E4);
  nic.SetConfigBytes(0x34, {0x40, 0x11, 0x22, 0x33, 0x44});
  HwIoWrite32(0xCF8, LegacyAddress({4, 0, 1}, 0x00));
  EXPECT_EQ(HwIoRead32(0xCF8), LegacyAddress({4, 0, 1}, 0x00));
  EXPECT_EQ(HwIoRead32(0xCFC), 0x165F14E4u);
  EXPECT_EQ(HwIoRead16(0xCFE), 0x165Fu);
  HwIoWrite32(0xCF8, LegacyAddress({4, 0, 1}, 0x35));  // low bits kept: bytes 0x35 to 0x38
  EXPECT_EQ(HwIoRead32(0xCFC), 0x44332211u);
  HwIoWrite32(0xCF8, 0x7FFFFFFF & LegacyAddress({4, 0, 1}, 0x00));  // enable bit clear
  EXPECT_EQ(HwIoRead32(0xCFC), 0xFFFFFFFFu);
  HwIoWrite32(0xCF8, LegacyAddress({4, 0, 0}, 0x00));  // absent function
  EXPECT_EQ(HwIoRead32(0xCFC), 0xFFFFFFFFu);
}

TEST_F(PciTest, HostBridgeBusRangeWindow) {
  auto readGroup = [](unsigned group) {
    HwMmioWrite32(0xE00000C0, 0);
    HwMmioWrite32(0xE00000C4, 0x1C0A0 + 4 * group);
    return HwMmioRead32(0xE00000C8);
  };
  EXPECT_EQ(readGroup(0), 0x1F000000u);  // buses 0x00 to 0x1F
  EXPECT_EQ(readGroup(7), 0xFFE00000u);  // buses 0xE0 to 0xFF
  machine.SetBusRange(1, 0x40, 0x7F);
  EXPECT_EQ(readGroup(1), 0x7F400000u);
  EXPECT_EQ(readGroup(1) >> 16 & 0xFF, 0x40u);
  HwMmioWrite32(0xE00000C4, 0x12345678);
  EXPECT_EQ(HwMmioRead32(0xE00000C8), 0u);  // an index nothing holds
  HwMmioWrite32(0xE00000C8, 0xCAFE);
  EXPECT_EQ(machine.HostBridge().Indirect(0x12345678), 0xCAFEu);
  HwMmioWrite8(0xE00000C9, 0xBE);  // part of the data register
  EXPECT_EQ(machine.HostBridge().Indirect(0x12345678), 0xBEFEu);
  machine.Restart();
  EXPECT_EQ(machine.HostBridge().Indirect(0x12345678), 0u);
  EXPECT_EQ(machine.HostBridge().Indirect(0x1C0A4), 0x7F400000u);
}

TEST_F(PciTest, HeaderRegistersKeepWritesOnlyWhereWritable) {
  PciFunction &bridge = machine.AddPciBridge({0, 3, 1}, 0x14531022, 3, 6);
  PciFunction &nic = machine.AddPciFunction({3, 0, 0}, 0x15338086);
  nic.SetClass(0x02).SetSubsystemWord(0x0000091F).SetRomBase(0xFE000000);
  machine.AddPciFunction({3, 0, 1}, 0x15338086);

  EXPECT_EQ(HwMmioRead8(Ecam({0, 3, 1}, 0x19)), 3);
  EXPECT_EQ(HwMmioRead8(Ecam({0, 3, 1}, 0x1A)), 6);
  EXPECT_EQ(HwMmioRead8(Ecam({0, 3, 1}, 0x0E)), 0x01);
  EXPECT_EQ(HwMmioRead32(Ecam({0, 3, 1}, 0x08)) >> 8, 0x060400u);
  HwMmioWrite8(Ecam({0, 3, 1}, 0x1A), 9);
  EXPECT_EQ(bridge.Config8(0x1A), 9);

  EXPECT_EQ(HwMmioRead8(Ecam({3, 0, 0}, 0x0B)), 0x02);
  EXPECT_EQ(HwMmioRead32(Ecam({3, 0, 0}, 0x2C)), 0x0000091Fu);
  EXPECT_EQ(HwMmioRead32(Ecam({3, 0, 0}, 0x30)), 0xFE000000u);
  EXPECT_EQ(HwMmioRead8(Ecam({3, 0, 0}, 0x0E)), 0x80);  // more functions follow
  HwMmioWrite32(Ecam({3, 0, 0}, 0x00), 0);              // IDs are read-only
  HwMmioWrite32(Ecam({3, 0, 0}, 0x2C), 0);
  EXPECT_EQ(HwMmioRead32(Ecam({3, 0, 0}, 0x00)), 0x15338086u);
  EXPECT_EQ(HwMmioRead32(Ecam({3, 0, 0}, 0x2C)), 0x0000091Fu);
  HwMmioWrite8(Ecam({3, 0, 0}, 0x04), HwMmioRead8(Ecam({3, 0, 0}, 0x04)) | 0x06);
  EXPECT_EQ(nic.Command(), 0x06);
  machine.Restart();
  EXPECT_EQ(nic.Command(), 0);
  EXPECT_EQ(bridge.Config8(0x1A), 6);
}

TEST_F(PciTest, BarWindowsDecodeWhileMemorySpaceIsOn) {
  PciFunction &nic = machine.AddPciFunction({2, 0, 0}, 0x12345678);
  nic.SetBar64(0, 0xF0000000, 0x10000)
      .SetRegisterBytes(0, 0x5400, {0x00, 0x1B, 0x21, 0xAA, 0xBB, 0xCC})
      .SetBar32(2, 0xF8000000, 0x1000);
  const UINTN mac = 0xF0000000 + 0x5400;
  EXPECT_EQ(HwMmioRead8(mac), 0xFF);  // memory decoding off
  HwMmioWrite8(Ecam({2, 0, 0}, 0x04), 0x02);
  EXPECT_EQ(HwMmioRead32(mac), 0xAA211B00u);
  EXPECT_EQ(HwMmioRead16(mac + 4), 0xCCBBu);
  HwMmioWrite32(0xF8000010, 0x5A5A);  // the other BAR's registers keep writes
  EXPECT_EQ(HwMmioRead32(0xF8000010), 0x5A5Au);

  // BAR sizing, and the window follows the BAR.
  EXPECT_EQ(HwMmioRead32(Ecam({2, 0, 0}, 0x10)), 0xF000000Cu);  // 64-bit, prefetchable
  HwMmioWrite32(Ecam({2, 0, 0}, 0x10), 0xFFFFFFFF);
  EXPECT_EQ(HwMmioRead32(Ecam({2, 0, 0}, 0x10)), 0xFFFF000Cu);
  HwMmioWrite32(Ecam({2, 0, 0}, 0x10), 0xD8000000);
  EXPECT_EQ(HwMmioRead8(0xD8000000 + 0x5400), 0x00);
  EXPECT_EQ(HwMmioRead8(mac + 1), 0xFF);
  HwMmioWrite32(Ecam({2, 0, 0}, 0x10), 0);  // an unassigned BAR decodes nothing
  EXPECT_EQ(HwMmioRead8(0x5401), 0xFF);
}

TEST_F(PciTest, CapabilityChainWithVpdAsThirdEntry) {
  PciFunction &nic = machine.AddPciFunction({5, 0, 0}, 0x101315B3);
  const uint8_t powerManagement[6] = {};
  nic.AddCapability(0x01, powerManagement).AddCapability(0x10, powerManagement, 0x60);
  VpdCapability &vpd = nic.AddVpdCapability(std::vector<uint8_t>(256, 0x20));
  EXPECT_EQ(HwMmioRead8(Ecam({5, 0, 0}, 0x06)) & 0x10, 0x10);  // capability list present
  uint8_t at = HwMmioRead8(Ecam({5, 0, 0}, 0x34));
  std::vector<uint8_t> ids;
  std::vector<uint8_t> offsets;
  while (at != 0) {
    offsets.push_back(at);
    ids.push_back(HwMmioRead8(Ecam({5, 0, 0}, at)));
    at = HwMmioRead8(Ecam({5, 0, 0}, at + 1));
  }
  EXPECT_EQ(ids, (std::vector<uint8_t>{0x01, 0x10, 0x03}));
  EXPECT_EQ(offsets, (std::vector<uint8_t>{0x40, 0x60, vpd.Offset()}));
  EXPECT_EQ(vpd.Offset(), 0x68);
}

TEST_F(PciTest, VpdCompletesAfterProgrammedReadsAndReturnsAddressedDword) {
  std::vector<uint8_t> image(256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i);
  for (uint32_t delay : {0u, 1u, 5u}) {
    SCOPED_TRACE(delay);
    Machine vpdMachine;
    vpdMachine.Activate();
    PciFunction &nic = vpdMachine.AddPciFunction({6, 0, 0}, 0x101315B3);
    VpdCapability &vpd = nic.AddVpdCapability(image).SetCompletionReads(delay);
    UINTN address = Ecam({6, 0, 0}, vpd.Offset() + 2);
    UINTN data = Ecam({6, 0, 0}, vpd.Offset() + 4);
    for (UINT16 at : {UINT16{0x10}, UINT16{0xFC}}) {
      HwMmioWrite16(address, at);
      for (uint32_t read = 0; read < delay; ++read) EXPECT_EQ(HwMmioRead16(address), at);
      EXPECT_EQ(HwMmioRead16(address), 0x8000 | at);
      EXPECT_EQ(HwMmioRead32(data),
                static_cast<UINT32>(at | (at + 1) << 8 | (at + 2) << 16 | (at + 3) << 24));
    }
  }
}

TEST_F(PciTest, VpdThatNeverCompletesOrReadsPastItsImage) {
  PciFunction &nic = machine.AddPciFunction({6, 0, 0}, 0x101315B3);
  VpdCapability &vpd = nic.AddVpdCapability(std::vector<uint8_t>(256, 0x41));
  UINTN address = Ecam({6, 0, 0}, vpd.Offset() + 2);
  UINTN data = Ecam({6, 0, 0}, vpd.Offset() + 4);
  HwMmioWrite16(address, 0x0FE);  // the last two bytes, then past the end
  EXPECT_EQ(HwMmioRead16(address), 0x80FE);
  EXPECT_EQ(HwMmioRead32(data), 0xFFFF4141u);

  vpd.SetCompletionReads(VpdCapability::kNever);
  HwMmioWrite16(address, 0x0);
  for (int read = 0; read < 1000; ++read) ASSERT_EQ(HwMmioRead16(address) & 0x8000, 0);
  EXPECT_EQ(HwMmioRead32(data), 0xFFFF4141u);  // still the last completed dword
}

// A device that stops answering part-way through its VPD: reads below the
// address complete, reads from it on never do; writes are not affected.
TEST_F(PciTest, VpdThatStopsCompletingAtAnAddress) {
  PciFunction &nic = machine.AddPciFunction({6, 0, 0}, 0x101315B3);
  VpdCapability &vpd = nic.AddVpdCapability(std::vector<uint8_t>(256, 0x41));
  vpd.SetStopsCompletingAt(0x18);
  UINTN address = Ecam({6, 0, 0}, vpd.Offset() + 2);
  UINTN data = Ecam({6, 0, 0}, vpd.Offset() + 4);
  HwMmioWrite16(address, 0x14);
  EXPECT_EQ(HwMmioRead16(address), 0x8014);
  for (UINT16 at : {UINT16{0x18}, UINT16{0xFC}}) {
    HwMmioWrite16(address, at);
    for (int read = 0; read < 100; ++read) ASSERT_EQ(HwMmioRead16(address), at);
  }
  HwMmioWrite32(data, 0x42424242);
  HwMmioWrite16(address, 0x8020);  // a write request completes by clearing bit 15
  EXPECT_EQ(HwMmioRead16(address), 0x0020);
  EXPECT_EQ(vpd.Image()[0x20], 0x42);
}

// A memory read that no window decodes returns the byte the board gives
// for it, in every width; configuration space keeps all ones.
TEST_F(PciTest, UnclaimedMemoryReadsReturnTheDescribedByte) {
  EXPECT_EQ(HwMmioRead32(0xF0000000), 0xFFFFFFFFu);
  machine.SetUnclaimedReadByte(0x00);
  EXPECT_EQ(HwMmioRead32(0xF0000000), 0u);
  machine.SetUnclaimedReadByte(0x5A);
  EXPECT_EQ(HwMmioRead8(0x5400), 0x5A);
  EXPECT_EQ(HwMmioRead16(0x5400), 0x5A5A);
  EXPECT_EQ(HwMmioRead32(0xFED00000), 0x5A5A5A5Au);
  EXPECT_EQ(HwMmioRead32(Ecam({9, 0, 0}, 0)), 0xFFFFFFFFu);  // absent function
  PciFunction &nic = machine.AddPciFunction({2, 0, 0}, 0x12345678);
  nic.SetBar32(0, 0xF0000000, 16).SetCommand(PciFunction::kCommandMemorySpace);
  EXPECT_EQ(HwMmioRead32(0xF0000000), 0u);  // inside the window
  EXPECT_EQ(HwMmioRead32(0xF0000010), 0x5A5A5A5Au);
}

}  // namespace
}  // namespace sim
