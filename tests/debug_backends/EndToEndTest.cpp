// One message through the dispatcher and all four back-ends, built with
// printing enabled, on the simulated machine: the port redirect, the debug
// tool, the serial UART and the UART FIFO, in that order.
#include <string>
#include <vector>

#include "BackendTest.h"
#include "debug/DebugLib.h"

namespace backends_test {
namespace {

using Strings = std::vector<std::string>;

class EndToEndTest : public BackendTest {
 protected:
  // The writes since `mark`, with the debug tool's EAX (the address of the
  // dispatcher's stack text) left out.
  Strings WritesWithoutTextAddress(size_t mark = 0) {
    Strings writes = Writes(mark);
    for (std::string &line : writes) {
      size_t eax = line.find(" eax=");
      if (eax != std::string::npos) line.replace(eax, line.find(" ebx=") - eax, " eax=*");
    }
    return writes;
  }
};

Strings PortBytes(const char *port, const std::string &text) {
  Strings lines;
  for (unsigned char byte : text) {
    char line[48];
    std::snprintf(line, sizeof line, "out8 %s = 0x%x", port, byte);
    lines.push_back(line);
  }
  return lines;
}

TEST_F(EndToEndTest, OneMessageThroughAllFourBackendsInListOrder) {
  // The tool's header lets the S3 save class through and hands over at once.
  AddHdtHeader({.PrintEnable = 1, .BufferedMode = 0, .OutputFilter = DEBUG_S3_SAVE});
  const std::string text = "S3 save table has 12 entries\r\n";

  DebugPrint(DEBUG_S3_SAVE, "S3 save table has %d entries\n", UINT64{12});

  Strings expected = {"out32 0x80 = 0x5f535452"};
  for (const std::string &line : PortBytes("0x80", text)) expected.push_back(line);
  expected.push_back("out32 0x80 = 0x5f454e44");
  char handOver[80];
  std::snprintf(handOver, sizeof handOver, "handover edx=0xc0bf99cc eax=* ebx=0x%zx", text.size());
  expected.push_back(handOver);
  for (const std::string &line : PortBytes("0x3f8", "S3 save table has 12 entries\r\r\n")) {
    expected.push_back(line);
  }
  for (const std::string &line : PortBytes("0x3f8", text)) expected.push_back(line);

  EXPECT_EQ(WritesWithoutTextAddress(), expected);
  // The same UART line carries the message twice: from the serial back-end
  // with its carriage return before the line feed, then unchanged.
  EXPECT_EQ(machine_.Uart().TransmittedText(),
            "S3 save table has 12 entries\r\r\nS3 save table has 12 entries\r\n");
}

TEST_F(EndToEndTest, ClassOutsideTheDefaultFilterReachesOnlyTheToolThatAsksForIt) {
  DebugPrint(0x1, "bit 0");
  EXPECT_TRUE(Writes().empty()) << "no back-end keeps bit 0 without a header";

  AddHdtHeader({.OutputFilter = 0x1});
  DebugPrint(0x1, "bit 0");
  EXPECT_EQ(WritesWithoutTextAddress(), Strings{"handover edx=0xc0bf99cc eax=* ebx=0x5"});
}

TEST_F(EndToEndTest, StartUpArmsTheToolsBreakpoint) {
  // Printing enabled forces the debug tool active, whatever DR2 holds.
  machine_.SetRegister(Register::Dr2, 0);
  EXPECT_EQ(DebugPrintInitialize(), EFI_SUCCESS);
  EXPECT_TRUE(machine_.IoBreakpointArmed(HDT_OUT_PORT));

  DebugPrint(DEBUG_S3_SAVE, "armed");
  ASSERT_EQ(machine_.DebugTool().HandOvers().size(), 1u);
  EXPECT_TRUE(machine_.DebugTool().HandOvers()[0].armed);
}

}  // namespace
}  // namespace backends_test
