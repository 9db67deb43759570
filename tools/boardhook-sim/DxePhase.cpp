#include "DxePhase.h"

#include <cstring>
#include <memory>

#include "BoardMachine.h"
#include "Explain.h"
#include "Hook4Caller.h"
#include "Subprocess.h"
#include "board/BoardHookDxe.h"
#include "board/SetupSuppress.h"
#include "debug/DebugConfig.h"
#include "debug/RedirectBackend.h"
#include "include/BoardHookProtocol.h"
#include "include/HdtOutHeader.h"
#include "include/HeapBufferList.h"
#include "include/PcdTokens.h"
#include "include/S3SaveLib.h"
#include "sim/core/EfiText.h"
#include "sim/core/FirmwareCall.h"
#include "sim/core/FixedMemory.h"
#include "sim/cpu/DxeImageRun.h"
#include "sim/dxe/DxeCore.h"
#include "sim/dxe/HobListBuilder.h"
#include "sim/dxe/S3SaveTable.h"
#include "sim/dxe/SetupStandins.h"
#include "sim/dxe/SmmStandins.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/platform/DxePlatform.h"
#include "uefi/Pcd.h"

namespace bootsim {

namespace {

// The marks of the phase running in this process, for the setup module's
// SuppressItem, which carries no context of its own.
DxeTimeline *gTimeline = nullptr;

EFI_STATUS EFIAPI SuppressItemMarked(const CHAR8 *FormSetName, UINT16 ItemNumber) {
  if (gTimeline != nullptr) gTimeline->ItemSuppressed();
  return sim::SetupItemSuppress::SuppressItem(FormSetName, ItemNumber);
}

// The objects an address in the phase's records may point into: the
// driver's image, the pool blocks, the devices' BAR windows.
AddressMap KnownObjects(const Board &board, const sim::DxeCore &core, const std::string &image,
                        const sim::LoadedImageArea *area) {
  AddressMap map(sim::Machine::kEcamBase, sim::Machine::kEcamSize);
  if (area != nullptr) map.AddArea(area->base, area->size, image);
  std::vector<sim::PoolBlock> blocks = core.LiveAllocations();
  for (const sim::FreedBlock &freed : core.FreedBlocks()) blocks.push_back(freed.block);
  for (const sim::PoolBlock &block : blocks) {
    map.AddArea(reinterpret_cast<uintptr_t>(block.address), block.size,
                "pool block " + std::to_string(block.serial));
  }
  for (const DeviceDescription &device : board.devices) {
    for (const Bar &bar : device.bars) {
      map.AddArea(bar.base & ~uint64_t{0xF}, bar.size,
                  "BAR" + std::to_string(bar.index) + " of " + device.address.Text());
    }
  }
  return map;
}
std::string ImageName(const ImageFile &image) {
  const size_t slash = image.path.find_last_of('/');
  return slash == std::string::npos ? image.path : image.path.substr(slash + 1);
}

std::vector<uint8_t> BuildHobList(const Board &board) {
  sim::HobListBuilder builder;
  for (const HeapBufferDescription &buffer : board.heapBuffers) {
    HEAP_BUFFER_HEADER header = {};
    header.Signature = buffer.signature;
    header.Handle = buffer.handle;
    header.Size = static_cast<UINT32>(buffer.data.size());
    header.MemoryKind = buffer.memoryKind;
    header.Active = buffer.active;
    std::vector<uint8_t> data(sizeof header);
    std::memcpy(data.data(), &header, sizeof header);
    data.insert(data.end(), buffer.data.begin(), buffer.data.end());
    builder.AddGuidHob(gHeapBufferHobGuid, data);
  }
  builder.AddEnd();
  return builder.Bytes();
}

Json TokenAccess(const sim::PcdAccess &access) {
  return {
      {"phase", access.phase},   {"operation", access.operation},
      {"token", access.token},   {"value", access.value},
      {"status", access.status}, {"status_text", sim::StatusText(sim::StatusFrom64(access.status))},
      {"valid", access.valid}};
}

// Texts the port-redirect back-end framed with its marker words.
Json RedirectTexts(const sim::PortLog &log) {
  Json texts = Json::array();
  std::string text;
  bool inside = false;
  for (const sim::PortWrite &write : log.Writes()) {
    if (write.port != DebugRedirectPort) continue;
    if (write.width == 32 && write.value == REDIRECT_START_MARKER) {
      inside = true;
      text.clear();
    } else if (write.width == 32 && write.value == REDIRECT_END_MARKER && inside) {
      texts.push_back(text);
      inside = false;
    } else if (inside && write.width == 8) {
      text.push_back(static_cast<char>(write.value));
    }
  }
  return texts;
}

// Whether [address, address + size) lies inside one live pool block: the
// report reads records whose addresses the driver left behind, and reads
// nothing it cannot vouch for.
bool IsLivePool(const sim::DxeCore &core, uint64_t address, size_t size) {
  for (const sim::PoolBlock &block : core.LiveAllocations()) {
    const auto base = reinterpret_cast<uintptr_t>(block.address);
    if (address >= base && address - base <= block.size && size <= block.size - (address - base)) {
      return true;
    }
  }
  return false;
}

// The debug-tool header as the published heap-buffer list holds it, if it
// does.
Json HdtHeader(const sim::DxeCore &core) {
  auto *record =
      static_cast<HEAP_BUFFER_LIST_PROTOCOL *>(core.FindProtocol(gHeapBufferListProtocolGuid));
  if (record == nullptr) return nullptr;
  LIST_ENTRY *head = &record->ListHead;
  LIST_ENTRY *link = head->ForwardLink;
  for (size_t steps = 0; link != head && steps < 4096; steps++) {
    const auto address = reinterpret_cast<uintptr_t>(link);
    if (!IsLivePool(core, address, sizeof(HEAP_BUFFER_NODE))) return nullptr;
    auto *node = reinterpret_cast<HEAP_BUFFER_NODE *>(link);
    const HEAP_BUFFER_HEADER &header = node->Header;
    if (header.Signature == HEAP_BUFFER_SIGNATURE && header.Handle == HDT_OUT_BUFFER_HANDLE &&
        header.Size >= HDT_OUT_DATA_OFFSET &&
        IsLivePool(core, address, sizeof(HEAP_BUFFER_NODE) + header.Size)) {
      HDT_OUT_HEADER hdt;
      std::memcpy(&hdt, HeapBufferNodeData(node), sizeof hdt);
      if (hdt.Signature != HDT_OUT_SIGNATURE) return nullptr;
      const size_t held =
          std::min<size_t>({hdt.WriteIndex, hdt.BufferSize, header.Size - HDT_OUT_DATA_OFFSET});
      const uint8_t *text = HeapBufferNodeData(node) + HDT_OUT_DATA_OFFSET;
      return {{"buffer_size", hdt.BufferSize},
              {"write_index", hdt.WriteIndex},
              {"print_enable", hdt.PrintEnable},
              {"buffered_mode", hdt.BufferedMode},
              {"buffered_text", std::string(reinterpret_cast<const char *>(text), held)}};
    }
    link = link->ForwardLink;
  }
  return nullptr;
}

Json S3Report(const Board &board, const sim::DxeCore &core, sim::PcdDatabase &pcd,
              const sim::SmmCommunication &smm, const sim::S3SaveTableProvider &tables,
              uint64_t smmBuffer) {
  Json s3 = Json::object();
  const uint64_t recordAddress = pcd.Value(PCD_TOKEN_S3_LIB_PRIVATE_DATA).value_or(0);
  s3["record"] = recordAddress;
  s3["record_readable"] = IsLivePool(core, recordAddress, sizeof(S3_LIB_PRIVATE_DATA));
  if (s3["record_readable"].get<bool>()) {
    const auto *record = reinterpret_cast<const S3_LIB_PRIVATE_DATA *>(recordAddress);
    s3["boot_script_locked"] = record->BootScriptLocked != 0;
    s3["table_closed"] = record->TableClosed != 0;
    s3["table_base"] = record->TableBase;
  }
  s3["smm_buffer"] = smmBuffer;
  Json messages = Json::array();
  for (const sim::CommunicateCall &call : smm.Calls()) {
    Json message = {{"buffer", reinterpret_cast<uintptr_t>(call.buffer)},
                    {"size", call.size},
                    {"bytes", HexBytes(call.contents.data(), call.contents.size())}};
    if (call.contents.size() >= sizeof(S3_SAVE_SMM_MESSAGE)) {
      S3_SAVE_SMM_MESSAGE sent;
      std::memcpy(&sent, call.contents.data(), sizeof sent);
      message["header_guid"] = sim::GuidText(sent.HeaderGuid);
      message["message_length"] = sent.MessageLength;
      message["request_code"] = sent.RequestCode;
      message["record"] = sent.PrivateData;
    }
    messages.push_back(message);
  }
  s3["messages"] = messages;
  if (board.s3.table) {
    Json table = {{"created", tables.Table() != nullptr}};
    if (tables.Table() != nullptr) {
      table["address"] = reinterpret_cast<uintptr_t>(tables.Table());
      table["freed"] = !tables.IsLive();
      const auto mark = tables.EndMark();
      table["end_mark"] = mark ? Json(*mark) : Json(nullptr);
    }
    s3["table"] = table;
  } else {
    s3["table"] = nullptr;
  }
  return s3;
}

}  // namespace

Json RunDxePhase(const DxeInput &input) {
  const Board &board = *input.board;
  // Pool at fixed addresses, so the records the report shows (token 584,
  // the S3 table, the SMM message) have the same address on every boot.
  const sim::FixedMemory pool(sim::kPoolArenaBase, sim::kPoolArenaSize);
  sim::DxePlatform platform(
      sim::DxePlatformOptions().WithoutSystemTokens().WithPoolArena({pool.Base(), pool.Size()}));
  sim::Machine &machine = platform.machine;
  sim::PcdDatabase &pcd = platform.pcd;
  sim::DxeCore &core = platform.Core();
  DescribeBoardHardware(machine, board);
  for (size_t index = 0; index < input.cmos.size(); index++) {
    machine.Cmos().Set(static_cast<uint8_t>(index), input.cmos[index]);
  }
  const uint8_t counterBefore = machine.Cmos().Get(LINK_RETRY_CMOS_INDEX);

  // The database continues where the PEI phase left it: the two phases meet
  // only here.
  std::string error;
  if (!pcd.Restore(input.handOver, &error)) {
    throw SimulatorError("the PEI phase's hand-over cannot be restored: " + error);
  }
  const size_t peiAccesses = pcd.Accesses().size();

  std::unique_ptr<sim::DxeImageRun> image;
  if (input.image != nullptr) {
    image = std::make_unique<sim::DxeImageRun>(ImageName(*input.image), input.image->bytes, pool);
  }
  core.SetResetHandler([&](EFI_RESET_TYPE, EFI_STATUS) { machine.ResetBoard(); });
  core.SetHobList(BuildHobList(board));

  // Marks for the explanations: every token access, every SuppressItem
  // call, the platform's steps.
  DxeTimeline timeline(machine, pcd, core);
  gTimeline = &timeline;
  pcd.SetObserver([&](const sim::PcdAccess &) { timeline.TokenAccessed(); });

  // Other modules' interfaces present before the driver starts.
  sim::SetupItemSuppress setupItems;
  setupItems.Protocol()->SuppressItem = SuppressItemMarked;
  if (board.modules.setupItemSuppress) setupItems.Install(core);
  sim::SmmCommunication smm;
  if (board.modules.smmCommunication) smm.Install(core);
  sim::S3SaveTableProvider tables(core);
  sim::S3SaveTableLayout layout;
  layout.size = board.s3.size;
  layout.signature = board.s3.signature;
  layout.boundary_offset = board.s3.boundaryOffset;
  layout.boundary_marker = board.s3.boundaryMarker;
  layout.end_offset = board.s3.endOffset;

  // Values that other modules put into the database before the driver runs
  // (not calls of the driver, so not in the access record).
  uint64_t smmBuffer = 0;
  if (board.s3.smmBufferSize != 0) {
    void *buffer = core.AllocatePoolForPlatform(EfiRuntimeServicesData, board.s3.smmBufferSize);
    smmBuffer = reinterpret_cast<uintptr_t>(buffer);
    pcd.Declare(PCD_TOKEN_SMM_COMMUNICATION_BUFFER, 8, smmBuffer);
  }
  if (board.s3.recordByEarlierModule) {
    auto *record = static_cast<S3_LIB_PRIVATE_DATA *>(
        core.AllocatePoolForPlatform(EfiRuntimeServicesData, sizeof(S3_LIB_PRIVATE_DATA)));
    std::memset(record, 0, sizeof *record);
    if (board.s3.table) record->TableBase = reinterpret_cast<uintptr_t>(tables.Create(layout));
    pcd.Declare(PCD_TOKEN_S3_LIB_PRIVATE_DATA, 8, reinterpret_cast<uintptr_t>(record));
  }

  sim::SetupSuppressTrigger trigger;
  sim::SmmReadyToLock readyToLock;
  // The platform module that calls Hook4, with the board's buffers.
  ListBuffer first(board.hook4.first), second(board.hook4.second);
  using Hook4When = Hook4CallerDescription::When;
  Json reached = Json::array();
  Json entryStatus = nullptr;
  Json hook4 = {{"called", false}};
  if (board.hook4.when == Hook4When::Never) hook4["reason"] = "the board's caller never calls it";

  auto callHook4 = [&] {
    // A platform module calls the hook as callers must: only when the
    // member is there.
    auto *hooks = static_cast<BOARD_HOOK_PROTOCOL *>(core.FindProtocol(gBoardHookProtocolGuid));
    if (hooks != nullptr && hooks->Hook4 != nullptr) {
      timeline.StepStarts();
      timeline.Hook4Starts(first.bytes, second.bytes);
      const EFI_STATUS status =
          sim::CallFirmware(hooks->Hook4, first.bytes.data(), second.bytes.data());
      timeline.Hook4Ends();
      hook4 = {{"called", true}, {"status", sim::StatusTo64(status)}};
      reached.push_back("hook4");
    } else {
      hook4 = {
          {"called", false},
          {"reason", hooks == nullptr ? "BOARD_HOOK_PROTOCOL is not installed" : "Hook4 is NULL"}};
    }
  };

  const sim::RunOutcome outcome = machine.Run([&] {
    timeline.StepStarts();
    if (image != nullptr) {
      const sim::LoadedImageArea area = image->Area();
      entryStatus = sim::StatusTo64(core.RunEntryPoint(image->Entry(), nullptr, &area));
    } else {
      entryStatus = sim::StatusTo64(core.RunEntryPoint(BoardHookDxeImageEntry));
    }
    reached.push_back("entry");
    // Another module of the boot fills the shared record's table.
    if (board.s3.table && !board.s3.recordByEarlierModule) {
      const uint64_t address = pcd.Value(PCD_TOKEN_S3_LIB_PRIVATE_DATA).value_or(0);
      if (IsLivePool(core, address, sizeof(S3_LIB_PRIVATE_DATA))) {
        reinterpret_cast<S3_LIB_PRIVATE_DATA *>(address)->TableBase =
            reinterpret_cast<uintptr_t>(tables.Create(layout));
      }
    }
    if (board.hook4.when == Hook4When::BeforeSetupTrigger) callHook4();
    if (board.modules.setupSuppressTrigger) {
      timeline.StepStarts();
      trigger.Install(core);
      reached.push_back("setup-suppress-trigger");
    }
    if (board.hook4.when == Hook4When::AfterSetupTrigger) callHook4();
    if (board.modules.smmReadyToLock) {
      timeline.StepStarts();
      readyToLock.Install(core);
      reached.push_back("smm-ready-to-lock");
    }
    timeline.StepStarts();
    core.SignalReadyToBoot();
    reached.push_back("ready-to-boot");
  });

  pcd.SetObserver(nullptr);
  gTimeline = nullptr;
  const sim::LoadedImageArea imageArea = image != nullptr ? image->Area() : sim::LoadedImageArea{};
  Json explanations =
      ExplainDxe(timeline, outcome,
                 KnownObjects(board, core, input.image != nullptr ? ImageName(*input.image) : "",
                              image != nullptr ? &imageArea : nullptr));

  if (hook4["called"].get<bool>()) {
    hook4["first_list"] = MacList(first, 3);
    hook4["second_list"] = MacList(second, 0);
  }

  Json tokenSets = Json::array();
  Json invalid = Json::array();
  for (size_t index = peiAccesses; index < pcd.Accesses().size(); index++) {
    const sim::PcdAccess &access = pcd.Accesses()[index];
    if (access.IsSet()) tokenSets.push_back(TokenAccess(access));
    if (!access.valid) invalid.push_back(TokenAccess(access));
  }

  Json suppressed = Json::array();
  Json otherFormSets = Json::array();
  Json &because = explanations["suppressed"];
  for (size_t index = 0; index < because.size() && index < setupItems.Calls().size(); index++) {
    const sim::SuppressItemCall &call = setupItems.Calls()[index];
    because[index] = {
        {"form_set", call.form_set}, {"item", call.item}, {"because", because[index]}};
  }
  for (const sim::SuppressItemCall &call : setupItems.Calls()) {
    if (call.form_set == "Setup") {
      suppressed.push_back(call.item);
    } else {
      otherFormSets.push_back({{"form_set", call.form_set}, {"item", call.item}});
    }
  }

  Json postCodes = Json::array();
  for (const sim::PortWrite &write : machine.PostCodes().Writes()) {
    postCodes.push_back({{"port", write.port},
                         {"width", write.width},
                         {"value", write.value},
                         {"time_ns", write.timeNs}});
  }
  Json handOvers = Json::array();
  for (const sim::HandOver &handOver : machine.DebugTool().HandOvers()) {
    handOvers.push_back({{"edx", handOver.edx},
                         {"eax", handOver.eax},
                         {"ebx", handOver.ebx},
                         {"armed", handOver.armed}});
  }
  Json toolPortWrites = Json::array();
  for (const sim::PortWrite &write : machine.DebugTool().PortWrites().Writes()) {
    toolPortWrites.push_back(
        {{"port", write.port}, {"width", write.width}, {"value", write.value}});
  }
  Json stalls = Json::array();
  for (const sim::ServiceCall &call : core.CallsOf(sim::Service::Stall)) {
    stalls.push_back(call.args[0]);
  }

  std::array<uint8_t, 128> cmos;
  for (size_t index = 0; index < cmos.size(); index++) {
    cmos[index] = machine.Cmos().Get(static_cast<uint8_t>(index));
  }

  Json record = {
      {"outcome", ToJson(Summarize(outcome))},
      {"reached", reached},
      {"entry_status", entryStatus},
      {"token_sets", tokenSets},
      {"invalid_token_accesses", invalid},
      {"setup_items",
       {{"protocol_present", board.modules.setupItemSuppress},
        {"suppressed", suppressed},
        {"other_form_sets", otherFormSets}}},
      {"hook4", hook4},
      {"s3", S3Report(board, core, pcd, smm, tables, smmBuffer)},
      {"cmos_counter_before", counterBefore},
      {"cmos_counter_after", machine.Cmos().Get(LINK_RETRY_CMOS_INDEX)},
      {"post_codes", postCodes},
      {"debug_text",
       {{"port_redirect", RedirectTexts(machine.PostCodes())},
        {"uart", machine.Uart().TransmittedText()},
        {"debug_tool",
         {{"breakpoint_armed", machine.IoBreakpointArmed(0x99CC)},
          {"hand_overs", handOvers},
          {"port_writes", toolPortWrites},
          {"header", HdtHeader(core)}}}}},
      {"stalls", stalls},
      {"stalled_us", platform.clock.StalledMicroseconds()},
      {"time_ns", platform.clock.NowNanoseconds()},
      {"access_counts", AccessCounts(machine.Trace())},
      {"core_errors", core.Errors()},
      {"explanations", explanations},
      {"cmos", HexBytes(cmos.data(), cmos.size())},
  };
  if (input.trace) record["trace"] = TraceRecords(machine.Trace());
  return record;
}

Json RunDxePhaseIsolated(const DxeInput &input) {
  const ChildResult result = RunForked([&] { return RunDxePhase(input).dump(); });
  if (!result.Succeeded()) {
    throw SimulatorError("the DXE phase failed (" + result.EndText() + "): " + result.err);
  }
  try {
    return Json::parse(result.out);
  } catch (const std::exception &error) {
    throw SimulatorError(std::string("the DXE phase's record is unreadable: ") + error.what());
  }
}

}  // namespace bootsim
