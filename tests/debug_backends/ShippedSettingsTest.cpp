// The back-ends as shipped (printing disabled): nothing is printed, and the
// debug tool takes part only when DR2 already holds its port at start-up.
#include "BackendTest.h"
#include "debug/DebugLib.h"

namespace backends_test {
namespace {

using ShippedSettingsTest = BackendTest;

TEST_F(ShippedSettingsTest, DebugToolIsActiveOnlyWithItsPortInDr2) {
  struct {
    UINT64 dr2;
    BOOLEAN active;
  } const cases[] = {{0x99CC, TRUE}, {0, FALSE}, {0x99CD, FALSE}, {0x1000099CCULL, FALSE}};
  for (const auto &c : cases) {
    machine_.SetRegister(Register::Dr2, c.dr2);
    EXPECT_EQ(HdtOutIsActive(), c.active) << std::hex << c.dr2;
  }
}

TEST_F(ShippedSettingsTest, StartUpArmsTheBreakpointWhenDr2HoldsThePort) {
  machine_.SetRegister(Register::Dr2, 0x99CC);
  EXPECT_EQ(DebugPrintInitialize(), EFI_SUCCESS);
  EXPECT_EQ(Writes(), (std::vector<std::string>{"wrmsr 0xc001100a = 0x1", "wrreg dr2 = 0x99cc",
                                                "wrreg dr7 = 0x2000420", "wrreg cr4 = 0x628"}));
  EXPECT_TRUE(machine_.IoBreakpointArmed(HDT_OUT_PORT));
}

TEST_F(ShippedSettingsTest, StartUpWithoutTheToolWritesNothing) {
  machine_.SetRegister(Register::Dr2, 0);
  EXPECT_EQ(DebugPrintInitialize(), EFI_SUCCESS);
  EXPECT_TRUE(Writes().empty());
}

TEST_F(ShippedSettingsTest, PrintingTouchesNoHardware) {
  machine_.SetRegister(Register::Dr2, 0x99CC);
  AddHdtHeader({.OutputFilter = ~0ULL});
  DebugPrint(DEBUG_S3_SAVE, "never shown %d\n", UINT64{1});
  EXPECT_TRUE(Accesses().empty());
}

}  // namespace
}  // namespace backends_test
