// The debug print dispatcher as shipped (printing disabled): the print pass
// asks no back-end anything, the start-up pass still runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordingBackends.h"
#include "debug/DebugLib.h"

namespace {

using recording::gCalls;
using recording::gScript;

TEST(DebugPrintDisabled, PrintPassCallsNothing) {
  recording::Reset();
  DebugPrint(DEBUG_S3_SAVE, "S3 %a %r\n", reinterpret_cast<UINT64>("save"), UINT64{0});
  DebugPrint(~0ULL, nullptr);
  EXPECT_TRUE(gCalls.empty());
}

TEST(DebugPrintDisabled, StartupPassStillInitializesActiveBackends) {
  recording::Reset();
  // As with the shipped back-ends when no debug tool is attached: only the
  // UART FIFO back-end is active.
  gScript[0].Active = false;
  gScript[1].Active = false;
  gScript[2].Active = false;
  EXPECT_EQ(DebugPrintInitialize(), EFI_SUCCESS);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"0.IsActive", "1.IsActive", "2.IsActive",
                                              "3.IsActive", "0.IsActive", "1.IsActive",
                                              "2.IsActive", "3.IsActive", "3.Initialize"}));
}

}  // namespace
