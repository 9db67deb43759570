// Heap-buffer list start-up over a hostile HOB list: HOBs of any type and
// length, heap-buffer HOBs with any header, pool that runs out on chosen
// allocations and a publishing that fails; or a list another module
// published, with nodes of any signature.
//
// Checked: the walk stays inside the HOB list (ASan); the list is circular
// and doubly linked; it holds exactly the buffers the HOB list describes
// soundly, in HOB order, each in a node of Size + 32 bytes of the right pool
// with header and data copied; every listed handle is found (the first node
// with it), an unlisted one is not; the trap codes shown are those of the
// failures; the list is published once unless publishing failed.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "include/HdtOutHeader.h"
#include "include/HeapBufferList.h"
#include "platform/ErrorCodes.h"
#include "platform/HeapBufferList.h"
#include "platform/LibraryStartup.h"
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/fuzz/SimulatedPlatform.h"
#include "uefi/Hob.h"

namespace {

using fuzz::FuzzInput;

constexpr size_t kMaxHobs = 48;
constexpr size_t kMaxHobLength = 4096;

// A buffer the list must hold, in order.
struct Expected {
  HEAP_BUFFER_HEADER header;
  std::vector<uint8_t> data;
};

void Put16(std::vector<uint8_t> &Bytes, size_t At, uint16_t Value) {
  std::memcpy(&Bytes[At], &Value, sizeof(Value));
}

// One HOB as the input describes it: either raw (type, length, bytes) or a
// heap-buffer HOB built from fields, with the type, name, header and the
// length around its data each possibly wrong.
std::vector<uint8_t> MakeHob(FuzzInput &In) {
  const uint8_t Kind = In.U8();
  if ((Kind & 3) == 0) {
    const uint16_t Type = In.U16();
    uint16_t Length = In.U16();
    if (Length > kMaxHobLength) Length = kMaxHobLength;
    // A length below 8 ends the walk; the record still takes 8 bytes.
    std::vector<uint8_t> Hob = In.Bytes(Length < 8 ? 8 : Length);
    Put16(Hob, 0, Type);
    Put16(Hob, 2, Length);
    return Hob;
  }
  const uint16_t Type = (Kind & 4) != 0 ? In.U16() : EFI_HOB_TYPE_GUID_EXTENSION;
  EFI_GUID Name = gHeapBufferHobGuid;
  if ((Kind & 8) != 0) {
    reinterpret_cast<uint8_t *>(&Name)[In.Below(16)] ^= static_cast<uint8_t>(In.U8() | 1);
  }
  HEAP_BUFFER_HEADER Header = {};
  Header.Signature = (Kind & 16) != 0 ? In.U32() : HEAP_BUFFER_SIGNATURE;
  Header.Handle = In.Pick<uint32_t>({1, 2, 3, HDT_OUT_BUFFER_HANDLE, 0});
  const size_t DataSize = In.U8();
  Header.Size = (Kind & 32) != 0 ? In.U32() : static_cast<uint32_t>(DataSize);
  Header.MemoryKind = In.Pick<uint8_t>({0, 8, 7, 9, 0xFF});
  Header.Active = (Kind & 64) != 0 ? In.U8() : HEAP_BUFFER_ACTIVE;
  Header.Reserved[0] = In.U8();
  Header.Reserved[1] = In.U8();
  // The length may cut the data short, or the header, or leave slack.
  size_t Length = sizeof(HEAP_BUFFER_HOB) + DataSize;
  if ((Kind & 128) != 0) {
    Length = 8 + In.Below(sizeof(HEAP_BUFFER_HOB) + DataSize + 16);
  }
  std::vector<uint8_t> Hob(Length, 0);
  Put16(Hob, 0, Type);
  Put16(Hob, 2, static_cast<uint16_t>(Length));
  uint8_t Whole[sizeof(HEAP_BUFFER_HOB)] = {};
  std::memcpy(Whole + __builtin_offsetof(EFI_HOB_GUID_TYPE, Name), &Name, sizeof(Name));
  std::memcpy(Whole + __builtin_offsetof(HEAP_BUFFER_HOB, Header), &Header, sizeof(Header));
  for (size_t At = 8; At < sizeof(Whole) && At < Hob.size(); At++) Hob[At] = Whole[At];
  const std::vector<uint8_t> Data = In.Bytes(DataSize);
  for (size_t At = 0; At < DataSize && sizeof(HEAP_BUFFER_HOB) + At < Hob.size(); At++) {
    Hob[sizeof(HEAP_BUFFER_HOB) + At] = Data[At];
  }
  return Hob;
}

// The buffers a sound reading of the list takes, in order: GUID-extension
// HOBs of the heap-buffer name whose header is "HEAP", active and whose data
// lies inside the HOB. The walk ends at the end HOB or at a HOB shorter than
// its own header.
std::vector<Expected> SoundBuffers(const std::vector<uint8_t> &List) {
  std::vector<Expected> Result;
  size_t At = 0;
  for (;;) {
    EFI_HOB_GENERIC_HEADER Generic;
    std::memcpy(&Generic, &List[At], sizeof(Generic));
    if (Generic.HobType == EFI_HOB_TYPE_END_OF_HOB_LIST || Generic.HobLength < sizeof(Generic))
      break;
    if (Generic.HobType == EFI_HOB_TYPE_GUID_EXTENSION &&
        Generic.HobLength >= sizeof(HEAP_BUFFER_HOB)) {
      HEAP_BUFFER_HOB Hob;
      std::memcpy(&Hob, &List[At], sizeof(Hob));
      if (GuidEquals(&Hob.Hob.Name, &gHeapBufferHobGuid) &&
          Hob.Header.Signature == HEAP_BUFFER_SIGNATURE && Hob.Header.Active == 1 &&
          Hob.Header.Size <= Generic.HobLength - sizeof(HEAP_BUFFER_HOB)) {
        const uint8_t *Data = &List[At + sizeof(HEAP_BUFFER_HOB)];
        Result.push_back({Hob.Header, {Data, Data + Hob.Header.Size}});
      }
    }
    At += Generic.HobLength;
  }
  return Result;
}

// The nodes of the list at Head, checking the links on the way; at most
// Limit nodes before the walk must be back at the head.
std::vector<HEAP_BUFFER_NODE *> ListedNodes(LIST_ENTRY *Head, size_t Limit) {
  std::vector<HEAP_BUFFER_NODE *> Nodes;
  FUZZ_CHECK(Head->ForwardLink->BackLink == Head && Head->BackLink->ForwardLink == Head);
  for (LIST_ENTRY *Link = Head->ForwardLink; Link != Head; Link = Link->ForwardLink) {
    FUZZ_CHECK(Nodes.size() < Limit, "the list does not come back to its head");
    FUZZ_CHECK(Link->ForwardLink->BackLink == Link && Link->BackLink->ForwardLink == Link);
    Nodes.push_back(reinterpret_cast<HEAP_BUFFER_NODE *>(Link));
  }
  return Nodes;
}

// FindHeapBuffer must give the first node with the handle and the "HEAP"
// signature, or nothing.
void CheckLookups(const std::vector<HEAP_BUFFER_NODE *> &Nodes) {
  for (uint32_t Handle : {0u, 1u, 2u, 3u, 4u, HDT_OUT_BUFFER_HANDLE}) {
    HEAP_BUFFER_NODE *First = nullptr;
    for (HEAP_BUFFER_NODE *Node : Nodes) {
      if (Node->Header.Handle == Handle && Node->Header.Signature == HEAP_BUFFER_SIGNATURE) {
        First = Node;
        break;
      }
    }
    HEAP_BUFFER_LOCATOR Locator = {Handle, 0xDEAD, &Locator};
    const UINT32 Status = FindHeapBuffer(&Locator, nullptr);
    if (First == nullptr) {
      FUZZ_CHECK(Status == HEAP_BUFFER_NOT_FOUND && Locator.Buffer == nullptr && Locator.Size == 0);
    } else {
      FUZZ_CHECK(Status == HEAP_BUFFER_FOUND, "a listed handle is not found");
      FUZZ_CHECK(Locator.Buffer == HeapBufferNodeData(First) && Locator.Size == First->Header.Size);
    }
  }
}

// A list another module published: nodes in this target's memory with the
// input's headers, the signature of each possibly wrong.
void RunPublishedList(FuzzInput &In, sim::DxeCore &Core) {
  HEAP_BUFFER_LIST_PROTOCOL Record = {HEAP_BUFFER_LIST_REVISION, {}};
  Record.ListHead = {&Record.ListHead, &Record.ListHead};
  const size_t Count = In.Below(8);
  std::vector<std::vector<uint64_t>> Storage;
  for (size_t Index = 0; Index < Count; Index++) {
    const uint32_t Size = In.U8();
    Storage.emplace_back((sizeof(HEAP_BUFFER_NODE) + Size + 7) / 8);
    auto *Node = reinterpret_cast<HEAP_BUFFER_NODE *>(Storage.back().data());
    Node->Header = {In.Bit() ? In.U32() : HEAP_BUFFER_SIGNATURE,
                    In.Pick<uint32_t>({1, 2, 3, HDT_OUT_BUFFER_HANDLE}),
                    Size,
                    0,
                    1,
                    {0, 0}};
    Node->Link = {&Record.ListHead, Record.ListHead.BackLink};
    Record.ListHead.BackLink->ForwardLink = &Node->Link;
    Record.ListHead.BackLink = &Node->Link;
  }
  Core.InstallProtocol(gHeapBufferListProtocolGuid, &Record);
  HeapBufferListStartup();
  FUZZ_CHECK(mHeapBufferListHead == &Record.ListHead);
  FUZZ_CHECK(Core.CallCount(sim::Service::AllocatePool) == 0, "a published list is rebuilt");
  FUZZ_CHECK(Core.CallCount(sim::Service::InstallProtocolInterface) == 0);
  CheckLookups(ListedNodes(mHeapBufferListHead, Count));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzInput In(Data, Size);
  fuzz::DxePlatform Platform;
  sim::Machine &Machine = Platform.Machine;
  sim::DxeCore &Core = Platform.Core;

  const uint8_t Mode = In.U8();
  if ((Mode & 0x80) != 0) {
    RunPublishedList(In, Core);
    return 0;
  }
  const uint32_t FailingAllocations = (Mode & 1) != 0 ? In.U32() : 0;
  const bool PublishFails = (Mode & 2) != 0;
  for (unsigned Call = 0; Call < 32; Call++) {
    if ((FailingAllocations >> Call & 1) != 0) {
      Core.FailNthCall(sim::Service::AllocatePool, Call + 1, EFI_OUT_OF_RESOURCES);
    }
  }
  if (PublishFails) {
    Core.FailNthCall(sim::Service::InstallProtocolInterface, 1, EFI_DEVICE_ERROR);
  }

  std::vector<uint8_t> List;
  for (size_t Count = 0; Count < kMaxHobs && !In.Empty(); Count++) {
    const std::vector<uint8_t> Hob = MakeHob(In);
    List.insert(List.end(), Hob.begin(), Hob.end());
  }
  const size_t EndAt = List.size();
  List.resize(EndAt + 8, 0);
  Put16(List, EndAt, EFI_HOB_TYPE_END_OF_HOB_LIST);
  Put16(List, EndAt + 2, 8);
  Core.SetHobList(List);

  const sim::RunOutcome Outcome = Machine.Run([] { HeapBufferListStartup(); });
  FUZZ_CHECK(Outcome.end == sim::RunEnd::Returned, Outcome.Describe());

  // What the list must hold: the sound buffers whose node could be had.
  std::vector<Expected> Wanted;
  std::vector<uint32_t> Codes;
  unsigned Allocation = 0;
  for (const Expected &Buffer : SoundBuffers(List)) {
    if (Allocation < 32 && (FailingAllocations >> Allocation & 1) != 0) {
      Codes.push_back(Buffer.header.MemoryKind == HEAP_BUFFER_MEMORY_KIND_RUNTIME
                          ? ERROR_TRAP_HEAP_NODE_RUNTIME_POOL
                          : ERROR_TRAP_HEAP_NODE_BOOT_POOL);
    } else {
      Wanted.push_back(Buffer);
    }
    Allocation++;
  }
  if (PublishFails) Codes.push_back(ERROR_TRAP_HEAP_LIST_PUBLISH);
  FUZZ_CHECK(Machine.PostCodes().Values(0x80) == Codes, "unexpected trap codes");

  const std::vector<HEAP_BUFFER_NODE *> Nodes = ListedNodes(mHeapBufferListHead, Wanted.size());
  FUZZ_CHECK(Nodes.size() == Wanted.size(), "the list holds another number of buffers");
  const std::vector<sim::PoolBlock> Live = Core.LiveAllocations();
  FUZZ_CHECK(Live.size() == Nodes.size(), "pool allocated beyond the nodes");
  for (size_t Index = 0; Index < Nodes.size(); Index++) {
    const HEAP_BUFFER_NODE *Node = Nodes[Index];
    FUZZ_CHECK(std::memcmp(&Node->Header, &Wanted[Index].header, sizeof(Node->Header)) == 0);
    const auto *NodeData = reinterpret_cast<const uint8_t *>(Node + 1);
    FUZZ_CHECK(std::equal(Wanted[Index].data.begin(), Wanted[Index].data.end(), NodeData));
    std::optional<sim::PoolBlock> Block;
    for (const sim::PoolBlock &Each : Live) {
      if (Each.address == Node) Block = Each;
    }
    FUZZ_CHECK(Block.has_value(), "a node outside pool");
    FUZZ_CHECK(Block->size == sizeof(HEAP_BUFFER_NODE) + Node->Header.Size);
    FUZZ_CHECK(Block->type == (Node->Header.MemoryKind == HEAP_BUFFER_MEMORY_KIND_RUNTIME
                                   ? EfiRuntimeServicesData
                                   : EfiBootServicesData));
  }
  CheckLookups(Nodes);
  FUZZ_CHECK(Core.InstallationCount(gHeapBufferListProtocolGuid) == (PublishFails ? 0u : 1u));
  FUZZ_CHECK(Core.Errors().empty(), Core.Errors().front());
  return 0;
}
