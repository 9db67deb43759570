// Hook4 (CollectMacAddresses) on a board the input describes: board type,
// function select and root-port location tokens, the host bridge's bus
// ranges, root-port bridges with any bus numbers, and controllers of every
// family (or any ID) with any extended configuration bytes, BARs (32-bit,
// 64-bit or unassigned), device registers and VPD.
//
// Checked: the hook ends and returns EFI_SUCCESS; the lists stay inside the
// two buffers of their documented sizes (10 and 19 bytes, ASan), bytes 0 to
// 2 of the first buffer are never touched, the first list holds at most one
// entry and the second at most three, nothing past the last entry changes,
// board types 5 and 8 leave the second buffer alone, and only board type 8
// skips the closing stall.
#include <cstring>
#include <memory>
#include <vector>

#include "board/BoardHookDxe.h"
#include "board/MacCollection.h"
#include "include/PcdTokens.h"
#include "platform/LibraryStartup.h"
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/fuzz/SimulatedPlatform.h"

namespace {

using fuzz::FuzzInput;

constexpr size_t kFirstBufferSize = 10;
constexpr size_t kSecondBufferSize = 19;
constexpr uint8_t kUntouched = 0xEE;
constexpr uint32_t kBridgeId = 0x0002B0A5;
// Each controller's BAR window: large enough for the split registers at
// 0x1E2140, one window per controller so none overlap.
constexpr uint64_t kWindowSize = 0x400000;
constexpr uint64_t kWindowBase32 = 0x80000000;
constexpr uint64_t kWindowBase64 = 0x100000000;

const uint16_t kLocationTokens[4] = {PCD_TOKEN_ROOT_PORT1_LOCATION, PCD_TOKEN_ROOT_PORT2_LOCATION,
                                     PCD_TOKEN_ROOT_PORT3_LOCATION, PCD_TOKEN_ROOT_PORT4_LOCATION};

// Where a location word's root port lies with the given bus ranges: the
// group's first bus plus the offset, or bus 0 past the group's last bus.
sim::PciAddress RootPortOf(uint32_t Location, const uint8_t (&Ranges)[8][2]) {
  const uint8_t BoardBus = static_cast<uint8_t>(Location >> 8);
  const unsigned Bus = Ranges[BoardBus >> 5][0] + (BoardBus & 0x1Fu);
  return sim::PciAddress::FromBdf(
      static_cast<uint16_t>((Bus <= Ranges[BoardBus >> 5][1] ? Bus : 0u) << 8 | (Location & 0xFF)));
}

void AddController(FuzzInput &In, sim::Machine &Machine, unsigned Index) {
  const sim::PciAddress Address = {static_cast<uint8_t>(1 + In.Below(24)), 0,
                                   static_cast<uint8_t>(In.Below(8))};
  const uint32_t Id = In.Pick<uint32_t>({0x000015B3, 0x165F14E4, 0x16D814E4, 0x123414E4, 0x15728086,
                                         0x104E8086, 0x15FF8086, 0x10D38086, 0});
  const uint32_t IdWord = Id != 0 ? Id : In.U32();
  const uint8_t Shape = In.U8();
  if (Machine.FindPciFunction(Address) != nullptr || IdWord == 0xFFFFFFFF) return;
  sim::PciFunction &Function = Machine.AddPciFunction(Address, IdWord);
  Function.SetConfigBytes(0x140, In.Bytes(8));
  switch (Shape & 3) {
    case 0:
      break;  // BAR0 unassigned
    case 1:
      Function.SetBar32(0, static_cast<uint32_t>(kWindowBase32 + Index * kWindowSize), kWindowSize);
      break;
    default:
      Function.SetBar64(0, kWindowBase64 + Index * kWindowSize, kWindowSize);
      break;
  }
  if ((Shape & 3) != 0) {
    const std::vector<uint8_t> Registers = In.Bytes(12);
    Function.SetRegisterBytes(
        0, 0x5400,
        {Registers[0], Registers[1], Registers[2], Registers[3], Registers[4], Registers[5]});
    Function.SetRegisterBytes(0, 0x1E2120,
                              {Registers[6], Registers[7], Registers[8], Registers[9]});
    Function.SetRegisterBytes(0, 0x1E2140, {Registers[10], Registers[11]});
  }
  if ((Shape & 4) != 0) {
    sim::VpdCapability &Vpd = Function.AddVpdCapability(In.Bytes(In.Below(VPD_IMAGE_SIZE + 1)));
    Vpd.SetCompletionReads(In.Below(3));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzInput In(Data, Size);
  fuzz::DxePlatform Platform;
  sim::Machine &Machine = Platform.Machine;
  sim::PcdDatabase &Pcd = Platform.Pcd;

  const uint8_t BoardType = In.Pick<uint8_t>({5, 7, 8, 12, 14, 0, 1});
  Pcd.Declare(PCD_TOKEN_BOARD_TYPE, 1, BoardType == 1 ? In.U8() : BoardType);
  Pcd.Declare(PCD_TOKEN_FUNCTION_SELECT, 1, In.Below(6));
  uint8_t Ranges[8][2];
  for (unsigned Group = 0; Group < 8; Group++) {
    Ranges[Group][0] = In.U8();
    Ranges[Group][1] = In.U8();
    Machine.SetBusRange(Group, Ranges[Group][0], Ranges[Group][1]);
  }
  for (unsigned Port = 0; Port < 4; Port++) {
    const uint32_t Location = In.U32();
    Pcd.Declare(kLocationTokens[Port], 4, Location);
    const sim::PciAddress RootPort = RootPortOf(Location, Ranges);
    if (In.Bit() && RootPort.Bdf() != 0 && Machine.FindPciFunction(RootPort) == nullptr) {
      const uint8_t Secondary = static_cast<uint8_t>(In.Below(26));
      Machine.AddPciBridge(RootPort, kBridgeId, Secondary,
                           static_cast<uint8_t>(Secondary + In.Below(4)));
    }
  }
  const uint8_t BoardTypeRead = static_cast<uint8_t>(*Pcd.Value(PCD_TOKEN_BOARD_TYPE));
  for (unsigned Index = 0; Index < 8 && !In.Empty(); Index++) AddController(In, Machine, Index);

  // The buffers exactly as large as the documented lists need.
  const std::unique_ptr<uint8_t[]> First(new uint8_t[kFirstBufferSize]);
  const std::unique_ptr<uint8_t[]> Second(new uint8_t[kSecondBufferSize]);
  std::memset(First.get(), kUntouched, kFirstBufferSize);
  std::memset(Second.get(), kUntouched, kSecondBufferSize);
  EFI_STATUS Status = EFI_UNSUPPORTED;
  const sim::RunOutcome Outcome =
      Machine.Run([&] { Status = CollectMacAddresses(First.get(), Second.get()); });
  FUZZ_CHECK(Outcome.end == sim::RunEnd::Returned, Outcome.Describe());
  FUZZ_CHECK(Status == EFI_SUCCESS);

  for (size_t At = 0; At < 3; At++) FUZZ_CHECK(First[At] == kUntouched, "caller's bytes written");
  const uint8_t FirstCount = First[3];
  FUZZ_CHECK(FirstCount <= 1, "more than one entry for port 1");
  for (size_t At = 4 + 6u * FirstCount; At < kFirstBufferSize; At++) {
    FUZZ_CHECK(First[At] == kUntouched, "written past the first list");
  }
  if (BoardTypeRead == 5 || BoardTypeRead == 8) {
    for (size_t At = 0; At < kSecondBufferSize; At++) {
      FUZZ_CHECK(Second[At] == kUntouched, "the second buffer is touched");
    }
  } else {
    const uint8_t SecondCount = Second[0];
    FUZZ_CHECK(SecondCount <= 3, "more than three entries for ports 2 to 4");
    for (size_t At = 1 + 6u * SecondCount; At < kSecondBufferSize; At++) {
      FUZZ_CHECK(Second[At] == kUntouched, "written past the second list");
    }
  }
  const auto Stalls = Platform.Core.CallsOf(sim::Service::Stall);
  FUZZ_CHECK(Stalls.size() == (BoardTypeRead == 8 ? 0u : 1u));
  if (!Stalls.empty()) FUZZ_CHECK(Stalls[0].args[0] == MAC_COLLECTION_STALL_US);
  FUZZ_CHECK(Platform.Core.Errors().empty(), Platform.Core.Errors().front());
  return 0;
}
