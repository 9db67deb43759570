// The PEI entry's "Setup" read against a hostile variable PPI: any status
// (success, warnings, errors, any value), any reported size, and any part of
// the caller's buffer actually copied. The PEI foundation's NotifyPpi, which
// the entry calls just before it reads the variable, leaves junk on the
// stack where the entry's copy of the variable then lies, so a byte the
// entry reads without anyone having written it shows as junk.
//
// Checked: GetVariable is asked for "Setup" with its GUID and 4092 bytes;
// token 0x1F5 becomes 0xFF exactly when the status is no error, the reported
// size holds the option byte and fits the buffer, and the byte the service
// copied there is not 0 (a byte it did not copy counts as 0); the entry
// returns EFI_SUCCESS and publishes its hook PPI.
#include <cstring>
#include <string>

#include "include/PcdTokens.h"
#include "include/SetupVariable.h"
#include "pei/BoardHookPei.h"
#include "sim/platform/PeiPlatform.h"
#include "tests/pei/JunkLeavingNotify.h"
#include "tests/fuzz/FuzzInput.h"
#include "uefi/StandardInterfaces.h"

namespace {

using fuzz::FuzzInput;

// What the hostile service does on this input.
struct Answer {
  EFI_STATUS Status = EFI_SUCCESS;
  UINTN ReportedSize = 0;
  size_t Copied = 0;  // bytes of the caller's buffer written, from its start
  uint8_t Fill = 0;
  uint8_t Option = 0;  // the byte at the option's offset, when copied
};

struct Hostile {
  static inline Answer Plan;
  static inline bool Called = false;
  static inline bool AskedRight = false;
  static inline uintptr_t OptionAddress = 0;
  static EFI_STATUS EFIAPI GetVariable(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *, const CHAR16 *Name,
                                       const EFI_GUID *Guid, UINT32 *, UINTN *DataSize,
                                       VOID *Data) {
    const std::u16string Setup = u"Setup";
    Called = true;
    AskedRight = std::u16string(reinterpret_cast<const char16_t *>(Name)) == Setup &&
                 GuidEquals(Guid, &gSetupVariableGuid) && *DataSize == SETUP_VARIABLE_MAX_SIZE;
    OptionAddress = reinterpret_cast<uintptr_t>(Data) + SETUP_OPTION_OFFSET;
    // A service may misreport, but it never writes beyond the caller's size.
    const size_t Copied = Plan.Copied < *DataSize ? Plan.Copied : *DataSize;
    std::memset(Data, Plan.Fill, Copied);
    if (Copied > SETUP_OPTION_OFFSET)
      static_cast<uint8_t *>(Data)[SETUP_OPTION_OFFSET] = Plan.Option;
    *DataSize = Plan.ReportedSize;
    return Plan.Status;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzInput In(Data, Size);
  sim::PeiPlatform Platform;
  sim::PeiFoundation &Pei = Platform.pei;
  sim::PcdDatabase &Pcd = Platform.pcd;

  const uint8_t Flags = In.U8();
  const bool PcdPresent = (Flags & 1) == 0;
  const bool VariablesPresent = (Flags & 2) == 0;
  Answer &Plan = Hostile::Plan;
  Plan = {};
  Plan.Status = In.Pick<EFI_STATUS>({EFI_SUCCESS, EFI_WARN_UNKNOWN_GLYPH, EFI_WARN_BUFFER_TOO_SMALL,
                                     EFI_WARN_STALE_DATA, EFI_BUFFER_TOO_SMALL, EFI_NOT_FOUND,
                                     EFI_DEVICE_ERROR, 0});
  if (Plan.Status == 0 && In.Bit()) Plan.Status = In.U64();
  Plan.ReportedSize = In.Pick<UINTN>({SETUP_VARIABLE_MAX_SIZE, SETUP_OPTION_OFFSET + 1,
                                      SETUP_OPTION_OFFSET, SETUP_VARIABLE_MAX_SIZE + 1, 0, 1});
  if (Plan.ReportedSize == 1) Plan.ReportedSize = In.U32();
  Plan.Copied = In.Pick<size_t>(
      {SETUP_VARIABLE_MAX_SIZE, 0, SETUP_OPTION_OFFSET, SETUP_OPTION_OFFSET + 1, 1});
  if (Plan.Copied == 1) Plan.Copied = In.Below(SETUP_VARIABLE_MAX_SIZE + 100);
  Plan.Fill = In.U8();
  Plan.Option = In.U8();
  JunkLeavingNotify::Junk = static_cast<uint8_t>(In.U8() | 1);
  Hostile::Called = false;

  EFI_PEI_READ_ONLY_VARIABLE2_PPI Variables = {Hostile::GetVariable, nullptr};
  if (PcdPresent) FUZZ_CHECK(Pei.InstallPpi(gPcdPpiGuid, Pcd.Ppi()) == EFI_SUCCESS);
  if (VariablesPresent) {
    FUZZ_CHECK(Pei.InstallPpi(gEfiPeiReadOnlyVariable2PpiGuid, &Variables) == EFI_SUCCESS);
  }
  JunkLeavingNotify::Install(Pei.Services());
  Pcd.ClearAccesses();

  EFI_STATUS Status = EFI_UNSUPPORTED;
  const sim::RunOutcome Outcome =
      Platform.machine.Run([&] { Status = Pei.RunModule(BoardHookPeiEntryPoint); });
  FUZZ_CHECK(Outcome.end == sim::RunEnd::Returned, Outcome.Describe());
  FUZZ_CHECK(Status == EFI_SUCCESS);
  FUZZ_CHECK(Pei.CountPpis(gBoardHookPpiGuid) == 1u);
  FUZZ_CHECK(Hostile::Called == VariablesPresent);

  bool Wanted = false;
  if (VariablesPresent) {
    FUZZ_CHECK(Hostile::AskedRight, "GetVariable asked for another variable or size");
    FUZZ_CHECK(JunkLeavingNotify::Covers(Hostile::OptionAddress),
               "the junk no longer covers the option byte: this target lost its check");
    const size_t Copied =
        Plan.Copied < SETUP_VARIABLE_MAX_SIZE ? Plan.Copied : SETUP_VARIABLE_MAX_SIZE;
    const uint8_t Option = Copied > SETUP_OPTION_OFFSET ? Plan.Option : 0;
    Wanted = PcdPresent && !EFI_ERROR(Plan.Status) && Plan.ReportedSize > SETUP_OPTION_OFFSET &&
             Plan.ReportedSize <= SETUP_VARIABLE_MAX_SIZE && Option != 0;
  }
  const std::vector<sim::PcdAccess> Sets = Pcd.SetsOf(PCD_TOKEN_SETUP_OPTION);
  FUZZ_CHECK(Sets.size() == (Wanted ? 1u : 0u), "token 0x1F5 written against the variable");
  if (Wanted) FUZZ_CHECK(Sets[0].operation == "Set64" && Sets[0].value == 0xFF);
  FUZZ_CHECK(Pcd.Accesses().size() == Sets.size(), "other tokens touched");
  return 0;
}
