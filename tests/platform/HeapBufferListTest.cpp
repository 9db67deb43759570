// The heap-buffer list against the simulated DXE core and machine: which
// HOBs become nodes and in which pool, lookups by handle, a list published
// by another module, pool and publishing failures with their trap codes, and
// malformed HOB lists that must end the walk cleanly.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "include/HeapBufferList.h"
#include "platform/ErrorCodes.h"
#include "platform/HeapBufferList.h"
#include "platform/LibraryStartup.h"
#include "sim/dxe/DxeCore.h"
#include "sim/dxe/HobListBuilder.h"
#include "sim/machine/Machine.h"
#include "sim/platform/DxePlatform.h"

namespace {

using sim::DxeCore;
using sim::HobListBuilder;
using sim::Machine;
using sim::RunEnd;
using sim::Service;

constexpr EFI_GUID kOtherGuid = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};
constexpr uint16_t kResourceHobType = 3;

struct Buffer {
  uint32_t handle;
  std::string data;
  uint8_t memoryKind = 0;
  uint8_t active = HEAP_BUFFER_ACTIVE;
  uint32_t signature = HEAP_BUFFER_SIGNATURE;
};

// A heap-buffer HOB's payload: the header, then the data.
std::vector<uint8_t> Payload(const Buffer &buffer, uint32_t size) {
  HEAP_BUFFER_HEADER header = {buffer.signature,  buffer.handle, size,
                               buffer.memoryKind, buffer.active, {0x5A, 0xA5}};
  std::vector<uint8_t> bytes(sizeof(header) + buffer.data.size());
  std::memcpy(bytes.data(), &header, sizeof(header));
  std::memcpy(bytes.data() + sizeof(header), buffer.data.data(), buffer.data.size());
  return bytes;
}
std::vector<uint8_t> Payload(const Buffer &buffer) {
  return Payload(buffer, static_cast<uint32_t>(buffer.data.size()));
}

class HeapBufferListTest : public ::testing::Test {
 protected:
  // Runs the list's start-up on the machine; fails the test unless it returns.
  void Startup() {
    auto outcome = machine.Run([] { HeapBufferListStartup(); });
    ASSERT_EQ(outcome.end, RunEnd::Returned) << outcome;
  }

  // Handles of the nodes in list order.
  static std::vector<uint32_t> ListedHandles() {
    std::vector<uint32_t> handles;
    for (LIST_ENTRY *link = mHeapBufferListHead->ForwardLink; link != mHeapBufferListHead;
         link = link->ForwardLink) {
      handles.push_back(reinterpret_cast<HEAP_BUFFER_NODE *>(link)->Header.Handle);
      EXPECT_EQ(link->ForwardLink->BackLink, link);
    }
    return handles;
  }

  std::string Find(uint32_t handle, UINT32 *status = nullptr) {
    HEAP_BUFFER_LOCATOR locator = {handle, 0xFFFF, &locator};
    UINT32 result = FindHeapBuffer(&locator, nullptr);
    if (status != nullptr) *status = result;
    if (result != HEAP_BUFFER_FOUND) {
      EXPECT_EQ(result, HEAP_BUFFER_NOT_FOUND);
      EXPECT_EQ(locator.Size, 0u);
      EXPECT_EQ(locator.Buffer, nullptr);
      return "<none>";
    }
    return std::string(static_cast<const char *>(locator.Buffer), locator.Size);
  }

  const sim::PoolBlock *BlockOf(const void *address) {
    blocks = core.LiveAllocations();
    for (const sim::PoolBlock &block : blocks) {
      if (block.address == address) return &block;
    }
    return nullptr;
  }

  // Module state as at load time, with the services the start-up chain
  // sets; the back door answers, so a trap returns.
  sim::DxePlatform platform{sim::DxePlatformOptions()
                                .WithoutSystemTokens()
                                .WithoutPcdProtocol()
                                .WithServicesSet()
                                .WithBackDoorAnswer(1)};
  Machine &machine = platform.machine;
  DxeCore &core = platform.Core();
  std::vector<sim::PoolBlock> blocks;
};

TEST_F(HeapBufferListTest, BuildsListFromMatchingActiveBuffersAndPublishesIt) {
  HobListBuilder hobs;
  const uint32_t resource[6] = {};
  hobs.AddHob(kResourceHobType, resource, sizeof(resource))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x10, "first of 0x10"}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x20, "inactive", 0, 0}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x21, "active 2", 0, 2}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x30, "signature", 0, 1, 0x50414549}))
      .AddGuidHob(kOtherGuid, Payload({0x40, "other guid"}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x50, ""}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x10, "second of 0x10"}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0xA014, "runtime", 8}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x70, "kind 7", 7}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x90, "kind 9", 9}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({0xFF, "kind 0xFF", 0xFF}))
      .AddEnd()
      .AddGuidHob(gHeapBufferHobGuid, Payload({0x60, "after the end"}));
  core.SetHobList(hobs.Bytes());
  Startup();

  EXPECT_EQ(ListedHandles(), (std::vector<uint32_t>{0x10, 0x50, 0x10, 0xA014, 0x70, 0x90, 0xFF}));
  EXPECT_EQ(Find(0x10), "first of 0x10");
  EXPECT_EQ(Find(0xA014), "runtime");
  for (uint32_t skipped : {0x20u, 0x21u, 0x30u, 0x40u, 0x60u, 0u}) {
    UINT32 status = 0;
    EXPECT_EQ(Find(skipped, &status), "<none>") << skipped;
    EXPECT_EQ(status, HEAP_BUFFER_NOT_FOUND);
  }

  // Each node is one block of Size + 32 bytes, header copied whole; only
  // MemoryKind 8 goes to runtime pool.
  for (LIST_ENTRY *link = mHeapBufferListHead->ForwardLink; link != mHeapBufferListHead;
       link = link->ForwardLink) {
    auto *node = reinterpret_cast<HEAP_BUFFER_NODE *>(link);
    SCOPED_TRACE(node->Header.Handle);
    const sim::PoolBlock *block = BlockOf(node);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->size, node->Header.Size + 32u);
    EXPECT_EQ(block->type,
              node->Header.MemoryKind == 8 ? EfiRuntimeServicesData : EfiBootServicesData);
    EXPECT_EQ(node->Header.Signature, HEAP_BUFFER_SIGNATURE);
    EXPECT_EQ(node->Header.Reserved[0], 0x5A);
    EXPECT_EQ(node->Header.Reserved[1], 0xA5);
  }
  EXPECT_EQ(core.LiveAllocations().size(), 7u);

  // A zero-size buffer: a 32-byte node, found with Size 0 and Buffer just
  // past the node's header copy.
  HEAP_BUFFER_LOCATOR empty = {0x50, 7, nullptr};
  ASSERT_EQ(FindHeapBuffer(&empty, nullptr), HEAP_BUFFER_FOUND);
  EXPECT_EQ(empty.Size, 0u);
  auto *emptyNode =
      reinterpret_cast<HEAP_BUFFER_NODE *>(mHeapBufferListHead->ForwardLink->ForwardLink);
  EXPECT_EQ(empty.Buffer, reinterpret_cast<uint8_t *>(emptyNode) + 32);

  // Published once, on a new handle, with the complete list.
  ASSERT_EQ(core.InstallationCount(gHeapBufferListProtocolGuid), 1u);
  auto *record =
      static_cast<HEAP_BUFFER_LIST_PROTOCOL *>(core.FindProtocol(gHeapBufferListProtocolGuid));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Revision, 1u);
  EXPECT_EQ(&record->ListHead, mHeapBufferListHead);
  EXPECT_TRUE(machine.PostCodes().Writes().empty());
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(HeapBufferListTest, ListPublishedByAnotherModuleIsUsedAsItIs) {
  // The other module's record with one node in its own memory.
  struct {
    HEAP_BUFFER_NODE node;
    char data[8];
  } foreign = {};
  HEAP_BUFFER_LIST_PROTOCOL record = {1, {}};
  record.ListHead = {&foreign.node.Link, &foreign.node.Link};
  foreign.node.Link = {&record.ListHead, &record.ListHead};
  foreign.node.Header = {HEAP_BUFFER_SIGNATURE, 0xA014, 5, 0, 1, {}};
  std::memcpy(foreign.data, "hdt!!", 5);
  core.InstallProtocol(gHeapBufferListProtocolGuid, &record);

  HobListBuilder hobs;
  hobs.AddGuidHob(gHeapBufferHobGuid, Payload({0x10, "own"})).AddEnd();
  core.SetHobList(hobs.Bytes());
  Startup();

  EXPECT_EQ(mHeapBufferListHead, &record.ListHead);
  EXPECT_EQ(Find(0xA014), "hdt!!");
  EXPECT_EQ(Find(0x10), "<none>");
  // No HOB was read (the HOB list was never looked up), nothing allocated or
  // published.
  EXPECT_EQ(mHobList, nullptr);
  EXPECT_EQ(core.CallCount(Service::AllocatePool), 0u);
  EXPECT_EQ(core.CallCount(Service::InstallProtocolInterface), 0u);
  EXPECT_EQ(core.InstallationCount(gHeapBufferListProtocolGuid), 1u);
}

TEST_F(HeapBufferListTest, WithoutHeapBuffersAnEmptyListIsPublished) {
  struct Case {
    const char *name;
    bool hobList;
  };
  for (const Case &c : {Case{"no HOB list", false}, Case{"no heap-buffer HOB", true}}) {
    SCOPED_TRACE(c.name);
    sim::SimClock caseClock;
    DxeCore caseCore{caseClock};
    gST = caseCore.SystemTable();
    gBS = caseCore.BootServices();
    mHobList = nullptr;
    if (c.hobList) {
      HobListBuilder hobs;
      hobs.AddGuidHob(kOtherGuid, Payload({0x10, "other"})).AddEnd();
      caseCore.SetHobList(hobs.Bytes());
    }
    Startup();
    EXPECT_EQ(ListedHandles(), std::vector<uint32_t>{});
    EXPECT_EQ(Find(0x10), "<none>");
    EXPECT_EQ(Find(0xA014), "<none>");
    EXPECT_EQ(caseCore.InstallationCount(gHeapBufferListProtocolGuid), 1u);
    EXPECT_EQ(caseCore.CallCount(Service::AllocatePool), 0u);
  }
}

TEST_F(HeapBufferListTest, NoPoolForANodeTrapsAndSkipsThatBuffer) {
  struct Case {
    const char *name;
    uint64_t failingCall;  // AllocatePool call that fails
    EFI_STATUS status;
    uint32_t trapCode;
    std::vector<uint32_t> listed;
  };
  const std::vector<Case> cases = {
      {"boot-services pool", 1, EFI_OUT_OF_RESOURCES, ERROR_TRAP_HEAP_NODE_BOOT_POOL, {2, 3, 4}},
      {"runtime pool", 2, EFI_OUT_OF_RESOURCES, ERROR_TRAP_HEAP_NODE_RUNTIME_POOL, {1, 3, 4}},
      {"any error counts", 4, EFI_DEVICE_ERROR, ERROR_TRAP_HEAP_NODE_RUNTIME_POOL, {1, 2, 3}},
  };
  HobListBuilder hobs;
  hobs.AddGuidHob(gHeapBufferHobGuid, Payload({1, "boot"}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({2, "runtime", 8}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({3, "boot again", 7}))
      .AddGuidHob(gHeapBufferHobGuid, Payload({4, "runtime again", 8}))
      .AddEnd();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimClock caseClock;
    DxeCore caseCore{caseClock};
    Machine caseMachine{&caseClock};
    caseMachine.SetCpuidBackDoorAnswer(1);
    gST = caseCore.SystemTable();
    gBS = caseCore.BootServices();
    mHobList = nullptr;
    caseCore.SetHobList(hobs.Bytes());
    caseCore.FailNthCall(Service::AllocatePool, c.failingCall, c.status);

    auto outcome = caseMachine.Run([] { HeapBufferListStartup(); });
    ASSERT_EQ(outcome.end, RunEnd::Returned) << outcome;
    EXPECT_EQ(caseMachine.PostCodes().Values(0x80), std::vector<uint32_t>{c.trapCode});
    EXPECT_EQ(ListedHandles(), c.listed);
    EXPECT_EQ(caseCore.LiveAllocations().size(), 3u);
    EXPECT_EQ(caseCore.InstallationCount(gHeapBufferListProtocolGuid), 1u);
    EXPECT_TRUE(caseCore.Errors().empty());
  }
}

TEST_F(HeapBufferListTest, NoPoolOnRealHardwareStopsInTheDisplayLoop) {
  HobListBuilder hobs;
  hobs.AddGuidHob(gHeapBufferHobGuid, Payload({1, "boot"})).AddEnd();
  core.SetHobList(hobs.Bytes());
  core.FailNthCall(Service::AllocatePool, 1, EFI_OUT_OF_RESOURCES);
  machine.SetCpuidBackDoorAnswer(0);

  auto outcome = machine.Run([] { HeapBufferListStartup(); });
  ASSERT_EQ(outcome.end, RunEnd::Hung) << outcome;
  EXPECT_EQ(outcome.hang, sim::HangCause::ErrorDisplay);
  EXPECT_EQ(outcome.trapCode, ERROR_TRAP_HEAP_NODE_BOOT_POOL);
  // Nothing was published: the trap does not come back on hardware.
  EXPECT_EQ(core.InstallationCount(gHeapBufferListProtocolGuid), 0u);
}

TEST_F(HeapBufferListTest, PublishingFailureTrapsAndKeepsTheList) {
  HobListBuilder hobs;
  hobs.AddGuidHob(gHeapBufferHobGuid, Payload({0xA014, "kept"})).AddEnd();
  core.SetHobList(hobs.Bytes());
  core.FailNthCall(Service::InstallProtocolInterface, 1, EFI_OUT_OF_RESOURCES);
  Startup();

  EXPECT_EQ(machine.PostCodes().Values(0x80), std::vector<uint32_t>{ERROR_TRAP_HEAP_LIST_PUBLISH});
  EXPECT_EQ(core.InstallationCount(gHeapBufferListProtocolGuid), 0u);
  EXPECT_EQ(Find(0xA014), "kept");
}

TEST_F(HeapBufferListTest, MalformedHobListsEndTheWalkCleanly) {
  const std::vector<uint8_t> before = Payload({1, "before"});
  const std::vector<uint8_t> after = Payload({2, "after!!!"});
  struct Case {
    const char *name;
    std::function<void(HobListBuilder &)> malformed;
    std::vector<uint32_t> listed;
  };
  const std::vector<Case> cases = {
      // Shorter than a HOB header: the walk could not advance, so it ends.
      {"HobLength 0",
       [](HobListBuilder &hobs) {
         const uint8_t zero[8] = {0x04, 0x00, 0x00, 0x00};
         hobs.AddRaw(zero, sizeof(zero));
       },
       {1}},
      {"HobLength 7",
       [](HobListBuilder &hobs) {
         const uint8_t seven[8] = {0x04, 0x00, 0x07, 0x00};
         hobs.AddRaw(seven, sizeof(seven));
       },
       {1}},
      // A GUID HOB too short for its name is stepped over by its length.
      {"GUID HOB without room for its name",
       [](HobListBuilder &hobs) {
         const uint8_t shortGuid[16] = {0x04, 0x00, 0x10, 0x00};
         hobs.AddRaw(shortGuid, sizeof(shortGuid));
       },
       {1, 2}},
      // A heap-buffer HOB that holds only half of its header.
      {"truncated header",
       [](HobListBuilder &hobs) {
         const std::vector<uint8_t> half = Payload({3, ""});
         hobs.AddGuidHobWithLength(gHeapBufferHobGuid, half.data(), 8, 32);
       },
       {1, 2}},
      // Size says 64 data bytes; the HOB holds 8.
      {"Size past the end of the HOB",
       [](HobListBuilder &hobs) {
         hobs.AddGuidHob(gHeapBufferHobGuid, Payload({3, "8 bytes."}, 64));
       },
       {1, 2}},
      // Size one byte more than the HOB holds (the HOB is padded to 8, so
      // its data area is exactly 8 bytes).
      {"Size one past the end",
       [](HobListBuilder &hobs) {
         hobs.AddGuidHob(gHeapBufferHobGuid, Payload({3, "8 bytes."}, 9));
       },
       {1, 2}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimClock caseClock;
    DxeCore caseCore{caseClock};
    gST = caseCore.SystemTable();
    gBS = caseCore.BootServices();
    mHobList = nullptr;
    HobListBuilder hobs;
    hobs.AddGuidHob(gHeapBufferHobGuid, before);
    c.malformed(hobs);
    hobs.AddGuidHob(gHeapBufferHobGuid, after).AddEnd();
    caseCore.SetHobList(hobs.Bytes());

    Startup();
    EXPECT_EQ(ListedHandles(), c.listed);
    EXPECT_EQ(caseCore.LiveAllocations().size(), c.listed.size());
    EXPECT_EQ(caseCore.InstallationCount(gHeapBufferListProtocolGuid), 1u);
  }
}

TEST_F(HeapBufferListTest, SizeThatFillsTheHobExactlyIsTaken) {
  HobListBuilder hobs;
  // 8 data bytes in a HOB whose data area is exactly 8 bytes.
  hobs.AddGuidHob(gHeapBufferHobGuid, Payload({5, "8 bytes."})).AddEnd();
  core.SetHobList(hobs.Bytes());
  Startup();
  EXPECT_EQ(Find(5), "8 bytes.");
}

TEST_F(HeapBufferListTest, OnlyGuidExtensionHobsAreTaken) {
  // HOBs of other types whose bytes after the generic header are those of a
  // heap-buffer HOB: the heap-buffer name, then a sound header and its data.
  const std::vector<uint8_t> buffer = Payload({0xA014, "from a HOB of type"});
  std::vector<uint8_t> lookalike(sizeof(EFI_GUID) + buffer.size());
  std::memcpy(lookalike.data(), &gHeapBufferHobGuid, sizeof(EFI_GUID));
  std::memcpy(lookalike.data() + sizeof(EFI_GUID), buffer.data(), buffer.size());
  HobListBuilder hobs;
  for (uint16_t type : {1, 2, 3, 5, 6, 7, 0x0104, 0xFFFE}) {
    hobs.AddHob(type, lookalike.data(), lookalike.size());
  }
  hobs.AddGuidHob(gHeapBufferHobGuid, Payload({0x10, "type 4"})).AddEnd();
  core.SetHobList(hobs.Bytes());
  Startup();
  EXPECT_EQ(ListedHandles(), std::vector<uint32_t>{0x10});
  EXPECT_EQ(Find(0xA014), "<none>");
}

TEST_F(HeapBufferListTest, LookupPassesOverNodesWithoutTheHeapSignature) {
  // A list another module published: its first node under the handle has
  // another signature.
  struct Node {
    HEAP_BUFFER_NODE node;
    char data[8];
  };
  Node wrong = {}, right = {};
  HEAP_BUFFER_LIST_PROTOCOL record = {1, {}};
  record.ListHead = {&wrong.node.Link, &right.node.Link};
  wrong.node.Link = {&right.node.Link, &record.ListHead};
  right.node.Link = {&record.ListHead, &wrong.node.Link};
  wrong.node.Header = {0x50414549, 0xA014, 5, 0, 1, {}};
  right.node.Header = {HEAP_BUFFER_SIGNATURE, 0xA014, 5, 0, 1, {}};
  std::memcpy(wrong.data, "wrong", 5);
  std::memcpy(right.data, "right", 5);
  core.InstallProtocol(gHeapBufferListProtocolGuid, &record);
  Startup();
  EXPECT_EQ(Find(0xA014), "right");

  // Without the second node nothing is found.
  record.ListHead = {&wrong.node.Link, &wrong.node.Link};
  wrong.node.Link = {&record.ListHead, &record.ListHead};
  EXPECT_EQ(Find(0xA014), "<none>");
}

TEST_F(HeapBufferListTest, StartupChainBuildsTheListBeforeLaterSteps) {
  HobListBuilder hobs;
  hobs.AddGuidHob(gHeapBufferHobGuid, Payload({0xA014, "from chain"})).AddEnd();
  core.SetHobList(hobs.Bytes());
  gST = nullptr;
  gBS = nullptr;
  auto outcome = machine.Run([&] { RunLibraryStartup(nullptr, core.SystemTable()); });
  ASSERT_EQ(outcome.end, RunEnd::Returned) << outcome;
  EXPECT_EQ(Find(0xA014), "from chain");
  EXPECT_EQ(core.InstallationCount(gHeapBufferListProtocolGuid), 1u);
}

}  // namespace
