// The PEI board-identification and I2C channel callbacks against a hostile
// SMBus and a hostile BMC: every transfer and every IPMI request answers
// with a status, bytes and a reported length of the input's choosing (within
// the sizes the caller passes), and any of the PPIs the callbacks look up
// may be missing.
//
// Checked: at most ten BMC requests per run, each the same Master Write-Read
// with the response length set once (each later request gets what the last
// one reported), a 100 ms stall after each failed one and none after the
// answer; the SMBus transfers in their order, each of one byte with command
// 0 and no PEC, stopping where a failure stops the callback; the tokens
// written, in order, with the values of the bytes read; the I2C tables
// filled, applied (T1 on channel 2, T2 on channel 4, five entries) and the
// device at 0x71 cleared last.
#include <cstring>
#include <vector>

#include "include/PcdTokens.h"
#include "pei/BoardHookPei.h"
#include "sim/platform/PeiPlatform.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

using fuzz::FuzzInput;

constexpr UINTN kStallUs = 100000;

struct SmbusCall {
  UINTN Address;
  UINTN Command;
  EFI_SMBUS_OPERATION Operation;
  BOOLEAN PecCheck;
  UINTN LengthIn;
  uint8_t Byte;  // written, or read and handed back
  EFI_STATUS Status;
};

struct BmcCall {
  bool RequestRight;
  uint8_t SizeIn;
  uint8_t SizeOut;
  EFI_STATUS Status;
};

EFI_STATUS AnswerStatus(FuzzInput &In) {
  const EFI_STATUS Status = In.Pick<EFI_STATUS>(
      {EFI_SUCCESS, EFI_SUCCESS, EFI_DEVICE_ERROR, EFI_TIMEOUT, EFI_WARN_STALE_DATA, 0x55});
  return Status == 0x55 ? In.U64() : Status;
}

// The SMBus and the BMC: each call takes its answer from the input.
struct Hostile {
  static inline FuzzInput *In = nullptr;
  static inline std::vector<SmbusCall> Smbus;
  static inline std::vector<BmcCall> Bmc;

  static EFI_STATUS EFIAPI Execute(const EFI_PEI_SMBUS2_PPI *, EFI_SMBUS_DEVICE_ADDRESS Address,
                                   EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation,
                                   BOOLEAN PecCheck, UINTN *Length, VOID *Buffer) {
    SmbusCall Call = {Address.SmbusDeviceAddress, Command, Operation, PecCheck, *Length, 0, 0};
    Call.Status = AnswerStatus(*In);
    auto *Byte = static_cast<uint8_t *>(Buffer);
    if (Operation == EfiSmbusReadByte) {
      if (*Length >= 1 && !EFI_ERROR(Call.Status)) *Byte = In->U8();
      Call.Byte = *Length >= 1 ? *Byte : 0;
    } else {
      Call.Byte = *Length >= 1 ? *Byte : 0;
    }
    if (In->Bit()) *Length = In->U8();
    Smbus.push_back(Call);
    return Call.Status;
  }

  static EFI_STATUS EFIAPI SendCommand(BMC_IPMI_PPI *, UINT8 NetFunction, UINT8 Lun, UINT8 Command,
                                       UINT8 *Request, UINT32 RequestSize, UINT8 *Response,
                                       UINT8 *ResponseSize) {
    const uint8_t Wanted[4] = {0x00, 0xE2, 0x01, 0x00};
    BmcCall Call = {NetFunction == 6 && Lun == 0 && Command == 0x52 && RequestSize == 4 &&
                        std::memcmp(Request, Wanted, 4) == 0,
                    *ResponseSize, 0, AnswerStatus(*In)};
    // Fills as much of the response as the caller said it holds.
    const size_t Bytes = In->Below(static_cast<size_t>(*ResponseSize) + 1);
    for (size_t At = 0; At < Bytes; At++) Response[At] = In->U8();
    *ResponseSize = In->Pick<uint8_t>({1, 1, 0, 10, 2, 0xFF});
    Call.SizeOut = *ResponseSize;
    Bmc.push_back(Call);
    return Call.Status;
  }
};

uint8_t Reversed4(uint8_t B1) {
  return static_cast<uint8_t>((B1 & 1) << 3 | (B1 & 2) << 1 | (B1 & 4) >> 1 | (B1 & 8) >> 3);
}

// One run of CaptureBoardIdCallback, from what its PPIs recorded.
void CheckCapture(bool Found, const sim::StallPpiStandIn &Stall, size_t StallsBefore,
                  const std::vector<sim::PcdAccess> &Sets) {
  const std::vector<BmcCall> &Bmc = Hostile::Bmc;
  const std::vector<SmbusCall> &Smbus = Hostile::Smbus;
  if (!Found) {
    FUZZ_CHECK(Bmc.empty() && Smbus.empty() && Sets.empty(), "work done without its PPIs");
    return;
  }
  FUZZ_CHECK(!Bmc.empty() && Bmc.size() <= 10, "BMC requests");
  size_t Failed = 0;
  for (size_t At = 0; At < Bmc.size(); At++) {
    FUZZ_CHECK(Bmc[At].RequestRight, "another IPMI request");
    FUZZ_CHECK(Bmc[At].SizeIn == (At == 0 ? 10 : Bmc[At - 1].SizeOut), "response length reset");
    const bool Answered = !EFI_ERROR(Bmc[At].Status) && Bmc[At].SizeOut == 1;
    FUZZ_CHECK(!Answered || At + 1 == Bmc.size(), "asked again after an answer");
    Failed += Answered ? 0 : 1;
  }
  FUZZ_CHECK(Bmc.size() == 10 || Failed < Bmc.size(), "stopped asking without an answer");
  const std::vector<UINTN> &Stalls = Stall.Calls();
  FUZZ_CHECK(Stalls.size() - StallsBefore == Failed, "stalls");
  for (size_t At = StallsBefore; At < Stalls.size(); At++) FUZZ_CHECK(Stalls[At] == kStallUs);

  // The transfers: write 0x10 to 0x71, read 0x39, read 0x3A.
  const struct {
    UINTN Address;
    EFI_SMBUS_OPERATION Operation;
  } Order[3] = {{0x71, EfiSmbusWriteByte}, {0x39, EfiSmbusReadByte}, {0x3A, EfiSmbusReadByte}};
  size_t Expected = 1;
  if (!EFI_ERROR(Smbus[0].Status)) Expected = 3;
  FUZZ_CHECK(Smbus.size() == Expected, "SMBus transfers");
  for (size_t At = 0; At < Smbus.size(); At++) {
    FUZZ_CHECK(Smbus[At].Address == Order[At].Address &&
                   Smbus[At].Operation == Order[At].Operation && Smbus[At].Command == 0 &&
                   Smbus[At].PecCheck == FALSE && Smbus[At].LengthIn == 1,
               "SMBus transfer " + std::to_string(At));
  }
  FUZZ_CHECK(Smbus[0].Byte == 0x10);

  std::vector<std::pair<uint64_t, uint64_t>> Tokens;
  if (Smbus.size() == 3) {
    const bool HaveB1 = !EFI_ERROR(Smbus[1].Status);
    const uint8_t B1 = Smbus[1].Byte;
    const uint8_t B2 = Smbus[2].Byte;
    if (HaveB1) Tokens.push_back({PCD_TOKEN_BOARD_TYPE, Reversed4(B1)});
    if (!EFI_ERROR(Smbus[2].Status)) {
      Tokens.push_back({PCD_TOKEN_BOARD_ID_LOW, B2 & 7u});
      Tokens.push_back({PCD_TOKEN_BOARD_ID_MID, B2 >> 3 & 7u});
      Tokens.push_back({PCD_TOKEN_BOARD_ID_HIGH, B2 >> 6 & 3u});
      if (HaveB1) {
        Tokens.push_back(
            {PCD_TOKEN_BOARD_REVISION, static_cast<uint64_t>((B1 & 0x10) >> 3 | (B1 & 0x20) >> 5)});
      }
    }
  }
  FUZZ_CHECK(Sets.size() == Tokens.size(), "tokens written");
  for (size_t At = 0; At < Sets.size(); At++) {
    FUZZ_CHECK(Sets[At].operation == "Set8" && Sets[At].token == Tokens[At].first &&
                   Sets[At].value == Tokens[At].second,
               "token " + std::to_string(Tokens[At].first));
  }
}

// One run of ProgramI2cChannelsCallback.
void CheckChannels(bool TablePresent, const sim::I2cTablePpiStandIn &Tables,
                   const sim::I2cApplyPpiStandIn &Apply, size_t ApplyBefore) {
  const std::vector<SmbusCall> &Smbus = Hostile::Smbus;
  FUZZ_CHECK(Smbus.size() == (TablePresent ? 2u : 1u), "channel transfers");
  FUZZ_CHECK(Smbus[0].Address == 0x74 && Smbus[0].Operation == EfiSmbusWriteByte &&
             Smbus[0].Byte == 0);
  if (!TablePresent) return;
  FUZZ_CHECK(
      Smbus[1].Address == 0x71 && Smbus[1].Operation == EfiSmbusWriteByte && Smbus[1].Byte == 0,
      "the device at 0x71 is not cleared last");
  const sim::I2cTablePpiStandIn::ConfigureCall &Configure = Tables.ConfigureCalls().back();
  FUZZ_CHECK(Configure.bus == 0 && Configure.slaveAddress == 0xE2 && Configure.channel == 4 &&
             Configure.tokenNumber == PCD_TOKEN_BOARD_REVISION);
  const std::vector<sim::I2cApplyPpiStandIn::Call> &Calls = Apply.Calls();
  FUZZ_CHECK(Calls.size() - ApplyBefore == 2u, "tables applied");
  const sim::I2cTablePpiStandIn::FillCall &Fill = Tables.FillCalls().back();
  for (size_t Which = 0; Which < 2; Which++) {
    const sim::I2cApplyPpiStandIn::Call &Call = Calls[ApplyBefore + Which];
    FUZZ_CHECK(Call.bus == 0 && Call.slaveAddress == 0xE2 &&
                   Call.channel == (Which == 0 ? 2u : 4u) && Call.entryCount == 5 &&
                   Call.table == Fill.tables[Which] && Call.contents == Tables.TableContents(Which),
               "apply call");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzInput In(Data, Size);
  sim::PeiPlatform Platform;
  sim::Machine &Machine = Platform.machine;
  sim::PeiFoundation &Pei = Platform.pei;
  sim::PcdDatabase &Pcd = Platform.pcd;
  sim::StallPpiStandIn &Stall = Platform.stall;
  sim::I2cTablePpiStandIn &Tables = Platform.i2cTable;
  sim::I2cApplyPpiStandIn &Apply = Platform.i2cApply;
  Hostile::In = &In;
  Hostile::Smbus.clear();
  Hostile::Bmc.clear();
  EFI_PEI_SMBUS2_PPI Smbus = {Hostile::Execute, nullptr, nullptr, nullptr, {}};
  BMC_IPMI_PPI Bmc = {nullptr, nullptr, nullptr, Hostile::SendCommand};

  const uint8_t Missing = In.U8();
  const bool StallPresent = (Missing & 1) == 0;
  const bool BmcPresent = (Missing & 2) == 0;
  const bool TablePresent = (Missing & 4) == 0;
  const bool ApplyInstalled = (Missing & 8) == 0;
  const bool SmbusTwice = (Missing & 16) != 0;
  FUZZ_CHECK(Pei.InstallPpi(gPcdPpiGuid, Pcd.Ppi()) == EFI_SUCCESS);
  if (StallPresent) FUZZ_CHECK(Stall.Install() == EFI_SUCCESS);
  if (BmcPresent) FUZZ_CHECK(Pei.InstallPpi(gBmcIpmiPpiGuid, &Bmc) == EFI_SUCCESS);
  if (TablePresent) FUZZ_CHECK(Tables.Install() == EFI_SUCCESS);
  FUZZ_CHECK(Pei.RunModule(BoardHookPeiEntryPoint) == EFI_SUCCESS);

  for (int Run = 0; Run < (SmbusTwice ? 2 : 1); Run++) {
    Hostile::Smbus.clear();
    Hostile::Bmc.clear();
    Pcd.ClearAccesses();
    const size_t StallsBefore = Stall.Calls().size();
    const sim::RunOutcome Outcome = Machine.Run(
        [&] { FUZZ_CHECK(Pei.InstallPpi(gEfiPeiSmbus2PpiGuid, &Smbus) == EFI_SUCCESS); });
    FUZZ_CHECK(Outcome.end == sim::RunEnd::Returned, Outcome.Describe());
    std::vector<sim::PcdAccess> Sets;
    for (const sim::PcdAccess &Access : Pcd.Accesses()) {
      if (Access.IsSet()) Sets.push_back(Access);
    }
    CheckCapture(StallPresent && BmcPresent, Stall, StallsBefore, Sets);
  }

  if (ApplyInstalled) {
    Hostile::Smbus.clear();
    const size_t ApplyBefore = Apply.Calls().size();
    const sim::RunOutcome Outcome =
        Machine.Run([&] { FUZZ_CHECK(Apply.Install() == EFI_SUCCESS); });
    FUZZ_CHECK(Outcome.end == sim::RunEnd::Returned, Outcome.Describe());
    CheckChannels(TablePresent, Tables, Apply, ApplyBefore);
  }
  return 0;
}
