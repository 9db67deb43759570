// PCI configuration access against the simulated machine: root-port
// translation through the host bridge's bus ranges, the two bus searches
// below a bridge, the VPD capability walk and the VPD read.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "board/PciAccess.h"
#include "sim/machine/Machine.h"

namespace {

using sim::AccessKind;
using sim::Machine;
using sim::PciAddress;
using sim::TraceRecord;

constexpr PciAddress kRootPort = {0, 3, 1};
constexpr PCI_BDF kRootPortBdf = PciBdf(0, 3, 1);
constexpr PciAddress kDevice = {0x41, 0, 0};
constexpr PCI_BDF kDeviceBdf = PciBdf(0x41, 0, 0);
constexpr uint32_t kIdWord = 0x15728086;

class PciAccessTest : public ::testing::Test {
 protected:
  PciAccessTest() { machine.Activate(); }

  // Reads of the byte at `offset` of device 0 function 0 of `bus`.
  uint64_t Probes(uint8_t bus, uint16_t offset) {
    return machine.Trace().Count(AccessKind::MmioRead, Machine::EcamAddress({bus, 0, 0}, offset));
  }

  Machine machine;
};

TEST_F(PciAccessTest, TranslateBusNumberUsesTheGroupsBusRange) {
  struct Case {
    const char *name;
    uint32_t location;
    unsigned group;
    uint8_t first, last;
    PCI_BDF expected;
  };
  const Case cases[] = {
      // Bus byte 0x25: group 1, offset 5.
      {"in range", 0x00002519, 1, 0x40, 0x7F, 0x4519},
      {"last bus of the group", 0x00002519, 1, 0x40, 0x45, 0x4519},
      {"beyond the group keeps devfn", 0x00002519, 1, 0x40, 0x44, 0x0019},
      // Group 7, offset 31: 0xF0 + 31 is above 255 and never passes.
      {"sum above 255", 0x0000FF08, 7, 0xF0, 0xFF, 0x0008},
      {"upper half ignored", 0xABCD0011, 0, 0x00, 0x1F, 0x0011},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    machine.SetBusRange(c.group, c.first, c.last);
    const size_t mark = machine.Trace().Mark();
    EXPECT_EQ(TranslateBusNumber(c.location), c.expected);

    // Control cleared, group index selected, data read: nothing else.
    const std::vector<TraceRecord> accesses = machine.Trace().Since(mark);
    ASSERT_EQ(accesses.size(), 3u);
    EXPECT_EQ(accesses[0].kind, AccessKind::MmioWrite);
    EXPECT_EQ(accesses[0].address, 0xE00000C0u);
    EXPECT_EQ(accesses[0].value, 0u);
    EXPECT_EQ(accesses[1].kind, AccessKind::MmioWrite);
    EXPECT_EQ(accesses[1].address, 0xE00000C4u);
    EXPECT_EQ(accesses[1].value, 0x1C0A0u + 4 * c.group);
    EXPECT_EQ(accesses[2].kind, AccessKind::MmioRead);
    EXPECT_EQ(accesses[2].address, 0xE00000C8u);
    for (const TraceRecord &access : accesses) {
      EXPECT_EQ(access.width, 32);
    }
  }
}

TEST_F(PciAccessTest, FindDownstreamBusTakesHighestAnsweringBusAboveSecondary) {
  machine.AddPciBridge(kRootPort, 0x14531022, 3, 6);
  // Nothing below: the secondary bus, which is never probed itself.
  EXPECT_EQ(FindDownstreamBus(kRootPortBdf), 3);
  EXPECT_EQ(Probes(6, 0) + Probes(5, 0) + Probes(4, 0), 3u);
  EXPECT_EQ(Probes(3, 0), 0u);

  // Bus 5 answers, bus 6 does not.
  machine.AddPciFunction({5, 0, 0}, kIdWord);
  machine.AddPciFunction({4, 0, 0}, kIdWord);
  EXPECT_EQ(FindDownstreamBus(kRootPortBdf), 5);
  EXPECT_EQ(Probes(4, 0), 1u);  // the search stopped at bus 5
}

TEST_F(PciAccessTest, FindDownstreamBusWithoutBusesAboveSecondaryProbesNothing) {
  const struct { uint8_t secondary, subordinate; } bridges[] = {{4, 4}, {7, 2}};
  for (const auto &bridge : bridges) {
    machine.RemovePciFunction(kRootPort);
    machine.AddPciBridge(kRootPort, 0x14531022, bridge.secondary, bridge.subordinate);
    const size_t mark = machine.Trace().Mark();
    EXPECT_EQ(FindDownstreamBus(kRootPortBdf), bridge.subordinate);
    EXPECT_EQ(machine.Trace().Since(mark).size(), 2u);  // the two bus numbers
  }
}

TEST_F(PciAccessTest, FindNetworkBusReturnsFirstNetworkControllerBelowBridge) {
  machine.AddPciBridge(kRootPort, 0x14531022, 2, 5);
  machine.AddPciFunction({2, 0, 0}, 0x12345678).SetClass(0x01);  // storage
  machine.AddPciFunction({3, 0, 0}, kIdWord).SetClass(0x02);
  machine.AddPciFunction({4, 0, 0}, kIdWord).SetClass(0x02);
  EXPECT_EQ(FindNetworkBus(kRootPortBdf), 3);
  EXPECT_EQ(Probes(4, 0x0B), 0u);

  // Nothing of class 0x02 from secondary to subordinate: none.
  machine.RemovePciFunction({3, 0, 0});
  machine.RemovePciFunction({4, 0, 0});
  EXPECT_EQ(FindNetworkBus(kRootPortBdf), 0xFF);
  EXPECT_EQ(Probes(5, 0x0B), 1u);
  EXPECT_EQ(Probes(6, 0x0B), 0u);
}

TEST_F(PciAccessTest, FindNetworkBusEdges) {
  // An absent bridge reads 0xFF for both bus numbers: no scan at all.
  size_t mark = machine.Trace().Mark();
  EXPECT_EQ(FindNetworkBus(kRootPortBdf), 0xFF);
  EXPECT_EQ(machine.Trace().Since(mark).size(), 2u);

  // A subordinate bus of 0xFF: each bus up to 0xFF once, then the end.
  machine.AddPciBridge(kRootPort, 0x14531022, 0xF0, 0xFF);
  mark = machine.Trace().Mark();
  EXPECT_EQ(FindNetworkBus(kRootPortBdf), 0xFF);
  EXPECT_EQ(machine.Trace().Since(mark).size(), 2u + 16u);
  for (unsigned bus = 0xF0; bus <= 0xFF; bus++) {
    EXPECT_EQ(Probes(static_cast<uint8_t>(bus), 0x0B), 1u) << bus;
  }

  // ... and a network controller on bus 0xFF is found there.
  machine.AddPciFunction({0xFF, 0, 0}, kIdWord).SetClass(0x02);
  EXPECT_EQ(FindNetworkBus(kRootPortBdf), 0xFF);
  EXPECT_EQ(Probes(0xFF, 0x0B), 2u);
}

// Values written to the legacy configuration address port since `mark`.
std::vector<uint64_t> LegacyAddresses(Machine &machine, size_t mark) {
  std::vector<uint64_t> values;
  for (const TraceRecord &write : machine.Trace().IoWrites(0xCF8, mark)) {
    values.push_back(write.value);
  }
  return values;
}

TEST_F(PciAccessTest, FindVpdCapabilityWalksTheListThroughLegacyPorts) {
  sim::PciFunction &device = machine.AddPciFunction(kDevice, kIdWord);
  device.AddCapability(0x01, std::vector<uint8_t>(6));  // power management at 0x40
  device.AddCapability(0x05, std::vector<uint8_t>(10));
  device.AddVpdCapability({}, 0x70);
  device.AddCapability(0x10, std::vector<uint8_t>(2));

  const size_t mark = machine.Trace().Mark();
  EXPECT_EQ(FindVpdCapability(kDeviceBdf), 0x70);
  const uint64_t base = 0x80000000u | (uint64_t{kDeviceBdf} << 8);
  EXPECT_EQ(LegacyAddresses(machine, mark),
            (std::vector<uint64_t>{base | 0x34, base | 0x40, base | 0x48, base | 0x70}));
  EXPECT_EQ(machine.Trace().Count(AccessKind::MmioRead), 0u);
}

TEST_F(PciAccessTest, FindVpdCapabilityEndsWithZero) {
  struct Case {
    const char *name;
    std::vector<std::pair<uint8_t, uint8_t>> chain;  // (id, next) from 0x40 in steps of 4
    uint8_t pointer;
    size_t addressWrites;
  };
  const Case cases[] = {
      {"no VPD in the list", {{0x01, 0x44}, {0x05, 0x00}}, 0x40, 3},
      {"capabilities pointer 0", {{0x03, 0x00}}, 0x00, 1},
      // 0x40 -> 0x44 -> 0x40: each offset is read once.
      {"revisiting chain", {{0x01, 0x44}, {0x05, 0x40}}, 0x40, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    machine.RemovePciFunction(kDevice);
    sim::PciFunction &device = machine.AddPciFunction(kDevice, kIdWord);
    device.SetConfig8(0x34, c.pointer);
    uint16_t offset = 0x40;
    for (const auto &[id, next] : c.chain) {
      device.SetConfigBytes(offset, {id, next});
      offset += 4;
    }
    const size_t mark = machine.Trace().Mark();
    EXPECT_EQ(FindVpdCapability(kDeviceBdf), 0);
    EXPECT_EQ(LegacyAddresses(machine, mark).size(), c.addressWrites);
  }

  // An absent device reads all ones, a pointer to 0xFF that points to
  // itself: two reads.
  machine.RemovePciFunction(kDevice);
  const size_t mark = machine.Trace().Mark();
  EXPECT_EQ(FindVpdCapability(kDeviceBdf), 0);
  EXPECT_EQ(LegacyAddresses(machine, mark).size(), 2u);
}

TEST_F(PciAccessTest, FindVpdCapabilityFollowsAtMost48Entries) {
  // 48 entries fill 0x40 to 0xFC; a chain that goes on into the header
  // (0x10 to 0x2C, no revisit) is cut off after the 48th.
  sim::PciFunction &device = machine.AddPciFunction(kDevice, kIdWord);
  device.SetConfig8(0x34, 0x40);
  for (unsigned offset = 0x40; offset < 0xFC; offset += 4) {
    device.SetConfigBytes(static_cast<uint16_t>(offset), {0x09, static_cast<uint8_t>(offset + 4)});
  }
  device.SetConfigBytes(0xFC, {0x03, 0x00});
  EXPECT_EQ(FindVpdCapability(kDeviceBdf), 0xFC);  // the 48th entry

  device.SetConfigBytes(0xFC, {0x09, 0x10});
  for (unsigned offset = 0x10; offset < 0x2C; offset += 4) {
    device.SetConfigBytes(static_cast<uint16_t>(offset), {0x09, static_cast<uint8_t>(offset + 4)});
  }
  device.SetConfigBytes(0x2C, {0x03, 0x00});
  const size_t mark = machine.Trace().Mark();
  EXPECT_EQ(FindVpdCapability(kDeviceBdf), 0);
  EXPECT_EQ(LegacyAddresses(machine, mark).size(), 1u + VPD_CAPABILITY_WALK_LIMIT);
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t index = 0; index < size; index++) {
    bytes[index] = static_cast<uint8_t>(index * 7 + 3);
  }
  return bytes;
}

TEST_F(PciAccessTest, ReadVpdImageReadsEveryDwordAfterCompletion) {
  const std::vector<uint8_t> image = Pattern(300);
  sim::VpdCapability &vpd = machine.AddPciFunction(kDevice, kIdWord).AddVpdCapability(image, 0x60);
  vpd.SetCompletionReads(3);

  std::vector<uint8_t> read(VPD_IMAGE_SIZE, 0xEE);
  ReadVpdImage(kDeviceBdf, 0x60, read.data());
  EXPECT_EQ(read, std::vector<uint8_t>(image.begin(), image.begin() + VPD_IMAGE_SIZE));
  EXPECT_EQ(vpd.Requests(), 64u);
  // Requests by address, 16 bits wide, bit 15 clear.
  const auto requests = machine.Trace().MmioWrites(Machine::EcamAddress(kDevice, 0x62));
  ASSERT_EQ(requests.size(), 64u);
  for (size_t index = 0; index < requests.size(); index++) {
    EXPECT_EQ(requests[index].width, 16);
    EXPECT_EQ(requests[index].value, index * 4);
  }
}

// Forwards every access to the machine; before the nth VPD request reaches
// it, makes the VPD stop completing, as a device that hangs part way would.
class HangingVpdPlatform final : public sim::HardwarePlatform {
 public:
  HangingVpdPlatform(Machine &machine, uint64_t requestAddress, unsigned hangAt)
      : machine_(machine), requestAddress_(requestAddress), hangAt_(hangAt) {}

  uint32_t IoRead(uint16_t port, unsigned width) override { return machine_.IoRead(port, width); }
  void IoWrite(uint16_t port, unsigned width, uint32_t value) override {
    machine_.IoWrite(port, width, value);
  }
  uint32_t MmioRead(uint64_t address, unsigned width) override {
    return machine_.MmioRead(address, width);
  }
  void MmioWrite(uint64_t address, unsigned width, uint32_t value) override {
    if (address == requestAddress_ && ++requests_ == hangAt_) {
      machine_.FindPciFunction(kDevice)->Vpd()->SetCompletionReads(sim::VpdCapability::kNever);
    }
    machine_.MmioWrite(address, width, value);
  }
  uint64_t ReadMsr(uint32_t index) override { return machine_.ReadMsr(index); }
  void WriteMsr(uint32_t index, uint64_t value) override { machine_.WriteMsr(index, value); }
  uint64_t ReadRegister(Register reg) override { return machine_.ReadRegister(reg); }
  void WriteRegister(Register reg, uint64_t value) override { machine_.WriteRegister(reg, value); }
  uint16_t CpuidBackDoor(uint32_t eax, uint32_t ebx, uint32_t ecx) override {
    return machine_.CpuidBackDoor(eax, ebx, ecx);
  }
  uint64_t ReadTsc() override { return machine_.ReadTsc(); }
  void Pause() override { machine_.Pause(); }
  uintptr_t IdtBase() override { return machine_.IdtBase(); }
  void DebugToolHandOver(uint32_t edx, uint32_t eax, uint32_t ebx) override {
    machine_.DebugToolHandOver(edx, eax, ebx);
  }

 private:
  Machine &machine_;
  uint64_t requestAddress_;
  unsigned hangAt_;
  unsigned requests_ = 0;
};

TEST_F(PciAccessTest, ReadVpdImageTimeOutKeepsBytesReadAndZerosTheRest) {
  const std::vector<uint8_t> image = Pattern(VPD_IMAGE_SIZE);
  machine.AddPciFunction(kDevice, kIdWord).AddVpdCapability(image, 0x60);
  const uint64_t addressRegister = Machine::EcamAddress(kDevice, 0x62);

  // The third request (offset 8) never completes.
  HangingVpdPlatform hanging(machine, addressRegister, 3);
  sim::SetActivePlatform(&hanging);
  std::vector<uint8_t> read(VPD_IMAGE_SIZE, 0xEE);
  ReadVpdImage(kDeviceBdf, 0x60, read.data());
  machine.Activate();

  std::vector<uint8_t> expected(VPD_IMAGE_SIZE, 0);
  std::copy(image.begin(), image.begin() + 8, expected.begin());
  EXPECT_EQ(read, expected);
  // It gave up on that dword after the bounded number of polls.
  EXPECT_EQ(machine.Trace().MmioWrites(addressRegister).size(), 3u);
  EXPECT_EQ(machine.Trace().Count(AccessKind::MmioRead, addressRegister),
            2u + VPD_COMPLETION_POLL_LIMIT);
  EXPECT_EQ(machine.Trace().Count(AccessKind::MmioRead, Machine::EcamAddress(kDevice, 0x64)), 2u);
}

}  // namespace
