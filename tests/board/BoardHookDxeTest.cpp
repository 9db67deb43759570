// The driver's entry against the simulated DXE core: what it installs and
// arms, how it survives failing services, when the setup-suppression
// callback runs, and the cached lookup of the configuration database.
#include <gtest/gtest.h>

#include <vector>

#include "board/BoardHookDxe.h"
#include "board/SetupSuppress.h"
#include "include/BoardHookProtocol.h"
#include "include/PcdTokens.h"
#include "platform/ErrorCodes.h"
#include "platform/LibraryStartup.h"
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/platform/DxePlatform.h"
#include "uefi/PlatformModules.h"

namespace {

using sim::DxeCore;
using sim::Service;

class BoardHookDxeTest : public ::testing::Test {
 protected:
  // The open events whose notify function is the setup-suppression callback.
  std::vector<sim::EventInfo> SuppressEvents() const {
    std::vector<sim::EventInfo> found;
    for (const sim::EventInfo &event : core.OpenEvents()) {
      if (event.notify == SetupSuppressCallback) {
        found.push_back(event);
      }
    }
    return found;
  }

  // CloseEvent calls made from a notification, i.e. by a callback.
  size_t CallbackCloses() const {
    size_t count = 0;
    for (const sim::ServiceCall &call : core.CallsOf(Service::CloseEvent)) {
      count += call.tpl == TPL_CALLBACK ? 1 : 0;
    }
    return count;
  }

  // No configuration database: the entry does not need one.
  sim::DxePlatform platform{sim::DxePlatformOptions().WithoutSystemTokens().WithoutPcdProtocol()};
  sim::Machine &machine = platform.machine;
  DxeCore &core = platform.Core();
  int trigger = 0;
};

TEST_F(BoardHookDxeTest, NormalBootInstallsHookTableAndArmsNotification) {
  EFI_HANDLE image = nullptr;
  EXPECT_EQ(core.RunEntryPoint(BoardHookDxeImageEntry, &image), EFI_SUCCESS);

  EXPECT_EQ(gImageHandle, image);
  EXPECT_EQ(gST, core.SystemTable());
  EXPECT_EQ(gBS, core.BootServices());
  EXPECT_EQ(gRT, core.RuntimeServices());

  // The hook table sits on a handle of its own, with its constant answers.
  ASSERT_EQ(core.InstallationCount(gBoardHookProtocolGuid), 1u);
  std::vector<sim::ServiceCall> installs;
  for (const sim::ServiceCall &call : core.CallsOf(Service::InstallProtocolInterface)) {
    if (GuidEquals(&*call.guid, &gBoardHookProtocolGuid)) {
      installs.push_back(call);
    }
  }
  ASSERT_EQ(installs.size(), 1u);
  EXPECT_NE(installs[0].args[0], reinterpret_cast<uintptr_t>(image));
  auto *hooks = static_cast<BOARD_HOOK_PROTOCOL *>(core.FindProtocol(gBoardHookProtocolGuid));
  ASSERT_NE(hooks, nullptr);
  EXPECT_EQ(hooks->Hook0(), FALSE);
  EXPECT_EQ(hooks->Hook1(), EFI_SUCCESS);
  EXPECT_EQ(hooks->Hook2, hooks->Hook0);
  EXPECT_EQ(hooks->Hook3, nullptr);
  EXPECT_EQ(hooks->Hook5(), TRUE);

  // One armed, unsignalled notify event for the trigger protocol.
  const auto events = SuppressEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, EVT_NOTIFY_SIGNAL);
  EXPECT_EQ(events[0].notify_tpl, TPL_CALLBACK);
  EXPECT_EQ(events[0].context, nullptr);
  EXPECT_EQ(core.NotifyRegistrationCount(gSetupSuppressTriggerProtocolGuid), 1u);
  EXPECT_EQ(CallbackCloses(), 0u);
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(BoardHookDxeTest, EntrySucceedsAndLeaksNothingWhenServicesFail) {
  struct Case {
    const char *name;
    std::vector<Service> failing;
    bool armed;
  };
  const std::vector<Case> cases = {
      {"install", {Service::InstallProtocolInterface}, true},
      {"create event", {Service::CreateEvent}, false},
      // The event would never be signalled: it is closed again.
      {"register notify", {Service::RegisterProtocolNotify}, false},
      {"all three",
       {Service::InstallProtocolInterface, Service::CreateEvent, Service::RegisterProtocolNotify},
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimClock caseClock;
    DxeCore caseCore{caseClock};
    RunLibraryStartup(nullptr, caseCore.SystemTable());
    for (Service service : c.failing) {
      caseCore.FailEveryCall(service, EFI_OUT_OF_RESOURCES);
    }
    EXPECT_EQ(BoardHookDxeEntryPoint(nullptr, nullptr), EFI_SUCCESS);
    size_t armed = 0;
    for (const sim::EventInfo &event : caseCore.OpenEvents()) {
      armed += event.notify == SetupSuppressCallback ? 1 : 0;
    }
    EXPECT_EQ(armed, c.armed ? 1u : 0u);
    EXPECT_EQ(caseCore.NotifyRegistrationCount(gSetupSuppressTriggerProtocolGuid),
              c.armed ? 1u : 0u);
    EXPECT_TRUE(caseCore.CallsOf(Service::AllocatePool).empty());
    EXPECT_TRUE(caseCore.Errors().empty());
  }
}

TEST_F(BoardHookDxeTest, ImageEntrySucceedsWithEveryServiceFailing) {
  // Without the configuration database the S3 save library's start-up stops
  // before its record. With the database already found (the cache holds it
  // while the services fail) it goes on to its pool allocation, which fails
  // as well. The start-up chain's failures trap; a host that answers the
  // back door lets the traps return, so the entry goes on past them.
  struct Case {
    const char *name;
    bool database;
    std::vector<uint32_t> codes;
  };
  const std::vector<Case> cases = {
      {"no database", false, {ERROR_TRAP_HEAP_LIST_PUBLISH}},
      {"database found", true, {ERROR_TRAP_HEAP_LIST_PUBLISH, ERROR_TRAP_S3_PRIVATE_DATA_POOL}},
  };
  machine.SetCpuidBackDoorAnswer(1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimClock caseClock;
    DxeCore caseCore{caseClock};
    sim::PcdDatabase pcd;
    pcd.DeclareSystemTokens();
    mPcdProtocol = c.database ? pcd.Protocol() : nullptr;
    machine.PostCodes().Clear();
    for (size_t index = 0; index < sim::kServiceCount; index++) {
      const auto service = static_cast<Service>(index);
      if (sim::ServiceCanFail(service)) {
        caseCore.FailEveryCall(service, EFI_DEVICE_ERROR);
      }
    }
    EFI_STATUS status = EFI_LOAD_ERROR;
    auto outcome = machine.Run([&] { status = caseCore.RunEntryPoint(BoardHookDxeImageEntry); });
    ASSERT_EQ(outcome.end, sim::RunEnd::Returned) << outcome;
    EXPECT_EQ(status, EFI_SUCCESS);
    EXPECT_EQ(machine.PostCodes().Values(0x80), c.codes);
    EXPECT_EQ(caseCore.InstallationCount(gBoardHookProtocolGuid), 0u);
    EXPECT_TRUE(caseCore.OpenEvents().empty());
    EXPECT_TRUE(caseCore.LiveAllocations().empty());
    EXPECT_TRUE(pcd.SetsOf(PCD_TOKEN_S3_LIB_PRIVATE_DATA).empty());
    EXPECT_TRUE(caseCore.Errors().empty());
  }
}

TEST_F(BoardHookDxeTest, TriggerInstalledBeforeEntryNeverRunsCallback) {
  core.InstallProtocol(gSetupSuppressTriggerProtocolGuid, &trigger);
  ASSERT_EQ(core.RunEntryPoint(BoardHookDxeImageEntry), EFI_SUCCESS);
  EXPECT_EQ(CallbackCloses(), 0u);
  EXPECT_EQ(SuppressEvents().size(), 1u);
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(BoardHookDxeTest, TriggerInstalledAfterEntryRunsCallbackOnce) {
  ASSERT_EQ(core.RunEntryPoint(BoardHookDxeImageEntry), EFI_SUCCESS);
  const EFI_EVENT armed = SuppressEvents().at(0).event;

  int more[3] = {};
  core.InstallProtocol(gSetupSuppressTriggerProtocolGuid, &trigger);
  for (int &instance : more) {
    core.InstallProtocol(gSetupSuppressTriggerProtocolGuid, &instance);
  }
  const auto closes = core.CallsOf(Service::CloseEvent);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].tpl, TPL_CALLBACK);
  EXPECT_EQ(closes[0].args[0], reinterpret_cast<uintptr_t>(armed));
  EXPECT_FALSE(core.IsEventOpen(armed));
  EXPECT_EQ(core.NotifyRegistrationCount(gSetupSuppressTriggerProtocolGuid), 0u);
  EXPECT_TRUE(core.Errors().empty());
}

// LocateProtocol stand-in that fails but leaves a pointer behind.
VOID *const kStalePointer = reinterpret_cast<VOID *>(uintptr_t{0x5A5A5A50});
EFI_STATUS EFIAPI FailingLocateWithLeftover(const EFI_GUID *, VOID *, VOID **Interface) {
  *Interface = kStalePointer;
  return EFI_NOT_FOUND;
}

TEST_F(BoardHookDxeTest, PcdProtocolIsCachedOnceFoundAndLookedUpWhileAbsent) {
  RunLibraryStartup(nullptr, core.SystemTable());
  // Only the lookups from here on count; the start-up chain makes its own.
  core.ClearCalls();
  const uint64_t startupLookups = core.CallCount(Service::LocateProtocol);

  // Absent: NULL, and every call looks again.
  EXPECT_EQ(GetPcdProtocol(), nullptr);
  EXPECT_EQ(GetPcdProtocol(), nullptr);
  EXPECT_EQ(core.CallCount(Service::LocateProtocol) - startupLookups, 2u);

  // A failed lookup that leaves a pointer behind caches nothing.
  EFI_BOOT_SERVICES failing = *core.BootServices();
  failing.LocateProtocol = FailingLocateWithLeftover;
  gBS = &failing;
  EXPECT_EQ(GetPcdProtocol(), nullptr);
  gBS = core.BootServices();

  // Present: the first call finds it, later calls use the cache.
  PCD_PROTOCOL pcd{};
  core.InstallProtocol(gPcdProtocolGuid, &pcd);
  EXPECT_EQ(GetPcdProtocol(), &pcd);
  EXPECT_EQ(GetPcdProtocol(), &pcd);
  const auto lookups = core.CallsOf(Service::LocateProtocol);
  ASSERT_EQ(lookups.size(), 3u);
  for (const sim::ServiceCall &call : lookups) {
    EXPECT_TRUE(GuidEquals(&*call.guid, &gPcdProtocolGuid));
    EXPECT_EQ(call.args[0], 0u);  // no registration key
  }
}

}  // namespace
