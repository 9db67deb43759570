// BoardHookPeiEntryPoint: its order of service calls, the "Setup" option,
// the board hook PPI and the configuration-database access path.
#include <cstring>

#include "BoardHookPeiFixture.h"
#include "JunkLeavingNotify.h"
#include "include/SetupVariable.h"

namespace {

using testing::ElementsAre;

constexpr EFI_GUID kOtherGuid = {0xEC87D643, 0xEBA4, 0x4BB5, {0, 0, 0, 0, 0, 0, 0, 1}};

const std::string kPoolLine =
    "AllocatePool(" + std::to_string(sizeof(EFI_PEI_PPI_DESCRIPTOR)) + ") = EFI_SUCCESS";

std::vector<uint8_t> SetupData(size_t Size, uint8_t Option) {
  std::vector<uint8_t> Data(Size, 0x5A);
  if (Size > SETUP_OPTION_OFFSET) {
    Data[SETUP_OPTION_OFFSET] = Option;
  }
  return Data;
}

TEST_F(BoardHookPeiTest, EntryCallsItsServicesInOrder) {
  EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
  variables.SetVariable(u"Setup", gSetupVariableGuid, SetupData(SETUP_VARIABLE_MAX_SIZE, 1));
  pei.ClearTrace();

  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_THAT(
      pei.Trace(),
      ElementsAre("RunModule() = EFI_SUCCESS", "NotifyPpi(EFI_PEI_SMBUS2_PPI) = EFI_SUCCESS",
                  "NotifyPpi(I2C_APPLY_PPI) = EFI_SUCCESS",
                  "LocatePpi(EFI_PEI_READ_ONLY_VARIABLE2_PPI, 0) = EFI_SUCCESS",
                  "GetVariable(Setup, 4092) = EFI_SUCCESS", "LocatePpi(PCD_PPI, 0) = EFI_SUCCESS",
                  "Pcd.Set64(0x1F5, 0xFF) = EFI_SUCCESS", kPoolLine,
                  "InstallPpi(BOARD_HOOK_PPI) = EFI_SUCCESS"));
  ASSERT_EQ(variables.Calls().size(), 1u);
  EXPECT_FALSE(variables.Calls()[0].attributesWanted);

  // The notification lists are the module's constant data.
  for (const EFI_PEI_NOTIFY_DESCRIPTOR *List :
       {mCaptureBoardIdNotifyList, mProgramI2cChannelsNotifyList}) {
    EXPECT_EQ(List->Flags, 0x80000020u);
  }
  EXPECT_TRUE(GuidEquals(mCaptureBoardIdNotifyList->Guid, &gEfiPeiSmbus2PpiGuid));
  EXPECT_EQ(mCaptureBoardIdNotifyList->Notify, CaptureBoardIdCallback);
  EXPECT_TRUE(GuidEquals(mProgramI2cChannelsNotifyList->Guid, &gI2cApplyPpiGuid));
  EXPECT_EQ(mProgramI2cChannelsNotifyList->Notify, ProgramI2cChannelsCallback);
}

TEST_F(BoardHookPeiTest, EntryGoesOnWhateverItsServicesAnswer) {
  EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
  variables.SetVariable(u"Setup", gSetupVariableGuid, SetupData(SETUP_VARIABLE_MAX_SIZE, 1));
  pei.NotifyPpiFaults().FailEvery(EFI_OUT_OF_RESOURCES);
  pei.LocatePpiFaults().FailNth(1, EFI_NOT_FOUND);  // the variable PPI
  pei.InstallPpiFaults().FailEvery(EFI_OUT_OF_RESOURCES);
  pei.ClearTrace();

  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_THAT(pei.Trace(),
              ElementsAre("RunModule() = EFI_SUCCESS",
                          "NotifyPpi(EFI_PEI_SMBUS2_PPI) = EFI_OUT_OF_RESOURCES",
                          "NotifyPpi(I2C_APPLY_PPI) = EFI_OUT_OF_RESOURCES",
                          "LocatePpi(EFI_PEI_READ_ONLY_VARIABLE2_PPI, 0) = EFI_NOT_FOUND",
                          kPoolLine, "InstallPpi(BOARD_HOOK_PPI) = EFI_OUT_OF_RESOURCES"));
  // Registration failed, so the callbacks never run.
  pei.InstallPpiFaults().Clear();
  EXPECT_EQ(smbus.Install(), EFI_SUCCESS);
  EXPECT_EQ(i2cApply.Install(), EFI_SUCCESS);
  EXPECT_TRUE(smbus.Calls().empty());
}

TEST_F(BoardHookPeiTest, SetupOptionSetsToken501) {
  struct Case {
    const char *Name;
    size_t Size;  // of the variable
    uint8_t Option;
    bool Written;
  } const kCases[] = {
      {"option off", SETUP_VARIABLE_MAX_SIZE, 0, false},
      {"option 1", SETUP_VARIABLE_MAX_SIZE, 1, true},
      {"option 0x80", SETUP_VARIABLE_MAX_SIZE, 0x80, true},
      {"just holds the option", SETUP_OPTION_OFFSET + 1, 1, true},
      {"too large for the buffer", SETUP_VARIABLE_MAX_SIZE + 1, 1, false},
      {"ends before the option", SETUP_OPTION_OFFSET, 0, false},
      {"empty", 0, 0, false},
  };
  EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
  for (const Case &Each : kCases) {
    SCOPED_TRACE(Each.Name);
    pcd.Declare(PCD_TOKEN_SETUP_OPTION, 8, 0x1234);  // a previous value
    pcd.ClearAccesses();
    variables.SetVariable(u"Setup", gSetupVariableGuid, SetupData(Each.Size, Each.Option));
    EXPECT_EQ(RunEntry(), EFI_SUCCESS);

    EXPECT_EQ(variables.Calls().back().dataSizeIn, UINTN{SETUP_VARIABLE_MAX_SIZE});
    EXPECT_TRUE(GuidEquals(&variables.Calls().back().guid, &gSetupVariableGuid));
    if (Each.Written) {
      ASSERT_EQ(pcd.Accesses().size(), 1u);
      EXPECT_EQ(pcd.Accesses()[0].operation, "Set64");
      EXPECT_TRUE(pcd.Accesses()[0].valid);
      EXPECT_EQ(pcd.Value(PCD_TOKEN_SETUP_OPTION), 0xFFu);
    } else {
      EXPECT_TRUE(pcd.Accesses().empty());
      EXPECT_EQ(pcd.Value(PCD_TOKEN_SETUP_OPTION), 0x1234u);
    }
  }
}

// A variable service that fills the caller's whole buffer with 1 but
// reports only ReportedSize bytes as the variable's data.
struct OverfillingVariables {
  static inline UINTN ReportedSize = 0;
  static EFI_STATUS EFIAPI GetVariable(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *, const CHAR16 *,
                                       const EFI_GUID *, UINT32 *, UINTN *DataSize, VOID *Data) {
    std::memset(Data, 1, *DataSize);
    *DataSize = ReportedSize;
    return EFI_SUCCESS;
  }
};

TEST_F(BoardHookPeiTest, OnlyBytesTheVariableSuppliedCount) {
  EFI_PEI_READ_ONLY_VARIABLE2_PPI Overfilling = {OverfillingVariables::GetVariable, NULL};
  ASSERT_EQ(pei.InstallPpi(gEfiPeiReadOnlyVariable2PpiGuid, &Overfilling), EFI_SUCCESS);
  ASSERT_EQ(pei.InstallPpi(gPcdPpiGuid, pcd.Ppi()), EFI_SUCCESS);
  OverfillingVariables::ReportedSize = SETUP_OPTION_OFFSET;
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_TRUE(pcd.Accesses().empty());
  OverfillingVariables::ReportedSize = SETUP_OPTION_OFFSET + 1;
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(pcd.Value(PCD_TOKEN_SETUP_OPTION), 0xFFu);
}

// A variable service that answers with a warning and the full size, having
// copied the "Setup" bytes or nothing at all.
struct WarningVariables {
  static inline bool Copies = false;
  static inline uintptr_t OptionAddress = 0;
  static EFI_STATUS EFIAPI GetVariable(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *, const CHAR16 *,
                                       const EFI_GUID *, UINT32 *, UINTN *DataSize, VOID *Data) {
    OptionAddress = reinterpret_cast<uintptr_t>(Data) + SETUP_OPTION_OFFSET;
    if (Copies) {
      const std::vector<uint8_t> Bytes = SetupData(SETUP_VARIABLE_MAX_SIZE, 1);
      std::memcpy(Data, Bytes.data(), Bytes.size());
    }
    *DataSize = SETUP_VARIABLE_MAX_SIZE;
    return EFI_WARN_STALE_DATA;
  }
};

TEST_F(BoardHookPeiTest, WarningFromGetVariableNeverReadsAnUncopiedOption) {
  EFI_PEI_READ_ONLY_VARIABLE2_PPI Warning = {WarningVariables::GetVariable, NULL};
  ASSERT_EQ(pei.InstallPpi(gEfiPeiReadOnlyVariable2PpiGuid, &Warning), EFI_SUCCESS);
  ASSERT_EQ(pei.InstallPpi(gPcdPpiGuid, pcd.Ppi()), EFI_SUCCESS);
  JunkLeavingNotify::Install(pei.Services());

  // Nothing copied: the byte the entry reads lay in the junk, and the option
  // stays off.
  WarningVariables::Copies = false;
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_TRUE(JunkLeavingNotify::Covers(WarningVariables::OptionAddress));
  EXPECT_TRUE(pcd.Accesses().empty());

  // A warning is no error: copied data with the option on still counts.
  WarningVariables::Copies = true;
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(pcd.Value(PCD_TOKEN_SETUP_OPTION), 0xFFu);
}

TEST_F(BoardHookPeiTest, MissingVariableOrDatabaseLeavesToken501) {
  EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
  variables.GetVariableFaults().FailNth(1, EFI_DEVICE_ERROR);
  variables.SetVariable(u"Setup", gSetupVariableGuid, SetupData(SETUP_VARIABLE_MAX_SIZE, 1));
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  variables.SetVariable(u"Setup", kOtherGuid, SetupData(SETUP_VARIABLE_MAX_SIZE, 1));
  variables.RemoveVariable(u"Setup", gSetupVariableGuid);
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_TRUE(pcd.Accesses().empty());
}

TEST_F(BoardHookPeiTest, NoDatabaseNoWriteAndNoCrash) {
  // Everything but PCD_PPI: the option is set, the write is skipped.
  EXPECT_EQ(variables.Install(), EFI_SUCCESS);
  variables.SetVariable(u"Setup", gSetupVariableGuid, SetupData(SETUP_VARIABLE_MAX_SIZE, 1));
  pei.ClearTrace();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_THAT(TraceOf({"LocatePpi(PCD", "Pcd.", "InstallPpi"}),
              ElementsAre("LocatePpi(PCD_PPI, 0) = EFI_NOT_FOUND",
                          "InstallPpi(BOARD_HOOK_PPI) = EFI_SUCCESS"));
  EXPECT_EQ(SetPcd8(PCD_TOKEN_BOARD_TYPE, 0x5C), 0x5C);
  EXPECT_TRUE(pcd.Accesses().empty());
}

TEST_F(BoardHookPeiTest, PoolExhaustedMeansNoHookPpi) {
  EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
  pei.AllocatePoolFaults().FailEvery(EFI_OUT_OF_RESOURCES);
  pei.ClearTrace();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(pei.CountPpis(gBoardHookPpiGuid), 0u);
  EXPECT_TRUE(TraceOf({"InstallPpi"}).empty());
}

TEST_F(BoardHookPeiTest, HookPpiSlots) {
  EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  EFI_PEI_PPI_DESCRIPTOR *Descriptor = NULL;
  VOID *Interface = NULL;
  const EFI_PEI_SERVICES **Services = pei.Services();
  ASSERT_EQ((*Services)->LocatePpi(Services, &gBoardHookPpiGuid, 0, &Descriptor, &Interface),
            EFI_SUCCESS);
  // The descriptor is the pool allocation, the interface the constant table.
  ASSERT_EQ(pei.PoolAllocations().size(), 1u);
  EXPECT_EQ(Descriptor, pei.PoolAllocations()[0].buffer);
  EXPECT_EQ(Descriptor->Flags, 0x80000010u);
  EXPECT_EQ(Interface, &mBoardHookPpi);

  // Five pointer-wide slots and a zero sixth word.
  UINTN Words[6];
  std::memcpy(Words, Interface, sizeof(Words));
  EXPECT_NE(Words[0], 0u);
  EXPECT_EQ(Words[1], 0u);
  EXPECT_EQ(Words[2], 0u);
  EXPECT_NE(Words[3], 0u);
  EXPECT_NE(Words[4], 0u);
  EXPECT_EQ(Words[5], 0u);

  const BOARD_HOOK_PPI *Hooks = static_cast<const BOARD_HOOK_PPI *>(Interface);
  for (int Call = 0; Call < 3; Call++) {
    EXPECT_EQ(Hooks->Slot0(), FALSE);
    EXPECT_EQ(Hooks->Slot4(), TRUE);
  }
  for (UINTN Ignored : {UINTN{0}, UINTN{0x12345678}, ~UINTN{0}}) {
    struct {
      UINT8 Bytes[6];
      UINT8 Flag[2];
    } Out;
    std::memset(&Out, 0xEE, sizeof(Out));
    EXPECT_EQ(Hooks->Slot3(Ignored, ~Ignored, Out.Bytes, &Out.Flag[0]), EFI_SUCCESS);
    EXPECT_THAT(Out.Bytes, ElementsAre(0x8A, 0x09, 0x01, 0x01, 0xEE, 0xEE));
    EXPECT_THAT(Out.Flag, ElementsAre(TRUE, 0xEE));
  }
  // No buffer: refused, nothing written.
  BOOLEAN Flag = 0xEE;
  UINT8 Bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(Hooks->Slot3(0, 0, NULL, &Flag), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Hooks->Slot3(0, 0, Bytes, NULL), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Flag, 0xEE);
  EXPECT_EQ(Bytes[0], 0xEE);
}

TEST_F(BoardHookPeiTest, EveryDatabaseWriteLocatesThroughTheIdt) {
  EXPECT_EQ(InstallPlatformPpis(), EFI_SUCCESS);
  EXPECT_EQ(ReadPeiServicesFromIdt(), pei.Services());
  const uint64_t SidtBefore = machine.Trace().Count(sim::AccessKind::IdtBaseRead);
  pei.ClearTrace();
  SetPcd8(PCD_TOKEN_BOARD_TYPE, 3);
  SetPcd8(PCD_TOKEN_BOARD_TYPE, 4);
  EXPECT_EQ(machine.Trace().Count(sim::AccessKind::IdtBaseRead), SidtBefore + 2);
  EXPECT_THAT(
      pei.Trace(),
      ElementsAre("LocatePpi(PCD_PPI, 0) = EFI_SUCCESS", "Pcd.Set8(0x4, 0x3) = EFI_SUCCESS",
                  "LocatePpi(PCD_PPI, 0) = EFI_SUCCESS", "Pcd.Set8(0x4, 0x4) = EFI_SUCCESS"));
  EXPECT_EQ(GetPcdPpi(), pcd.Ppi());
}

}  // namespace
