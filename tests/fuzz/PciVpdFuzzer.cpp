// The capability walk, the VPD read, the keyword scan and the hex
// conversion, on a simulated PCI function whose capability space, VPD
// capability (place, next pointer, completion delay) and VPD image come
// from the input, and on bare images.
//
// Checked: the walk ends, on an absent device too, and what it returns is a
// VPD capability reached from the capabilities pointer (0 only when none is
// reached within the walk's bound); the VPD read asks for the 64 dwords and
// writes nothing but the VPD address register; the entry receives exactly
// the address the image holds for the selector, or keeps its bytes; nothing
// is written outside the six entry bytes or read outside the 256-byte image.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "board/MacCollection.h"
#include "board/PciAccess.h"
#include "sim/machine/Machine.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

using fuzz::FuzzInput;
using Entry = std::array<uint8_t, MAC_ADDRESS_SIZE>;

constexpr uint8_t kCapabilityPointer = 0x34;
constexpr uint8_t kVpdId = 0x03;

uint8_t HexValue(uint8_t Character) {
  if (Character >= '0' && Character <= '9') return static_cast<uint8_t>(Character - '0');
  if (Character >= 'A' && Character <= 'F') return static_cast<uint8_t>(Character - 'A' + 10);
  return Character;
}

// The address the image holds for the selector, if it holds one: the last
// "VA" keyword of length 1 tells how many selectors are served, the last
// "V2" to "V5" keyword of length 12 that fits in the image holds the
// address of selectors 1 to 4.
std::optional<Entry> AddressInImage(const uint8_t *Image, unsigned Selector) {
  uint32_t Served = 0;
  size_t Offsets[4] = {0, 0, 0, 0};
  for (size_t At = 0; At + 3 < VPD_IMAGE_SIZE; At++) {
    if (Image[At] != 'V') continue;
    if (Image[At + 1] == 'A' && Image[At + 2] == 1) {
      Served = static_cast<uint32_t>(Image[At + 3]) - '0';
    } else if (Image[At + 1] >= '2' && Image[At + 1] <= '5' && Image[At + 2] == 12 &&
               At + 15 <= VPD_IMAGE_SIZE) {
      Offsets[Image[At + 1] - '2'] = At + 3;
    }
  }
  if (Selector < 1 || Selector > 4 || Served < Selector || Offsets[Selector - 1] == 0) {
    return std::nullopt;
  }
  Entry Result;
  for (size_t Byte = 0; Byte < MAC_ADDRESS_SIZE; Byte++) {
    const size_t At = Offsets[Selector - 1] + 2 * Byte;
    Result[Byte] = static_cast<uint8_t>(HexValue(Image[At]) << 4 | HexValue(Image[At + 1]));
  }
  return Result;
}

// The entry between guard bytes, so a write beside it shows.
struct GuardedEntry {
  uint8_t Bytes[MAC_ADDRESS_SIZE + 16];
  explicit GuardedEntry(const Entry &Initial) {
    std::memset(Bytes, 0xC3, sizeof(Bytes));
    std::memcpy(Bytes + 8, Initial.data(), MAC_ADDRESS_SIZE);
  }
  uint8_t *Data() { return Bytes + 8; }
  Entry Value() const {
    Entry Result;
    std::memcpy(Result.data(), Bytes + 8, MAC_ADDRESS_SIZE);
    return Result;
  }
  bool GuardsKept() const {
    for (size_t At = 0; At < sizeof(Bytes); At++) {
      if ((At < 8 || At >= 8 + MAC_ADDRESS_SIZE) && Bytes[At] != 0xC3) return false;
    }
    return true;
  }
};

Entry InitialEntry(FuzzInput &In) {
  Entry Result;
  for (uint8_t &Byte : Result) Byte = In.U8();
  return Result;
}

// The conversion and the scan on a bare image, in memory of exactly 256
// bytes.
void CheckBareImage(FuzzInput &In) {
  const std::unique_ptr<uint8_t[]> Image(new uint8_t[VPD_IMAGE_SIZE]);
  const std::vector<uint8_t> Bytes = In.Bytes(VPD_IMAGE_SIZE);
  std::memcpy(Image.get(), Bytes.data(), VPD_IMAGE_SIZE);
  const Entry Initial = InitialEntry(In);
  for (unsigned Selector = 0; Selector <= 5; Selector++) {
    GuardedEntry Got(Initial);
    VpdMacAddressFromImage(Image.get(), static_cast<UINT16>(Selector), Got.Data());
    FUZZ_CHECK(Got.GuardsKept(), "written beside the entry");
    FUZZ_CHECK(Got.Value() == AddressInImage(Image.get(), Selector).value_or(Initial));
  }
  const uint32_t Offset = In.U16() % 300;
  GuardedEntry Got(Initial);
  AsciiHexToMac(Got.Data(), Image.get(), Offset);
  FUZZ_CHECK(Got.GuardsKept(), "written beside the entry");
  if (Offset + 2 * MAC_ADDRESS_SIZE > VPD_IMAGE_SIZE) {
    FUZZ_CHECK(Got.Value() == Initial, "converted from beyond the image");
  }
}

// The capability the walk must find: followed from the capabilities
// pointer by the next pointers, for at most the walk's bound of entries,
// ending on 0 or on an offset seen before.
uint8_t ReachableVpd(sim::PciFunction *Function) {
  auto Byte = [&](unsigned Offset) -> uint8_t {
    return Function == nullptr ? 0xFF : Function->Config8(static_cast<uint16_t>(Offset));
  };
  bool Seen[256] = {};
  uint8_t Offset = Byte(kCapabilityPointer);
  for (unsigned Entries = 0; Offset != 0 && Entries < VPD_CAPABILITY_WALK_LIMIT; Entries++) {
    if (Seen[Offset]) return 0;
    Seen[Offset] = true;
    if (Byte(Offset) == kVpdId) return Offset;
    Offset = Byte(Offset + 1u);
  }
  return 0;
}

void CheckDevice(FuzzInput &In) {
  sim::Machine Machine;
  Machine.Activate();
  const sim::PciAddress Address = {1, 0, 0};
  const PCI_BDF Bdf = Address.Bdf();
  const uint8_t Shape = In.U8();
  sim::PciFunction *Function = nullptr;
  bool NeverCompletes = false;
  std::vector<uint8_t> VpdImage;
  if ((Shape & 1) == 0) {
    Function = &Machine.AddPciFunction(Address, 0x12345678);
    Function->SetConfigBytes(0x40, In.Bytes(0xC0));
    if ((Shape & 2) != 0) {
      const uint8_t At = static_cast<uint8_t>(0x40 + In.Below(0xB9));
      VpdImage = In.Bytes(In.Below(VPD_IMAGE_SIZE + 8));
      sim::VpdCapability &Vpd = Function->AddVpdCapability(VpdImage, At);
      NeverCompletes = (Shape & 0xF0) == 0xF0;
      Vpd.SetCompletionReads(NeverCompletes ? sim::VpdCapability::kNever : In.Below(4));
      Function->SetConfig8(static_cast<uint16_t>(At + 1), In.U8());
    }
    if ((Shape & 4) != 0) Function->SetConfig8(kCapabilityPointer, In.U8());
  }
  const Entry Initial = InitialEntry(In);
  const unsigned Selector = In.Below(6);

  const uint8_t Wanted = ReachableVpd(Function);
  uint8_t Found = 0xEE;
  const sim::RunOutcome Walk = Machine.Run([&] { Found = FindVpdCapability(Bdf); });
  FUZZ_CHECK(Walk.end == sim::RunEnd::Returned, Walk.Describe());
  FUZZ_CHECK(Found == Wanted, "the walk found another capability");

  const size_t Mark = Machine.Trace().Mark();
  GuardedEntry Got(Initial);
  const sim::RunOutcome Read =
      Machine.Run([&] { ReadVpdMacAddress(Bdf, static_cast<UINT16>(Selector), Got.Data()); });
  FUZZ_CHECK(Read.end == sim::RunEnd::Returned, Read.Describe());
  FUZZ_CHECK(Got.GuardsKept(), "written beside the entry");

  Entry Expected = Initial;
  if (Found != 0 && Function->Vpd() != nullptr && Found == Function->Vpd()->Offset()) {
    FUZZ_CHECK(Function->Vpd()->Requests() == (NeverCompletes ? 1u : 64u));
    if (!NeverCompletes) {
      std::vector<uint8_t> Image(VPD_IMAGE_SIZE, 0xFF);
      std::copy_n(VpdImage.begin(), std::min(VpdImage.size(), Image.size()), Image.begin());
      Expected = AddressInImage(Image.data(), Selector).value_or(Initial);
    }
  }
  if (Found == 0) {
    FUZZ_CHECK(Got.Value() == Initial, "an entry filled without a VPD capability");
  } else if (Function->Vpd() != nullptr && Found == Function->Vpd()->Offset()) {
    FUZZ_CHECK(Got.Value() == Expected, "the entry does not hold the image's address");
  }
  // The read writes nothing but the VPD address register of the capability
  // found (and the legacy address port of its capability walk).
  for (const sim::TraceRecord &Access : Machine.Trace().Since(Mark)) {
    if (Access.kind == sim::AccessKind::MmioWrite) {
      FUZZ_CHECK(Found != 0 && Access.width == 16 &&
                     Access.address == sim::Machine::EcamAddress(Address, Found + 2u),
                 "a configuration write other than the VPD address");
    } else if (Access.kind == sim::AccessKind::IoWrite) {
      FUZZ_CHECK(Access.address == sim::Machine::kConfigAddressPort && Access.width == 32);
    } else {
      FUZZ_CHECK(!sim::IsWriteKind(Access.kind), "a write other than configuration");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzInput In(Data, Size);
  if (In.Bit()) {
    CheckBareImage(In);
  } else {
    CheckDevice(In);
  }
  return 0;
}
