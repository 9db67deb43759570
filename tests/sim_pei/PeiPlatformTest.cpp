// The simulated PEI platform: what it wires at construction, what its
// options change and how it installs the platform's PPIs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "include/PcdTokens.h"
#include "sim/platform/PeiPlatform.h"

namespace {

using testing::ElementsAre;

TEST(PeiPlatformTest, WiresTheMachineAndTheDatabaseAndInstallsNothing) {
  for (const bool systemTokens : {true, false}) {
    SCOPED_TRACE(systemTokens ? "system tokens" : "without system tokens");
    sim::PeiPlatformOptions options;
    if (!systemTokens) options.WithoutSystemTokens();
    sim::PeiPlatform platform(options);

    // SIDT answers with the IDT base, and the word below it holds the
    // services pointer, as the module reads it.
    const uintptr_t base = platform.machine.IdtBase();
    EXPECT_EQ(base, platform.pei.IdtBase());
    uintptr_t below = 0;
    std::memcpy(&below, reinterpret_cast<const void *>(base - sizeof(uintptr_t)), sizeof(below));
    EXPECT_EQ(below, reinterpret_cast<uintptr_t>(platform.pei.Services()));

    EXPECT_EQ(platform.pcd.Phase(), "PEI");
    EXPECT_EQ(platform.pcd.Size(PCD_TOKEN_BOARD_TYPE).has_value(), systemTokens);
    EXPECT_TRUE(platform.pei.InstalledPpis().empty());
    EXPECT_TRUE(platform.pei.Trace().empty());
  }
}

TEST(PeiPlatformTest, DatabaseCallsReachTheTraceOnlyWhenAsked) {
  for (const bool pcdTrace : {false, true}) {
    SCOPED_TRACE(pcdTrace ? "traced" : "not traced");
    sim::PeiPlatformOptions options;
    if (pcdTrace) options.WithPcdTrace();
    sim::PeiPlatform platform(options);
    ASSERT_EQ(platform.InstallPcdPpi(), EFI_SUCCESS);
    platform.pei.ClearTrace();

    EXPECT_EQ(platform.pcd.Ppi()->Set8(PCD_TOKEN_BOARD_TYPE, 0x0C), EFI_SUCCESS);
    EXPECT_EQ(platform.pcd.Ppi()->Set16(PCD_TOKEN_BOARD_TYPE, 1), EFI_INVALID_PARAMETER);
    if (pcdTrace) {
      EXPECT_THAT(platform.pei.Trace(), ElementsAre("Pcd.Set8(0x4, 0xC) = EFI_SUCCESS",
                                                    "Pcd.Set16(0x4, 0x1) = EFI_INVALID_PARAMETER"));
    } else {
      EXPECT_TRUE(platform.pei.Trace().empty());
    }
  }
}

TEST(PeiPlatformTest, PlatformPpisGoInOneByOnePastAFailure) {
  sim::PeiPlatform platform;
  platform.pei.InstallPpiFaults().FailNth(2, EFI_OUT_OF_RESOURCES);

  EXPECT_EQ(platform.InstallPlatformPpis(), EFI_OUT_OF_RESOURCES);
  EXPECT_THAT(platform.pei.Trace(),
              ElementsAre("InstallPpi(PCD_PPI) = EFI_SUCCESS",
                          "InstallPpi(EFI_PEI_READ_ONLY_VARIABLE2_PPI) = EFI_OUT_OF_RESOURCES",
                          "InstallPpi(EFI_PEI_STALL_PPI) = EFI_SUCCESS",
                          "InstallPpi(BMC_IPMI_PPI) = EFI_SUCCESS",
                          "InstallPpi(I2C_TABLE_PPI) = EFI_SUCCESS"));
  EXPECT_EQ(platform.pei.FindPpi(gPcdPpiGuid), platform.pcd.Ppi());
  EXPECT_EQ(platform.pei.FindPpi(gEfiPeiStallPpiGuid), platform.stall.Ppi());
  EXPECT_EQ(platform.pei.FindPpi(gBmcIpmiPpiGuid), platform.bmc.Ppi());
  EXPECT_EQ(platform.pei.FindPpi(gI2cTablePpiGuid), platform.i2cTable.Ppi());
  // The two whose installation starts the module's callbacks stay out.
  EXPECT_EQ(platform.pei.CountPpis(gEfiPeiSmbus2PpiGuid), 0u);
  EXPECT_EQ(platform.pei.CountPpis(gI2cApplyPpiGuid), 0u);
}

}  // namespace
