// The debug-tool back-end against the simulated machine, built with printing
// enabled (so it is always active): arming the breakpoint, finding the buffer
// header, direct and buffered hand-over.
#include <cstring>
#include <string>
#include <vector>

#include "BackendTest.h"

namespace backends_test {
namespace {

using Strings = std::vector<std::string>;

std::string HandOver(const void *address, UINT32 length) {
  char text[96];
  std::snprintf(text, sizeof text, "handover edx=0xc0bf99cc eax=0x%x ebx=0x%x", Low32(address),
                length);
  return text;
}

class HdtOutBackendTest : public BackendTest {};

// --- Arming the breakpoint ---

struct ArmCase {
  const char *name;
  UINT64 msr;
  UINT64 dr7;
  UINT64 cr4;
  bool armed;
};

TEST_F(HdtOutBackendTest, InitializeArmsOnlyWhatIsNotArmedYet) {
  const ArmCase cases[] = {
      {"all set", 0x11, 0x02000420 | 0x3, 0x628, true},
      {"MSR bit 0 clear", 0x10, 0x02000420, 0x628, false},
      {"DR7 has only 0x420", 0x11, 0x00000420, 0x628, false},
      {"DR7 without G2", 0x11, 0x02000400, 0x628, false},
      {"CR4.DE clear", 0x11, 0x02000420, 0x620, false},
  };
  for (const ArmCase &c : cases) {
    SCOPED_TRACE(c.name);
    machine_.SetMsr(MSR_DEBUG_BREAKPOINT_CONTROL, c.msr);
    machine_.SetRegister(Register::Dr2, 0x99CC);
    machine_.SetRegister(Register::Dr7, c.dr7);
    machine_.SetRegister(Register::Cr4, c.cr4);
    EXPECT_EQ(HdtOutIsArmed(), c.armed ? TRUE : FALSE);
    size_t mark = Mark();

    HdtOutInitialize();

    if (c.armed) {
      EXPECT_TRUE(Writes(mark).empty());
    } else {
      // Read-modify-write of the MSR and CR4; DR7 replaced as a whole.
      char msr[64], cr4[64];
      std::snprintf(msr, sizeof msr, "wrmsr 0xc001100a = 0x%llx",
                    static_cast<unsigned long long>(c.msr | 1));
      std::snprintf(cr4, sizeof cr4, "wrreg cr4 = 0x%llx",
                    static_cast<unsigned long long>(c.cr4 | 8));
      EXPECT_EQ(Writes(mark), (Strings{msr, "wrreg dr2 = 0x99cc", "wrreg dr7 = 0x2000420", cr4}));
    }
    EXPECT_TRUE(machine_.IoBreakpointArmed(HDT_OUT_PORT));
  }
}

// --- Finding the header and its filter ---

TEST_F(HdtOutBackendTest, FilterComesFromTheHeader) {
  AddHdtHeader({.OutputFilter = 0x8000000000000001ULL});
  UINT64 filter = kDefaultFilter;
  EXPECT_TRUE(HdtOutAdjustFilter(&filter));
  EXPECT_EQ(filter, 0x8000000000000001ULL);
}

// Each of these counts as no header: the default filter stays, and text is
// handed over directly without touching the buffer.
TEST_F(HdtOutBackendTest, WithoutAUsableHeaderTextGoesOverDirectly) {
  struct Case {
    const char *name;
    void (*place)(HdtOutBackendTest &);
  };
  const Case cases[] = {
      {"DR3 is 0",
       [](HdtOutBackendTest &t) {
         t.AddHdtHeader({});
         t.machine_.SetRegister(Register::Dr3, 0);
       }},
      {"no buffer under 0xA014",
       [](HdtOutBackendTest &t) {
         t.AddHeapBuffer(0xA015, 600);
         t.machine_.SetRegister(Register::Dr3, 1);
       }},
      {"wrong signature", [](HdtOutBackendTest &t) { t.AddHdtHeader({.Signature = 0xDB1099CD}); }},
      {"buffer shorter than the header fields",
       [](HdtOutBackendTest &t) {
         auto *data = t.AddHeapBuffer(HDT_OUT_BUFFER_HANDLE, 31);
         UINT32 signature = HDT_OUT_SIGNATURE;
         std::memcpy(data, &signature, sizeof signature);
         t.machine_.SetRegister(Register::Dr3, 1);
       }},
  };
  const CHAR8 text[] = "direct";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ClearHeapBuffers();
    c.place(*this);
    HDT_OUT_HEADER *header = nullptr;
    EXPECT_FALSE(HdtOutGetHeader(&header, nullptr));

    UINT64 filter = kDefaultFilter;
    EXPECT_TRUE(HdtOutAdjustFilter(&filter));
    EXPECT_EQ(filter, kDefaultFilter);

    size_t mark = Mark();
    HdtOutWrite(text, 6);
    EXPECT_EQ(Writes(mark), Strings{HandOver(text, 6)});
  }
}

// --- Writing ---

TEST_F(HdtOutBackendTest, UnbufferedHeaderHandsTheCallersTextOverInOneWrite) {
  struct Case {
    const char *name;
    HdtHeaderFields fields;
  } const cases[] = {
      {"BufferedMode 0", {.BufferedMode = 0}},
      {"BufferedMode 2", {.BufferedMode = 2, .BufferSize = 8}},
      {"buffered without capacity", {.BufferedMode = 1, .BufferSize = 0}},
  };
  const CHAR8 text[] = "S3 table saved\r\n";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ClearHeapBuffers();
    HDT_OUT_HEADER *header = AddHdtHeader(c.fields);
    size_t mark = Mark();
    HdtOutWrite(text, 16);
    EXPECT_EQ(Writes(mark), Strings{HandOver(text, 16)});
    EXPECT_EQ(header->WriteIndex, 0) << "nothing collected";
  }
}

// A buffered header whose heap buffer ends before its data area does: the
// header still switches printing and filters, only the buffering is refused
// (the text goes over directly and nothing is stored past the buffer).
TEST_F(HdtOutBackendTest, HeaderTooSmallForItsDataAreaStillSwitchesAndFilters) {
  struct Case {
    const char *name;
    UINT32 bufferBytes;
  } const cases[] = {
      {"one byte short of the data area", HDT_OUT_DATA_OFFSET + 7},
      {"only the header fields", sizeof(HDT_OUT_HEADER)},
  };
  const CHAR8 text[] = "direct";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (UINT8 printEnable : {0, 1}) {
      ClearHeapBuffers();
      HDT_OUT_HEADER *header = AddHdtHeader({.PrintEnable = printEnable,
                                             .BufferedMode = 1,
                                             .BufferSize = 8,
                                             .WriteIndex = 2,
                                             .OutputFilter = 0x8000000000000001ULL},
                                            c.bufferBytes);
      UINT32 bufferBytes = 0;
      HDT_OUT_HEADER *found = nullptr;
      ASSERT_TRUE(HdtOutGetHeader(&found, &bufferBytes));
      EXPECT_EQ(found, header);
      EXPECT_EQ(bufferBytes, c.bufferBytes);

      UINT64 filter = kDefaultFilter;
      EXPECT_TRUE(HdtOutAdjustFilter(&filter));
      EXPECT_EQ(filter, 0x8000000000000001ULL);

      size_t mark = Mark();
      HdtOutWrite(text, 6);
      EXPECT_EQ(Writes(mark), printEnable == 1 ? Strings{HandOver(text, 6)} : Strings{})
          << int{printEnable};
      EXPECT_EQ(header->WriteIndex, 2);
    }
  }
}

TEST_F(HdtOutBackendTest, PrintEnableOtherThanOneDropsTheMessage) {
  for (UINT8 printEnable : {0, 2, 0xFF}) {
    for (UINT8 buffered : {0, 1}) {
      ClearHeapBuffers();
      HDT_OUT_HEADER *header =
          AddHdtHeader({.PrintEnable = printEnable, .BufferedMode = buffered, .BufferSize = 16});
      HdtOutWrite("dropped", 7);
      EXPECT_TRUE(Writes().empty()) << int{printEnable} << " " << int{buffered};
      EXPECT_EQ(header->WriteIndex, 0);
    }
  }
}

TEST_F(HdtOutBackendTest, BufferedModeHandsOverTheFullBufferAndWrapsAround) {
  HDT_OUT_HEADER *header = AddHdtHeader({.BufferedMode = 1, .BufferSize = 8, .WriteIndex = 6});
  UINT8 *data = HdtOutData(header);
  std::memcpy(data, "01234567", 8);

  HdtOutWrite("ABCDE", 5);

  EXPECT_EQ(Writes(), (Strings{"out16 0xffed = 0x4241", HandOver(data, 8)}));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(data), 8), "CDE345AB");
  EXPECT_EQ(header->WriteIndex, 3);
  EXPECT_EQ(header->BufferSize, 8) << "the capacity is the producer's";
}

TEST_F(HdtOutBackendTest, EveryBufferedMessageSendsItsFirstTwoBytesTo0xFFED) {
  HDT_OUT_HEADER *header = AddHdtHeader({.BufferedMode = 1, .BufferSize = 64});

  HdtOutWrite("hi", 2);
  HdtOutWrite("x", 1);
  HdtOutWrite("", 0);

  EXPECT_EQ(Writes(),
            (Strings{"out16 0xffed = 0x6968", "out16 0xffed = 0x78", "out16 0xffed = 0x0"}));
  EXPECT_EQ(header->WriteIndex, 3) << "bytes stay in the buffer until it fills";
  EXPECT_EQ(std::string(reinterpret_cast<char *>(HdtOutData(header)), 3), "hix");
}

TEST_F(HdtOutBackendTest, IndexBeyondTheCapacityHandsOverBeforeStoring) {
  HDT_OUT_HEADER *header = AddHdtHeader({.BufferedMode = 1, .BufferSize = 4, .WriteIndex = 9});
  HdtOutWrite("ab", 2);
  EXPECT_EQ(Writes(), (Strings{"out16 0xffed = 0x6261", HandOver(HdtOutData(header), 4)}));
  EXPECT_EQ(header->WriteIndex, 2);
}

}  // namespace
}  // namespace backends_test
