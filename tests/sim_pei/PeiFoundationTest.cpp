// The simulated PEI foundation: the services table, the IDT word, the PPI
// database and its notifications, pool and failure injection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/pei/PeiFoundation.h"

namespace {

using sim::PeiFoundation;
using testing::ElementsAre;

constexpr EFI_GUID kGuidA = {0x11111111, 0x1111, 0x1111, {1, 1, 1, 1, 1, 1, 1, 1}};
constexpr EFI_GUID kGuidB = {0x22222222, 0x2222, 0x2222, {2, 2, 2, 2, 2, 2, 2, 2}};
constexpr EFI_GUID kGuidC = {0x33333333, 0x3333, 0x3333, {3, 3, 3, 3, 3, 3, 3, 3}};

constexpr UINTN kPpi = EFI_PEI_PPI_DESCRIPTOR_PPI;
constexpr UINTN kEnd = EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
constexpr UINTN kCallback = EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK;

class PeiFoundationTest : public testing::Test {
 public:
  PeiFoundationTest() {
    Pei.NameGuid(kGuidA, "A");
    Pei.NameGuid(kGuidB, "B");
    Pei.NameGuid(kGuidC, "C");
    gTest = this;
  }
  ~PeiFoundationTest() override { gTest = nullptr; }

  // Notify functions record which PPI interface they were handed.
  static EFI_STATUS EFIAPI RecordFirst(EFI_PEI_SERVICES **Services, EFI_PEI_NOTIFY_DESCRIPTOR *,
                                       VOID *Ppi) {
    EXPECT_EQ(const_cast<const EFI_PEI_SERVICES **>(Services), gTest->Pei.Services());
    gTest->Seen.push_back("first:" + std::to_string(*static_cast<int *>(Ppi)));
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI RecordSecond(EFI_PEI_SERVICES **, EFI_PEI_NOTIFY_DESCRIPTOR *,
                                        VOID *Ppi) {
    gTest->Seen.push_back("second:" + std::to_string(*static_cast<int *>(Ppi)));
    return EFI_SUCCESS;
  }

  static inline PeiFoundationTest *gTest = nullptr;
  sim::SimClock Clock;
  PeiFoundation Pei{Clock};
  const EFI_PEI_SERVICES **Services = Pei.Services();
  std::vector<std::string> Seen;
  int One = 1, Two = 2, Three = 3;
  EFI_PEI_PPI_DESCRIPTOR MoreB = {kPpi | kEnd, &kGuidB, &Three};
};

TEST_F(PeiFoundationTest, ServicesTableAndIdtWord) {
  const EFI_PEI_SERVICES *Table = *Services;
  EXPECT_EQ(Table->Hdr.Signature, PEI_SERVICES_SIGNATURE);
  EXPECT_EQ(Table->Hdr.HeaderSize, sizeof(EFI_PEI_SERVICES));
  // The word just below the IDT base holds the services pointer.
  UINTN Word;
  std::memcpy(&Word, reinterpret_cast<const void *>(Pei.IdtBase() - sizeof(UINTN)), sizeof(Word));
  EXPECT_EQ(Word, reinterpret_cast<UINTN>(Services));
  // Slots this system does not use are present and refuse.
  for (EFI_PEI_UNUSED_SERVICE Unused :
       {Table->CreateHob, Table->FfsFindNextVolume, Table->InstallPeiMemory, Table->AllocatePages,
        Table->ReportStatusCode, Table->ResetSystem2, Table->FreePages}) {
    ASSERT_NE(Unused, nullptr);
    EXPECT_EQ(Unused(), EFI_UNSUPPORTED);
  }
  EFI_BOOT_MODE Mode = 7;
  EXPECT_EQ(Table->SetBootMode(Services, 0x11), EFI_SUCCESS);
  EXPECT_EQ(Table->GetBootMode(Services, &Mode), EFI_SUCCESS);
  EXPECT_EQ(Mode, 0x11u);
}

TEST_F(PeiFoundationTest, InstallsListsAndLocatesByInstance) {
  const EFI_PEI_PPI_DESCRIPTOR List[] = {{kPpi, &kGuidA, &One}, {kPpi | kEnd, &kGuidA, &Two}};
  EXPECT_EQ((*Services)->InstallPpi(Services, List), EFI_SUCCESS);
  for (UINTN Instance : {0u, 1u}) {
    VOID *Ppi = nullptr;
    EFI_PEI_PPI_DESCRIPTOR *Descriptor = nullptr;
    EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidA, Instance, &Descriptor, &Ppi), EFI_SUCCESS);
    EXPECT_EQ(Descriptor, &List[Instance]);
    EXPECT_EQ(Ppi, List[Instance].Ppi);
  }
  VOID *Ppi = &Three;
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidA, 2, NULL, &Ppi), EFI_NOT_FOUND);
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidB, 0, NULL, &Ppi), EFI_NOT_FOUND);
  EXPECT_EQ(Ppi, &Three);
  EXPECT_THAT(Pei.Trace(),
              ElementsAre("InstallPpi(A, A) = EFI_SUCCESS", "LocatePpi(A, 0) = EFI_SUCCESS",
                          "LocatePpi(A, 1) = EFI_SUCCESS", "LocatePpi(A, 2) = EFI_NOT_FOUND",
                          "LocatePpi(B, 0) = EFI_NOT_FOUND"));
}

TEST_F(PeiFoundationTest, RefusesWholeListsWithABadDescriptor) {
  // The second entry lacks the PPI flag: nothing of the list is installed.
  const EFI_PEI_PPI_DESCRIPTOR Ppis[] = {{kPpi, &kGuidA, &One}, {kEnd, &kGuidB, &Two}};
  EXPECT_EQ((*Services)->InstallPpi(Services, Ppis), EFI_INVALID_PARAMETER);
  EXPECT_EQ((*Services)->InstallPpi(Services, NULL), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Pei.InstalledPpis().empty());
  // A notify entry needs a notify type.
  const EFI_PEI_NOTIFY_DESCRIPTOR Notifies[] = {{kCallback, &kGuidA, RecordFirst},
                                                {kPpi | kEnd, &kGuidA, RecordSecond}};
  EXPECT_EQ((*Services)->NotifyPpi(Services, Notifies), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Pei.InstallPpi(kGuidA, &One), EFI_SUCCESS);
  EXPECT_TRUE(Seen.empty());
}

TEST_F(PeiFoundationTest, CallbackRunsForEarlierAndLaterPpis) {
  ASSERT_EQ(Pei.InstallPpi(kGuidA, &One), EFI_SUCCESS);
  ASSERT_EQ(Pei.InstallPpi(kGuidB, &Two), EFI_SUCCESS);
  // Registered after A was installed: runs at once for it.
  static const EFI_PEI_NOTIFY_DESCRIPTOR Notifies[] = {{kCallback, &kGuidA, RecordFirst},
                                                       {kCallback | kEnd, &kGuidC, RecordSecond}};
  EXPECT_EQ((*Services)->NotifyPpi(Services, Notifies), EFI_SUCCESS);
  EXPECT_THAT(Seen, ElementsAre("first:1"));
  // Installed later: each installation runs the matching callbacks again.
  EXPECT_EQ(Pei.InstallPpi(kGuidC, &Three), EFI_SUCCESS);
  EXPECT_EQ(Pei.InstallPpi(kGuidA, &Two), EFI_SUCCESS);
  EXPECT_THAT(Seen, ElementsAre("first:1", "second:3", "first:2"));
  EXPECT_THAT(Pei.Trace(), ElementsAre("InstallPpi(A) = EFI_SUCCESS", "InstallPpi(B) = EFI_SUCCESS",
                                       "NotifyPpi(A, C) = EFI_SUCCESS", "Notify(A) = EFI_SUCCESS",
                                       "InstallPpi(C) = EFI_SUCCESS", "Notify(C) = EFI_SUCCESS",
                                       "InstallPpi(A) = EFI_SUCCESS", "Notify(A) = EFI_SUCCESS"));
}

// Callbacks that install PPIs and register notifications themselves: every
// pair of registration and installation is notified exactly once.
TEST_F(PeiFoundationTest, NestedInstallAndRegistrationNotifyEachPairOnce) {
  static const EFI_PEI_NOTIFY_DESCRIPTOR WatchB = {kCallback | kEnd, &kGuidB, RecordSecond};
  struct Nested {
    static EFI_STATUS EFIAPI OnA(EFI_PEI_SERVICES **Services, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
      const EFI_PEI_SERVICES **Pei = const_cast<const EFI_PEI_SERVICES **>(Services);
      gTest->Seen.push_back("onA");
      // Registers for B while B is already installed, then installs more B.
      (*Pei)->NotifyPpi(Pei, &WatchB);
      return (*Pei)->InstallPpi(Pei, &gTest->MoreB);
    }
  };
  static const EFI_PEI_NOTIFY_DESCRIPTOR WatchA = {kCallback | kEnd, &kGuidA, Nested::OnA};
  ASSERT_EQ((*Services)->NotifyPpi(Services, &WatchA), EFI_SUCCESS);
  // A and B installed together: OnA runs for A, registers for B (which runs
  // for the B of this list at once) and installs another B.
  const EFI_PEI_PPI_DESCRIPTOR List[] = {{kPpi, &kGuidA, &One}, {kPpi | kEnd, &kGuidB, &Two}};
  ASSERT_EQ((*Services)->InstallPpi(Services, List), EFI_SUCCESS);
  EXPECT_THAT(Seen, ElementsAre("onA", "second:2", "second:3"));
}

TEST_F(PeiFoundationTest, DispatchNotificationsRunAfterTheModule) {
  static const EFI_PEI_NOTIFY_DESCRIPTOR Watch = {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH | kEnd,
                                                  &kGuidA, RecordFirst};
  struct Module {
    static EFI_STATUS EFIAPI Entry(EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **Services) {
      (*Services)->NotifyPpi(Services, &Watch);
      static int Four = 4;
      static const EFI_PEI_PPI_DESCRIPTOR Ppi = {kPpi | kEnd, &kGuidA, &Four};
      (*Services)->InstallPpi(Services, &Ppi);
      EXPECT_TRUE(gTest->Seen.empty());  // not while the module runs
      return EFI_SUCCESS;
    }
  };
  EXPECT_EQ(Pei.RunModule(Module::Entry), EFI_SUCCESS);
  EXPECT_THAT(Seen, ElementsAre("first:4"));
}

TEST_F(PeiFoundationTest, PoolAndInjectedFailures) {
  VOID *Buffer = nullptr;
  EXPECT_EQ((*Services)->AllocatePool(Services, 12, &Buffer), EFI_SUCCESS);
  ASSERT_NE(Buffer, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Buffer) % 8, 0u);
  std::memset(Buffer, 0, 12);

  Pei.AllocatePoolFaults().FailNth(2, EFI_OUT_OF_RESOURCES);
  VOID *Second = nullptr;
  VOID *Third = nullptr;
  EXPECT_EQ((*Services)->AllocatePool(Services, 4, &Second), EFI_SUCCESS);
  EXPECT_EQ((*Services)->AllocatePool(Services, 4, &Third), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Third, nullptr);
  ASSERT_EQ(Pei.PoolAllocations().size(), 2u);
  EXPECT_EQ(Pei.PoolAllocations()[0].size, 12u);

  // A failing service has no effect.
  Pei.InstallPpiFaults().FailEvery(EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Pei.InstallPpi(kGuidA, &One), EFI_OUT_OF_RESOURCES);
  Pei.InstallPpiFaults().Clear();
  Pei.NotifyPpiFaults().FailNth(1, EFI_OUT_OF_RESOURCES);
  static const EFI_PEI_NOTIFY_DESCRIPTOR Watch = {kCallback | kEnd, &kGuidA, RecordFirst};
  EXPECT_EQ((*Services)->NotifyPpi(Services, &Watch), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Pei.InstallPpi(kGuidA, &One), EFI_SUCCESS);
  EXPECT_TRUE(Seen.empty());
  Pei.LocatePpiFaults().FailNth(1, EFI_DEVICE_ERROR);
  VOID *Ppi = nullptr;
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidA, 0, NULL, &Ppi), EFI_DEVICE_ERROR);
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidA, 0, NULL, &Ppi), EFI_SUCCESS);

  // Lookups of one PPI fail apart from the others: the second lookup of A
  // is not found although A is installed; lookups of B do not count.
  ASSERT_EQ(Pei.InstallPpi(kGuidB, &Two), EFI_SUCCESS);
  Pei.LocatePpiFaults(kGuidA).FailNth(2, EFI_NOT_FOUND);
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidB, 0, NULL, &Ppi), EFI_SUCCESS);
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidA, 0, NULL, &Ppi), EFI_SUCCESS);
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidB, 0, NULL, &Ppi), EFI_SUCCESS);
  Ppi = nullptr;
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidA, 0, NULL, &Ppi), EFI_NOT_FOUND);
  EXPECT_EQ(Ppi, nullptr);
  EXPECT_EQ((*Services)->LocatePpi(Services, &kGuidA, 0, NULL, &Ppi), EFI_SUCCESS);
  EXPECT_EQ(Ppi, &One);
}

TEST_F(PeiFoundationTest, FullDatabaseRefusesMore) {
  Pei.SetCapacity(1, 1);
  EXPECT_EQ(Pei.InstallPpi(kGuidA, &One), EFI_SUCCESS);
  EXPECT_EQ(Pei.InstallPpi(kGuidB, &Two), EFI_OUT_OF_RESOURCES);
  static const EFI_PEI_NOTIFY_DESCRIPTOR Both[] = {{kCallback, &kGuidA, RecordFirst},
                                                   {kCallback | kEnd, &kGuidB, RecordSecond}};
  EXPECT_EQ((*Services)->NotifyPpi(Services, Both), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(Seen.empty());
  EXPECT_EQ(Pei.CountPpis(kGuidB), 0u);
}

}  // namespace
