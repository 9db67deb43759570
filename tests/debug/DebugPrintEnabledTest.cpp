// The debug print dispatcher built with printing enabled, walking recording
// back-ends: order of calls, filters, the 511-character cut, the start-up pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordingBackends.h"
#include "debug/DebugLib.h"
#include "debug/HdtOutBackend.h"
#include "debug/RedirectBackend.h"
#include "debug/SerialBackend.h"
#include "debug/UartFifoBackend.h"

namespace {

using recording::gCalls;
using recording::gFiltersReceived;
using recording::gScript;
using recording::gWrites;

constexpr UINT64 kShippedFilter = 0x100401008A300408ULL;

class DebugPrintEnabled : public ::testing::Test {
 protected:
  void SetUp() override { recording::Reset(); }
  void SetActive(std::vector<bool> Active) {
    for (size_t Index = 0; Index < Active.size(); Index++) {
      gScript[Index].Active = Active[Index];
    }
  }
  static std::vector<int> Writers() {
    std::vector<int> Result;
    for (const auto &Record : gWrites) {
      Result.push_back(Record.Index);
    }
    return Result;
  }
};

const std::vector<std::string> kAskAll = {"0.IsActive", "1.IsActive", "2.IsActive", "3.IsActive"};

std::vector<std::string> Concat(std::vector<std::string> A, const std::vector<std::string> &B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

TEST(DebugPrintList, FixedOrderEndedByNull) {
  DEBUG_PRINT_BACKEND_ENTRY *List = nullptr;
  GetDebugPrintBackends(&List);
  ASSERT_EQ(List, mDebugPrintBackends);
  EXPECT_EQ(List[0], &RedirectBackend);
  EXPECT_EQ(List[1], &HdtOutBackend);
  EXPECT_EQ(List[2], &SerialBackend);
  EXPECT_EQ(List[3], &UartFifoBackend);
  EXPECT_EQ(List[4], nullptr);
}

TEST_F(DebugPrintEnabled, FormatsOnceAndOffersTheSameTextInListOrder) {
  DebugPrint(DEBUG_S3_SAVE, "S3 table %p has %d entries\n", UINT64{0x1000}, UINT64{3});

  EXPECT_EQ(gCalls, Concat(kAskAll, {"0.IsActive", "0.AdjustFilter", "0.Write", "1.IsActive",
                                     "1.AdjustFilter", "1.Write", "2.IsActive", "2.AdjustFilter",
                                     "2.Write", "3.IsActive", "3.AdjustFilter", "3.Write"}));
  ASSERT_EQ(gWrites.size(), 4u);
  for (const auto &Record : gWrites) {
    EXPECT_EQ(Record.Bytes, "S3 table 1000 has 3 entries\r\n");
    EXPECT_EQ(Record.Length, 29u);
    EXPECT_TRUE(Record.Terminated);
    EXPECT_EQ(Record.Text, gWrites[0].Text) << "formatted once, one text for every back-end";
  }
  EXPECT_EQ(gFiltersReceived, std::vector<UINT64>(4, kShippedFilter));
}

TEST_F(DebugPrintEnabled, InactiveBackendIsAskedNothingElse) {
  SetActive({false, true, false, true});
  DebugPrint(DEBUG_S3_SAVE, "x");
  EXPECT_EQ(gCalls, Concat(kAskAll, {"0.IsActive", "1.IsActive", "1.AdjustFilter", "1.Write",
                                     "2.IsActive", "3.IsActive", "3.AdjustFilter", "3.Write"}));
}

TEST_F(DebugPrintEnabled, NoActiveBackendEndsAfterTheFirstRound) {
  SetActive({false, false, false, false});
  DebugPrint(DEBUG_S3_SAVE, "x");
  EXPECT_EQ(gCalls, kAskAll);
}

TEST_F(DebugPrintEnabled, FilterDecidesPerBackend) {
  struct Case {
    const char *Name;
    UINT64 ErrorLevel;
    int ReplacingBackend;  // -1: every back-end keeps the default filter
    UINT64 ReplacedFilter;
    std::vector<int> Writers;
  };
  const std::vector<Case> Cases = {
      {"level 0 reaches nobody", 0, -1, 0, {}},
      {"level 0 against a full filter", 0, 1, ~0ULL, {}},
      {"S3 class passes the default filter", DEBUG_S3_SAVE, -1, 0, {0, 1, 2, 3}},
      {"one shared bit is enough", (1ULL << 3) | 1, -1, 0, {0, 1, 2, 3}},
      {"bit 60, the highest default bit", 1ULL << 60, -1, 0, {0, 1, 2, 3}},
      {"bit 0 is outside the default", 1, -1, 0, {}},
      {"bit 0 through a replaced filter", 1, 1, 1, {1}},
      {"a replaced filter can drop the S3 class", DEBUG_S3_SAVE, 1, 1, {0, 2, 3}},
      {"bit 63 outside every filter", 1ULL << 63, 3, 1ULL << 62, {}},
  };
  for (const auto &C : Cases) {
    recording::Reset();
    if (C.ReplacingBackend >= 0) {
      gScript[C.ReplacingBackend].ReplaceFilter = true;
      gScript[C.ReplacingBackend].Filter = C.ReplacedFilter;
    }
    DebugPrint(C.ErrorLevel, "m");
    EXPECT_EQ(Writers(), C.Writers) << C.Name;
    // Every back-end starts from the default, also after another replaced it.
    EXPECT_EQ(gFiltersReceived, std::vector<UINT64>(4, kShippedFilter)) << C.Name;
  }
}

TEST_F(DebugPrintEnabled, TextIsCutAt511Characters) {
  struct Case {
    size_t Produced;
    UINTN Expected;
  };
  for (const Case &C :
       {Case{0, 0}, Case{1, 1}, Case{510, 510}, Case{511, 511}, Case{512, 511}, Case{2000, 511}}) {
    recording::Reset();
    std::string Long(C.Produced, 'x');
    for (size_t Index = 0; Index < Long.size(); Index++) {
      Long[Index] = static_cast<char>('a' + Index % 26);
    }
    DebugPrint(DEBUG_S3_SAVE, "%a", reinterpret_cast<UINT64>(Long.c_str()));
    ASSERT_EQ(gWrites.size(), 4u) << C.Produced;
    for (const auto &Record : gWrites) {
      EXPECT_EQ(Record.Length, C.Expected) << C.Produced;
      EXPECT_EQ(Record.Bytes, Long.substr(0, C.Expected)) << C.Produced;
      EXPECT_TRUE(Record.Terminated) << C.Produced;
    }
  }
}

TEST_F(DebugPrintEnabled, RejectedFormatStillReachesBackendsWithEmptyText) {
  DebugPrint(DEBUG_S3_SAVE, nullptr);
  ASSERT_EQ(gWrites.size(), 4u);
  for (const auto &Record : gWrites) {
    EXPECT_EQ(Record.Length, 0u);
    EXPECT_TRUE(Record.Terminated);
    EXPECT_EQ(Record.Text[1], 0) << "the two bytes a back-end may peek at are defined";
  }
}

TEST_F(DebugPrintEnabled, StartupPassInitializesActiveBackendsInOrder) {
  SetActive({false, true, false, true});
  EXPECT_EQ(DebugPrintInitialize(), EFI_SUCCESS);
  EXPECT_EQ(gCalls, Concat(kAskAll, {"0.IsActive", "1.IsActive", "1.Initialize", "2.IsActive",
                                     "3.IsActive", "3.Initialize"}));
  EXPECT_TRUE(gWrites.empty());
  EXPECT_TRUE(gFiltersReceived.empty());
}

TEST_F(DebugPrintEnabled, StartupPassWithoutActiveBackendOnlyAsks) {
  SetActive({false, false, false, false});
  EXPECT_EQ(DebugPrintInitialize(), EFI_SUCCESS);
  EXPECT_EQ(gCalls, kAskAll);
}

TEST_F(DebugPrintEnabled, AnyActiveAsksEveryEntryUpToTheNull) {
  SetActive({true, false, true, false});
  DEBUG_PRINT_BACKEND_ENTRY Full[] = {&RedirectBackend, &HdtOutBackend, &SerialBackend,
                                      &UartFifoBackend, nullptr};
  EXPECT_TRUE(AnyDebugBackendActive(Full));
  EXPECT_EQ(gCalls, kAskAll) << "does not stop at the first TRUE";

  gCalls.clear();
  DEBUG_PRINT_BACKEND_ENTRY CutShort[] = {&HdtOutBackend, nullptr, &RedirectBackend, nullptr};
  EXPECT_FALSE(AnyDebugBackendActive(CutShort));
  EXPECT_EQ(gCalls, std::vector<std::string>{"1.IsActive"}) << "the NULL entry ends the walk";

  gCalls.clear();
  DEBUG_PRINT_BACKEND_ENTRY Empty[] = {nullptr};
  EXPECT_FALSE(AnyDebugBackendActive(Empty));
  EXPECT_TRUE(gCalls.empty());
}

}  // namespace
