// Width-coded port and memory access on the simulated machine: one access of
// the coded width, bit 7 of the code ignored, every other code trapping with
// the routine's code and touching nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/WidthAccess.h"
#include "sim/machine/Machine.h"

namespace {

using sim::AccessKind;
using sim::Machine;
using sim::RunEnd;
using sim::TraceRecord;

constexpr uint16_t kPort = 0x520;
constexpr uint64_t kMmioBase = 0xFED40000;
constexpr uint32_t kDeviceValue = 0x12345678;

// A register that answers kDeviceValue at any width and records writes.
class Register final : public sim::IoDevice, public sim::MmioDevice {
 public:
  uint32_t IoRead(uint16_t, unsigned width) override {
    return kDeviceValue & sim::WidthMask(width);
  }
  void IoWrite(uint16_t, unsigned width, uint32_t value) override { Record(width, value); }
  uint32_t MmioRead(uint64_t, unsigned width) override {
    return kDeviceValue & sim::WidthMask(width);
  }
  void MmioWrite(uint64_t, unsigned width, uint32_t value) override { Record(width, value); }

  struct Write {
    unsigned width;
    uint32_t value;
  };
  std::vector<Write> writes;

 private:
  void Record(unsigned width, uint32_t value) { writes.push_back({width, value}); }
};

class WidthAccessTest : public ::testing::Test {
 protected:
  WidthAccessTest() {
    machine.AttachIo(kPort, 4, device);
    machine.AttachMmio(kMmioBase, 0x1000, device);
    machine.SetCpuidBackDoorAnswer(1);
  }

  // Device accesses of the run, trap post codes excluded.
  std::vector<TraceRecord> DeviceAccesses() {
    return machine.Trace().Where([](const TraceRecord &record) {
      bool port = (record.kind == AccessKind::IoRead || record.kind == AccessKind::IoWrite) &&
                  record.address == kPort;
      bool memory = record.kind == AccessKind::MmioRead || record.kind == AccessKind::MmioWrite;
      return port || memory;
    });
  }

  // Every access so far; identical reads in a row share one trace record,
  // so accesses are counted rather than records.
  uint64_t AccessCount() {
    uint64_t count = 0;
    for (size_t kind = 0; kind < sim::kAccessKindCount; kind++) {
      count += machine.Trace().Count(static_cast<AccessKind>(kind));
    }
    return count;
  }

  Register device;
  Machine machine;
};

enum class Routine { IoRead, IoWrite, MemRead, MemWrite };

void Access(Routine routine, uint32_t width, void *value) {
  switch (routine) {
    case Routine::IoRead:
      WidthIoRead(width, kPort, value, nullptr);
      break;
    case Routine::IoWrite:
      WidthIoWrite(width, kPort, value, nullptr);
      break;
    case Routine::MemRead:
      WidthMemRead(width, kMmioBase, value, nullptr);
      break;
    case Routine::MemWrite:
      WidthMemWrite(width, kMmioBase, value, nullptr);
      break;
  }
}

TEST_F(WidthAccessTest, CodesOutsideTheTableTrapWithoutAccess) {
  struct Case {
    Routine routine;
    uint32_t trapCode;
  };
  const std::vector<Case> routines = {{Routine::IoRead, ERROR_TRAP_WIDTH_IO_READ},
                                      {Routine::IoWrite, ERROR_TRAP_WIDTH_IO_WRITE},
                                      {Routine::MemRead, ERROR_TRAP_WIDTH_MEM_READ},
                                      {Routine::MemWrite, ERROR_TRAP_WIDTH_MEM_WRITE}};
  for (const Case &c : routines) {
    for (uint32_t width : {0u, 4u, 0x80u, 0x84u, 0x101u, 0x102u, 0x80000001u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(testing::Message() << "routine " << int(c.routine) << " width " << width);
      machine.PostCodes().Clear();
      const size_t mark = machine.Trace().Mark();
      uint32_t value = 0xA5A5A5A5;
      auto outcome = machine.Run([&] { Access(c.routine, width, &value); });
      ASSERT_EQ(outcome.end, RunEnd::Returned) << outcome;
      EXPECT_EQ(machine.PostCodes().Values(0x80), std::vector<uint32_t>{c.trapCode});
      EXPECT_EQ(machine.PostCodes().Values(0xE0), std::vector<uint32_t>{0xDEAD});
      EXPECT_TRUE(DeviceAccesses().empty()) << machine.Trace().Dump(mark);
      EXPECT_TRUE(device.writes.empty());
      EXPECT_EQ(value, 0xA5A5A5A5u);
    }
  }
}

TEST_F(WidthAccessTest, ReadsStoreOnlyTheCodedWidth) {
  struct Case {
    uint32_t width;
    unsigned bits;
    uint32_t value;  // a value buffer that held 0xA5A5A5A5
  };
  const std::vector<Case> cases = {
      {1, 8, 0xA5A5A578},     {0x81, 8, 0xA5A5A578}, {2, 16, 0xA5A55678},
      {0x82, 16, 0xA5A55678}, {3, 32, 0x12345678},   {0x83, 32, 0x12345678},
  };
  for (Routine routine : {Routine::IoRead, Routine::MemRead}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << "routine " << int(routine) << " width " << c.width);
      const uint64_t before = AccessCount();
      // One byte of slack on each side: nothing outside the value is touched.
      uint8_t buffer[6] = {0xEE, 0xA5, 0xA5, 0xA5, 0xA5, 0xEE};
      auto outcome = machine.Run([&] { Access(routine, c.width, buffer + 1); });
      ASSERT_EQ(outcome.end, RunEnd::Returned) << outcome;
      uint32_t value;
      std::memcpy(&value, buffer + 1, sizeof(value));
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(buffer[0], 0xEE);
      EXPECT_EQ(buffer[5], 0xEE);

      EXPECT_EQ(AccessCount() - before, 1u);
      const TraceRecord &read = machine.Trace().Records().back();
      EXPECT_EQ(read.kind, routine == Routine::IoRead ? AccessKind::IoRead : AccessKind::MmioRead);
      EXPECT_EQ(read.width, c.bits);
      EXPECT_EQ(read.address, routine == Routine::IoRead ? kPort : kMmioBase);
    }
  }
}

TEST_F(WidthAccessTest, WritesSendOnlyTheCodedWidth) {
  struct Case {
    uint32_t width;
    unsigned bits;
    uint32_t sent;  // of the value 0x11223344
  };
  const std::vector<Case> cases = {
      {1, 8, 0x44},       {0x81, 8, 0x44},     {2, 16, 0x3344},
      {0x82, 16, 0x3344}, {3, 32, 0x11223344}, {0x83, 32, 0x11223344},
  };
  for (Routine routine : {Routine::IoWrite, Routine::MemWrite}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << "routine " << int(routine) << " width " << c.width);
      device.writes.clear();
      const uint64_t before = AccessCount();
      uint32_t value = 0x11223344;
      auto outcome = machine.Run([&] { Access(routine, c.width, &value); });
      ASSERT_EQ(outcome.end, RunEnd::Returned) << outcome;
      ASSERT_EQ(device.writes.size(), 1u);
      EXPECT_EQ(device.writes[0].width, c.bits);
      EXPECT_EQ(device.writes[0].value, c.sent);
      EXPECT_EQ(AccessCount() - before, 1u);
      EXPECT_EQ(value, 0x11223344u);
    }
  }
}

}  // namespace
