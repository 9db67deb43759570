#include "DxeReport.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "board/SetupSuppress.h"
#include "debug/DebugConfig.h"
#include "debug/RedirectBackend.h"
#include "include/HdtOutHeader.h"
#include "include/HeapBufferList.h"
#include "include/PcdTokens.h"
#include "include/S3SaveLib.h"
#include "sim/core/EfiText.h"
#include "sim/machine/HardwareDebugTool.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"

namespace bootsim {

namespace {

// The objects an address in the phase's records may point into: the
// driver's image, the pool blocks, the devices' BAR windows.
AddressMap KnownObjects(const DxeSetup &setup) {
  AddressMap map(sim::Machine::kEcamBase, sim::Machine::kEcamSize);
  if (setup.image != nullptr) {
    const sim::LoadedImageArea area = setup.image->Area();
    map.AddArea(area.base, area.size, setup.imageName);
  }
  std::vector<sim::PoolBlock> blocks = setup.core.LiveAllocations();
  for (const sim::FreedBlock &freed : setup.core.FreedBlocks()) blocks.push_back(freed.block);
  for (const sim::PoolBlock &block : blocks) {
    map.AddArea(reinterpret_cast<uintptr_t>(block.address), block.size,
                "pool block " + std::to_string(block.serial));
  }
  for (const DeviceDescription &device : setup.board.devices) {
    for (const Bar &bar : device.bars) {
      map.AddArea(bar.base & ~uint64_t{0xF}, bar.size,
                  "BAR" + std::to_string(bar.index) + " of " + device.address.Text());
    }
  }
  return map;
}

Json TokenAccess(const sim::PcdAccess &access) {
  return {
      {"phase", access.phase},   {"operation", access.operation},
      {"token", access.token},   {"value", access.value},
      {"status", access.status}, {"status_text", sim::StatusText(sim::StatusFrom64(access.status))},
      {"valid", access.valid}};
}

// The DXE phase's token sets, and its accesses the database refused or cut.
struct TokenRecord {
  Json sets = Json::array();
  Json invalid = Json::array();
};

TokenRecord DxeTokenAccesses(const DxeSetup &setup) {
  TokenRecord tokens;
  const std::vector<sim::PcdAccess> &accesses = setup.pcd.Accesses();
  for (size_t index = setup.peiAccesses; index < accesses.size(); index++) {
    const sim::PcdAccess &access = accesses[index];
    if (access.IsSet()) tokens.sets.push_back(TokenAccess(access));
    if (!access.valid) tokens.invalid.push_back(TokenAccess(access));
  }
  return tokens;
}

// The SuppressItem calls: items of the form set "Setup", the others by form
// set. Each call's explanation in `because` gets the call it explains.
Json SetupItems(const DxeSetup &setup, Json &because) {
  const std::vector<sim::SuppressItemCall> &calls = setup.setupItems.Calls();
  for (size_t index = 0; index < because.size() && index < calls.size(); index++) {
    const sim::SuppressItemCall &call = calls[index];
    because[index] = {
        {"form_set", call.form_set}, {"item", call.item}, {"because", because[index]}};
  }
  Json suppressed = Json::array();
  Json otherFormSets = Json::array();
  for (const sim::SuppressItemCall &call : calls) {
    if (call.form_set == "Setup") {
      suppressed.push_back(call.item);
    } else {
      otherFormSets.push_back({{"form_set", call.form_set}, {"item", call.item}});
    }
  }
  return {{"protocol_present", setup.board.modules.setupItemSuppress},
          {"suppressed", suppressed},
          {"other_form_sets", otherFormSets}};
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

// The debug text on each back-end: the port-redirect texts, the UART, and
// what the hardware debug tool was handed.
Json DebugText(const DxeSetup &setup) {
  sim::Machine &machine = setup.machine;
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
  return {{"port_redirect", RedirectTexts(machine.PostCodes())},
          {"uart", machine.Uart().TransmittedText()},
          {"debug_tool",
           {{"breakpoint_armed", machine.IoBreakpointArmed(sim::HardwareDebugTool::kHandOverPort)},
            {"hand_overs", handOvers},
            {"port_writes", toolPortWrites},
            {"header", HdtHeader(setup.core)}}}};
}

// The S3 hand-off: the shared record, the messages sent to SMM, the table.
Json S3Report(const DxeSetup &setup) {
  const sim::DxeCore &core = setup.core;
  Json s3 = Json::object();
  const uint64_t recordAddress = setup.pcd.Value(PCD_TOKEN_S3_LIB_PRIVATE_DATA).value_or(0);
  s3["record"] = recordAddress;
  s3["record_readable"] = IsLivePool(core, recordAddress, sizeof(S3_LIB_PRIVATE_DATA));
  if (s3["record_readable"].get<bool>()) {
    const auto *record = reinterpret_cast<const S3_LIB_PRIVATE_DATA *>(recordAddress);
    s3["boot_script_locked"] = record->BootScriptLocked != 0;
    s3["table_closed"] = record->TableClosed != 0;
    s3["table_base"] = record->TableBase;
  }
  s3["smm_buffer"] = setup.smmBuffer;
  Json messages = Json::array();
  for (const sim::CommunicateCall &call : setup.smm.Calls()) {
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
  const sim::S3SaveTableProvider &tables = setup.tables;
  if (setup.board.s3.table) {
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

Json PostCodes(sim::Machine &machine) {
  Json postCodes = Json::array();
  for (const sim::PortWrite &write : machine.PostCodes().Writes()) {
    postCodes.push_back({{"port", write.port},
                         {"width", write.width},
                         {"value", write.value},
                         {"time_ns", write.timeNs}});
  }
  return postCodes;
}

Json Stalls(const sim::DxeCore &core) {
  Json stalls = Json::array();
  for (const sim::ServiceCall &call : core.CallsOf(sim::Service::Stall)) {
    stalls.push_back(call.args[0]);
  }
  return stalls;
}

// All 128 CMOS bytes as they stand after the phase.
std::string CmosBytes(sim::Machine &machine) {
  std::array<uint8_t, 128> cmos;
  for (size_t index = 0; index < cmos.size(); index++) {
    cmos[index] = machine.Cmos().Get(static_cast<uint8_t>(index));
  }
  return HexBytes(cmos.data(), cmos.size());
}

}  // namespace

Json DxePhaseRecord(DxeSetup &setup, const DxeEvents &events, bool trace) {
  sim::Machine &machine = setup.machine;
  Json explanations = ExplainDxe(*setup.timeline, events.outcome, KnownObjects(setup));

  Json hook4 = events.hook4;
  if (hook4["called"].get<bool>()) {
    hook4["first_list"] = MacList(setup.first, 3);
    hook4["second_list"] = MacList(setup.second, 0);
  }
  const TokenRecord tokens = DxeTokenAccesses(setup);
  Json setupItems = SetupItems(setup, explanations["suppressed"]);

  Json record = {
      {"outcome", ToJson(Summarize(events.outcome))},
      {"reached", events.reached},
      {"entry_status", events.entryStatus},
      {"token_sets", tokens.sets},
      {"invalid_token_accesses", tokens.invalid},
      {"setup_items", setupItems},
      {"hook4", hook4},
      {"s3", S3Report(setup)},
      {"cmos_counter_before", setup.counterBefore},
      {"cmos_counter_after", machine.Cmos().Get(LINK_RETRY_CMOS_INDEX)},
      {"post_codes", PostCodes(machine)},
      {"debug_text", DebugText(setup)},
      {"stalls", Stalls(setup.core)},
      {"stalled_us", setup.platform.clock.StalledMicroseconds()},
      {"time_ns", setup.platform.clock.NowNanoseconds()},
      {"access_counts", AccessCounts(machine.Trace())},
      {"core_errors", setup.core.Errors()},
      {"explanations", explanations},
      {"cmos", CmosBytes(machine)},
  };
  if (trace) record["trace"] = TraceRecords(machine.Trace());
  return record;
}

}  // namespace bootsim
