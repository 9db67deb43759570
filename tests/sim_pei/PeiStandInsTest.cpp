// The stand-ins for other modules' PPIs, called through their interfaces
// at this build's width.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "sim/pei/PeiStandIns.h"

namespace {

using testing::ElementsAre;

constexpr EFI_GUID kSetupGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
constexpr EFI_GUID kOtherGuid = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};

class PeiStandInsTest : public testing::Test {
 protected:
  sim::SimClock Clock;
  sim::PeiFoundation Pei{Clock};
};

EFI_SMBUS_DEVICE_ADDRESS Address(UINTN Value) {
  EFI_SMBUS_DEVICE_ADDRESS Address = {};
  Address.SmbusDeviceAddress = Value;
  return Address;
}

TEST_F(PeiStandInsTest, SmbusReadsInputsWritesTargetsAndInjectsFailures) {
  sim::SmbusPpiStandIn Smbus(Pei);
  Smbus.SetInputByte(0x39, 0x5A);
  ASSERT_EQ(Smbus.Install(), EFI_SUCCESS);
  EFI_PEI_SMBUS2_PPI *Ppi = static_cast<EFI_PEI_SMBUS2_PPI *>(Pei.FindPpi(gEfiPeiSmbus2PpiGuid));
  ASSERT_EQ(Ppi, Smbus.Ppi());

  struct Case {
    UINTN Address;
    EFI_SMBUS_OPERATION Operation;
    UINTN Length;
    UINT8 Byte;  // written, or expected read
    EFI_STATUS Status;
  } const kCases[] = {
      {0x39, EfiSmbusReadByte, 1, 0x5A, EFI_SUCCESS},
      {0x3A, EfiSmbusReadByte, 1, 0x00, EFI_SUCCESS},
      {0x71, EfiSmbusWriteByte, 1, 0x10, EFI_SUCCESS},
      {0x50, EfiSmbusReadByte, 1, 0xEE, EFI_DEVICE_ERROR},  // no device answers
      {0x39, EfiSmbusReadByte, 2, 0xEE, EFI_BAD_BUFFER_SIZE},
      {0x39, EfiSmbusReadBlock, 1, 0xEE, EFI_UNSUPPORTED},
  };
  for (const Case &Each : kCases) {
    UINTN Length = Each.Length;
    UINT8 Byte = Each.Operation == EfiSmbusWriteByte ? Each.Byte : 0xEE;
    EXPECT_EQ(Ppi->Execute(Ppi, Address(Each.Address), 0, Each.Operation, FALSE, &Length, &Byte),
              Each.Status)
        << Each.Address;
    EXPECT_EQ(Byte, Each.Byte) << Each.Address;
  }
  EXPECT_THAT(Smbus.Writes(0x71), ElementsAre(0x10));
  EXPECT_EQ(Smbus.DeviceByte(0x71), 0x10);

  // A planned failure of one operation on one device: nothing moves.
  Smbus.Faults(0x3A, EfiSmbusReadByte).FailNth(1, EFI_DEVICE_ERROR);
  UINTN Length = 1;
  UINT8 Byte = 0xEE;
  EXPECT_EQ(Ppi->Execute(Ppi, Address(0x71), 0, EfiSmbusWriteByte, FALSE, &Length, &Byte),
            EFI_SUCCESS);
  EXPECT_EQ(Ppi->Execute(Ppi, Address(0x3A), 0, EfiSmbusReadByte, FALSE, &Length, &Byte),
            EFI_DEVICE_ERROR);
  EXPECT_EQ(Byte, 0xEE);
  EXPECT_EQ(Ppi->Execute(Ppi, Address(0x3A), 0, EfiSmbusReadByte, FALSE, &Length, &Byte),
            EFI_SUCCESS);
  EXPECT_EQ(Byte, 0x00);

  const sim::SmbusPpiStandIn::Call &Last = Smbus.Calls().back();
  EXPECT_EQ(Last.address, 0x3A);
  EXPECT_EQ(Last.addressWord, 0x3Au);
  EXPECT_EQ(Last.operation, EfiSmbusReadByte);
  EXPECT_EQ(Last.lengthIn, 1u);
  EXPECT_EQ(Pei.Trace().back(), "Smbus.ReadByte(0x3A) = EFI_SUCCESS");
}

// Several failures armed for one operation on one device all hold, counted
// from when each was armed; a call armed on its own wins over FailEvery.
TEST_F(PeiStandInsTest, SmbusFailuresOfOneDeviceAndOperationAllHold) {
  sim::SmbusPpiStandIn Smbus(Pei);
  EFI_PEI_SMBUS2_PPI *Ppi = Smbus.Ppi();
  auto Read = [&] {
    UINTN Length = 1;
    UINT8 Byte = 0xEE;
    return Ppi->Execute(Ppi, Address(0x3A), 0, EfiSmbusReadByte, FALSE, &Length, &Byte);
  };
  sim::FaultPlan &Reads = Smbus.Faults(0x3A, EfiSmbusReadByte);
  Reads.FailNth(1, EFI_DEVICE_ERROR);
  Reads.FailNth(3, EFI_TIMEOUT);
  EXPECT_EQ(Read(), EFI_DEVICE_ERROR);
  EXPECT_EQ(Read(), EFI_SUCCESS);
  Reads.FailNth(2, EFI_NO_RESPONSE);  // the fourth call from the start
  EXPECT_EQ(Read(), EFI_TIMEOUT);
  EXPECT_EQ(Read(), EFI_NO_RESPONSE);
  EXPECT_EQ(Read(), EFI_SUCCESS);

  Reads.FailEvery(EFI_DEVICE_ERROR);
  Reads.FailNth(2, EFI_TIMEOUT);
  EXPECT_EQ(Read(), EFI_DEVICE_ERROR);
  EXPECT_EQ(Read(), EFI_TIMEOUT);
  EXPECT_EQ(Read(), EFI_DEVICE_ERROR);
  Reads.Clear();
  EXPECT_EQ(Read(), EFI_SUCCESS);
  // Writes to the same device are planned apart.
  UINTN Length = 1;
  UINT8 Byte = 0x10;
  EXPECT_EQ(Ppi->Execute(Ppi, Address(0x3A), 0, EfiSmbusWriteByte, FALSE, &Length, &Byte),
            EFI_SUCCESS);
}

TEST_F(PeiStandInsTest, StallAdvancesTheClock) {
  sim::StallPpiStandIn Stall(Pei);
  EFI_PEI_STALL_PPI *Ppi = Stall.Ppi();
  EXPECT_EQ(Ppi->Stall(Pei.Services(), Ppi, 100000), EFI_SUCCESS);
  EXPECT_EQ(Ppi->Stall(Pei.Services(), Ppi, 5), EFI_SUCCESS);
  EXPECT_EQ(Clock.StalledMicroseconds(), 100005u);
  EXPECT_EQ(Clock.NowNanoseconds(), 100005000u);
  EXPECT_THAT(Stall.Calls(), ElementsAre(100000u, 5u));
}

TEST_F(PeiStandInsTest, VariablesHonourTheCallersDataSize) {
  sim::ReadOnlyVariablePpiStandIn Variables(Pei);
  Variables.SetVariable(u"Setup", kSetupGuid, {1, 2, 3, 4});
  EFI_PEI_READ_ONLY_VARIABLE2_PPI *Ppi = Variables.Ppi();
  static const CHAR16 kSetup[] = {'S', 'e', 't', 'u', 'p', 0};

  struct Case {
    const EFI_GUID *Guid;
    UINTN DataSize;
    EFI_STATUS Status;
    UINTN DataSizeOut;
    UINT8 FirstByte;
  } const kCases[] = {
      {&kSetupGuid, 4, EFI_SUCCESS, 4, 1},
      {&kSetupGuid, 4092, EFI_SUCCESS, 4, 1},
      {&kSetupGuid, 3, EFI_BUFFER_TOO_SMALL, 4, 0xEE},  // needed size, no data
      {&kOtherGuid, 4092, EFI_NOT_FOUND, 4092, 0xEE},
  };
  for (const Case &Each : kCases) {
    UINT8 Buffer[8];
    std::memset(Buffer, 0xEE, sizeof(Buffer));
    UINTN DataSize = Each.DataSize;
    EXPECT_EQ(Ppi->GetVariable(Ppi, kSetup, Each.Guid, NULL, &DataSize, Buffer), Each.Status);
    EXPECT_EQ(DataSize, Each.DataSizeOut);
    EXPECT_EQ(Buffer[0], Each.FirstByte);
    EXPECT_EQ(Buffer[4], 0xEE);  // never past the variable's data
  }
  UINT32 Attributes = 0;
  UINTN DataSize = 4;
  UINT8 Buffer[4];
  EXPECT_EQ(Ppi->GetVariable(Ppi, kSetup, &kSetupGuid, &Attributes, &DataSize, Buffer),
            EFI_SUCCESS);
  EXPECT_EQ(Attributes, sim::ReadOnlyVariablePpiStandIn::kDefaultAttributes);
  EXPECT_EQ(Ppi->GetVariable(Ppi, kSetup, &kSetupGuid, NULL, NULL, Buffer), EFI_INVALID_PARAMETER);

  Variables.GetVariableFaults().FailNth(1, EFI_DEVICE_ERROR);
  EXPECT_EQ(Ppi->GetVariable(Ppi, kSetup, &kSetupGuid, NULL, &DataSize, Buffer), EFI_DEVICE_ERROR);
  const sim::ReadOnlyVariablePpiStandIn::Call &Last = Variables.Calls().back();
  EXPECT_EQ(Last.name, u"Setup");
  EXPECT_EQ(Last.dataSizeIn, 4u);
  EXPECT_EQ(Pei.Trace().back(), "GetVariable(Setup, 4) = EFI_DEVICE_ERROR");

  // The name walk finds the one variable, then ends.
  CHAR16 Name[16] = {0};
  EFI_GUID Guid = {};
  UINTN NameSize = sizeof(Name);
  EXPECT_EQ(Ppi->NextVariableName(Ppi, &NameSize, Name, &Guid), EFI_SUCCESS);
  EXPECT_EQ(NameSize, sizeof(kSetup));
  EXPECT_TRUE(GuidEquals(&Guid, &kSetupGuid));
  EXPECT_EQ(Ppi->NextVariableName(Ppi, &NameSize, Name, &Guid), EFI_NOT_FOUND);
}

TEST_F(PeiStandInsTest, BmcAnswersAfterTheChosenAttempts) {
  sim::BmcIpmiPpiStandIn Bmc(Pei);
  BMC_IPMI_PPI *Ppi = Bmc.Ppi();
  UINT8 Request[4] = {0x00, 0xE2, 0x01, 0x00};
  UINT8 Response[10] = {};
  UINT8 Length = 10;
  auto Send = [&] { return Ppi->SendCommand(Ppi, 6, 0, 0x52, Request, 4, Response, &Length); };

  Bmc.AnswerAfter(2, 1);
  EXPECT_EQ(Send(), EFI_TIMEOUT);
  EXPECT_EQ(Send(), EFI_TIMEOUT);
  EXPECT_EQ(Length, 10);  // a failed attempt leaves the length alone
  EXPECT_EQ(Send(), EFI_SUCCESS);
  EXPECT_EQ(Length, 1);
  ASSERT_EQ(Bmc.Calls().size(), 3u);
  EXPECT_THAT(Bmc.Calls()[0].request, ElementsAre(0x00, 0xE2, 0x01, 0x00));
  EXPECT_EQ(Bmc.Calls()[2].responseCapacity, 10);
  EXPECT_EQ(Pei.Trace().back(),
            "BmcIpmi.SendCommand(0x6, 0x0, 0x52, [0x0 0xE2 0x1 0x0], 10) = EFI_SUCCESS");

  // A longer answer than the buffer is refused; a fitting one is given.
  Bmc.AnswerAfter(0, 3);
  Length = 2;
  EXPECT_EQ(Send(), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Length, 2);
  Length = 10;
  EXPECT_EQ(Send(), EFI_SUCCESS);
  EXPECT_EQ(Length, 3);

  Bmc.NeverAnswer();
  Bmc.SetFailureStatus(EFI_NO_RESPONSE);
  for (int Attempt = 0; Attempt < 20; Attempt++) {
    EXPECT_EQ(Send(), EFI_NO_RESPONSE);
  }
  EXPECT_EQ(Ppi->SendCommand(Ppi, 6, 0, 0x01, Request, 0, Response, &Length), EFI_UNSUPPORTED);
}

// A script of answers, one per attempt: the status, the length written or
// left as the caller set it, response bytes only as many as the buffer
// holds; later attempts answer as the last entry.
TEST_F(PeiStandInsTest, BmcFollowsAScriptOfAnswers) {
  sim::BmcIpmiPpiStandIn Bmc(Pei);
  BMC_IPMI_PPI *Ppi = Bmc.Ppi();
  UINT8 Request[4] = {0x00, 0xE2, 0x01, 0x00};
  UINT8 Buffer[16];
  UINT8 Length = 10;
  auto Send = [&] { return Ppi->SendCommand(Ppi, 6, 0, 0x52, Request, 4, Buffer, &Length); };
  std::memset(Buffer, 0xEE, sizeof Buffer);
  Bmc.SetResponse(std::vector<uint8_t>(16, 0x11));
  Bmc.SetScript(
      {{EFI_DEVICE_ERROR, 1, true}, {EFI_SUCCESS, 7, false}, {EFI_WARN_STALE_DATA, 12, true}});
  EXPECT_EQ(Send(), EFI_DEVICE_ERROR);
  EXPECT_EQ(Length, 1);  // written with the error
  EXPECT_EQ(Buffer[0], 0xEE);
  EXPECT_EQ(Send(), EFI_SUCCESS);
  EXPECT_EQ(Length, 1);  // left as it was
  Length = 10;
  EXPECT_EQ(Send(), EFI_WARN_STALE_DATA);
  EXPECT_EQ(Length, 12);  // longer than the buffer: the length says so
  EXPECT_EQ(Buffer[9], 0x11);
  EXPECT_EQ(Buffer[10], 0xEE);  // but no byte past it
  Length = 10;
  EXPECT_EQ(Send(), EFI_WARN_STALE_DATA);
  EXPECT_EQ(Length, 12);
  ASSERT_EQ(Bmc.Calls().size(), 4u);
  EXPECT_EQ(Bmc.Calls()[1].responseLength, 1);

  Bmc.AnswerAfter(0, 1);  // ends the script
  Length = 10;
  EXPECT_EQ(Send(), EFI_SUCCESS);
  EXPECT_EQ(Length, 1);
}

TEST_F(PeiStandInsTest, I2cTablesReachApplyAsFilled) {
  sim::I2cTablePpiStandIn Tables(Pei);
  sim::I2cApplyPpiStandIn Apply(Pei);
  UINT8 T1[I2C_CHANNEL_TABLE_SIZE], T2[I2C_CHANNEL_TABLE_SIZE], T3[I2C_CHANNEL_TABLE_SIZE];
  I2C_TABLE_PPI *TablePpi = Tables.Ppi();
  EXPECT_EQ(TablePpi->Configure(Pei.Services(), 0, 0xE2, 4, 0x1BB), EFI_SUCCESS);
  EXPECT_EQ(TablePpi->FillTables(T1, T2, T3), EFI_SUCCESS);
  EXPECT_EQ(T1[1], 0x11);
  EXPECT_EQ(T2[1], 0x21);
  EXPECT_EQ(T3[59], 0x3B);
  I2C_APPLY_PPI *ApplyPpi = Apply.Ppi();
  EXPECT_EQ(ApplyPpi->Apply(Pei.Services(), 0, 0xE2, 2, T2, 5), EFI_SUCCESS);

  ASSERT_EQ(Tables.ConfigureCalls().size(), 1u);
  EXPECT_EQ(Tables.ConfigureCalls()[0].peiServices, Pei.Services());
  EXPECT_EQ(Tables.ConfigureCalls()[0].tokenNumber, 0x1BBu);
  ASSERT_EQ(Tables.FillCalls().size(), 1u);
  EXPECT_EQ(Tables.FillCalls()[0].tables[2], T3);
  ASSERT_EQ(Apply.Calls().size(), 1u);
  EXPECT_EQ(Apply.Calls()[0].table, T2);
  EXPECT_EQ(Apply.Calls()[0].contents, Tables.TableContents(1));
  EXPECT_EQ(Apply.Calls()[0].channel, 2u);
  EXPECT_EQ(Apply.Calls()[0].entryCount, 5u);
  EXPECT_THAT(Pei.Trace(),
              ElementsAre("I2cTable.Configure(0x0, 0xE2, 0x4, 0x1BB)", "I2cTable.FillTables()",
                          "I2cApply.Apply(0x0, 0xE2, 0x2, 0x5)"));
}

}  // namespace
