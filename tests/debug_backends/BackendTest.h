// Shared fixture of the back-end tests: a simulated machine made active for
// the test, a heap-buffer list of the test's own in place of the one built at
// start-up, and a compact view of the machine's access trace.
#pragma once
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "debug/HdtOutBackend.h"
#include "platform/HeapBufferList.h"
#include "sim/machine/Machine.h"

namespace backends_test {

using sim::AccessKind;
using Register = sim::HardwarePlatform::Register;

// The shipped filter, which every back-end but the debug tool keeps.
inline constexpr UINT64 kDefaultFilter = 0x100401008A300408ULL;

// The fields of a debug-tool buffer header that a test chooses.
struct HdtHeaderFields {
  UINT32 Signature = HDT_OUT_SIGNATURE;
  UINT8 PrintEnable = 1;
  UINT8 BufferedMode = 0;
  UINT16 BufferSize = 0;
  UINT16 WriteIndex = 0;
  UINT64 OutputFilter = 0x1;  // bit 0: outside the shipped filter
};

class BackendTest : public ::testing::Test {
 public:
  void SetUp() override {
    machine_.Activate();
    savedListHead_ = mHeapBufferListHead;
    listHead_.ForwardLink = &listHead_;
    listHead_.BackLink = &listHead_;
    mHeapBufferListHead = &listHead_;
  }
  void TearDown() override { mHeapBufferListHead = savedListHead_; }

  // Empties the test's heap-buffer list, for the next case of a table.
  void ClearHeapBuffers() {
    listHead_.ForwardLink = &listHead_;
    listHead_.BackLink = &listHead_;
    nodes_.clear();
  }

  // Appends a heap buffer of DataSize bytes (zeroed) under Handle; returns
  // its data, 8-byte aligned as a pool node's data is.
  UINT8 *AddHeapBuffer(UINT32 Handle, UINT32 DataSize) {
    size_t words = (sizeof(HEAP_BUFFER_NODE) + DataSize + 7) / 8;
    nodes_.push_back(std::make_unique<UINT64[]>(words));
    auto *node = reinterpret_cast<HEAP_BUFFER_NODE *>(nodes_.back().get());
    node->Header = {HEAP_BUFFER_SIGNATURE, Handle, DataSize, 0, 1, {0, 0}};
    node->Link.ForwardLink = &listHead_;
    node->Link.BackLink = listHead_.BackLink;
    listHead_.BackLink->ForwardLink = &node->Link;
    listHead_.BackLink = &node->Link;
    return HeapBufferNodeData(node);
  }

  // Places a debug-tool header under its handle. The buffer is as large as
  // the header with its data area unless BufferBytes says otherwise. DR3 is
  // made non-zero so that the back-end looks for the header.
  HDT_OUT_HEADER *AddHdtHeader(const HdtHeaderFields &fields, UINT32 bufferBytes = 0) {
    if (bufferBytes == 0) bufferBytes = HDT_OUT_DATA_OFFSET + fields.BufferSize;
    auto *header =
        reinterpret_cast<HDT_OUT_HEADER *>(AddHeapBuffer(HDT_OUT_BUFFER_HANDLE, bufferBytes));
    if (bufferBytes >= sizeof(HDT_OUT_HEADER)) {
      header->Signature = fields.Signature;
      header->PrintEnable = fields.PrintEnable;
      header->BufferedMode = fields.BufferedMode;
      header->BufferSize = fields.BufferSize;
      header->WriteIndex = fields.WriteIndex;
      header->OutputFilter = fields.OutputFilter;
    }
    machine_.SetRegister(Register::Dr3, 0x1000);
    return header;
  }

  // The accesses since `mark` as short lines, for example "out8 0x80 = 0x61",
  // "in8 0x3fd = 0x20 x3" (a read repeated three times), "wrmsr 0xc001100a =
  // 0x1", "wrreg dr7 = 0x2000420", "handover edx=0xc0bf99cc eax=... ebx=0x5".
  std::vector<std::string> Accesses(size_t mark = 0, bool withReads = true) {
    std::vector<std::string> lines;
    for (const sim::TraceRecord &record : machine_.Trace().Since(mark)) {
      if (!withReads && !sim::IsWriteKind(record.kind)) continue;
      std::string line = Describe(record);
      if (record.repeat > 1) line += " x" + std::to_string(record.repeat);
      lines.push_back(line);
    }
    return lines;
  }
  std::vector<std::string> Writes(size_t mark = 0) { return Accesses(mark, false); }

  size_t Mark() { return machine_.Trace().Mark(); }

  sim::Machine machine_;

 private:
  static std::string Describe(const sim::TraceRecord &record) {
    static const char *const kRegisters[] = {"dr2", "dr3", "dr7", "cr4"};
    char text[128];
    auto port = [&](const char *name) {
      std::snprintf(text, sizeof text, "%s%u 0x%" PRIx64 " = 0x%" PRIx64, name,
                    static_cast<unsigned>(record.width), record.address, record.value);
    };
    auto msr = [&](const char *name) {
      std::snprintf(text, sizeof text, "%s 0x%" PRIx64 " = 0x%" PRIx64, name, record.address,
                    record.value);
    };
    auto reg = [&](const char *name) {
      std::snprintf(text, sizeof text, "%s %s = 0x%" PRIx64, name,
                    record.address < 4 ? kRegisters[record.address] : "?", record.value);
    };
    switch (record.kind) {
      case AccessKind::IoRead:
        port("in");
        break;
      case AccessKind::IoWrite:
        port("out");
        break;
      case AccessKind::MmioRead:
        port("mmio-rd");
        break;
      case AccessKind::MmioWrite:
        port("mmio-wr");
        break;
      case AccessKind::MsrRead:
        msr("rdmsr");
        break;
      case AccessKind::MsrWrite:
        msr("wrmsr");
        break;
      case AccessKind::RegisterRead:
        reg("rdreg");
        break;
      case AccessKind::RegisterWrite:
        reg("wrreg");
        break;
      case AccessKind::DebugToolHandOver:
        std::snprintf(text, sizeof text,
                      "handover edx=0x%" PRIx64 " eax=0x%" PRIx64 " ebx=0x%" PRIx64, record.address,
                      record.value, record.aux);
        break;
      default:
        std::snprintf(text, sizeof text, "%s", sim::AccessKindName(record.kind));
        break;
    }
    return text;
  }

  LIST_ENTRY listHead_{};
  LIST_ENTRY *savedListHead_ = nullptr;
  std::vector<std::unique_ptr<UINT64[]>> nodes_;
};

// The low 32 bits of an address, as the debug tool receives it.
inline UINT32 Low32(const void *address) {
  return static_cast<UINT32>(reinterpret_cast<uintptr_t>(address));
}

}  // namespace backends_test
