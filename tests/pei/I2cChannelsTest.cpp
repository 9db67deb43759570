// ProgramI2cChannelsCallback: its call order and what reaches the I2C
// apply PPI.
#include "BoardHookPeiFixture.h"

namespace {

using testing::ElementsAre;

class I2cChannelsTest : public BoardHookPeiTest {
 protected:
  I2cChannelsTest() {
    EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
    EXPECT_EQ(RunEntry(), EFI_SUCCESS);
    // SMBus alone starts the board identification; keep this test to the
    // I2C callback by letting it run first.
    EXPECT_EQ(smbus.Install(), EFI_SUCCESS);
    pei.ClearTrace();
  }
};

TEST_F(I2cChannelsTest, ClearsFillsAppliesAndClearsInOrder) {
  ASSERT_EQ(i2cApply.Install(), EFI_SUCCESS);
  EXPECT_THAT(
      pei.Trace(),
      ElementsAre(
          "InstallPpi(I2C_APPLY_PPI) = EFI_SUCCESS", "Notify(I2C_APPLY_PPI) = EFI_SUCCESS",
          "LocatePpi(EFI_PEI_SMBUS2_PPI, 0) = EFI_SUCCESS",
          "Smbus.WriteByte(0x74, 0x0) = EFI_SUCCESS", "LocatePpi(I2C_TABLE_PPI, 0) = EFI_SUCCESS",
          "I2cTable.Configure(0x0, 0xE2, 0x4, 0x1BB)", "I2cTable.FillTables()",
          "LocatePpi(I2C_APPLY_PPI, 0) = EFI_SUCCESS", "I2cApply.Apply(0x0, 0xE2, 0x2, 0x5)",
          "I2cApply.Apply(0x0, 0xE2, 0x4, 0x5)", "Smbus.WriteByte(0x71, 0x0) = EFI_SUCCESS"));
  // T1 and T2, as the table PPI filled them, go to the apply PPI; the
  // services pointer is the foundation's.
  ASSERT_EQ(i2cTable.FillCalls().size(), 1u);
  const sim::I2cTablePpiStandIn::FillCall &Fill = i2cTable.FillCalls()[0];
  ASSERT_EQ(i2cApply.Calls().size(), 2u);
  EXPECT_EQ(i2cApply.Calls()[0].table, Fill.tables[0]);
  EXPECT_EQ(i2cApply.Calls()[0].contents, i2cTable.TableContents(0));
  EXPECT_EQ(i2cApply.Calls()[1].table, Fill.tables[1]);
  EXPECT_EQ(i2cApply.Calls()[1].contents, i2cTable.TableContents(1));
  EXPECT_NE(Fill.tables[2], Fill.tables[0]);
  EXPECT_NE(Fill.tables[2], Fill.tables[1]);
  for (const sim::I2cApplyPpiStandIn::Call &Call : i2cApply.Calls()) {
    EXPECT_EQ(Call.peiServices, pei.Services());
  }
  EXPECT_EQ(i2cTable.ConfigureCalls().at(0).peiServices, pei.Services());
  EXPECT_EQ(smbus.DeviceByte(0x71), 0x00);
  EXPECT_EQ(LastNotify("I2C_APPLY_PPI"), "EFI_SUCCESS");
}

TEST_F(I2cChannelsTest, CallStatusesAreIgnored) {
  smbus.Faults(0x74, EfiSmbusWriteByte).FailEvery(EFI_DEVICE_ERROR);
  smbus.Faults(0x71, EfiSmbusWriteByte).FailEvery(EFI_DEVICE_ERROR);
  ASSERT_EQ(i2cApply.Install(), EFI_SUCCESS);
  EXPECT_EQ(i2cApply.Calls().size(), 2u);
  EXPECT_EQ(TraceOf({"Smbus."}).back(), "Smbus.WriteByte(0x71, 0x0) = EFI_DEVICE_ERROR");
  EXPECT_EQ(LastNotify("I2C_APPLY_PPI"), "EFI_SUCCESS");
}

TEST_F(I2cChannelsTest, MissingTablePpiClearsOnly0x74) {
  sim::PeiFoundation Other(clock);
  sim::SmbusPpiStandIn OtherSmbus(Other);
  OtherSmbus.SetInputByte(0x71, 0x10);
  Other.InstallPpi(gEfiPeiSmbus2PpiGuid, OtherSmbus.Ppi());
  EXPECT_EQ(
      ProgramI2cChannelsCallback(const_cast<EFI_PEI_SERVICES **>(Other.Services()), NULL, NULL),
      EFI_SUCCESS);
  EXPECT_THAT(OtherSmbus.Writes(0x74), ElementsAre(0x00));
  EXPECT_TRUE(OtherSmbus.Writes(0x71).empty());
  EXPECT_EQ(OtherSmbus.DeviceByte(0x71), 0x10);
  EXPECT_TRUE(i2cApply.Calls().empty());

  // Without SMBus the callback does nothing at all.
  sim::PeiFoundation Bare(clock);
  EXPECT_EQ(
      ProgramI2cChannelsCallback(const_cast<EFI_PEI_SERVICES **>(Bare.Services()), NULL, NULL),
      EFI_SUCCESS);
  EXPECT_EQ(Bare.Trace().size(), 1u);
}

TEST_F(I2cChannelsTest, MissingApplyPpiStillClears0x71) {
  // The callback runs for the installation, but locating the apply PPI
  // fails: no table is applied and 0x71 is cleared all the same.
  pei.LocatePpiFaults().FailNth(3, EFI_NOT_FOUND);
  ASSERT_EQ(i2cApply.Install(), EFI_SUCCESS);
  EXPECT_TRUE(i2cApply.Calls().empty());
  EXPECT_EQ(i2cTable.FillCalls().size(), 1u);
  EXPECT_THAT(TraceOf({"Smbus.", "LocatePpi(I2C_APPLY"}),
              ElementsAre("Smbus.WriteByte(0x74, 0x0) = EFI_SUCCESS",
                          "LocatePpi(I2C_APPLY_PPI, 0) = EFI_NOT_FOUND",
                          "Smbus.WriteByte(0x71, 0x0) = EFI_SUCCESS"));
}

TEST_F(I2cChannelsTest, ASecondInstallationRunsTheWholeSequenceAgain) {
  ASSERT_EQ(i2cApply.Install(), EFI_SUCCESS);
  ASSERT_EQ(i2cApply.Install(), EFI_SUCCESS);
  EXPECT_EQ(i2cTable.ConfigureCalls().size(), 2u);
  EXPECT_EQ(i2cApply.Calls().size(), 4u);
  EXPECT_THAT(smbus.Writes(0x74), ElementsAre(0x00, 0x00));
  // Identification wrote 0x10 to 0x71; each run clears it.
  EXPECT_THAT(smbus.Writes(0x71), ElementsAre(0x10, 0x00, 0x00));
}

}  // namespace
