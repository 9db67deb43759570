// The port-redirect, serial and UART FIFO back-ends against the simulated
// machine: exact port sequences, readiness limits and line-end handling.
#include <string>
#include <vector>

#include "BackendTest.h"
#include "debug/RedirectBackend.h"
#include "debug/SerialBackend.h"
#include "debug/UartFifoBackend.h"

namespace backends_test {
namespace {

using sim::UartReadiness;
using Strings = std::vector<std::string>;

const CHAR8 kAbc[] = "abc";

// --- RedirectWrite ---

using RedirectBackendTest = BackendTest;

TEST_F(RedirectBackendTest, TextBetweenTheTwoMarkerWordsOnPort0x80) {
  RedirectWrite(kAbc, 3);
  EXPECT_EQ(Accesses(), (Strings{"out32 0x80 = 0x5f535452", "out8 0x80 = 0x61", "out8 0x80 = 0x62",
                                 "out8 0x80 = 0x63", "out32 0x80 = 0x5f454e44"}));
}

TEST_F(RedirectBackendTest, EmptyTextWritesOnlyTheMarkers) {
  RedirectWrite(kAbc, 0);
  EXPECT_EQ(Accesses(), (Strings{"out32 0x80 = 0x5f535452", "out32 0x80 = 0x5f454e44"}));
}

TEST_F(RedirectBackendTest, RecordKeepsTheFilterAndIsActiveWithPrintingEnabled) {
  UINT64 filter = kDefaultFilter;
  EXPECT_TRUE(RedirectBackend.IsActive());
  EXPECT_FALSE(RedirectBackend.AdjustFilter(&filter));
  EXPECT_EQ(filter, kDefaultFilter);
  EXPECT_EQ(RedirectBackend.Write, &RedirectWrite);
  RedirectBackend.Initialize();
  EXPECT_TRUE(Accesses().empty());
}

// --- SerialWriteByte / SerialWrite ---

class SerialBackendTest : public BackendTest {};

// When the LSR shows the transmit holding register empty, and what a byte
// then costs.
struct ReadinessCase {
  const char *name;
  UartReadiness readiness;
  BOOLEAN written;
  uint64_t lsrReads;
};

TEST_F(SerialBackendTest, ByteWaitsAtMost2000LineStatusReads) {
  const ReadinessCase cases[] = {
      {"ready at once", UartReadiness::AtOnce(), TRUE, 1},
      {"ready on the 2000th read", UartReadiness::AfterReads(1999), TRUE, 2000},
      {"ready only on the 2001st read", UartReadiness::AfterReads(2000), FALSE, 2000},
      {"never ready", UartReadiness::Never(), FALSE, 2000},
  };
  for (const ReadinessCase &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Uart16550 &uart = machine_.Uart();
    uart.ClearTransmitted();
    uart.SetTransmitReady(c.readiness);
    uint64_t readsBefore = uart.LsrReads();
    size_t mark = Mark();

    EXPECT_EQ(SerialWriteByte('Z'), c.written);
    EXPECT_EQ(uart.LsrReads() - readsBefore, c.lsrReads);
    EXPECT_EQ(uart.TransmittedText(), c.written ? "Z" : "");
    EXPECT_EQ(Writes(mark), c.written ? Strings{"out8 0x3f8 = 0x5a"} : Strings{});
  }
  // Every read was one of the LSR, at base + 5.
  EXPECT_EQ(machine_.Trace().Count(AccessKind::IoRead, 0x3FD), machine_.Uart().LsrReads());
  EXPECT_EQ(machine_.Trace().Count(AccessKind::IoRead), machine_.Uart().LsrReads());
}

TEST_F(SerialBackendTest, MemoryUartAbove0xFFFFHasItsLsr0x14BytesUp) {
  sim::Uart16550 &uart = machine_.AddMmioUart(0x10000);
  uart.SetTransmitReady(UartReadiness::AfterReads(2));

  EXPECT_TRUE(SerialWriteByteAt(0x10000, 'M'));
  EXPECT_EQ(Accesses(), (Strings{"mmio-rd8 0x10014 = 0x40 x2", "mmio-rd8 0x10014 = 0x60",
                                 "mmio-wr8 0x10000 = 0x4d"}));
  EXPECT_EQ(uart.TransmittedText(), "M");
}

// A line status register that shows the transmit holding register empty
// from its third read on.
class LateLineStatus final : public sim::IoDevice {
 public:
  uint32_t IoRead(uint16_t, unsigned) override { return ++reads_ > 2 ? 0x20 : 0x00; }
  void IoWrite(uint16_t, unsigned, uint32_t) override {}

 private:
  unsigned reads_ = 0;
};

TEST_F(SerialBackendTest, Base0xFFFFIsStillAPortUart) {
  // Base + 5 in a 16-bit port number, as the port instructions take it:
  // the LSR is polled at port 0x0004.
  LateLineStatus lsr;
  machine_.AttachIo(0x0004, 1, lsr);
  EXPECT_TRUE(SerialWriteByteAt(0xFFFF, 'P'));
  EXPECT_EQ(Accesses(), (Strings{"in8 0x4 = 0x0 x2", "in8 0x4 = 0x20", "out8 0xffff = 0x50"}));
}

TEST_F(SerialBackendTest, LineFeedGetsACarriageReturnBeforeIt) {
  struct {
    std::string text;
    std::string sent;
  } const cases[] = {
      {"A\nB", "A\r\nB"},
      {"x\r\n", "x\r\r\n"},  // a formatted line end goes out as CR CR LF
      {"\n\n", "\r\n\r\n"},
  };
  for (const auto &c : cases) {
    machine_.Uart().ClearTransmitted();
    SerialWrite(c.text.c_str(), c.text.size());
    EXPECT_EQ(machine_.Uart().TransmittedText(), c.sent) << c.text;
  }
}

TEST_F(SerialBackendTest, DroppedBytesDoNotStopTheRest) {
  machine_.Uart().SetTransmitReady(UartReadiness::Never());
  SerialWrite("A\nB", 3);
  // A, CR, LF and B each get their own 2000 reads.
  EXPECT_EQ(machine_.Uart().LsrReads(), 4u * 2000u);
  EXPECT_TRUE(Writes().empty());
}

TEST_F(SerialBackendTest, RecordUsesTheUartAt0x3F8) {
  UINT64 filter = kDefaultFilter;
  EXPECT_TRUE(SerialBackend.IsActive());
  EXPECT_FALSE(SerialBackend.AdjustFilter(&filter));
  EXPECT_EQ(filter, kDefaultFilter);
  SerialBackend.Initialize();
  SerialBackend.Write("ok\n", 3);
  EXPECT_EQ(machine_.Uart().TransmittedText(), "ok\r\n");
}

// --- UartFifoWrite ---

class UartFifoBackendTest : public BackendTest {
 protected:
  // The transmitter runs empty on the third LSR read after each byte.
  void SetUp() override {
    BackendTest::SetUp();
    machine_.Uart().SetTransmitterEmpty(UartReadiness::AfterReads(2));
  }
};

TEST_F(UartFifoBackendTest, FortyBytesGoOutAsBurstsOf16_16And8) {
  std::string text;
  for (int i = 0; i < 40; i++) text += static_cast<char>('A' + i % 26);

  EXPECT_EQ(UartFifoWrite(reinterpret_cast<const UINT8 *>(text.data()), text.size()), 40u);

  Strings expected;
  for (size_t burst : {16, 16, 8}) {
    expected.push_back("in8 0x3fd = 0x20 x2");
    expected.push_back("in8 0x3fd = 0x60");
    for (size_t i = 0; i < burst; i++) expected.push_back("out8 0x3f8 = *");
  }
  Strings seen = Accesses();
  for (std::string &line : seen) {
    if (line.rfind("out8 0x3f8 = ", 0) == 0) line = "out8 0x3f8 = *";
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(machine_.Uart().TransmittedText(), text) << "sent unchanged";
}

TEST_F(UartFifoBackendTest, LineFeedsAreNotTranslated) {
  EXPECT_EQ(UartFifoWrite(reinterpret_cast<const UINT8 *>("a\nb\r\n"), 5), 5u);
  EXPECT_EQ(machine_.Uart().TransmittedText(), "a\nb\r\n");
}

TEST_F(UartFifoBackendTest, LengthZeroOnlyDrains) {
  // Both LSR bits 0x20 and 0x40 must show; the holding register empties one
  // read later than the transmitter here.
  machine_.Uart().SetTransmitReady(UartReadiness::AfterReads(3));
  EXPECT_EQ(UartFifoWrite(reinterpret_cast<const UINT8 *>("x"), 0), 0u);
  EXPECT_EQ(Accesses(), (Strings{"in8 0x3fd = 0x0 x2", "in8 0x3fd = 0x40", "in8 0x3fd = 0x60"}));
}

TEST_F(UartFifoBackendTest, DrainGivesUpAfter65535Reads) {
  machine_.Uart().SetTransmitterEmpty(UartReadiness::Never());
  EXPECT_EQ(UartFifoWrite(reinterpret_cast<const UINT8 *>("x"), 0), 0u);
  EXPECT_EQ(machine_.Uart().LsrReads(), 65535u);
}

TEST_F(UartFifoBackendTest, TransmitterNeverEmptyReturnsZeroAfter65535Reads) {
  machine_.Uart().SetTransmitterEmpty(UartReadiness::Never());
  EXPECT_EQ(UartFifoWrite(reinterpret_cast<const UINT8 *>("abc"), 3), 0u);
  EXPECT_EQ(machine_.Uart().LsrReads(), 65535u);
  EXPECT_TRUE(Writes().empty());
}

// A UART whose transmitter runs empty once, for the first burst, and never
// again: it stops sending.
class UartThatStops final : public sim::IoDevice {
 public:
  uint32_t IoRead(uint16_t offset, unsigned) override {
    if (offset != 5) return 0;
    return ++lsrReads_ == 1 ? 0x60 : 0x00;
  }
  void IoWrite(uint16_t offset, unsigned, uint32_t value) override {
    if (offset == 0) sent_.push_back(static_cast<char>(value));
  }
  const std::string &Sent() const { return sent_; }
  uint64_t LsrReads() const { return lsrReads_; }

 private:
  uint64_t lsrReads_ = 0;
  std::string sent_;
};

TEST_F(UartFifoBackendTest, TransmitterStoppingAfterTheFirstBurstKeepsItAndReturnsZero) {
  UartThatStops uart;
  machine_.AttachIo(0x3F8, 8, uart);
  const std::string text = "0123456789abcdefghijklmnopqrst";  // 30 bytes: two bursts

  EXPECT_EQ(UartFifoWrite(reinterpret_cast<const UINT8 *>(text.data()), text.size()), 0u);
  EXPECT_EQ(uart.Sent(), text.substr(0, 16)) << "the first burst stays sent";
  EXPECT_EQ(uart.LsrReads(), 1u + 65535u);
}

TEST_F(UartFifoBackendTest, NullBufferTouchesNoPort) {
  EXPECT_EQ(UartFifoWrite(nullptr, 5), 0u);
  EXPECT_EQ(UartFifoWrite(nullptr, 0), 0u);
  EXPECT_TRUE(Accesses().empty());
}

TEST_F(UartFifoBackendTest, RecordIsAlwaysActiveAndKeepsTheFilter) {
  UINT64 filter = kDefaultFilter;
  EXPECT_TRUE(UartFifoBackend.IsActive());
  EXPECT_FALSE(UartFifoBackend.AdjustFilter(&filter));
  EXPECT_EQ(filter, kDefaultFilter);
  UartFifoBackend.Initialize();
  EXPECT_TRUE(Accesses().empty());
  UartFifoBackend.Write("hi", 2);
  EXPECT_EQ(machine_.Uart().TransmittedText(), "hi");
}

}  // namespace
}  // namespace backends_test
