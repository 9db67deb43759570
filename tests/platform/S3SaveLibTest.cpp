// The S3 save library against the simulated DXE core, configuration
// database and machine: the shared record and token 584, the ready-to-lock
// and ReadyToBoot events, the table check and the hand-over to SMM, every
// trap with its fall-back, and the tear-down of the events. Built with debug
// printing enabled, so the messages reach recording back-ends. The machine
// answers the back door, so every trap returns and the fall-back runs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "board/BoardHookDxe.h"
#include "debug/DebugLib.h"
#include "include/PcdTokens.h"
#include "include/S3SaveLib.h"
#include "platform/ErrorCodes.h"
#include "platform/LibraryStartup.h"
#include "platform/S3SaveLib.h"
#include "sim/dxe/DxeCore.h"
#include "sim/dxe/S3SaveTable.h"
#include "sim/dxe/SmmStandins.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/platform/DxePlatform.h"
#include "tests/debug/RecordingBackends.h"

namespace {

using sim::DxeCore;
using sim::Service;
using Texts = std::vector<std::string>;

// Messages as the formatter emits them (line ends become CR LF).
const std::string kAllocation = "S3LibPrivateData allocation\r\n";
const std::string kCallBack = "S3SaveCloseTableCallBack\r\n";
const std::string kNoTable = "mS3LibPrivateData is NULL\r\n";

class S3SaveLibTest : public ::testing::Test {
 protected:
  S3SaveLibTest() {
    // One back-end takes part, so each message is recorded once.
    recording::Reset();
    recording::gScript[1].Active = false;
    recording::gScript[2].Active = false;
    recording::gScript[3].Active = false;

    // The SMM communication buffer starts with stale bytes.
    std::memset(smmBuffer, 0xA5, sizeof(smmBuffer));
    pcd.Declare(PCD_TOKEN_SMM_COMMUNICATION_BUFFER, 8, reinterpret_cast<uintptr_t>(smmBuffer));
  }

  static Texts Messages() {
    Texts texts;
    for (const recording::WriteRecord &write : recording::gWrites) {
      texts.push_back(write.Bytes);
    }
    return texts;
  }
  std::vector<uint32_t> TrapCodes() { return machine.PostCodes().Values(0x80); }
  S3_LIB_PRIVATE_DATA *Record() const {
    return reinterpret_cast<S3_LIB_PRIVATE_DATA *>(
        static_cast<uintptr_t>(pcd.Value(PCD_TOKEN_S3_LIB_PRIVATE_DATA).value_or(0)));
  }
  // Starts the library, then gives it a sound table, as another module would.
  void StartWithTable(const sim::S3SaveTableLayout &layout = {}) {
    ASSERT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);
    ASSERT_NE(Record(), nullptr);
    Record()->TableBase = reinterpret_cast<uintptr_t>(table.Create(layout));
  }
  size_t CommunicateCount() const { return smm.Calls().size(); }

  // The library runs without the driver's entry: the services are set. The
  // back door answers, so a trap returns and the fall-back runs.
  sim::DxePlatform platform{sim::DxePlatformOptions().WithServicesSet().WithBackDoorAnswer(1)};
  sim::Machine &machine = platform.machine;
  DxeCore &core = platform.Core();
  sim::PcdDatabase &pcd = platform.pcd;
  EFI_HANDLE pcdHandle = platform.PcdHandle();
  sim::SmmCommunication smm;
  sim::SmmReadyToLock readyToLock;
  sim::S3SaveTableProvider table{core};
  alignas(8) uint8_t smmBuffer[48];
};

TEST_F(S3SaveLibTest, FirstStartCreatesSharesAndArmsTheRecord) {
  EXPECT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);

  // A zeroed 16-byte runtime record, published in token 584.
  const auto live = core.LiveAllocations();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].type, EfiRuntimeServicesData);
  EXPECT_EQ(live[0].size, sizeof(S3_LIB_PRIVATE_DATA));
  EXPECT_EQ(Record(), live[0].address);
  EXPECT_EQ(mS3LibPrivateData, Record());
  const uint8_t zero[16] = {};
  EXPECT_EQ(std::memcmp(Record(), zero, sizeof(zero)), 0);
  EXPECT_EQ(pcd.SetsOf(PCD_TOKEN_S3_LIB_PRIVATE_DATA).size(), 1u);
  EXPECT_TRUE(pcd.InvalidAccesses().empty());

  // The lock event: notify at TPL_CALLBACK, registered for ready-to-lock,
  // signalled once (finding nothing, it stays armed); the close event in the
  // ReadyToBoot group.
  ASSERT_NE(mBootScriptLockEvent, nullptr);
  ASSERT_NE(mCloseTableEvent, nullptr);
  EXPECT_TRUE(core.IsEventOpen(mBootScriptLockEvent));
  EXPECT_EQ(core.NotifyRegistrationCount(gEfiDxeSmmReadyToLockProtocolGuid), 1u);
  ASSERT_EQ(core.CallCount(Service::SignalEvent), 1u);
  EXPECT_EQ(core.CallsOf(Service::SignalEvent)[0].args[0],
            reinterpret_cast<uintptr_t>(mBootScriptLockEvent));
  for (const sim::EventInfo &event : core.OpenEvents()) {
    EXPECT_EQ(event.type, EVT_NOTIFY_SIGNAL);
    EXPECT_EQ(event.notify_tpl, TPL_CALLBACK);
    EXPECT_EQ(event.context, nullptr);
    if (event.event == mCloseTableEvent) {
      EXPECT_EQ(event.notify, S3SaveCloseTableCallBack);
      ASSERT_TRUE(event.group.has_value());
      EXPECT_TRUE(GuidEquals(&*event.group, &gEfiEventReadyToBootGuid));
    } else {
      EXPECT_EQ(event.notify, BootScriptLockNotify);
    }
  }
  EXPECT_EQ(core.OpenEvents().size(), 2u);
  EXPECT_EQ(Record()->BootScriptLocked, 0);
  EXPECT_EQ(Messages(), Texts{kAllocation});
  EXPECT_TRUE(TrapCodes().empty());
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(S3SaveLibTest, RecordSharedByAnEarlierModuleIsTakenAsItIs) {
  S3_LIB_PRIVATE_DATA shared{};
  pcd.Declare(PCD_TOKEN_S3_LIB_PRIVATE_DATA, 8, reinterpret_cast<uintptr_t>(&shared));

  EXPECT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(mS3LibPrivateData, &shared);
  EXPECT_TRUE(core.CallsOf(Service::AllocatePool).empty());
  EXPECT_TRUE(pcd.SetsOf(PCD_TOKEN_S3_LIB_PRIVATE_DATA).empty());
  EXPECT_TRUE(core.OpenEvents().empty());
  EXPECT_EQ(mBootScriptLockEvent, nullptr);
  EXPECT_EQ(mCloseTableEvent, nullptr);
  EXPECT_TRUE(Messages().empty());

  // The tear-down has nothing to close.
  RunLibraryTeardown(nullptr, nullptr);
  EXPECT_EQ(core.CallCount(Service::CloseEvent), 0u);
  EXPECT_TRUE(TrapCodes().empty());
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(S3SaveLibTest, ReadyToLockInstalledBeforeStartLocksAtOnce) {
  readyToLock.Install(core);
  EXPECT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);

  EXPECT_EQ(Record()->BootScriptLocked, 1);
  // The notification closed its event and cleared the handle, which is no
  // failure of the start-up.
  const auto closes = core.CallsOf(Service::CloseEvent);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].tpl, TPL_CALLBACK);
  EXPECT_FALSE(core.IsEventOpen(reinterpret_cast<EFI_EVENT>(closes[0].args[0])));
  EXPECT_EQ(mBootScriptLockEvent, nullptr);
  EXPECT_NE(mCloseTableEvent, nullptr);
  EXPECT_TRUE(TrapCodes().empty());

  // So the tear-down closes only the close event, and nothing twice.
  const EFI_EVENT closeEvent = mCloseTableEvent;
  RunLibraryTeardown(nullptr, nullptr);
  const auto teardownCloses = core.CallsOf(Service::CloseEvent);
  ASSERT_EQ(teardownCloses.size(), 2u);
  EXPECT_EQ(teardownCloses[1].args[0], reinterpret_cast<uintptr_t>(closeEvent));
  EXPECT_TRUE(core.OpenEvents().empty());
  EXPECT_TRUE(TrapCodes().empty());
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(S3SaveLibTest, ReadyToLockInstalledLaterLocksOnce) {
  ASSERT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);
  const EFI_EVENT lockEvent = mBootScriptLockEvent;
  EXPECT_EQ(Record()->BootScriptLocked, 0);

  readyToLock.Install(core);
  EXPECT_EQ(Record()->BootScriptLocked, 1);
  EXPECT_FALSE(core.IsEventOpen(lockEvent));
  EXPECT_EQ(mBootScriptLockEvent, nullptr);
  EXPECT_EQ(core.NotifyRegistrationCount(gEfiDxeSmmReadyToLockProtocolGuid), 0u);

  // Another installation finds no armed event.
  Record()->BootScriptLocked = 0;
  readyToLock.Install(core);
  EXPECT_EQ(Record()->BootScriptLocked, 0);
  EXPECT_EQ(core.CallCount(Service::CloseEvent), 1u);
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(S3SaveLibTest, SoundTableIsEndMarkedHandedToSmmAndFreed) {
  smm.Install(core);
  StartWithTable();
  S3_LIB_PRIVATE_DATA *record = Record();
  const uintptr_t tableAddress = static_cast<uintptr_t>(record->TableBase);

  core.SignalReadyToBoot();

  EXPECT_EQ(table.EndMark(), 0xFFFF);
  ASSERT_EQ(CommunicateCount(), 1u);
  const sim::CommunicateCall &call = smm.Calls()[0];
  EXPECT_EQ(call.self, smm.Protocol());
  EXPECT_EQ(call.buffer, smmBuffer);
  EXPECT_TRUE(call.size_given);
  EXPECT_EQ(call.size, 40u);

  // GUID, length 16, request 1, reserved 0, then the record's address (not
  // the table's); the stale bytes past the message are left alone.
  ASSERT_EQ(call.contents.size(), 40u);
  S3_SAVE_SMM_MESSAGE message;
  std::memcpy(&message, call.contents.data(), sizeof(message));
  EXPECT_TRUE(GuidEquals(&message.HeaderGuid, &gS3SaveSmmGuid));
  EXPECT_EQ(message.MessageLength, 16u);
  EXPECT_EQ(message.RequestCode, 1u);
  EXPECT_EQ(message.Reserved, 0u);
  EXPECT_EQ(message.PrivateData, reinterpret_cast<uintptr_t>(record));
  EXPECT_NE(message.PrivateData, tableAddress);
  EXPECT_EQ(smmBuffer[40], 0xA5);

  EXPECT_EQ(record->TableClosed, 1);
  EXPECT_EQ(record->TableBase, tableAddress);
  EXPECT_FALSE(table.IsLive());
  EXPECT_EQ(core.CallsOf(Service::FreePool).at(0).args[0], tableAddress);
  EXPECT_EQ(Messages(), (Texts{kAllocation, kCallBack}));
  EXPECT_TRUE(TrapCodes().empty());
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(S3SaveLibTest, ReadyToBootTwiceRunsTheCallbackOnce) {
  smm.Install(core);
  StartWithTable();
  core.SignalReadyToBoot();
  core.SignalReadyToBoot();
  EXPECT_EQ(CommunicateCount(), 1u);
  EXPECT_EQ(core.CallCount(Service::FreePool), 1u);
  EXPECT_EQ(Messages(), (Texts{kAllocation, kCallBack}));
  EXPECT_EQ(mCloseTableEvent, nullptr);
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(S3SaveLibTest, ReadyToBootWithoutTableOnlyReportsIt) {
  smm.Install(core);
  ASSERT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);
  recording::gWrites.clear();
  core.SignalReadyToBoot();
  EXPECT_EQ(Messages(), (Texts{kCallBack, kNoTable}));
  EXPECT_EQ(CommunicateCount(), 0u);
  EXPECT_EQ(Record()->TableClosed, 0);
  EXPECT_TRUE(TrapCodes().empty());
  EXPECT_TRUE(core.Errors().empty());
}

// A table that fails a check, or a hand-over that cannot happen: the trap
// code, the messages after the callback's own, and what was done to the
// table before the callback gave up.
struct CloseFailure {
  const char *name;
  sim::S3SaveTableLayout layout;
  bool bufferTokenSet;
  bool smmCommunication;
  uint32_t code;
  Texts messages;
  bool endMarked;
};

sim::S3SaveTableLayout WithSignature(uint32_t signature) {
  sim::S3SaveTableLayout layout;
  layout.signature = signature;
  return layout;
}
sim::S3SaveTableLayout WithMarker(uint32_t marker) {
  sim::S3SaveTableLayout layout;
  layout.boundary_marker = marker;
  return layout;
}

class S3SaveLibCloseFailure : public S3SaveLibTest,
                              public ::testing::WithParamInterface<CloseFailure> {};

TEST_P(S3SaveLibCloseFailure, TrapsReportsAndKeepsTheTable) {
  const CloseFailure &c = GetParam();
  if (!c.bufferTokenSet) {
    pcd.Declare(PCD_TOKEN_SMM_COMMUNICATION_BUFFER, 8, 0);
  }
  if (c.smmCommunication) {
    smm.Install(core);
  }
  StartWithTable(c.layout);
  recording::gWrites.clear();

  core.SignalReadyToBoot();

  EXPECT_EQ(TrapCodes(), std::vector<uint32_t>{c.code});
  Texts expected = {kCallBack};
  expected.insert(expected.end(), c.messages.begin(), c.messages.end());
  EXPECT_EQ(Messages(), expected);
  EXPECT_EQ(CommunicateCount(), 0u);
  EXPECT_EQ(Record()->TableClosed, 0);
  EXPECT_TRUE(table.IsLive());
  EXPECT_EQ(table.EndMark() == 0xFFFF, c.endMarked);
  EXPECT_TRUE(core.Errors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, S3SaveLibCloseFailure,
    ::testing::Values(
        CloseFailure{"Signature",
                     WithSignature(0x54335342),
                     true,
                     true,
                     ERROR_TRAP_S3_TABLE_SIGNATURE,
                     {"S3Lib table Signature check fail\r\n"},
                     false},
        CloseFailure{"BoundaryMarker",
                     WithMarker(0x01558845),
                     true,
                     true,
                     ERROR_TRAP_S3_TABLE_BOUNDARY,
                     {"S3Lib table boundary check fail\r\n"},
                     false},
        CloseFailure{"BufferTokenZero", {}, false, true, ERROR_TRAP_S3_SMM_BUFFER_TOKEN, {}, true},
        CloseFailure{"NoSmmCommunication",
                     {},
                     true,
                     false,
                     ERROR_TRAP_S3_SMM_COMMUNICATION,
                     {"S3SaveLib locate SmmCommunicationProtocol fail \r\n"},
                     true}),
    [](const ::testing::TestParamInfo<CloseFailure> &info) { return info.param.name; });

// A lookup of SMM communication that fails but leaves a usable-looking
// pointer behind; every other lookup reaches the core.
sim::SmmCommunication *gLeftBehind = nullptr;
EFI_STATUS EFIAPI LocateLeavingPointerBehind(const EFI_GUID *Protocol, VOID *Registration,
                                             VOID **Interface) {
  if (GuidEquals(Protocol, &gEfiSmmCommunicationProtocolGuid)) {
    *Interface = gLeftBehind->Protocol();
    return EFI_NOT_FOUND;
  }
  return DxeCore::Active()->LocateProtocolService(Protocol, Registration, Interface);
}

TEST_F(S3SaveLibTest, FailedSmmLookupIsNotCalledThroughWhateverItLeaves) {
  StartWithTable();
  EFI_BOOT_SERVICES services = *core.BootServices();
  services.LocateProtocol = LocateLeavingPointerBehind;
  gLeftBehind = &smm;
  gBS = &services;
  recording::gWrites.clear();

  S3SaveCloseTableCallBack(nullptr, nullptr);
  gBS = core.BootServices();

  EXPECT_EQ(TrapCodes(), std::vector<uint32_t>{ERROR_TRAP_S3_SMM_COMMUNICATION});
  EXPECT_EQ(Messages(), (Texts{kCallBack, "S3SaveLib locate SmmCommunicationProtocol fail \r\n"}));
  EXPECT_EQ(CommunicateCount(), 0u);
  EXPECT_EQ(Record()->TableClosed, 0);
  EXPECT_TRUE(table.IsLive());
}

// A device on the POST-code port that mends the table when a given trap code
// is shown, as someone at a debugger might: the check reads the field again.
class MendOnTrap final : public sim::IoDevice {
 public:
  MendOnTrap(uint32_t code, uint32_t *field, uint32_t value)
      : code_(code), field_(field), value_(value) {}
  uint32_t IoRead(uint16_t, unsigned width) override { return sim::WidthMask(width); }
  void IoWrite(uint16_t, unsigned, uint32_t value) override {
    if (value == code_) {
      std::memcpy(field_, &value_, sizeof(value_));
    }
  }

 private:
  uint32_t code_;
  uint32_t *field_;
  uint32_t value_;
};

// A field that fails its check, mended while the trap holds the processor.
struct MendedField {
  const char *name;
  sim::S3SaveTableLayout layout;
  uint32_t code;
  size_t offset;  // of the field in the table
  uint32_t value;
};

class S3SaveLibMendedTable : public S3SaveLibTest,
                             public ::testing::WithParamInterface<MendedField> {};

TEST_P(S3SaveLibMendedTable, CheckReadsTheFieldAgainAndPasses) {
  const MendedField &c = GetParam();
  smm.Install(core);
  StartWithTable(c.layout);
  auto *field = static_cast<uint32_t *>(table.Table()) + c.offset / 4;
  MendOnTrap mend(c.code, field, c.value);
  machine.AttachIo(0x80, 1, mend);

  core.SignalReadyToBoot();
  EXPECT_EQ(machine.Trace().IoWrites(0x80).size(), 1u);
  EXPECT_EQ(CommunicateCount(), 1u);
  EXPECT_EQ(Messages(), (Texts{kAllocation, kCallBack}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, S3SaveLibMendedTable,
    ::testing::Values(MendedField{"Signature", WithSignature(0), ERROR_TRAP_S3_TABLE_SIGNATURE, 0,
                                  S3_SAVE_TABLE_SIGNATURE},
                      MendedField{"BoundaryMarker", WithMarker(0), ERROR_TRAP_S3_TABLE_BOUNDARY,
                                  sim::S3SaveTableLayout{}.boundary_offset,
                                  S3_SAVE_TABLE_BOUNDARY_MARKER}),
    [](const ::testing::TestParamInfo<MendedField> &info) { return info.param.name; });

// At ReadyToBoot the table goes to SMM first; only then is it marked closed
// and freed.
TEST_F(S3SaveLibTest, TableIsClosedAndFreedOnlyAfterTheMessage) {
  StartWithTable();
  const void *tableAddress = table.Table();
  size_t callsAtCommunicate = 0;
  uint8_t closedAtCommunicate = 0xEE;
  bool liveAtCommunicate = false;
  smm.SetHandler([&](void *, UINTN *) {
    callsAtCommunicate = core.Calls().size();
    closedAtCommunicate = Record()->TableClosed;
    liveAtCommunicate = table.IsLive();
    return EFI_SUCCESS;
  });
  smm.Install(core);

  core.SignalReadyToBoot();
  ASSERT_EQ(CommunicateCount(), 1u);
  EXPECT_EQ(closedAtCommunicate, 0);
  EXPECT_TRUE(liveAtCommunicate);
  EXPECT_EQ(Record()->TableClosed, 1);
  // The free is the first service call after the message.
  const std::vector<sim::ServiceCall> &calls = core.Calls();
  ASSERT_GT(calls.size(), callsAtCommunicate);
  EXPECT_EQ(calls[callsAtCommunicate].service, Service::FreePool);
  EXPECT_EQ(calls[callsAtCommunicate].args[0], reinterpret_cast<uintptr_t>(tableAddress));
  EXPECT_EQ(core.CallCount(Service::FreePool), 1u);
}

// The processor check comes before the shared record ends the start-up.
TEST_F(S3SaveLibTest, SharedRecordDoesNotSkipTheMmioConfigurationCheck) {
  S3_LIB_PRIVATE_DATA shared{};
  pcd.Declare(PCD_TOKEN_S3_LIB_PRIVATE_DATA, 8, reinterpret_cast<uintptr_t>(&shared));
  machine.SetMsr(sim::Machine::kMsrMmioConfigBase, sim::Machine::kDefaultMmioConfigBase & ~1ull);

  EXPECT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(TrapCodes(), std::vector<uint32_t>{ERROR_TRAP_S3_MMIO_CONFIG_DISABLED});
  EXPECT_EQ(mS3LibPrivateData, &shared);
  EXPECT_TRUE(core.OpenEvents().empty());
}

// Every message is of the DEBUG_S3_SAVE class: a back-end whose filter
// admits only that bit gets them all, one whose filter admits every other
// bit gets none.
TEST_F(S3SaveLibTest, MessagesAreOfTheS3SaveClass) {
  struct Case {
    const char *name;
    UINT64 filter;
    Texts messages;
  };
  const Case cases[] = {
      {"only DEBUG_S3_SAVE", DEBUG_S3_SAVE, {kAllocation, kCallBack, kNoTable}},
      {"all but DEBUG_S3_SAVE", ~DEBUG_S3_SAVE, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    recording::gWrites.clear();
    recording::gScript[0].ReplaceFilter = true;
    recording::gScript[0].Filter = c.filter;
    mS3LibPrivateData = nullptr;
    pcd.Declare(PCD_TOKEN_S3_LIB_PRIVATE_DATA, 8, 0);

    ASSERT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);
    core.SignalReadyToBoot();
    EXPECT_EQ(Messages(), c.messages);
  }
}

// Start-up failures: the status, the trap codes in order, the messages, and
// how far the start-up got.
struct StartupFailure {
  const char *name;
  Service failing;  // Service::Count: none
  EFI_STATUS injected;
  bool database;
  bool mmioConfigEnabled;
  EFI_STATUS status;
  std::vector<uint32_t> codes;
  Texts messages;
  bool recordShared;
  bool lockArmed;
  bool closeArmed;
};

class S3SaveLibStartupFailure : public S3SaveLibTest,
                                public ::testing::WithParamInterface<StartupFailure> {};

TEST_P(S3SaveLibStartupFailure, TrapsReportsAndStopsWhereItMust) {
  const StartupFailure &c = GetParam();
  if (c.failing != Service::Count) {
    core.FailEveryCall(c.failing, c.injected);
  }
  if (!c.database) {
    ASSERT_EQ(core.UninstallProtocol(pcdHandle, gPcdProtocolGuid, pcd.Protocol()), EFI_SUCCESS);
  }
  if (!c.mmioConfigEnabled) {
    machine.SetMsr(sim::Machine::kMsrMmioConfigBase, sim::Machine::kDefaultMmioConfigBase & ~1ull);
  }

  EXPECT_EQ(S3SaveLibStartup(nullptr, nullptr), c.status);

  EXPECT_EQ(TrapCodes(), c.codes);
  EXPECT_EQ(Messages(), c.messages);
  EXPECT_EQ(Record() != nullptr, c.recordShared);
  EXPECT_EQ(mS3LibPrivateData, Record());
  EXPECT_EQ(core.LiveAllocations().size(), c.recordShared ? 1u : 0u);
  EXPECT_EQ(mBootScriptLockEvent != nullptr, c.lockArmed);
  EXPECT_EQ(mCloseTableEvent != nullptr, c.closeArmed);
  EXPECT_EQ(core.OpenEvents().size(), (c.lockArmed ? 1u : 0u) + (c.closeArmed ? 1u : 0u));
  EXPECT_EQ(core.NotifyRegistrationCount(gEfiDxeSmmReadyToLockProtocolGuid), c.lockArmed ? 1u : 0u);
  EXPECT_TRUE(core.Errors().empty());
}

const std::string kAllocateFail = "S3LibPrivateData allocate fail\r\n";
const std::string kLockEventFail = "S3SaveLib create BootScriptLock Event fail\r\n";
const std::string kCloseEventFail = "S3SaveLib create CloseTable Event fail\r\n";
const std::string kNoDatabase = "S3SaveLib locate PcdProtocol fail\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, S3SaveLibStartupFailure,
    ::testing::Values(StartupFailure{"MmioConfigDisabledGoesOn",
                                     Service::Count,
                                     0,
                                     true,
                                     false,
                                     EFI_SUCCESS,
                                     {ERROR_TRAP_S3_MMIO_CONFIG_DISABLED},
                                     {kAllocation},
                                     true,
                                     true,
                                     true},
                      StartupFailure{"NoPool",
                                     Service::AllocatePool,
                                     EFI_OUT_OF_RESOURCES,
                                     true,
                                     true,
                                     EFI_OUT_OF_RESOURCES,
                                     {ERROR_TRAP_S3_PRIVATE_DATA_POOL},
                                     {kAllocation, kAllocateFail},
                                     false,
                                     false,
                                     false},
                      StartupFailure{"LockEvent",
                                     Service::CreateEvent,
                                     EFI_OUT_OF_RESOURCES,
                                     true,
                                     true,
                                     EFI_UNSUPPORTED,
                                     {ERROR_TRAP_S3_BOOT_SCRIPT_LOCK_EVENT},
                                     {kAllocation, kLockEventFail},
                                     true,
                                     false,
                                     false},
                      StartupFailure{"CloseEventError",
                                     Service::CreateEventEx,
                                     EFI_OUT_OF_RESOURCES,
                                     true,
                                     true,
                                     EFI_UNSUPPORTED,
                                     {ERROR_TRAP_S3_CLOSE_TABLE_EVENT},
                                     {kAllocation, kCloseEventFail},
                                     true,
                                     true,
                                     false},
                      // A warning is no error: trapped, not reported, the start-up succeeds.
                      StartupFailure{"CloseEventWarning",
                                     Service::CreateEventEx,
                                     EFI_WARN_STALE_DATA,
                                     true,
                                     true,
                                     EFI_SUCCESS,
                                     {ERROR_TRAP_S3_CLOSE_TABLE_EVENT},
                                     {kAllocation},
                                     true,
                                     true,
                                     false},
                      // Without the database nothing can be shared: nothing is made, and
                      // the processor check still runs.
                      StartupFailure{"NoDatabase",
                                     Service::Count,
                                     0,
                                     false,
                                     false,
                                     EFI_UNSUPPORTED,
                                     {ERROR_TRAP_S3_MMIO_CONFIG_DISABLED},
                                     {kNoDatabase},
                                     false,
                                     false,
                                     false}),
    [](const ::testing::TestParamInfo<StartupFailure> &info) { return info.param.name; });

// The chain runs the library as its last step; the tear-down closes both
// events, the lock event first, and traps on each failed close.
TEST_F(S3SaveLibTest, TeardownClosesBothEventsLockFirst) {
  RunLibraryStartup(nullptr, core.SystemTable());
  const EFI_EVENT lockEvent = mBootScriptLockEvent;
  const EFI_EVENT closeEvent = mCloseTableEvent;
  ASSERT_NE(lockEvent, nullptr);
  ASSERT_NE(closeEvent, nullptr);

  RunLibraryTeardown(nullptr, nullptr);
  const auto closes = core.CallsOf(Service::CloseEvent);
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].args[0], reinterpret_cast<uintptr_t>(lockEvent));
  EXPECT_EQ(closes[1].args[0], reinterpret_cast<uintptr_t>(closeEvent));
  EXPECT_TRUE(core.OpenEvents().empty());
  EXPECT_EQ(mBootScriptLockEvent, nullptr);
  EXPECT_EQ(mCloseTableEvent, nullptr);
  // The record and its token stay.
  EXPECT_EQ(mS3LibPrivateData, Record());
  EXPECT_EQ(core.LiveAllocations().size(), 1u);
  EXPECT_TRUE(TrapCodes().empty());
  EXPECT_TRUE(core.Errors().empty());
}

TEST_F(S3SaveLibTest, TeardownTrapsOnEachFailedClose) {
  ASSERT_EQ(S3SaveLibStartup(nullptr, nullptr), EFI_SUCCESS);
  core.FailEveryCall(Service::CloseEvent, EFI_INVALID_PARAMETER);
  RunLibraryTeardown(nullptr, nullptr);
  EXPECT_EQ(core.CallCount(Service::CloseEvent), 2u);
  EXPECT_EQ(TrapCodes(), (std::vector<uint32_t>{ERROR_TRAP_TEARDOWN_BOOT_SCRIPT_LOCK_EVENT,
                                                ERROR_TRAP_TEARDOWN_CLOSE_TABLE_EVENT}));
}

}  // namespace
