// CaptureBoardIdCallback: the BMC wait, the SMBus identification bytes and
// the five token writes.
#include <cstring>

#include "BoardHookPeiFixture.h"

namespace {

using testing::ElementsAre;

class BoardIdTest : public BoardHookPeiTest {
 protected:
  BoardIdTest() {
    EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
    EXPECT_EQ(RunEntry(), EFI_SUCCESS);
    pcd.ClearAccesses();
    pei.ClearTrace();
  }

  // The token sets of the callback, as (token, value) in order.
  std::vector<std::pair<uint64_t, uint64_t>> TokenWrites() const {
    std::vector<std::pair<uint64_t, uint64_t>> Writes;
    for (const sim::PcdAccess &Access : pcd.Accesses()) {
      EXPECT_EQ(Access.operation, "Set8");
      EXPECT_TRUE(Access.valid);
      Writes.emplace_back(Access.token, Access.value);
    }
    return Writes;
  }
};

TEST_F(BoardIdTest, BmcAnsweringAtOnceLeadsStraightToTheSmbusWork) {
  smbus.SetInputByte(0x39, 0x13);
  smbus.SetInputByte(0x3A, 0xC5);
  ASSERT_EQ(smbus.Install(), EFI_SUCCESS);

  EXPECT_EQ(LastNotify("EFI_PEI_SMBUS2_PPI"), "EFI_SUCCESS");
  EXPECT_THAT(
      pei.Trace(),
      ElementsAre("InstallPpi(EFI_PEI_SMBUS2_PPI) = EFI_SUCCESS",
                  "Notify(EFI_PEI_SMBUS2_PPI) = EFI_SUCCESS",
                  "LocatePpi(EFI_PEI_SMBUS2_PPI, 0) = EFI_SUCCESS",
                  "LocatePpi(EFI_PEI_STALL_PPI, 0) = EFI_SUCCESS",
                  "LocatePpi(BMC_IPMI_PPI, 0) = EFI_SUCCESS",
                  "BmcIpmi.SendCommand(0x6, 0x0, 0x52, [0x0 0xE2 0x1 0x0], 10) = EFI_SUCCESS",
                  "Smbus.WriteByte(0x71, 0x10) = EFI_SUCCESS", "Smbus.ReadByte(0x39) = EFI_SUCCESS",
                  "LocatePpi(PCD_PPI, 0) = EFI_SUCCESS", "Pcd.Set8(0x4, 0xC) = EFI_SUCCESS",
                  "Smbus.ReadByte(0x3A) = EFI_SUCCESS", "LocatePpi(PCD_PPI, 0) = EFI_SUCCESS",
                  "Pcd.Set8(0x1BE, 0x5) = EFI_SUCCESS", "LocatePpi(PCD_PPI, 0) = EFI_SUCCESS",
                  "Pcd.Set8(0x1BF, 0x0) = EFI_SUCCESS", "LocatePpi(PCD_PPI, 0) = EFI_SUCCESS",
                  "Pcd.Set8(0x1BA, 0x3) = EFI_SUCCESS", "LocatePpi(PCD_PPI, 0) = EFI_SUCCESS",
                  "Pcd.Set8(0x1BB, 0x2) = EFI_SUCCESS"));
  // The SMBus transfers: command 0, no PEC, one byte, a clean address word.
  for (const sim::SmbusPpiStandIn::Call &Call : smbus.Calls()) {
    EXPECT_EQ(Call.addressWord, Call.address);
    EXPECT_EQ(Call.command, 0u);
    EXPECT_EQ(Call.pecCheck, FALSE);
    EXPECT_EQ(Call.lengthIn, 1u);
  }
  const sim::BmcIpmiPpiStandIn::Call &Request = bmc.Calls().at(0);
  EXPECT_EQ(Request.requestSize, 4u);
  EXPECT_TRUE(stall.Calls().empty());
}

TEST_F(BoardIdTest, BmcWaitIsBoundedAndTheWorkFollows) {
  struct Case {
    const char *Name;
    bool Answers;
    unsigned FailedAttempts;
    uint8_t ResponseLength;
    size_t Requests;
  } const kCases[] = {
      {"answers after 3 attempts", true, 3, 1, 4}, {"answers on the tenth request", true, 9, 1, 10},
      {"answers with two bytes", true, 0, 2, 10},  {"answers with no bytes", true, 0, 0, 10},
      {"never answers", false, 0, 1, 10},
  };
  ASSERT_EQ(smbus.Install(), EFI_SUCCESS);
  for (const Case &Each : kCases) {
    SCOPED_TRACE(Each.Name);
    Each.Answers ? bmc.AnswerAfter(Each.FailedAttempts, Each.ResponseLength) : bmc.NeverAnswer();
    const size_t RequestsBefore = bmc.Calls().size();
    const size_t StallsBefore = stall.Calls().size();
    const uint64_t StalledBefore = clock.StalledMicroseconds();
    const size_t WritesBefore = smbus.Writes(0x71).size();
    pei.ClearTrace();

    EXPECT_EQ(smbus.Install(), EFI_SUCCESS);  // runs the callback again

    const size_t Requests = bmc.Calls().size() - RequestsBefore;
    EXPECT_EQ(Requests, Each.Requests);
    // A stall after every request that got no one-byte answer.
    const size_t Stalls = Each.Requests - (Each.Answers && Each.ResponseLength == 1 ? 1 : 0);
    EXPECT_EQ(stall.Calls().size() - StallsBefore, Stalls);
    EXPECT_EQ(clock.StalledMicroseconds() - StalledBefore, Stalls * 100000u);
    // The response length byte is 10 before the first request only.
    EXPECT_EQ(bmc.Calls()[RequestsBefore].responseCapacity, 10);
    // Then the SMBus work as usual.
    EXPECT_EQ(smbus.Writes(0x71).size(), WritesBefore + 1);
    EXPECT_EQ(TraceOf({"Smbus.", "Pcd.Set8(0x1BB"}).size(), 4u);
    EXPECT_EQ(LastNotify("EFI_PEI_SMBUS2_PPI"), "EFI_SUCCESS");
  }
  EXPECT_EQ(clock.StalledMicroseconds(), (3 + 9 + 10 + 10 + 10) * 100000u);
}

// A BMC transport that reports the size it needs when the buffer is too
// small, as UEFI services do, and then fills all the room it is told of.
struct SizeReportingBmc {
  static inline std::vector<UINT8> Capacities;
  static EFI_STATUS EFIAPI SendCommand(BMC_IPMI_PPI *, UINT8, UINT8, UINT8, UINT8 *, UINT32,
                                       UINT8 *ResponseData, UINT8 *ResponseDataSize) {
    Capacities.push_back(*ResponseDataSize);
    if (Capacities.size() == 1) {
      *ResponseDataSize = 0xFF;
      return EFI_BUFFER_TOO_SMALL;
    }
    std::memset(ResponseData, 0xEE, *ResponseDataSize);
    *ResponseDataSize = 1;
    return EFI_SUCCESS;
  }
};

TEST_F(BoardIdTest, ResponseLengthLeftByAFailedAttemptFitsTheBuffer) {
  sim::PeiFoundation Other(clock);
  sim::SmbusPpiStandIn OtherSmbus(Other);
  sim::StallPpiStandIn OtherStall(Other);
  BMC_IPMI_PPI SizeReporting = {NULL, NULL, NULL, SizeReportingBmc::SendCommand};
  OtherSmbus.SetInputByte(0x39, 0x07);
  OtherSmbus.Install();
  OtherStall.Install();
  Other.InstallPpi(gBmcIpmiPpiGuid, &SizeReporting);
  SizeReportingBmc::Capacities.clear();

  EXPECT_EQ(CaptureBoardIdCallback(const_cast<EFI_PEI_SERVICES **>(Other.Services()), NULL, NULL),
            EFI_SUCCESS);
  // The length byte is not reset, so the second request offers the size the
  // first one reported, and the answer lands inside the callback's buffer.
  EXPECT_EQ(SizeReportingBmc::Capacities, (std::vector<UINT8>{10, 0xFF}));
  EXPECT_EQ(OtherStall.Calls().size(), 1u);
  EXPECT_EQ(pcd.Value(PCD_TOKEN_BOARD_TYPE), 14u);
}

TEST_F(BoardIdTest, IdentificationBytesBecomeTokenBitFields) {
  struct Case {
    uint8_t B1, B2;
    uint8_t BoardType, IdLow, IdMid, IdHigh, Revision;
  } const kCases[] = {
      {0x01, 0x00, 8, 0, 0, 0, 0}, {0x03, 0x00, 12, 0, 0, 0, 0}, {0x07, 0x00, 14, 0, 0, 0, 0},
      {0x0A, 0x00, 5, 0, 0, 0, 0}, {0x0F, 0x00, 15, 0, 0, 0, 0}, {0x10, 0x00, 0, 0, 0, 0, 2},
      {0x20, 0x00, 0, 0, 0, 0, 1}, {0x30, 0x00, 0, 0, 0, 0, 3},  {0xC0, 0xC5, 0, 5, 0, 3, 0},
      {0x00, 0x38, 0, 0, 7, 0, 0}, {0xFF, 0xFF, 15, 7, 7, 3, 3},
  };
  ASSERT_EQ(smbus.Install(), EFI_SUCCESS);
  for (const Case &Each : kCases) {
    SCOPED_TRACE(testing::Message() << "B1 " << int{Each.B1} << " B2 " << int{Each.B2});
    smbus.SetInputByte(0x39, Each.B1);
    smbus.SetInputByte(0x3A, Each.B2);
    pcd.ClearAccesses();
    EXPECT_EQ(smbus.Install(), EFI_SUCCESS);
    using Write = std::pair<uint64_t, uint64_t>;
    EXPECT_THAT(TokenWrites(), ElementsAre(Write{PCD_TOKEN_BOARD_TYPE, Each.BoardType},
                                           Write{PCD_TOKEN_BOARD_ID_LOW, Each.IdLow},
                                           Write{PCD_TOKEN_BOARD_ID_MID, Each.IdMid},
                                           Write{PCD_TOKEN_BOARD_ID_HIGH, Each.IdHigh},
                                           Write{PCD_TOKEN_BOARD_REVISION, Each.Revision}));
  }
}

TEST_F(BoardIdTest, FailingSmbusStepsLeaveTheLaterTokens) {
  using Write = std::pair<uint64_t, uint64_t>;
  struct Case {
    const char *Name;
    uint8_t Address;
    EFI_SMBUS_OPERATION Operation;
    const char *Returned;
    std::vector<Write> Writes;
  } const kCases[] = {
      {"write to 0x71 fails", 0x71, EfiSmbusWriteByte, "EFI_DEVICE_ERROR", {}},
      // No byte defines the revision without B1: it is not written.
      {"read of 0x39 fails",
       0x39,
       EfiSmbusReadByte,
       "EFI_SUCCESS",
       {{PCD_TOKEN_BOARD_ID_LOW, 5}, {PCD_TOKEN_BOARD_ID_MID, 0}, {PCD_TOKEN_BOARD_ID_HIGH, 3}}},
      {"read of 0x3A fails",
       0x3A,
       EfiSmbusReadByte,
       "EFI_DEVICE_ERROR",
       {{PCD_TOKEN_BOARD_TYPE, 12}}},
  };
  smbus.SetInputByte(0x39, 0x13);
  smbus.SetInputByte(0x3A, 0xC5);
  for (const Case &Each : kCases) {
    SCOPED_TRACE(Each.Name);
    smbus.Faults(Each.Address, Each.Operation).FailNth(1, EFI_DEVICE_ERROR);
    pcd.ClearAccesses();
    EXPECT_EQ(smbus.Install(), EFI_SUCCESS);
    EXPECT_EQ(LastNotify("EFI_PEI_SMBUS2_PPI"), Each.Returned);
    EXPECT_EQ(TokenWrites(), Each.Writes);
  }
  // A failed write to 0x71 ends the callback before any read; a failed
  // read of 0x39 does not stop the read of 0x3A.
  EXPECT_EQ(smbus.Calls()[0].operation, EfiSmbusWriteByte);
  EXPECT_EQ(smbus.Calls().size(), 1u + 3u + 3u);
}

TEST_F(BoardIdTest, MissingPpisEndTheCallbackBeforeAnyWork) {
  struct Case {
    const EFI_GUID *Missing;
    size_t LocateCalls;
  } const kCases[] = {
      {&gEfiPeiSmbus2PpiGuid, 1},
      {&gEfiPeiStallPpiGuid, 2},
      {&gBmcIpmiPpiGuid, 3},
  };
  for (const Case &Each : kCases) {
    sim::PeiFoundation Empty(clock);
    sim::StallPpiStandIn OtherStall(Empty);
    sim::BmcIpmiPpiStandIn OtherBmc(Empty);
    sim::SmbusPpiStandIn OtherSmbus(Empty);
    for (auto [Guid, Ppi] :
         {std::pair<const EFI_GUID *, VOID *>{&gEfiPeiSmbus2PpiGuid, OtherSmbus.Ppi()},
          {&gEfiPeiStallPpiGuid, OtherStall.Ppi()},
          {&gBmcIpmiPpiGuid, OtherBmc.Ppi()}}) {
      if (Guid != Each.Missing) {
        Empty.InstallPpi(*Guid, Ppi);
      }
    }
    Empty.ClearTrace();
    EXPECT_EQ(CaptureBoardIdCallback(const_cast<EFI_PEI_SERVICES **>(Empty.Services()), NULL, NULL),
              EFI_NOT_FOUND);
    EXPECT_EQ(Empty.Trace().size(), Each.LocateCalls);
    EXPECT_TRUE(OtherBmc.Calls().empty());
    EXPECT_TRUE(OtherSmbus.Calls().empty());
  }
}

TEST_F(BoardIdTest, ASecondInstallationRunsAgainOnInstanceZero) {
  smbus.SetInputByte(0x39, 0x03);
  ASSERT_EQ(smbus.Install(), EFI_SUCCESS);
  sim::SmbusPpiStandIn SecondSmbus(pei);
  SecondSmbus.SetInputByte(0x39, 0x01);
  pcd.ClearAccesses();
  ASSERT_EQ(SecondSmbus.Install(), EFI_SUCCESS);
  // The callback ran again and used the first SMBus PPI (instance 0).
  EXPECT_TRUE(SecondSmbus.Calls().empty());
  EXPECT_EQ(smbus.Calls().size(), 2u * 3u);
  EXPECT_EQ(pcd.Value(PCD_TOKEN_BOARD_TYPE), 12u);
  EXPECT_EQ(TokenWrites().size(), 5u);
}

TEST_F(BoardIdTest, SmbusPresentBeforeTheEntryRunsTheCallbackDuringIt) {
  sim::PeiFoundation Early(clock);
  machine.SetIdtBase(Early.IdtBase());
  sim::SmbusPpiStandIn EarlySmbus(Early);
  sim::StallPpiStandIn EarlyStall(Early);
  sim::BmcIpmiPpiStandIn EarlyBmc(Early);
  EarlySmbus.SetInputByte(0x39, 0x07);
  Early.InstallPpi(gPcdPpiGuid, pcd.Ppi());
  EarlySmbus.Install();
  EarlyStall.Install();
  EarlyBmc.Install();
  pcd.ClearAccesses();
  EXPECT_EQ(Early.RunModule(BoardHookPeiEntryPoint), EFI_SUCCESS);
  EXPECT_EQ(pcd.Value(PCD_TOKEN_BOARD_TYPE), 14u);
  EXPECT_EQ(pcd.Accesses().size(), 5u);
}

}  // namespace
