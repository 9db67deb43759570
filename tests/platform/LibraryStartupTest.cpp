// The start-up chain's module globals and the cached HOB-list lookup,
// against the simulated DXE core's system table.
#include <gtest/gtest.h>

#include <vector>

#include "include/HeapBufferList.h"
#include "platform/LibraryStartup.h"
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "sim/platform/DxePlatform.h"
#include "uefi/Hob.h"

namespace {

using sim::DxeCore;

constexpr EFI_GUID kOtherTable = {0x0BAD0BAD, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

class LibraryStartupTest : public ::testing::Test {
 protected:
  LibraryStartupTest() { gST = core.SystemTable(); }

  // The libraries the chain starts read processor registers. No database:
  // the S3 save library then stops early.
  sim::DxePlatform platform{sim::DxePlatformOptions().WithoutSystemTokens().WithoutPcdProtocol()};
  sim::Machine &machine = platform.machine;
  DxeCore &core = platform.Core();
  UINT64 first[2] = {}, second[2] = {}, other[2] = {};
};

TEST_F(LibraryStartupTest, StartupStoresGlobalsAndFindsHobList) {
  core.SetHobList(std::vector<uint8_t>(8, 0xFF));
  int image = 0;
  RunLibraryStartup(&image, core.SystemTable());
  EXPECT_EQ(gImageHandle, &image);
  EXPECT_EQ(gST, core.SystemTable());
  EXPECT_EQ(gBS, core.BootServices());
  EXPECT_EQ(gRT, core.RuntimeServices());
  EXPECT_EQ(mHobList, core.HobList());
  EXPECT_TRUE(core.Errors().empty());
}

// The debug output library starts between the heap-buffer list (the debug
// tool's back-end finds its buffer there) and the S3 save library: with the
// tool's port already in DR2, its breakpoint is armed, after the list is
// published and before the S3 save library's first processor access.
TEST_F(LibraryStartupTest, DebugOutputStartsBetweenHeapBufferListAndS3SaveLibrary) {
  core.SetHobList(std::vector<uint8_t>(8, 0xFF));
  machine.SetRegister(sim::HardwarePlatform::Register::Dr2, 0x99CC);
  // Notified when the list is published: has the breakpoint been armed yet?
  struct Watch {
    sim::Machine *machine;
    bool armedBeforeList = true;
  } watch{&machine};
  EFI_EVENT event = nullptr;
  VOID *registration = nullptr;
  ASSERT_EQ(core.BootServices()->CreateEvent(
                EVT_NOTIFY_SIGNAL, TPL_CALLBACK,
                [](EFI_EVENT, VOID *context) EFIAPI {
                  auto *w = static_cast<Watch *>(context);
                  w->armedBeforeList = w->machine->IoBreakpointArmed(0x99CC);
                },
                &watch, &event),
            EFI_SUCCESS);
  ASSERT_EQ(core.BootServices()->RegisterProtocolNotify(&gHeapBufferListProtocolGuid, event,
                                                        &registration),
            EFI_SUCCESS);
  int image = 0;
  RunLibraryStartup(&image, core.SystemTable());

  EXPECT_FALSE(watch.armedBeforeList);
  EXPECT_TRUE(machine.IoBreakpointArmed(0x99CC));
  const std::vector<sim::TraceRecord> msrs = machine.Trace().Select(sim::AccessKind::MsrRead);
  ASSERT_GE(msrs.size(), 2u);
  EXPECT_EQ(msrs.front().address, 0xC001100Au);  // the tool's breakpoint control
  EXPECT_EQ(msrs.back().address, 0xC0010058u);   // the S3 save library's check
}

TEST_F(LibraryStartupTest, MissingHobListIsNotCachedAndFoundLater) {
  // No entries at all, then entries without the HOB-list GUID.
  EXPECT_EQ(FindHobList(), nullptr);
  core.SetRawConfigurationTable({{kOtherTable, other}});
  EXPECT_EQ(FindHobList(), nullptr);
  EXPECT_EQ(mHobList, nullptr);

  // Each miss rescans, so a list published later is found.
  core.SetRawConfigurationTable({{kOtherTable, other}, {gEfiHobListGuid, first}});
  EXPECT_EQ(FindHobList(), first);
  EXPECT_EQ(mHobList, first);
}

TEST_F(LibraryStartupTest, LowerIndexWinsAndFoundListStaysCached) {
  core.SetRawConfigurationTable(
      {{kOtherTable, other}, {gEfiHobListGuid, first}, {gEfiHobListGuid, second}});
  EXPECT_EQ(FindHobList(), first);

  // Once found, the table is not read again.
  core.SetRawConfigurationTable({{gEfiHobListGuid, second}});
  EXPECT_EQ(FindHobList(), first);
}

}  // namespace
