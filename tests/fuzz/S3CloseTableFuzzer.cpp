// The S3 save library from start-up to ReadyToBoot with an S3 save table of
// any size and contents whose boundary and end offsets lie inside it (the
// library cannot know the table's size, its producer guarantees that),
// signature and marker right or wrong, a debugger that mends the table while
// a trap holds the processor, token 585 set or not, SMM communication
// present or not, its lookup failing, the record shared by an earlier
// module, and ReadyToBoot signalled up to three times.
//
// Checked: the table is read and written only inside itself (ASan), and
// only the 16-bit end mark is written, only when the table is sound; the
// message goes to SMM at most once, 40 bytes into the 40-byte buffer, with
// the record's address, while the table is still live and not yet marked
// closed; then, and only then, TableClosed becomes 1 and the table is freed,
// once; the trap codes are those of the failures; the core sees no misuse
// (double free, stale events).
#include <cstring>
#include <memory>
#include <vector>

#include "board/BoardHookDxe.h"
#include "include/PcdTokens.h"
#include "include/S3SaveLib.h"
#include "platform/ErrorCodes.h"
#include "platform/LibraryStartup.h"
#include "platform/S3SaveLib.h"
#include "sim/dxe/DxeCore.h"
#include "sim/dxe/SmmStandins.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/fuzz/SimulatedPlatform.h"

namespace {

using fuzz::FuzzInput;

constexpr size_t kMessageSize = sizeof(S3_SAVE_SMM_MESSAGE);
constexpr size_t kBoundaryField = __builtin_offsetof(S3_LIB_TABLE_HEADER, BoundaryOffset);
constexpr size_t kEndField = __builtin_offsetof(S3_LIB_TABLE_HEADER, EndOffset);

template <typename T>
void Put(uint8_t *Bytes, size_t At, T Value) {
  std::memcpy(Bytes + At, &Value, sizeof(Value));
}
template <typename T>
T Get(const uint8_t *Bytes, size_t At) {
  T Value;
  std::memcpy(&Value, Bytes + At, sizeof(Value));
  return Value;
}

// On the POST-code port: when a trap shows its code, mends the field that
// trap is about, as someone at a debugger might.
class MendingDebugger final : public sim::IoDevice {
 public:
  MendingDebugger(uint8_t *Table, size_t BoundaryOffset, bool MendsMarker)
      : table_(Table), boundary_(BoundaryOffset), mendsMarker_(MendsMarker) {}
  uint32_t IoRead(uint16_t, unsigned Width) override { return sim::WidthMask(Width); }
  void IoWrite(uint16_t, unsigned Width, uint32_t Value) override {
    if (Width != 32) return;
    if (Value == ERROR_TRAP_S3_TABLE_SIGNATURE) Put(table_, 0, S3_SAVE_TABLE_SIGNATURE);
    if (Value == ERROR_TRAP_S3_TABLE_BOUNDARY && mendsMarker_) {
      Put(table_, boundary_, S3_SAVE_TABLE_BOUNDARY_MARKER);
    }
  }

 private:
  uint8_t *table_;
  size_t boundary_;
  bool mendsMarker_;
};

// What Communicate saw of the table and the record when it was called.
struct AtCommunicate {
  bool TableLive = false;
  uint8_t TableClosed = 0xEE;
  uint16_t EndMark = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzInput In(Data, Size);
  fuzz::DxePlatform Platform;
  sim::Machine &Machine = Platform.Machine;
  sim::DxeCore &Core = Platform.Core;
  sim::PcdDatabase &Pcd = Platform.Pcd;
  sim::SmmCommunication Smm;
  sim::SmmReadyToLock ReadyToLock;

  const uint8_t Flags = In.U8();
  const bool SmmPresent = (Flags & 0x01) == 0;
  const bool BufferTokenSet = (Flags & 0x02) == 0;
  const bool LockedBefore = (Flags & 0x04) != 0;
  const bool SharedRecord = (Flags & 0x08) != 0;
  const bool Mending = (Flags & 0x10) != 0;
  const bool MmioConfigClear = (Flags & 0x20) != 0;
  const bool NoTable = (Flags & 0x40) != 0;
  const bool SmmLookupFails = (Flags & 0x80) != 0;

  // The table: any bytes, the three fields written last so its offsets are
  // the ones chosen (the marker may be overwritten by them).
  const size_t TableSize = sizeof(S3_LIB_TABLE_HEADER) + In.Below(1024);
  auto *Table =
      static_cast<uint8_t *>(Core.AllocatePoolForPlatform(EfiBootServicesData, TableSize));
  const std::vector<uint8_t> Contents = In.Bytes(TableSize);
  std::memcpy(Table, Contents.data(), TableSize);
  const size_t BoundaryOffset = In.Below(TableSize - 3);
  const size_t EndOffset = In.Below(TableSize - 1);
  if (In.Bit()) Put(Table, BoundaryOffset, S3_SAVE_TABLE_BOUNDARY_MARKER);
  if (In.Bit()) Put(Table, 0, S3_SAVE_TABLE_SIGNATURE);
  Put<uint64_t>(Table, kBoundaryField, BoundaryOffset);
  Put<uint64_t>(Table, kEndField, EndOffset);
  const std::vector<uint8_t> Original(Table, Table + TableSize);
  const unsigned ReadyToBootSignals = 1 + static_cast<unsigned>(In.Below(3));

  // A mended marker must not land on the offset fields.
  const bool MarkerMendable =
      BoundaryOffset + 4 <= kBoundaryField || BoundaryOffset >= sizeof(S3_LIB_TABLE_HEADER);
  MendingDebugger Debugger(Table, BoundaryOffset, MarkerMendable);
  if (Mending) Machine.AttachIo(0x80, 1, Debugger);
  if (MmioConfigClear) {
    Machine.SetMsr(sim::Machine::kMsrMmioConfigBase, sim::Machine::kDefaultMmioConfigBase & ~1ull);
  }
  const std::unique_ptr<uint8_t[]> SmmBuffer(new uint8_t[kMessageSize]);
  std::memset(SmmBuffer.get(), 0xA5, kMessageSize);
  Pcd.Declare(PCD_TOKEN_SMM_COMMUNICATION_BUFFER, 8,
              BufferTokenSet ? reinterpret_cast<uintptr_t>(SmmBuffer.get()) : 0);
  S3_LIB_PRIVATE_DATA Shared = {};
  if (SharedRecord) {
    Pcd.Declare(PCD_TOKEN_S3_LIB_PRIVATE_DATA, 8, reinterpret_cast<uintptr_t>(&Shared));
  }
  if (LockedBefore) ReadyToLock.Install(Core);
  if (SmmPresent) Smm.Install(Core);

  const sim::RunOutcome Start = Machine.Run([] { S3SaveLibStartup(nullptr, nullptr); });
  FUZZ_CHECK(Start.end == sim::RunEnd::Returned, Start.Describe());
  S3_LIB_PRIVATE_DATA *Record = mS3LibPrivateData;
  FUZZ_CHECK(Record != nullptr);
  FUZZ_CHECK(!SharedRecord || Record == &Shared, "the shared record is not taken");
  if (!SharedRecord && LockedBefore) FUZZ_CHECK(Record->BootScriptLocked == 1);
  Record->TableBase = NoTable ? 0 : reinterpret_cast<uintptr_t>(Table);

  AtCommunicate Seen;
  Smm.SetHandler([&](void *, UINTN *) {
    for (const sim::PoolBlock &Block : Core.LiveAllocations()) {
      Seen.TableLive = Seen.TableLive || Block.address == Table;
    }
    Seen.TableClosed = Record->TableClosed;
    Seen.EndMark = Get<uint16_t>(Table, EndOffset);
    return EFI_SUCCESS;
  });
  if (SmmLookupFails) Core.FailEveryCall(sim::Service::LocateProtocol, EFI_NOT_FOUND);
  const size_t CodesBefore = Machine.PostCodes().Values(0x80).size();
  if (!Mending) {
    FUZZ_CHECK(Machine.PostCodes().Values(0x80) ==
                   (MmioConfigClear ? std::vector<uint32_t>{ERROR_TRAP_S3_MMIO_CONFIG_DISABLED}
                                    : std::vector<uint32_t>{}),
               "start-up trap codes");
  }
  const sim::RunOutcome Boot = Machine.Run([&] {
    for (unsigned Signal = 0; Signal < ReadyToBootSignals; Signal++) Core.SignalReadyToBoot();
  });
  FUZZ_CHECK(Boot.end == sim::RunEnd::Returned, Boot.Describe());

  // What the close must have done: only the module that created the record
  // armed the close, and it runs once.
  std::vector<uint8_t> Wanted = Original;
  std::vector<uint32_t> Codes;
  bool Sends = false;
  if (!SharedRecord && !NoTable) {
    bool Sound = true;
    if (Get<uint32_t>(Wanted.data(), 0) != S3_SAVE_TABLE_SIGNATURE) {
      Codes.push_back(ERROR_TRAP_S3_TABLE_SIGNATURE);
      if (Mending) Put(Wanted.data(), 0, S3_SAVE_TABLE_SIGNATURE);
      Sound = Mending;
    }
    if (Sound && Get<uint32_t>(Wanted.data(), BoundaryOffset) != S3_SAVE_TABLE_BOUNDARY_MARKER) {
      Codes.push_back(ERROR_TRAP_S3_TABLE_BOUNDARY);
      if (Mending && MarkerMendable)
        Put(Wanted.data(), BoundaryOffset, S3_SAVE_TABLE_BOUNDARY_MARKER);
      Sound = Mending && MarkerMendable;
    }
    if (Sound) {
      Put<uint16_t>(Wanted.data(), EndOffset, S3_SAVE_TABLE_END_MARK);
      if (!BufferTokenSet) {
        Codes.push_back(ERROR_TRAP_S3_SMM_BUFFER_TOKEN);
      } else if (!SmmPresent || SmmLookupFails) {
        Codes.push_back(ERROR_TRAP_S3_SMM_COMMUNICATION);
      } else {
        Sends = true;
      }
    }
  }
  if (!Mending) {
    std::vector<uint32_t> Shown = Machine.PostCodes().Values(0x80);
    Shown.erase(Shown.begin(), Shown.begin() + static_cast<ptrdiff_t>(CodesBefore));
    FUZZ_CHECK(Shown == Codes, "unexpected trap codes");
  }

  FUZZ_CHECK(Smm.Calls().size() == (Sends ? 1u : 0u), "messages to SMM");
  const std::vector<sim::FreedBlock> &Freed = Core.FreedBlocks();
  FUZZ_CHECK(Freed.size() == (Sends ? 1u : 0u), "frees");
  if (Sends) {
    const sim::CommunicateCall &Call = Smm.Calls()[0];
    FUZZ_CHECK(Call.buffer == SmmBuffer.get() && Call.size_given && Call.size == kMessageSize);
    S3_SAVE_SMM_MESSAGE Message;
    std::memcpy(&Message, SmmBuffer.get(), sizeof(Message));
    FUZZ_CHECK(GuidEquals(&Message.HeaderGuid, &gS3SaveSmmGuid) && Message.MessageLength == 16 &&
               Message.RequestCode == 1 && Message.Reserved == 0 &&
               Message.PrivateData == reinterpret_cast<uintptr_t>(Record));
    FUZZ_CHECK(Seen.TableLive && Seen.TableClosed == 0 && Seen.EndMark == S3_SAVE_TABLE_END_MARK,
               "the table was closed or freed before the message went to SMM");
    FUZZ_CHECK(Record->TableClosed == 1);
    FUZZ_CHECK(Freed[0].block.address == Table && Freed[0].contents == Wanted,
               "the table freed with other contents");
  } else {
    FUZZ_CHECK(Record->TableClosed == 0);
    FUZZ_CHECK(std::memcmp(Table, Wanted.data(), TableSize) == 0, "the table changed");
  }
  FUZZ_CHECK(Core.Errors().empty(), Core.Errors().front());
  return 0;
}
