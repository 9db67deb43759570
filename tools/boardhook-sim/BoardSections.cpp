// The readers of the sections of a board description, one per table of the
// format (docs/board-format.md): each fills its part of the Board and
// checks what lies within its own table.
#include "BoardSections.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "BoardPciSections.h"
#include "BoardToml.h"
#include "include/HdtOutHeader.h"

namespace bootsim {

namespace {

void ReadBoardTable(TableReader &root, Board &board) {
  if (auto table = root.Table("board")) {
    board.name = table->String("name").value_or("");
    board.description = table->String("description").value_or("");
    table->Finish();
  }
}

// Two failures planned for the same call of the same thing.
[[noreturn]] void FailPlannedTwice(const TableReader &entry, const std::string &other) {
  entry.Source().Fail(entry.Path(), "contradicts " + other + " (line " +
                                        std::to_string(entry.Source().Line(other)) +
                                        "): both plan the same call");
}

void ReadSmbus(TableReader &root, Board &board) {
  auto table = root.Table("smbus");
  if (!table) return;
  SmbusDescription &smbus = board.smbus;
  smbus.idByte1 = static_cast<uint8_t>(table->Unsigned("id_byte_1", 8, 0));
  smbus.idByte2 = static_cast<uint8_t>(table->Unsigned("id_byte_2", 8, 0));
  if (const toml::array *absent = table->Array("absent")) {
    for (size_t index = 0; index < absent->size(); index++) {
      smbus.absent.push_back(static_cast<uint8_t>(table->NodeUnsigned(
          (*absent)[index], table->KeyPath("absent") + "[" + std::to_string(index) + "]", 7)));
    }
  }
  // Each failure holds; two for the same call contradict each other.
  std::map<std::tuple<uint8_t, bool, uint32_t>, std::string> planned;
  for (TableReader &entry : table->Tables("failures")) {
    SmbusFailure failure;
    failure.address = static_cast<uint8_t>(entry.Required("address", 7));
    const auto operation = entry.Word("operation", {"read", "write"});
    if (!operation) entry.Missing("operation");
    failure.write = *operation == "write";
    failure.status = ReadStatus(entry, "status", ErrorStatus("EFI_DEVICE_ERROR"));
    failure.call = static_cast<uint32_t>(entry.Unsigned("call", 32, 0));
    entry.Finish();
    const auto [other, added] = planned.emplace(
        std::make_tuple(failure.address, failure.write, failure.call), entry.Path());
    if (!added) FailPlannedTwice(entry, other->second);
    smbus.failures.push_back(failure);
  }
  table->Finish();
}

// The module makes at most ten attempts, so a longer script is a mistake.
constexpr size_t kMaxBmcAttempts = 10;

void ReadBmc(TableReader &root, Board &board) {
  BmcDescription &bmc = board.bmc;
  bmc.failureStatus = ErrorStatus("EFI_TIMEOUT");
  auto table = root.Table("bmc");
  if (!table) return;
  bmc.present = table->Bool("present", true);
  if (table->Has("attempts")) {
    for (const char *key : {"answer_after", "response_length", "failure_status"}) {
      if (table->Has(key)) {
        table->Fail(key,
                    "give either attempts or answer_after, response_length and "
                    "failure_status, not both");
      }
    }
    for (TableReader &entry : table->Tables("attempts")) {
      BmcAttempt attempt;
      attempt.status = ReadStatus(entry, "status", 0, StatusKinds::Any);
      attempt.responseLength =
          static_cast<uint8_t>(entry.Ranged("response_length", 0, 255, "0 to 255", 1));
      attempt.lengthWritten = entry.Bool("length_written", (attempt.status & kErrorBit) == 0);
      entry.Finish();
      bmc.attempts.push_back(attempt);
    }
    if (bmc.attempts.size() > kMaxBmcAttempts) {
      table->Fail("attempts", "the module makes at most 10 attempts; give at most 10 answers");
    }
    if (bmc.attempts.empty()) table->Fail("attempts", "give at least one answer");
  } else {
    if (const toml::node *node = table->Take("answer_after")) {
      const auto after = table->NumberOr(*node, "answer_after", "never", 31);
      bmc.answerAfter =
          after ? std::optional<uint32_t>(static_cast<uint32_t>(*after)) : std::nullopt;
    }
    bmc.responseLength =
        static_cast<uint8_t>(table->Ranged("response_length", 0, 255, "0 to 255", 1));
    bmc.failureStatus = ReadStatus(*table, "failure_status", bmc.failureStatus);
  }
  table->Finish();
}

constexpr uint64_t kMaxVariableSize = 0x10000;

void ReadSetupVariable(TableReader &root, Board &board) {
  SetupVariableDescription &variable = board.setupVariable;
  auto table = root.Table("setup_variable");
  if (!table) {
    variable.present = false;
    return;
  }
  variable.present = table->Bool("present", true);
  const uint64_t size = table->Ranged("size", 0, kMaxVariableSize, "0 to 65536", 4092);
  const uint8_t fill = static_cast<uint8_t>(table->Unsigned("fill", 8, 0));
  variable.data.assign(size, fill);
  for (TableReader &entry : table->Tables("bytes")) {
    if (size == 0) entry.FailTable("the variable has no bytes (size 0)");
    const auto offset =
        entry.Ranged("offset", 0, size - 1, "0 to size − 1 = " + table->Number("size", size - 1));
    if (!offset) entry.Missing("offset");
    variable.data[*offset] = static_cast<uint8_t>(entry.Required("value", 8));
    entry.Finish();
  }
  table->Finish();
}

// Two keys of a table that name the same number ("3" and "0x3"): the one
// later in the file is at fault. The library keeps a table's keys in
// order of their text, not of the file.
[[noreturn]] void FailLater(const BoardSource &source, const std::string &key,
                            const std::string &other, const std::string &what) {
  const bool keyLater = source.Line(key) >= source.Line(other);
  const std::string &later = keyLater ? key : other;
  const std::string &earlier = keyLater ? other : key;
  source.Fail(later, "this " + what + " is also given as " + earlier + " (line " +
                         std::to_string(source.Line(earlier)) + ")");
}

void ReadPcd(TableReader &root, Board &board) {
  auto table = root.Table("pcd");
  if (!table) return;
  std::map<uint64_t, std::string> given;
  for (const std::string &key : table->Keys()) {
    const toml::node *node = table->Take(key);
    uint64_t token = 0;
    if (!ParseNumber(key, token)) table->Fail(key, "a token is named by its number, e.g. 3 = 0x02");
    if (token == 0 || token > UINT32_MAX) {
      table->Fail(key, "token numbers run from 1 to 0xFFFFFFFF");
    }
    if (token == PCD_TOKEN_S3_LIB_PRIVATE_DATA || token == PCD_TOKEN_SMM_COMMUNICATION_BUFFER) {
      table->Fail(key,
                  "token " + key + " holds an address that the simulation assigns (see [s3_save])");
    }
    const auto [other, added] = given.emplace(token, table->KeyPath(key));
    if (!added) FailLater(table->Source(), table->KeyPath(key), other->second, "token");
    PcdDefault entry;
    entry.token = static_cast<uint32_t>(token);
    entry.key = table->KeyPath(key);
    const PCD_TOKEN_INFO *info = FindPcdToken(token);
    if (node->is_string() && *node->value<std::string>() == "undeclared") {
      entry.size = 0;
    } else if (node->is_table()) {
      TableReader declared(*node->as_table(), entry.key, table->Source());
      const auto size = declared.Unsigned("size", 8);
      if (!size) declared.Missing("size");
      if (*size != 1 && *size != 2 && *size != 4 && *size != 8) {
        declared.Fail("size", "a token holds 1, 2, 4 or 8 bytes");
      }
      entry.size = static_cast<unsigned>(*size);
      entry.value = declared.Unsigned("value", entry.size * 8, 0);
      declared.Finish();
    } else if (info == nullptr) {
      table->Fail(key, "token " + key + " is not one of this system's tokens; give its size: " +
                           key + " = {size = 4, value = ...}");
    } else {
      entry.size = info->Size;
      entry.value = table->NodeUnsigned(*node, entry.key, info->Size * 8u);
    }
    board.pcd.push_back(entry);
  }
  table->Finish();
}

void ReadCpu(TableReader &root, Board &board) {
  auto table = root.Table("cpu");
  if (!table) return;
  CpuDescription &cpu = board.cpu;
  for (TableReader &entry : table->Tables("msrs")) {
    MsrValue msr;
    msr.index = static_cast<uint32_t>(entry.Required("index", 32));
    msr.value = entry.Required("value", 64);
    entry.Finish();
    cpu.msrs.push_back(msr);
  }
  cpu.dr2 = table->Unsigned("dr2", 64);
  cpu.dr3 = table->Unsigned("dr3", 64);
  cpu.dr7 = table->Unsigned("dr7", 64);
  cpu.cr4 = table->Unsigned("cr4", 64);
  cpu.backDoorAnswer = static_cast<uint16_t>(table->Unsigned("back_door_answer", 16, 0));
  cpu.tscHz = table->Ranged("tsc_hz", 1000000, 100000000000ull, "1 MHz to 100 GHz");
  table->Finish();
}

void ReadUart(TableReader &root, Board &board) {
  auto table = root.Table("uart");
  if (!table) return;
  board.uart.transmitReady = ReadReadiness(*table, "transmit_ready");
  board.uart.transmitterEmpty = ReadReadiness(*table, "transmitter_empty");
  table->Finish();
}

// The header the debug-tool back-end finds under its heap-buffer handle, with
// its data area after it.
std::vector<uint8_t> BuildHdtHeader(TableReader &table) {
  HDT_OUT_HEADER header = {};
  header.Signature = static_cast<UINT32>(table.Unsigned("signature", 32, HDT_OUT_SIGNATURE));
  header.BufferSize = static_cast<UINT16>(table.Unsigned("buffer_size", 16, 256));
  header.WriteIndex = static_cast<UINT16>(
      table.Ranged("write_index", 0, header.BufferSize,
                   "0 to buffer_size = " + table.Number("buffer_size", header.BufferSize), 0));
  header.PrintEnable = static_cast<UINT8>(table.Unsigned("print_enable", 8, 1));
  header.BufferedMode = static_cast<UINT8>(table.Unsigned("buffered_mode", 8, 0));
  header.OutputFilter = table.Unsigned("output_filter", 64, 0x100401008A300408ull);
  table.Finish();
  std::vector<uint8_t> data(HDT_OUT_DATA_OFFSET + header.BufferSize, 0);
  std::memcpy(data.data(), &header, sizeof header);
  return data;
}

constexpr size_t kMaxHeapBuffer = 0xFF00;                // one HOB's length is 16 bits
constexpr size_t kMaxHeapBufferTotal = size_t{1} << 20;  // all of them together

void ReadHeapBuffers(TableReader &root, Board &board) {
  size_t total = 0;
  for (TableReader &entry : root.Tables("heap_buffer")) {
    HeapBufferDescription buffer;
    buffer.signature = ReadSignature(entry, "signature", buffer.signature);
    buffer.handle = static_cast<uint32_t>(entry.Required("handle", 32));
    buffer.memoryKind = static_cast<uint8_t>(entry.Unsigned("memory_kind", 8, 0));
    buffer.active = static_cast<uint8_t>(entry.Unsigned("active", 8, 1));
    const char *key = "data";
    if (entry.Has("hdt_header")) {
      if (entry.Has("data")) entry.Fail("data", "give either data or hdt_header, not both");
      key = "hdt_header";
      auto header = entry.Table("hdt_header");
      buffer.data = BuildHdtHeader(*header);
    } else {
      buffer.data = entry.Bytes("data");
    }
    if (buffer.data.size() > kMaxHeapBuffer) {
      entry.Fail(key, "a heap buffer holds at most " + std::to_string(kMaxHeapBuffer) +
                          " bytes, this one " + std::to_string(buffer.data.size()));
    }
    total += buffer.data.size();
    if (total > kMaxHeapBufferTotal) {
      entry.Fail(key, "the heap buffers hold at most 1 MiB together");
    }
    entry.Finish();
    board.heapBuffers.push_back(std::move(buffer));
  }
}

constexpr uint64_t kMaxS3Table = 0x100000;
// The fields of the table's header that the driver reads: the signature
// and the two offsets.
constexpr uint64_t kS3SignatureEnd = 4;
constexpr uint64_t kS3OffsetFields = 32, kS3OffsetFieldsEnd = 48;

void ReadS3Save(TableReader &root, Board &board) {
  auto table = root.Table("s3_save");
  if (!table) return;
  S3SaveDescription &s3 = board.s3;
  s3.table = table->Bool("table", false);
  s3.signature = ReadSignature(*table, "signature", s3.signature);
  s3.size = table->Ranged("size", 48, kMaxS3Table, "48 to 1 MiB", s3.size);
  // The library reads the marker and writes the end mark where the header
  // says; both must lie inside the table the simulation allocates.
  s3.boundaryOffset =
      table->Ranged("boundary_offset", 0, s3.size - 4,
                    "0 to size − 4 = " + table->Number("size", s3.size - 4), s3.boundaryOffset);
  // The marker is written into the table after its header; on the header's
  // own fields it would change what the header says.
  if (s3.boundaryOffset < kS3SignatureEnd ||
      (s3.boundaryOffset + 4 > kS3OffsetFields && s3.boundaryOffset < kS3OffsetFieldsEnd)) {
    table->Fail("boundary_offset",
                "the marker at " + table->Number("boundary_offset", s3.boundaryOffset) +
                    " would overwrite the table's own fields (the signature at 0 to 3, "
                    "BoundaryOffset at 32 to 39, EndOffset at 40 to 47)");
  }
  s3.boundaryMarker =
      static_cast<uint32_t>(table->Unsigned("boundary_marker", 32, s3.boundaryMarker));
  s3.endOffset =
      table->Ranged("end_offset", 0, s3.size - 2,
                    "0 to size − 2 = " + table->Number("size", s3.size - 2), s3.endOffset);
  const uint64_t buffer = table->Unsigned("smm_buffer_size", 16, s3.smmBufferSize);
  if (buffer != 0 && buffer < 40) {
    table->Fail("smm_buffer_size", "the SMM message needs a buffer of at least 40 bytes (0: none)");
  }
  s3.smmBufferSize = buffer;
  s3.recordByEarlierModule = table->Bool("record_by_earlier_module", false);
  table->Finish();
}

void ReadCmos(TableReader &root, Board &board) {
  auto table = root.Table("cmos");
  if (!table) return;
  std::map<uint64_t, std::string> given;
  for (const std::string &key : table->Keys()) {
    const toml::node *node = table->Take(key);
    uint64_t index = 0;
    if (!ParseNumber(key, index) || index > 0x7F) {
      table->Fail(key, "a CMOS byte is named by its index, 0 to 0x7F (e.g. 0x58 = 2)");
    }
    const auto [other, added] = given.emplace(index, table->KeyPath(key));
    if (!added) FailLater(table->Source(), table->KeyPath(key), other->second, "CMOS byte");
    board.cmos[index] = static_cast<uint8_t>(table->NodeUnsigned(*node, table->KeyPath(key), 8));
  }
  table->Finish();
}

// The PPIs whose installation the PEI phase can describe, by their names in
// the format.
constexpr const char *kInstallablePpis[] = {"smbus", "i2c-table", "i2c-apply"};

// More installations than the PPI database holds show nothing new.
constexpr size_t kMaxPeiSteps = 128;

bool IsInstallable(const std::string &name) {
  return std::any_of(std::begin(kInstallablePpis), std::end(kInstallablePpis),
                     [&](const char *ppi) { return name == ppi; });
}

void ReadPeiSequence(TableReader &table, ModulesDescription &modules) {
  const toml::array *steps = table.Array("pei_installs");
  if (steps == nullptr) return;
  if (steps->size() > kMaxPeiSteps) {
    table.Fail("pei_installs", "at most 128 steps (the PEI foundation holds 128 PPIs)");
  }
  modules.peiSequence.clear();
  bool entry = false;
  const std::string expected =
      "expected \"smbus\", \"i2c-table\", \"i2c-apply\", \"entry\" or "
      "an array of PPI names installed together";
  auto name = [&](const toml::node &node, const std::string &path, bool inList) {
    const auto text = node.value<std::string>();
    if (!text || (!IsInstallable(*text) && *text != kPeiEntryStep)) {
      throw BoardError(table.Source().File(), LineOf(node.source()), path,
                       inList ? "expected \"smbus\", \"i2c-table\" or \"i2c-apply\"" : expected);
    }
    if (*text == kPeiEntryStep) {
      if (inList || entry) {
        throw BoardError(table.Source().File(), LineOf(node.source()), path,
                         inList ? "the module's entry is a step of its own, not a PPI"
                                : "the module's entry runs once");
      }
      entry = true;
    }
    return *text;
  };
  for (size_t index = 0; index < steps->size(); index++) {
    const toml::node &node = (*steps)[index];
    const std::string path = table.KeyPath("pei_installs") + "[" + std::to_string(index) + "]";
    PeiStep step;
    if (const toml::array *list = node.as_array()) {
      if (list->empty()) {
        throw BoardError(table.Source().File(), LineOf(node.source()), path,
                         "a list installs at least one PPI");
      }
      for (size_t item = 0; item < list->size(); item++) {
        step.push_back(name((*list)[item], path + "[" + std::to_string(item) + "]", true));
      }
    } else {
      step.push_back(name(node, path, false));
    }
    modules.peiSequence.push_back(step);
  }
  // Without a place given, the entry runs first.
  if (!entry) modules.peiSequence.insert(modules.peiSequence.begin(), PeiStep{kPeiEntryStep});
}

void ReadModules(TableReader &root, Board &board) {
  auto table = root.Table("modules");
  if (!table) return;
  ModulesDescription &modules = board.modules;
  modules.setupSuppressTrigger = table->Bool("setup_suppress_trigger", true);
  modules.setupItemSuppress = table->Bool("setup_item_suppress", true);
  modules.smmReadyToLock = table->Bool("smm_ready_to_lock", true);
  modules.smmCommunication = table->Bool("smm_communication", true);
  modules.pcdPpi = table->Bool("pcd_ppi", true);
  modules.stallPpi = table->Bool("stall_ppi", true);
  modules.readOnlyVariablePpi = table->Bool("read_only_variable_ppi", true);
  ReadPeiSequence(*table, modules);
  table->Finish();
}

void ReadPeiServices(TableReader &root, Board &board) {
  auto table = root.Table("pei_services");
  if (!table) return;
  std::map<std::tuple<std::string, std::string, uint32_t>, std::string> planned;
  for (TableReader &entry : table->Tables("failures")) {
    PeiServiceFailure failure;
    const auto service = entry.Word("service", {"NotifyPpi", "AllocatePool", "LocatePpi"});
    if (!service) entry.Missing("service");
    failure.service = *service;
    if (failure.service == "LocatePpi") {
      failure.ppi = entry
                        .Word("ppi", {"pcd", "stall", "read-only-variable", "bmc", "smbus",
                                      "i2c-table", "i2c-apply"})
                        .value_or("");
    } else if (entry.Has("ppi")) {
      entry.Fail("ppi", "only LocatePpi looks for a PPI");
    }
    failure.call = static_cast<uint32_t>(entry.Unsigned("call", 32, 0));
    failure.status = ReadStatus(
        entry, "status",
        ErrorStatus(failure.service == "LocatePpi" ? "EFI_NOT_FOUND" : "EFI_OUT_OF_RESOURCES"));
    entry.Finish();
    const auto [other, added] =
        planned.emplace(std::make_tuple(failure.service, failure.ppi, failure.call), entry.Path());
    if (!added) FailPlannedTwice(entry, other->second);
    board.peiFailures.push_back(failure);
  }
  table->Finish();
}

constexpr uint64_t kMaxHook4Buffer = 4096;

Hook4Buffer ReadHook4Buffer(TableReader &table, Hook4Buffer buffer) {
  buffer.size = table.Ranged("size", 0, kMaxHook4Buffer, "0 to 4096", buffer.size);
  buffer.fill = static_cast<uint8_t>(table.Unsigned("fill", 8, buffer.fill));
  buffer.bytes = table.Bytes("bytes");
  if (buffer.bytes.size() > buffer.size) {
    table.Fail("bytes", std::to_string(buffer.bytes.size()) + " bytes do not fit the " +
                            std::to_string(buffer.size) + "-byte buffer");
  }
  table.Finish();
  return buffer;
}

void ReadHook4Caller(TableReader &root, Board &board) {
  auto table = root.Table("hook4");
  if (!table) return;
  Hook4CallerDescription &caller = board.hook4;
  const auto when = table->Word("when", {"after-setup-trigger", "before-setup-trigger", "never"});
  caller.when = !when || *when == "after-setup-trigger"
                    ? Hook4CallerDescription::When::AfterSetupTrigger
                : *when == "before-setup-trigger" ? Hook4CallerDescription::When::BeforeSetupTrigger
                                                  : Hook4CallerDescription::When::Never;
  if (auto first = table->Table("first")) caller.first = ReadHook4Buffer(*first, caller.first);
  if (auto second = table->Table("second")) caller.second = ReadHook4Buffer(*second, caller.second);
  table->Finish();
}

bool HasKey(const TableReader &table, const char *key) {
  const std::vector<std::string> keys = table.Keys();
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// [expect]: what the boot must report. Only the keys given are checked.
void ReadExpectations(TableReader &root, Board &board) {
  auto table = root.Table("expect");
  if (!table) return;
  Expectations &expect = board.expect;
  expect.outcome = table->Word("outcome", {"ready-to-boot", "trap", "reset-loop", "hang"});
  expect.boardType = table->Unsigned("board_type", 8);
  if (auto tokens = table->Table("tokens")) {
    for (const std::string &key : tokens->Keys()) {
      uint64_t token = 0;
      if (!ParseNumber(key, token) || token > UINT32_MAX) {
        tokens->Fail(key, "a token is named by its number");
      }
      expect.tokens[static_cast<uint32_t>(token)] = *tokens->Unsigned(key, 64);
    }
    tokens->Finish();
  }
  if (auto mac = table->Table("mac")) {
    for (const char *key : {"first_list", "second_list"}) {
      if (!HasKey(*mac, key)) continue;
      std::vector<std::string> entries = mac->Strings(key);
      for (size_t index = 0; index < entries.size(); index++) {
        std::string &entry = entries[index];
        bool sound = entry.size() == 17;
        for (size_t at = 0; sound && at < entry.size(); at++) {
          entry[at] = static_cast<char>(std::toupper(static_cast<unsigned char>(entry[at])));
          sound = at % 3 == 2 ? entry[at] == ':'
                              : std::isxdigit(static_cast<unsigned char>(entry[at])) != 0;
        }
        if (!sound) {
          mac->Fail(std::string(key) + "[" + std::to_string(index) + "]",
                    "expected a MAC address as \"00:1B:21:10:00:01\"");
        }
      }
      (std::string_view(key) == "first_list" ? expect.firstList : expect.secondList) = entries;
    }
    mac->Finish();
  }
  if (HasKey(*table, "suppressed")) expect.suppressed = table->Numbers("suppressed", 16);
  expect.resets = table->Unsigned("resets", 32);
  expect.cmosCounter = table->Unsigned("cmos_counter", 8);
  if (HasKey(*table, "post_codes")) expect.postCodes = table->Numbers("post_codes", 32);
  expect.trapCode = table->Unsigned("trap_code", 32);
  if (auto s3 = table->Table("s3")) {
    expect.s3Locked = s3->Bool("locked");
    expect.s3Closed = s3->Bool("closed");
    expect.s3Messages = s3->Unsigned("messages", 32);
    expect.s3EndMark = s3->Unsigned("end_mark", 16);
    expect.s3TableFreed = s3->Bool("table_freed");
    s3->Finish();
  }
  if (expect.Empty()) table->FailTable("an [expect] table with nothing to check");
  table->Finish();
}

}  // namespace

Board ReadBoardSections(const toml::table &document, BoardSource &source) {
  Board board;
  board.source = source.File();
  TableReader root(document, "", source);
  ReadBoardTable(root, board);
  ReadSmbus(root, board);
  ReadBmc(root, board);
  ReadSetupVariable(root, board);
  ReadPcd(root, board);
  ReadHostBridge(root, board);
  ReadRootPorts(root, board);
  ReadDevices(root, board);
  ReadCpu(root, board);
  ReadUart(root, board);
  ReadHeapBuffers(root, board);
  ReadS3Save(root, board);
  ReadCmos(root, board);
  ReadModules(root, board);
  ReadPeiServices(root, board);
  ReadHook4Caller(root, board);
  ReadExpectations(root, board);
  root.Finish();
  return board;
}

}  // namespace bootsim
