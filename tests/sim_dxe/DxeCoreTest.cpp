// The simulated DXE core, driven through its tables as a driver drives real
// firmware: protocol database, protocol notifications, events and TPL,
// event groups, pool checks, fault injection and module dispatch.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/dxe/DxeCore.h"
#include "uefi/Hob.h"
#include "uefi/StandardInterfaces.h"

namespace {

using sim::DxeCore;
using sim::Service;

constexpr EFI_GUID kProtocolA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr EFI_GUID kProtocolB = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};
constexpr EFI_GUID kGroup = {0x44444444, 0x5555, 0x6666, {1, 2, 3, 4, 5, 6, 7, 8}};

// Context of a notify function: appends "name@tpl" to a shared log, then
// runs an optional action.
struct Probe {
  std::vector<std::string> *log;
  std::string name;
  std::function<void(EFI_EVENT)> action;
};

VOID EFIAPI RecordNotify(EFI_EVENT Event, VOID *Context) {
  auto *probe = static_cast<Probe *>(Context);
  probe->log->push_back(probe->name + "@" + std::to_string(DxeCore::Active()->CurrentTpl()));
  if (probe->action) {
    probe->action(Event);
  }
}

class DxeCoreTest : public ::testing::Test {
 protected:
  EFI_EVENT NewEvent(Probe &probe, EFI_TPL tpl) {
    EFI_EVENT event = nullptr;
    EXPECT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, tpl, RecordNotify, &probe, &event), EFI_SUCCESS);
    return event;
  }
  EFI_EVENT NewGroupEvent(Probe &probe, EFI_TPL tpl, const EFI_GUID &group) {
    EFI_EVENT event = nullptr;
    EXPECT_EQ(bs->CreateEventEx(EVT_NOTIFY_SIGNAL, tpl, RecordNotify, &probe, &group, &event),
              EFI_SUCCESS);
    return event;
  }
  EFI_HANDLE Install(const EFI_GUID &guid, void *interface, EFI_HANDLE handle = nullptr) {
    EXPECT_EQ(bs->InstallProtocolInterface(&handle, &guid, EFI_NATIVE_INTERFACE, interface),
              EFI_SUCCESS);
    return handle;
  }

  sim::SimClock clock;
  DxeCore core{clock};
  EFI_BOOT_SERVICES *bs = core.BootServices();
  std::vector<std::string> log;
  int a1 = 1, a2 = 2, b1 = 3;
};

TEST_F(DxeCoreTest, TablesAreSealedAndUnusedSlotsAnswerUnsupported) {
  EFI_SYSTEM_TABLE *st = core.SystemTable();
  EXPECT_EQ(st->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
  EXPECT_EQ(st->BootServices->Hdr.Signature, EFI_BOOT_SERVICES_SIGNATURE);
  EXPECT_EQ(st->RuntimeServices->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);
  EXPECT_EQ(st->BootServices->Hdr.HeaderSize, sizeof(EFI_BOOT_SERVICES));

  EFI_RUNTIME_SERVICES *rt = st->RuntimeServices;
  const std::vector<std::pair<EFI_UNUSED_SERVICE, Service>> unused = {
      {bs->GetMemoryMap, Service::GetMemoryMap},
      {bs->LocateDevicePath, Service::LocateDevicePath},
      {bs->LoadImage, Service::LoadImage},
      {bs->ExitBootServices, Service::ExitBootServices},
      {bs->OpenProtocol, Service::OpenProtocol},
      {bs->ProtocolsPerHandle, Service::ProtocolsPerHandle},
      {bs->InstallMultipleProtocolInterfaces, Service::InstallMultipleProtocolInterfaces},
      {bs->CalculateCrc32, Service::CalculateCrc32},
      {rt->GetTime, Service::GetTime},
      {rt->SetVariable, Service::SetVariable},
      {rt->QueryVariableInfo, Service::QueryVariableInfo},
  };
  for (const auto &[slot, service] : unused) {
    EXPECT_EQ(slot(), EFI_UNSUPPORTED) << sim::ServiceName(service);
    EXPECT_EQ(core.CallCount(service), 1u) << sim::ServiceName(service);
  }
  EXPECT_EQ(bs->SetTimer(nullptr, TimerRelative, 10), EFI_UNSUPPORTED);
  EXPECT_EQ(bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, 1, nullptr), EFI_UNSUPPORTED);
  // Every slot is filled; calling a missing service is reported.
  const auto *slots = reinterpret_cast<void *const *>(&bs->RaiseTPL);
  for (size_t slot = 0; slot < 44; slot++) {
    if (slot != 17) {  // Reserved
      EXPECT_NE(slots[slot], nullptr) << "boot services slot " << slot;
    }
  }
  EXPECT_EQ(core.Errors().size(), unused.size() + 2);
}

TEST_F(DxeCoreTest, ProtocolDatabase) {
  // A null handle makes a new handle; a GUID twice on one handle is refused.
  EFI_HANDLE first = Install(kProtocolA, &a1);
  ASSERT_NE(first, nullptr);
  EFI_HANDLE same = first;
  EXPECT_EQ(bs->InstallProtocolInterface(&same, &kProtocolA, EFI_NATIVE_INTERFACE, &a2),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Install(kProtocolB, &b1, first), first);
  EFI_HANDLE second = Install(kProtocolA, &a2);
  EXPECT_NE(second, first);

  // LocateProtocol answers the earliest installation.
  VOID *found = nullptr;
  EXPECT_EQ(bs->LocateProtocol(&kProtocolA, nullptr, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &a1);
  EXPECT_EQ(bs->HandleProtocol(second, &kProtocolA, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &a2);
  EXPECT_EQ(bs->HandleProtocol(second, &kProtocolB, &found), EFI_UNSUPPORTED);

  UINTN count = 0;
  EFI_HANDLE *handles = nullptr;
  EXPECT_EQ(bs->LocateHandleBuffer(ByProtocol, &kProtocolA, nullptr, &count, &handles),
            EFI_SUCCESS);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(handles[0], first);
  EXPECT_EQ(handles[1], second);
  EXPECT_EQ(bs->FreePool(handles), EFI_SUCCESS);

  // Uninstalling the wrong interface fails; the right one moves LocateProtocol
  // on; a handle without protocols is gone.
  EXPECT_EQ(bs->UninstallProtocolInterface(first, &kProtocolA, &a2), EFI_NOT_FOUND);
  EXPECT_EQ(bs->UninstallProtocolInterface(first, &kProtocolA, &a1), EFI_SUCCESS);
  EXPECT_EQ(bs->LocateProtocol(&kProtocolA, nullptr, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &a2);
  EXPECT_EQ(bs->UninstallProtocolInterface(first, &kProtocolB, &b1), EFI_SUCCESS);
  EXPECT_EQ(bs->HandleProtocol(first, &kProtocolB, &found), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->LocateProtocol(&kProtocolB, nullptr, &found), EFI_NOT_FOUND);
  EXPECT_EQ(found, nullptr);

  // Reinstallation replaces the interface in place.
  EXPECT_EQ(bs->ReinstallProtocolInterface(second, &kProtocolA, &a1, &b1), EFI_NOT_FOUND);
  EXPECT_EQ(bs->ReinstallProtocolInterface(second, &kProtocolA, &a2, &b1), EFI_SUCCESS);
  EXPECT_EQ(bs->LocateProtocol(&kProtocolA, nullptr, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &b1);
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(DxeCoreTest, ProtocolNotifyFiresForEachLaterInstallationOnly) {
  Install(kProtocolA, &a1);  // before the registration: never reported
  VOID *registration = nullptr;
  Probe probe{&log, "notify", nullptr};
  std::vector<void *> seen;
  probe.action = [&](EFI_EVENT) {
    VOID *interface = nullptr;
    while (bs->LocateProtocol(&kProtocolA, registration, &interface) == EFI_SUCCESS) {
      seen.push_back(interface);
    }
  };
  EFI_EVENT event = NewEvent(probe, TPL_CALLBACK);
  ASSERT_EQ(bs->RegisterProtocolNotify(&kProtocolA, event, &registration), EFI_SUCCESS);
  EXPECT_TRUE(log.empty());

  Install(kProtocolB, &b1);  // another protocol
  EXPECT_TRUE(log.empty());
  EFI_HANDLE handle = Install(kProtocolA, &a2);
  EXPECT_EQ(log, std::vector<std::string>{"notify@8"});
  EXPECT_EQ(seen, std::vector<void *>{&a2});

  // Reinstallation counts as an installation.
  EXPECT_EQ(bs->ReinstallProtocolInterface(handle, &kProtocolA, &a2, &b1), EFI_SUCCESS);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(seen, (std::vector<void *>{&a2, &b1}));

  // Two installations while notifications are held back: one notification,
  // both interfaces handed out.
  EFI_TPL old = bs->RaiseTPL(TPL_NOTIFY);
  Install(kProtocolA, &a1);
  Install(kProtocolA, &a2);
  EXPECT_EQ(log.size(), 2u);
  bs->RestoreTPL(old);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_EQ(seen, (std::vector<void *>{&a2, &b1, &a1, &a2}));
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(DxeCoreTest, NotificationsRunByTplAndAreQueuedOnce) {
  Probe callback1{&log, "cb1", nullptr}, callback2{&log, "cb2", nullptr};
  Probe notify{&log, "notify", nullptr};
  EFI_EVENT cb1 = NewEvent(callback1, TPL_CALLBACK);
  EFI_EVENT cb2 = NewEvent(callback2, TPL_CALLBACK);
  EFI_EVENT high = NewEvent(notify, TPL_NOTIFY);

  // Below the event's TPL the notification runs inside SignalEvent.
  EXPECT_EQ(bs->SignalEvent(cb1), EFI_SUCCESS);
  EXPECT_EQ(log, std::vector<std::string>{"cb1@8"});
  log.clear();

  // At or above it, it waits for the TPL to drop; higher TPL first, signal
  // order within a TPL, a repeated signal queues nothing more.
  EFI_TPL old = bs->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(old, TPL_APPLICATION);
  bs->SignalEvent(cb2);
  bs->SignalEvent(cb1);
  bs->SignalEvent(cb2);
  EXPECT_TRUE(log.empty());
  bs->SignalEvent(high);  // above the current TPL: runs at once
  EXPECT_EQ(log, std::vector<std::string>{"notify@16"});
  bs->RaiseTPL(TPL_NOTIFY);
  bs->SignalEvent(high);
  bs->RestoreTPL(TPL_CALLBACK);
  EXPECT_EQ(log, (std::vector<std::string>{"notify@16", "notify@16"}));
  bs->RestoreTPL(old);
  EXPECT_EQ(log, (std::vector<std::string>{"notify@16", "notify@16", "cb2@8", "cb1@8"}));
  EXPECT_EQ(core.CurrentTpl(), TPL_APPLICATION);

  // A notification signalling an event of its own TPL: that one runs after it
  // returns, not inside it.
  log.clear();
  callback1.action = [&](EFI_EVENT) {
    bs->SignalEvent(cb2);
    log.push_back("cb1 done");
  };
  bs->SignalEvent(cb1);
  EXPECT_EQ(log, (std::vector<std::string>{"cb1@8", "cb1 done", "cb2@8"}));
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(DxeCoreTest, CloseEventTakesItsNotificationsAlong) {
  // Closed from inside its own notify function.
  Probe self{&log, "self", nullptr};
  self.action = [&](EFI_EVENT event) { EXPECT_EQ(bs->CloseEvent(event), EFI_SUCCESS); };
  EFI_EVENT closing = NewEvent(self, TPL_CALLBACK);
  VOID *registration = nullptr;
  ASSERT_EQ(bs->RegisterProtocolNotify(&kProtocolA, closing, &registration), EFI_SUCCESS);
  Install(kProtocolA, &a1);
  Install(kProtocolA, &a2);
  EXPECT_EQ(log, std::vector<std::string>{"self@8"});
  EXPECT_FALSE(core.IsEventOpen(closing));
  EXPECT_EQ(core.NotifyRegistrationCount(kProtocolA), 0u);

  // Closed while its notification is pending: it never runs.
  Probe pending{&log, "pending", nullptr};
  EFI_EVENT queued = NewEvent(pending, TPL_CALLBACK);
  EFI_TPL old = bs->RaiseTPL(TPL_NOTIFY);
  bs->SignalEvent(queued);
  EXPECT_EQ(bs->CloseEvent(queued), EFI_SUCCESS);
  bs->RestoreTPL(old);
  EXPECT_EQ(log, std::vector<std::string>{"self@8"});
  EXPECT_TRUE(core.Errors().empty());

  // A closed event is a stale handle.
  EXPECT_EQ(bs->SignalEvent(queued), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->CloseEvent(closing), EFI_INVALID_PARAMETER);
  EXPECT_EQ(core.Errors().size(), 2u);
}

TEST_F(DxeCoreTest, EventGroupsAndReadyToBoot) {
  Probe first{&log, "first", nullptr}, second{&log, "second", nullptr};
  Probe other{&log, "other", nullptr}, closed{&log, "closed", nullptr};
  NewGroupEvent(first, TPL_CALLBACK, gEfiEventReadyToBootGuid);
  EFI_EVENT gone = NewGroupEvent(closed, TPL_CALLBACK, gEfiEventReadyToBootGuid);
  EFI_EVENT member = NewGroupEvent(second, TPL_NOTIFY, gEfiEventReadyToBootGuid);
  NewGroupEvent(other, TPL_CALLBACK, kGroup);
  bs->CloseEvent(gone);

  core.SignalReadyToBoot();
  EXPECT_EQ(log, (std::vector<std::string>{"second@16", "first@8"}));

  // Signalling one member signals the whole group.
  log.clear();
  EXPECT_EQ(bs->SignalEvent(member), EFI_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"second@16", "first@8"}));
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(DxeCoreTest, EventCreationChecksItsArguments) {
  Probe probe{&log, "p", nullptr};
  EFI_EVENT event = nullptr;
  struct Case {
    UINT32 type;
    EFI_TPL tpl;
    EFI_EVENT_NOTIFY notify;
    EFI_STATUS expected;
  } cases[] = {
      {EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, EFI_SUCCESS},
      {EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr, EFI_INVALID_PARAMETER},
      {EVT_NOTIFY_SIGNAL, TPL_APPLICATION, RecordNotify, EFI_INVALID_PARAMETER},
      {EVT_NOTIFY_SIGNAL, TPL_HIGH_LEVEL, RecordNotify, EFI_INVALID_PARAMETER},
      {EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT, TPL_CALLBACK, RecordNotify, EFI_INVALID_PARAMETER},
      {0x00000001, TPL_CALLBACK, RecordNotify, EFI_INVALID_PARAMETER},
      {0, 0, nullptr, EFI_SUCCESS},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(bs->CreateEvent(c.type, c.tpl, c.notify, &probe, &event), c.expected)
        << std::hex << c.type << " tpl " << c.tpl;
  }
  EXPECT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, &probe, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->CreateEventEx(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_CALLBACK, RecordNotify, &probe,
                              &kGroup, &event),
            EFI_INVALID_PARAMETER);
}

TEST_F(DxeCoreTest, PoolRecordsTypesAndCatchesBadFrees) {
  VOID *boot = nullptr;
  VOID *runtime = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 24, &boot), EFI_SUCCESS);
  ASSERT_EQ(bs->AllocatePool(EfiRuntimeServicesData, 16, &runtime), EFI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(boot) % 8, 0u);
  std::vector<sim::PoolBlock> live = core.LiveAllocations();
  ASSERT_EQ(live.size(), 2u);
  EXPECT_EQ(live[0].address, boot);
  EXPECT_EQ(live[0].size, 24u);
  EXPECT_EQ(live[0].type, EfiBootServicesData);
  EXPECT_EQ(live[1].type, EfiRuntimeServicesData);

  std::memset(boot, 0x5A, 24);
  EXPECT_EQ(bs->FreePool(boot), EFI_SUCCESS);
  ASSERT_EQ(core.FreedBlocks().size(), 1u);
  EXPECT_EQ(core.FreedBlocks()[0].contents, std::vector<uint8_t>(24, 0x5A));
  EXPECT_TRUE(core.Errors().empty());

  int stack_object = 0;
  EXPECT_EQ(bs->FreePool(boot), EFI_INVALID_PARAMETER);  // double free
  EXPECT_EQ(bs->FreePool(static_cast<UINT8 *>(runtime) + 8), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->FreePool(&stack_object), EFI_INVALID_PARAMETER);
  ASSERT_EQ(core.Errors().size(), 3u);
  EXPECT_NE(core.Errors()[0].find("double free"), std::string::npos);
  EXPECT_NE(core.Errors()[1].find("inside"), std::string::npos);
  EXPECT_NE(core.Errors()[2].find("not allocated"), std::string::npos);
  EXPECT_EQ(core.LiveAllocations().size(), 1u);

  VOID *buffer = nullptr;
  EXPECT_EQ(bs->AllocatePool(EfiConventionalMemory, 8, &buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->AllocatePool(EfiMaxMemoryType, 8, &buffer), EFI_INVALID_PARAMETER);
}

TEST_F(DxeCoreTest, FaultInjection) {
  // The second AllocatePool from now fails once.
  core.FailNthCall(Service::AllocatePool, 2, EFI_OUT_OF_RESOURCES);
  VOID *buffer = &a1;
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &buffer), EFI_SUCCESS);
  bs->FreePool(buffer);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &buffer), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_TRUE(core.CallsOf(Service::AllocatePool)[1].injected);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &buffer), EFI_SUCCESS);
  bs->FreePool(buffer);

  // Every call: a failing CloseEvent leaves the event open, a failing
  // installation installs nothing.
  Probe probe{&log, "p", nullptr};
  EFI_EVENT event = NewEvent(probe, TPL_CALLBACK);
  core.FailEveryCall(Service::CloseEvent, EFI_DEVICE_ERROR);
  core.FailEveryCall(Service::InstallProtocolInterface, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(bs->CloseEvent(event), EFI_DEVICE_ERROR);
  EXPECT_EQ(bs->CloseEvent(event), EFI_DEVICE_ERROR);
  EXPECT_TRUE(core.IsEventOpen(event));
  EFI_HANDLE handle = nullptr;
  EXPECT_EQ(bs->InstallProtocolInterface(&handle, &kProtocolA, EFI_NATIVE_INTERFACE, &a1),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(core.InstallationCount(kProtocolA), 0u);

  core.ClearFaults(Service::CloseEvent);
  EXPECT_EQ(bs->CloseEvent(event), EFI_SUCCESS);
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(DxeCoreTest, TplMisuseIsReported) {
  bs->RaiseTPL(TPL_NOTIFY);
  bs->RaiseTPL(TPL_CALLBACK);  // lower than the current TPL
  VOID *buffer = nullptr;
  bs->RaiseTPL(TPL_HIGH_LEVEL);
  bs->AllocatePool(EfiBootServicesData, 8, &buffer);  // above its TPL limit
  bs->RestoreTPL(TPL_APPLICATION);
  bs->RestoreTPL(TPL_NOTIFY);  // higher than the current TPL
  bs->FreePool(buffer);
  EXPECT_EQ(core.Errors().size(), 3u);
  EXPECT_EQ(core.CurrentTpl(), TPL_APPLICATION);
}

EFI_HANDLE gSeenImage;
EFI_SYSTEM_TABLE *gSeenTable;
EFI_TPL gSeenTpl;

EFI_STATUS EFIAPI SampleEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gSeenImage = ImageHandle;
  gSeenTable = SystemTable;
  gSeenTpl = SystemTable->BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  SystemTable->BootServices->RestoreTPL(gSeenTpl);
  SystemTable->BootServices->Stall(1500);
  return EFI_ALREADY_STARTED;
}

EFI_STATUS EFIAPI EntryLeavingTplRaised(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  SystemTable->BootServices->RaiseTPL(TPL_CALLBACK);
  return EFI_SUCCESS;
}

TEST_F(DxeCoreTest, RunsEntryPointsAsTheDispatcher) {
  EFI_HANDLE image = nullptr;
  EXPECT_EQ(core.RunEntryPoint(SampleEntry, &image), EFI_ALREADY_STARTED);
  EXPECT_EQ(gSeenImage, image);
  EXPECT_EQ(gSeenTable, core.SystemTable());
  EXPECT_EQ(gSeenTpl, TPL_APPLICATION);
  VOID *loaded = nullptr;
  EXPECT_EQ(bs->HandleProtocol(image, &gEfiLoadedImageProtocolGuid, &loaded), EFI_SUCCESS);
  EXPECT_EQ(static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(loaded)->SystemTable, core.SystemTable());
  EXPECT_EQ(clock.StalledMicroseconds(), 1500u);
  EXPECT_EQ(clock.NowNanoseconds(), 1500000u);
  EXPECT_TRUE(core.Errors().empty());

  // A module that returns with the TPL raised is reported.
  EXPECT_EQ(core.RunEntryPoint(EntryLeavingTplRaised), EFI_SUCCESS);
  EXPECT_EQ(core.Errors().size(), 1u);
  EXPECT_EQ(core.CurrentTpl(), TPL_APPLICATION);
}

TEST_F(DxeCoreTest, ConfigurationTablesAndHobList) {
  EFI_SYSTEM_TABLE *st = core.SystemTable();
  EXPECT_EQ(st->NumberOfTableEntries, 0u);
  std::vector<uint8_t> hobs(8, 0);
  hobs[0] = 0xFF;
  hobs[1] = 0xFF;
  hobs[2] = 8;
  core.SetHobList(hobs);
  ASSERT_EQ(st->NumberOfTableEntries, 1u);
  EXPECT_TRUE(GuidEquals(&st->ConfigurationTable[0].VendorGuid, &gEfiHobListGuid));
  EXPECT_EQ(std::memcmp(st->ConfigurationTable[0].VendorTable, hobs.data(), 8), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(st->ConfigurationTable[0].VendorTable) % 8, 0u);

  EXPECT_EQ(bs->InstallConfigurationTable(&kProtocolA, &a1), EFI_SUCCESS);
  EXPECT_EQ(bs->InstallConfigurationTable(&kProtocolA, &a2), EFI_SUCCESS);
  ASSERT_EQ(st->NumberOfTableEntries, 2u);
  EXPECT_EQ(st->ConfigurationTable[1].VendorTable, &a2);
  EXPECT_EQ(bs->InstallConfigurationTable(&kProtocolA, nullptr), EFI_SUCCESS);
  EXPECT_EQ(bs->InstallConfigurationTable(&kProtocolA, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(st->NumberOfTableEntries, 1u);
}

TEST_F(DxeCoreTest, GetVariableHonoursDataSize) {
  const CHAR16 name[] = {'S', 'e', 't', 'u', 'p', 0};
  core.SetVariable(u"Setup", kProtocolA, 7, {1, 2, 3, 4});
  EFI_RUNTIME_SERVICES *rt = core.RuntimeServices();
  UINT8 data[8] = {};
  UINTN size = 2;
  UINT32 attributes = 0;
  EXPECT_EQ(rt->GetVariable(name, &kProtocolA, &attributes, &size, data), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(data[0], 0);
  size = sizeof(data);
  EXPECT_EQ(rt->GetVariable(name, &kProtocolA, &attributes, &size, data), EFI_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(attributes, 7u);
  EXPECT_EQ(data[3], 4);
  EXPECT_EQ(rt->GetVariable(name, &kProtocolB, &attributes, &size, data), EFI_NOT_FOUND);
  EXPECT_EQ(core.CallsOf(Service::GetVariable)[0].text, "Setup");
}

TEST_F(DxeCoreTest, CallRecordsCarryArguments) {
  Probe probe{&log, "p", nullptr};
  EFI_EVENT event = NewEvent(probe, TPL_CALLBACK);
  VOID *registration = nullptr;
  bs->RegisterProtocolNotify(&kProtocolB, event, &registration);
  const std::vector<sim::ServiceCall> &calls = core.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].service, Service::CreateEvent);
  EXPECT_EQ(calls[0].args[0], EVT_NOTIFY_SIGNAL);
  EXPECT_EQ(calls[0].args[1], TPL_CALLBACK);
  EXPECT_EQ(calls[0].args[2], reinterpret_cast<uintptr_t>(event));
  EXPECT_EQ(calls[1].service, Service::RegisterProtocolNotify);
  ASSERT_TRUE(calls[1].guid.has_value());
  EXPECT_TRUE(GuidEquals(&*calls[1].guid, &kProtocolB));
  EXPECT_EQ(calls[1].tpl, TPL_APPLICATION);
  EXPECT_EQ(calls[1].status, EFI_SUCCESS);
}

TEST(DxeCoreLifetime, TheNewestLiveCoreAnswers) {
  sim::SimClock clock;
  auto outer = std::make_unique<DxeCore>(clock);
  auto inner = std::make_unique<DxeCore>(clock);
  EXPECT_EQ(DxeCore::Active(), inner.get());
  outer.reset();  // destroyed out of order
  EXPECT_EQ(DxeCore::Active(), inner.get());
  inner->BootServices()->Stall(5);
  EXPECT_EQ(inner->CallCount(Service::Stall), 1u);
  inner.reset();
  EXPECT_EQ(DxeCore::Active(), nullptr);
}

}  // namespace
