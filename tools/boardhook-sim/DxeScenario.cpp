#include "DxeScenario.h"

#include "board/BoardHookDxe.h"
#include "include/BoardHookProtocol.h"
#include "include/PcdTokens.h"
#include "include/S3SaveLib.h"
#include "sim/core/EfiText.h"
#include "sim/core/FirmwareCall.h"

namespace bootsim {

DxeEvents RunDxeScenario(DxeSetup &setup) {
  const Board &board = setup.board;
  sim::DxeCore &core = setup.core;
  DxeTimeline &timeline = *setup.timeline;
  DxeEvents events;
  using Hook4When = Hook4CallerDescription::When;
  if (board.hook4.when == Hook4When::Never) {
    events.hook4["reason"] = "the board's caller never calls it";
  }

  auto callHook4 = [&] {
    // A platform module calls the hook as callers must: only when the
    // member is there.
    auto *hooks = static_cast<BOARD_HOOK_PROTOCOL *>(core.FindProtocol(gBoardHookProtocolGuid));
    if (hooks != nullptr && hooks->Hook4 != nullptr) {
      timeline.StepStarts();
      timeline.Hook4Starts(setup.first.bytes, setup.second.bytes);
      const EFI_STATUS status =
          sim::CallFirmware(hooks->Hook4, setup.first.bytes.data(), setup.second.bytes.data());
      timeline.Hook4Ends();
      events.hook4 = {{"called", true}, {"status", sim::StatusTo64(status)}};
      events.reached.push_back("hook4");
    } else {
      events.hook4 = {
          {"called", false},
          {"reason", hooks == nullptr ? "BOARD_HOOK_PROTOCOL is not installed" : "Hook4 is NULL"}};
    }
  };

  events.outcome = setup.machine.Run([&] {
    timeline.StepStarts();
    if (setup.image != nullptr) {
      const sim::LoadedImageArea area = setup.image->Area();
      events.entryStatus =
          sim::StatusTo64(core.RunEntryPoint(setup.image->Entry(), nullptr, &area));
    } else {
      events.entryStatus = sim::StatusTo64(core.RunEntryPoint(BoardHookDxeImageEntry));
    }
    events.reached.push_back("entry");
    // Another module of the boot fills the shared record's table.
    if (board.s3.table && !board.s3.recordByEarlierModule) {
      const uint64_t address = setup.pcd.Value(PCD_TOKEN_S3_LIB_PRIVATE_DATA).value_or(0);
      if (IsLivePool(core, address, sizeof(S3_LIB_PRIVATE_DATA))) {
        reinterpret_cast<S3_LIB_PRIVATE_DATA *>(address)->TableBase =
            reinterpret_cast<uintptr_t>(setup.tables.Create(setup.layout));
      }
    }
    if (board.hook4.when == Hook4When::BeforeSetupTrigger) callHook4();
    if (board.modules.setupSuppressTrigger) {
      timeline.StepStarts();
      setup.trigger.Install(core);
      events.reached.push_back("setup-suppress-trigger");
    }
    if (board.hook4.when == Hook4When::AfterSetupTrigger) callHook4();
    if (board.modules.smmReadyToLock) {
      timeline.StepStarts();
      setup.readyToLock.Install(core);
      events.reached.push_back("smm-ready-to-lock");
    }
    timeline.StepStarts();
    core.SignalReadyToBoot();
    events.reached.push_back("ready-to-boot");
  });
  setup.StopMarks();
  return events;
}

}  // namespace bootsim
