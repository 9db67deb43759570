// The debug-tool back-end as the print pass drives it (IsActive,
// AdjustFilter, Write when the level passes the filter), message after
// message, with a buffer header in a heap buffer of any size and with its
// fields, DR2 and DR3 changing between messages as a tool or another module
// may change them.
//
// Checked against the header the back-end should see: the filter is the
// header's exactly when there is a usable header; without one each message
// is handed over directly; a header with printing off gets nothing handed
// over and no port write; buffering happens only when the whole data area
// lies in the heap buffer, and then the collected bytes, WriteIndex and the
// full-buffer hand-overs are those of the text; the back-end writes nothing
// in the heap buffer but WriteIndex and the data area, and nothing outside
// it (ASan).
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "debug/DebugConfig.h"
#include "debug/HdtOutBackend.h"
#include "platform/HeapBufferList.h"
#include "sim/machine/Machine.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

using fuzz::FuzzInput;
using Register = sim::HardwarePlatform::Register;

constexpr size_t kMaxMessages = 8;
constexpr size_t kMaxBufferBytes = 1200;
constexpr size_t kWriteIndexAt = 8;

// A heap-buffer list of this target's own, as the list start-up leaves it.
class HeapBuffers {
 public:
  HeapBuffers() {
    head_ = {&head_, &head_};
    mHeapBufferListHead = &head_;
  }
  ~HeapBuffers() { mHeapBufferListHead = nullptr; }
  // Appends a node; returns its data, exactly Size bytes long.
  uint8_t *Add(uint32_t Signature, uint32_t Handle, uint32_t Size) {
    nodes_.emplace_back(new uint8_t[sizeof(HEAP_BUFFER_NODE) + Size]);
    auto *Node = reinterpret_cast<HEAP_BUFFER_NODE *>(nodes_.back().get());
    Node->Header = {Signature, Handle, Size, 0, 1, {0, 0}};
    Node->Link = {&head_, head_.BackLink};
    head_.BackLink->ForwardLink = &Node->Link;
    head_.BackLink = &Node->Link;
    return HeapBufferNodeData(Node);
  }

 private:
  LIST_ENTRY head_;
  std::vector<std::unique_ptr<uint8_t[]>> nodes_;
};

template <typename T>
void Store(uint8_t *Buffer, uint32_t BufferBytes, size_t At, T Value) {
  if (At + sizeof(T) <= BufferBytes) std::memcpy(Buffer + At, &Value, sizeof(T));
}

// Changes the input asks for before a message: header fields (where the
// heap buffer holds them), DR2 and DR3.
void ChangeFields(FuzzInput &In, sim::Machine &Machine, uint8_t *Buffer, uint32_t BufferBytes) {
  const uint8_t Changes = In.U8();
  if (Changes & 0x01)
    Store<uint32_t>(Buffer, BufferBytes, 0, In.Bit() ? In.U32() : HDT_OUT_SIGNATURE);
  if (Changes & 0x02) Store<uint8_t>(Buffer, BufferBytes, 10, In.Pick<uint8_t>({1, 0, 2}));
  if (Changes & 0x04) Store<uint8_t>(Buffer, BufferBytes, 18, In.Pick<uint8_t>({1, 0, 3}));
  if (Changes & 0x08) Store<uint16_t>(Buffer, BufferBytes, 6, In.U16() % 700);
  if (Changes & 0x10) Store<uint16_t>(Buffer, BufferBytes, kWriteIndexAt, In.U16() % 800);
  if (Changes & 0x20) Store<uint64_t>(Buffer, BufferBytes, 24, In.U64());
  if (Changes & 0x40) Machine.SetRegister(Register::Dr3, In.Bit() ? 0 : 0x1000);
  if (Changes & 0x80) Machine.SetRegister(Register::Dr2, In.Bit() ? HDT_OUT_PORT : In.U16());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzInput In(Data, Size);
  sim::Machine Machine;
  Machine.Activate();
  Machine.SetCpuidBackDoorAnswer(1);
  HeapBuffers Buffers;
  // Sometimes a node with the handle but another signature comes first: it
  // must be passed over.
  if (In.Bit()) Buffers.Add(In.U32() | 1, HDT_OUT_BUFFER_HANDLE, 64);
  const uint32_t BufferBytes = static_cast<uint32_t>(In.U16() % kMaxBufferBytes);
  uint8_t *Buffer = Buffers.Add(HEAP_BUFFER_SIGNATURE, HDT_OUT_BUFFER_HANDLE, BufferBytes);
  const std::vector<uint8_t> Initial = In.Bytes(BufferBytes);
  std::copy(Initial.begin(), Initial.end(), Buffer);
  Store<uint32_t>(Buffer, BufferBytes, 0, HDT_OUT_SIGNATURE);
  Machine.SetRegister(Register::Dr3, 0x1000);
  Machine.SetRegister(Register::Dr2, HDT_OUT_PORT);

  for (size_t Message = 0; Message < kMaxMessages && !In.Empty(); Message++) {
    ChangeFields(In, Machine, Buffer, BufferBytes);
    const UINT64 Level = In.Bit() ? In.U64() : 0x0004000000000000ULL;
    const size_t Length = In.Below(300);
    // The text as the dispatcher hands it over: NUL-terminated after Length
    // bytes, in memory of exactly that size.
    const std::unique_ptr<CHAR8[]> Text(new CHAR8[Length + 1]);
    const std::vector<uint8_t> TextBytes = In.Bytes(Length);
    std::copy(TextBytes.begin(), TextBytes.end(), Text.get());
    Text[Length] = 0;

    // The header the back-end must see.
    HDT_OUT_HEADER Header = {};
    std::memcpy(&Header, Buffer, std::min<size_t>(sizeof(Header), BufferBytes));
    const bool Usable = Machine.RegisterValue(Register::Dr3) != 0 &&
                        BufferBytes >= sizeof(HDT_OUT_HEADER) &&
                        Header.Signature == HDT_OUT_SIGNATURE;
    const bool Active =
        DebugPrintEnable == 1 || Machine.RegisterValue(Register::Dr2) == HDT_OUT_PORT;
    const bool Buffering = Usable && Header.PrintEnable == 1 && Header.BufferedMode == 1 &&
                           Header.BufferSize != 0 &&
                           BufferBytes >= HDT_OUT_DATA_OFFSET + Header.BufferSize;
    const std::vector<uint8_t> Before(Buffer, Buffer + BufferBytes);
    const size_t HandOversBefore = Machine.DebugTool().HandOvers().size();
    const size_t PortWritesBefore = Machine.DebugTool().PortWrites().Writes().size();

    bool Written = false;
    const sim::RunOutcome Outcome = Machine.Run([&] {
      if (!HdtOutBackend.IsActive()) return;
      UINT64 Filter = DebugPrintFilter;
      FUZZ_CHECK(HdtOutBackend.AdjustFilter(&Filter) == TRUE);
      FUZZ_CHECK(Filter == (Usable ? Header.OutputFilter : DebugPrintFilter), "wrong filter");
      if ((Level & Filter) != 0) {
        HdtOutBackend.Write(Text.get(), Length);
        Written = true;
      }
    });
    FUZZ_CHECK(Outcome.end == sim::RunEnd::Returned, Outcome.Describe());
    FUZZ_CHECK(Active || !Written);

    const std::vector<sim::HandOver> HandOvers(
        Machine.DebugTool().HandOvers().begin() + static_cast<ptrdiff_t>(HandOversBefore),
        Machine.DebugTool().HandOvers().end());
    const size_t PortWrites = Machine.DebugTool().PortWrites().Writes().size() - PortWritesBefore;
    const uint32_t TextAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Text.get()));
    std::vector<uint8_t> Wanted = Before;
    std::vector<sim::HandOver> WantedHandOvers;
    // A build that does not print has no write path: nothing goes out.
    const bool Sent = Written && DebugPrintEnable;
    if (!Sent) {
      // Nothing goes out.
    } else if (!Usable || (Header.PrintEnable == 1 && !Buffering)) {
      WantedHandOvers.push_back({HDT_OUT_COMMAND, TextAddress, static_cast<uint32_t>(Length)});
    } else if (Buffering) {
      // The data area fills byte by byte; each time it is full it is handed
      // over whole and filled again from its start.
      const uint32_t DataAddress =
          static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Buffer + HDT_OUT_DATA_OFFSET));
      uint16_t Index = Header.WriteIndex;
      for (size_t At = 0; At < Length; At++) {
        if (Index >= Header.BufferSize) {
          WantedHandOvers.push_back({HDT_OUT_COMMAND, DataAddress, Header.BufferSize});
          Index = 0;
        }
        Wanted[HDT_OUT_DATA_OFFSET + Index] = static_cast<uint8_t>(Text[At]);
        Index++;
      }
      std::memcpy(&Wanted[kWriteIndexAt], &Index, sizeof(Index));
    }
    FUZZ_CHECK(PortWrites == (Sent && Buffering ? 1u : 0u), "port 0xFFED writes");
    FUZZ_CHECK(HandOvers.size() == WantedHandOvers.size(), "hand-over count");
    for (size_t At = 0; At < HandOvers.size(); At++) {
      FUZZ_CHECK(HandOvers[At].edx == WantedHandOvers[At].edx &&
                     HandOvers[At].eax == WantedHandOvers[At].eax &&
                     HandOvers[At].ebx == WantedHandOvers[At].ebx,
                 "hand-over registers");
    }
    FUZZ_CHECK(std::equal(Wanted.begin(), Wanted.end(), Buffer), "heap buffer contents");
  }
  return 0;
}
