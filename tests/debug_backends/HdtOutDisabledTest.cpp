// The debug-tool back-end built with HdtOutEnable 0: inactive whatever DR2
// holds, so the start-up pass leaves the breakpoint alone.
#include "BackendTest.h"
#include "debug/DebugLib.h"

namespace backends_test {
namespace {

using HdtOutDisabledTest = BackendTest;

TEST_F(HdtOutDisabledTest, InactiveEvenWithItsPortInDr2) {
  machine_.SetRegister(Register::Dr2, 0x99CC);
  EXPECT_FALSE(HdtOutIsActive());
  EXPECT_EQ(DebugPrintInitialize(), EFI_SUCCESS);
  EXPECT_TRUE(Accesses().empty());
  HdtOutWrite("x", 1);
  EXPECT_TRUE(Accesses().empty());
}

}  // namespace
}  // namespace backends_test
