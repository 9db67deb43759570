#include "Explain.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <tuple>

#include "include/BoardHookProtocol.h"
#include "include/HeapBufferList.h"
#include "include/PcdTokens.h"
#include "platform/ErrorCodes.h"
#include "sim/core/EfiText.h"
#include "sim/dxe/DxeCore.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "uefi/LoadedImage.h"
#include "uefi/Pcd.h"
#include "uefi/PlatformModules.h"
#include "uefi/StandardInterfaces.h"

namespace bootsim {

namespace {

std::string Hex(uint64_t value) { return sim::HexText(value); }

std::string FunctionText(sim::PciAddress address) {
  return PciLocation{address.bus, address.device, address.function}.Text();
}

std::string Bytes(const std::vector<uint8_t> &bytes) {
  std::string text;
  char byte[4];
  for (uint8_t value : bytes) {
    std::snprintf(byte, sizeof byte, "%02X", value);
    text += (text.empty() ? "" : " ") + std::string(byte);
  }
  return text;
}

struct TrapConditionText {
  uint32_t code;
  std::string condition;
};

const TrapConditionText kTrapConditions[] = {
    {ERROR_TRAP_WIDTH_IO_READ, "port read with a width code outside 1, 2, 3, 0x81-0x83"},
    {ERROR_TRAP_WIDTH_IO_WRITE, "port write with a width code outside 1, 2, 3, 0x81-0x83"},
    {ERROR_TRAP_WIDTH_MEM_READ, "memory read with a width code outside 1, 2, 3, 0x81-0x83"},
    {ERROR_TRAP_WIDTH_MEM_WRITE, "memory write with a width code outside 1, 2, 3, 0x81-0x83"},
    {ERROR_TRAP_HEAP_NODE_RUNTIME_POOL, "no runtime pool for a heap-buffer node"},
    {ERROR_TRAP_HEAP_NODE_BOOT_POOL, "no boot-services pool for a heap-buffer node"},
    {ERROR_TRAP_HEAP_LIST_PUBLISH, "publishing the heap-buffer list failed"},
    {ERROR_TRAP_S3_TABLE_SIGNATURE, "S3 save table signature is not \"AS3T\""},
    {ERROR_TRAP_S3_TABLE_BOUNDARY, "S3 save table boundary marker is wrong"},
    {ERROR_TRAP_S3_SMM_BUFFER_TOKEN, "token " + std::to_string(PCD_TOKEN_SMM_COMMUNICATION_BUFFER) +
                                         " (SMM communication buffer) is 0"},
    {ERROR_TRAP_S3_SMM_COMMUNICATION, "the SMM communication protocol cannot be located"},
    {ERROR_TRAP_S3_MMIO_CONFIG_DISABLED,
     "the MMIO configuration enable bit (MSR 0xC0010058 bit 0) is clear"},
    {ERROR_TRAP_S3_PRIVATE_DATA_POOL, "no pool for the S3 save library's private data record"},
    {ERROR_TRAP_S3_BOOT_SCRIPT_LOCK_EVENT, "the BootScriptLock event cannot be created"},
    {ERROR_TRAP_S3_CLOSE_TABLE_EVENT, "creating the CloseTable event did not succeed"},
    {ERROR_TRAP_TEARDOWN_BOOT_SCRIPT_LOCK_EVENT,
     "closing the BootScriptLock event failed in the tear-down"},
    {ERROR_TRAP_TEARDOWN_CLOSE_TABLE_EVENT, "closing the CloseTable event failed in the tear-down"},
};

// The interfaces a DXE service call of the driver may name.
std::string ProtocolName(const EFI_GUID &guid) {
  const struct {
    const EFI_GUID &guid;
    const char *name;
  } kNames[] = {
      {gPcdProtocolGuid, "PCD_PROTOCOL"},
      {gBoardHookProtocolGuid, "BOARD_HOOK_PROTOCOL"},
      {gHeapBufferListProtocolGuid, "HEAP_BUFFER_LIST_PROTOCOL"},
      {gSetupSuppressTriggerProtocolGuid, "SETUP_SUPPRESS_TRIGGER_PROTOCOL"},
      {gSetupItemSuppressProtocolGuid, "SETUP_ITEM_SUPPRESS_PROTOCOL"},
      {gEfiSmmCommunicationProtocolGuid, "EFI_SMM_COMMUNICATION_PROTOCOL"},
      {gEfiDxeSmmReadyToLockProtocolGuid, "EFI_DXE_SMM_READY_TO_LOCK_PROTOCOL"},
      {gEfiEventReadyToBootGuid, "ReadyToBoot"},
      {gEfiLoadedImageProtocolGuid, "EFI_LOADED_IMAGE_PROTOCOL"},
  };
  for (const auto &known : kNames) {
    if (std::equal(reinterpret_cast<const uint8_t *>(&known.guid),
                   reinterpret_cast<const uint8_t *>(&known.guid) + sizeof(EFI_GUID),
                   reinterpret_cast<const uint8_t *>(&guid))) {
      return known.name;
    }
  }
  return sim::GuidText(guid);
}

// Where a MAC entry's bytes can come from, as the reads show it.
enum class Source : uint8_t { None, ConfigBytes, Registers, Vpd };

// One line of an explanation, with its place in the phase: facts sort by
// the hardware record they come before, then token accesses, service calls
// and hardware accesses in that order.
enum Rank : int { kTokenAccess, kServiceCall, kHardwareAccess };
struct Fact {
  size_t trace;
  int rank;
  size_t index;
  std::string text;
  Source source = Source::None;
};

bool operator<(const Fact &a, const Fact &b) {
  return std::tie(a.trace, a.rank, a.index) < std::tie(b.trace, b.rank, b.index);
}

// A VPD as the firmware read it: the dwords it got, by VPD address.
struct VpdRead {
  sim::PciAddress function;
  std::vector<uint8_t> image = std::vector<uint8_t>(256, 0);
  std::vector<bool> known = std::vector<bool>(256, false);
  size_t dwords = 0;
  uint16_t lowest = 0xFFFF, highest = 0;
  size_t trace = 0;
  uint16_t address = 0;  // the address last requested
};

// Renders hardware records as facts: configuration space by function and
// register, the legacy configuration ports and CMOS by what the index
// selected, BAR windows by device, a VPD read as one fact, runs of byte
// reads as one fact.
class RecordReader {
 public:
  RecordReader(sim::Machine &machine, const AddressMap &addresses)
      : machine_(machine), addresses_(addresses) {}

  void Read(const std::vector<sim::TraceRecord> &records, size_t from, size_t to,
            std::vector<Fact> &out) {
    for (size_t index = from; index < to && index < records.size(); index++) {
      Take(records[index], index, out);
    }
    FlushRun(out);
    FlushVpd(out);
  }
  const std::vector<VpdRead> &Vpds() const { return vpds_; }

 private:
  struct Run {
    std::string prefix;
    uint64_t first = 0, last = 0;
    int step = 0;
    std::vector<uint8_t> bytes;
    size_t trace = 0;
    Source source = Source::None;
  };

  void Add(std::vector<Fact> &out, size_t trace, std::string text, Source source = Source::None) {
    FlushRun(out);
    FlushVpd(out);
    out.push_back({trace, kHardwareAccess, trace, std::move(text), source});
  }

  void AddByte(std::vector<Fact> &out, size_t trace, const std::string &prefix, uint64_t offset,
               uint8_t value, Source source) {
    FlushVpd(out);
    const bool extends =
        run_ && run_->prefix == prefix &&
        ((run_->step == 0 && (offset == run_->last + 1 || offset + 1 == run_->last)) ||
         (run_->step != 0 && offset == run_->last + run_->step));
    if (!extends) {
      FlushRun(out);
      run_ = Run{prefix, offset, offset, 0, {}, trace, source};
    } else {
      run_->step = offset > run_->last ? 1 : -1;
      run_->last = offset;
    }
    run_->bytes.push_back(value);
  }

  void FlushRun(std::vector<Fact> &out) {
    if (!run_) return;
    std::string text = run_->prefix + "+" + Hex(run_->first);
    if (run_->bytes.size() > 1) text += ".." + Hex(run_->last);
    out.push_back({run_->trace, kHardwareAccess, run_->trace, text + " = " + Bytes(run_->bytes),
                   run_->source});
    run_.reset();
  }

  void FlushVpd(std::vector<Fact> &out) {
    if (!vpd_) return;
    std::string text = "VPD of " + FunctionText(vpd_->function) +
                       " read: " + std::to_string(vpd_->dwords) +
                       (vpd_->dwords == 1 ? " dword" : " dwords");
    if (vpd_->dwords != 0) text += " (" + Hex(vpd_->lowest) + ".." + Hex(vpd_->highest) + ")";
    out.push_back({vpd_->trace, kHardwareAccess, vpd_->trace, text, Source::Vpd});
    vpds_.push_back(*vpd_);
    vpd_.reset();
  }

  // The VPD capability's address (+2) or data (+4) register, if the access
  // reaches one.
  std::optional<unsigned> VpdRegister(sim::PciAddress function, uint16_t reg) {
    sim::PciFunction *found = machine_.FindPciFunction(function);
    if (found == nullptr || found->Vpd() == nullptr) return std::nullopt;
    const unsigned offset = found->Vpd()->Offset();
    if (reg == offset + 2 || reg == offset + 4) return reg - offset;
    return std::nullopt;
  }

  void TakeVpd(std::vector<Fact> &out, const sim::TraceRecord &record, size_t trace,
               sim::PciAddress function, unsigned reg) {
    FlushRun(out);
    if (vpd_ && !(vpd_->function.Bdf() == function.Bdf())) FlushVpd(out);
    if (!vpd_) {
      vpd_ = VpdRead{};
      vpd_->function = function;
      vpd_->trace = trace;
    }
    const bool write = record.kind == sim::AccessKind::MmioWrite;
    if (reg == 2 && write) vpd_->address = static_cast<uint16_t>(record.value & 0x7FFF);
    if (reg == 4 && !write) {
      vpd_->dwords++;
      vpd_->lowest = std::min(vpd_->lowest, vpd_->address);
      vpd_->highest = std::max(vpd_->highest, vpd_->address);
      for (unsigned byte = 0; byte < 4; byte++) {
        const unsigned at = vpd_->address + byte;
        if (at < vpd_->image.size()) {
          vpd_->image[at] = static_cast<uint8_t>(record.value >> (8 * byte));
          vpd_->known[at] = true;
        }
      }
    }
  }

  static std::string ConfigValue(uint16_t reg, unsigned width, uint64_t value,
                                 const std::string &function) {
    if (reg == 0x00 && width == 32) {
      return "ID word of " + function + " = " + (value == 0xFFFFFFFF ? "all ones" : Hex(value));
    }
    const struct {
      uint16_t reg;
      unsigned width;
      const char *name;
    } kNamed[] = {
        {0x00, 8, "vendor ID low byte"},
        {0x04, 8, "command"},
        {0x0B, 8, "base class"},
        {0x10, 32, "BAR0"},
        {0x14, 32, "BAR1"},
        {0x19, 8, "secondary bus"},
        {0x1A, 8, "subordinate bus"},
        {0x2C, 32, "subsystem word"},
        {0x30, 32, "expansion ROM base"},
        {0x34, 8, "capabilities pointer"},
    };
    for (const auto &named : kNamed) {
      if (named.reg == reg && named.width == width) {
        return std::string(named.name) + " of " + function + " = " + Hex(value);
      }
    }
    return function + "+" + Hex(reg) + " = " + Hex(value);
  }

  void Take(const sim::TraceRecord &record, size_t trace, std::vector<Fact> &out) {
    using sim::AccessKind;
    const uint64_t ecam = sim::Machine::kEcamBase;
    switch (record.kind) {
      case AccessKind::IoWrite:
        if (record.address == sim::Machine::kConfigAddressPort && record.width == 32) {
          configAddress_ = static_cast<uint32_t>(record.value);
        } else if (record.address == 0x70) {
          cmosIndex_ = static_cast<uint8_t>(record.value & 0x7F);
        } else if (record.address == 0x71) {
          Add(out, trace, "CMOS " + Hex(cmosIndex_) + " <- " + Hex(record.value));
        } else if (record.address == sim::Machine::kResetControlPort) {
          Add(out, trace, "reset control 0xCF9 <- " + Hex(record.value));
        } else if (record.address == sim::Machine::kErrorPostCodePort) {
          Add(out, trace, "port 0xE0 <- " + Hex(record.value));
        }
        return;
      case AccessKind::IoRead:
        if (record.address == sim::Machine::kConfigDataPort && (configAddress_ & 0x80000000u)) {
          const auto function =
              sim::PciAddress::FromBdf(static_cast<uint16_t>(configAddress_ >> 8));
          Add(out, trace,
              ConfigValue(static_cast<uint16_t>(configAddress_ & 0xFF), record.width, record.value,
                          FunctionText(function)) +
                  " (0xCF8/0xCFC)");
        } else if (record.address == 0x71) {
          Add(out, trace, "CMOS " + Hex(cmosIndex_) + " = " + Hex(record.value));
        } else if (record.address < 0x3F8 || record.address > 0x3FF) {
          Add(out, trace, "port " + Hex(record.address) + " = " + Hex(record.value));
        }
        return;
      case AccessKind::MmioRead:
      case AccessKind::MmioWrite: {
        const bool write = record.kind == AccessKind::MmioWrite;
        if (record.address >= ecam && record.address - ecam < sim::Machine::kEcamSize) {
          const uint64_t offset = record.address - ecam;
          const auto function = sim::PciAddress::FromBdf(static_cast<uint16_t>(offset >> 12));
          const auto reg = static_cast<uint16_t>(offset & 0xFFF);
          if (const auto vpd = VpdRegister(function, reg)) {
            TakeVpd(out, record, trace, function, *vpd);
          } else if (write) {
            Add(out, trace, FunctionText(function) + "+" + Hex(reg) + " <- " + Hex(record.value));
          } else if (record.width == 8 && reg >= 0x40) {
            AddByte(out, trace, FunctionText(function), reg, static_cast<uint8_t>(record.value),
                    reg >= 0x100 ? Source::ConfigBytes : Source::None);
          } else {
            Add(out, trace, ConfigValue(reg, record.width, record.value, FunctionText(function)));
          }
          return;
        }
        std::string area;
        uint64_t offset = 0;
        const bool bar =
            addresses_.Locate(record.address, area, offset) && area.rfind("BAR", 0) == 0;
        if (!write && record.width == 8 && bar) {
          AddByte(out, trace, area, offset, static_cast<uint8_t>(record.value), Source::Registers);
          return;
        }
        Add(out, trace,
            addresses_.Describe(record.address) + (write ? " <- " : " = ") + Hex(record.value),
            bar ? Source::Registers : Source::None);
        return;
      }
      case AccessKind::MsrRead:
        Add(out, trace, "MSR " + Hex(record.address) + " = " + Hex(record.value));
        return;
      case AccessKind::CpuidBackDoor:
        Add(out, trace,
            "CPUID back door (ECX " + Hex(record.address) + ") answered " + Hex(record.value));
        return;
      default:
        return;  // writes of other kinds, time, debug output
    }
  }

  sim::Machine &machine_;
  const AddressMap &addresses_;
  uint32_t configAddress_ = 0;
  uint8_t cmosIndex_ = 0;
  std::optional<Run> run_;
  std::optional<VpdRead> vpd_;
  std::vector<VpdRead> vpds_;
};

bool Before(const RecordPosition &a, const RecordPosition &b) {
  return std::tie(a.trace, a.pcd, a.calls) < std::tie(b.trace, b.pcd, b.calls);
}

bool IsLookup(sim::Service service) {
  return service == sim::Service::LocateProtocol || service == sim::Service::HandleProtocol ||
         service == sim::Service::OpenProtocol || service == sim::Service::LocateHandle ||
         service == sim::Service::LocateHandleBuffer || service == sim::Service::GetVariable;
}

std::string CallText(const sim::ServiceCall &call) {
  std::string text = sim::ServiceName(call.service);
  text += "(";
  if (call.service == sim::Service::GetVariable) {
    text += call.text;
  } else if (call.service == sim::Service::AllocatePool) {
    text += std::to_string(call.args[1]) + " bytes";
  } else if (call.guid) {
    text += ProtocolName(*call.guid);
  }
  return text + ") = " + sim::StatusText(call.status);
}

}  // namespace

AddressMap::AddressMap(uint64_t ecamBase, uint64_t ecamSize)
    : ecamBase_(ecamBase), ecamSize_(ecamSize) {}

void AddressMap::AddArea(uint64_t base, uint64_t size, std::string name) {
  areas_.push_back({base, size, std::move(name)});
}

bool AddressMap::Locate(uint64_t address, std::string &name, uint64_t &offset) const {
  for (const Area &area : areas_) {
    if (address >= area.base && address - area.base < area.size) {
      name = area.name;
      offset = address - area.base;
      return true;
    }
  }
  return false;
}

std::string AddressMap::Symbol(uint64_t address) const {
  if (address >= ecamBase_ && address - ecamBase_ < ecamSize_) {
    const uint64_t offset = address - ecamBase_;
    return FunctionText(sim::PciAddress::FromBdf(static_cast<uint16_t>(offset >> 12))) + "+" +
           Hex(offset & 0xFFF);
  }
  std::string name;
  uint64_t offset = 0;
  return Locate(address, name, offset) ? name + "+" + Hex(offset) : "";
}

std::string AddressMap::Describe(uint64_t address) const {
  const std::string symbol = Symbol(address);
  return Hex(address) + (symbol.empty() ? "" : " (" + symbol + ")");
}

std::string TrapCondition(uint32_t code) {
  for (const TrapConditionText &known : kTrapConditions) {
    if (known.code == code) return known.condition;
  }
  return "";
}

DxeTimeline::DxeTimeline(sim::Machine &machine, sim::PcdDatabase &pcd, sim::DxeCore &core)
    : machine_(machine), pcd_(pcd), core_(core), firstPcd_(pcd.Accesses().size()) {}

RecordPosition DxeTimeline::Now() const {
  return {machine_.Trace().Records().size(), pcd_.Accesses().size(), core_.Calls().size()};
}

void DxeTimeline::TokenAccessed() {
  tokenAccesses_.push_back(Now());
  if (firstList_ != nullptr && !hook4Ran_) Snapshot();
}

void DxeTimeline::Hook4Starts(const std::vector<uint8_t> &first,
                              const std::vector<uint8_t> &second) {
  firstList_ = &first;
  secondList_ = &second;
  hook4Start_ = Now();
  Snapshot();
}

void DxeTimeline::Hook4Ends() {
  Snapshot();
  hook4End_ = Now();
  hook4Ran_ = true;
}

void DxeTimeline::Snapshot() { lists_.push_back({Now(), *firstList_, *secondList_}); }

namespace {

// The facts of the DXE phase between two moments.
class DxeFacts {
 public:
  DxeFacts(sim::Machine &machine, sim::PcdDatabase &pcd, sim::DxeCore &core,
           const AddressMap &addresses, size_t firstPcd,
           const std::vector<RecordPosition> &tokenAccesses)
      : machine_(machine),
        pcd_(pcd),
        core_(core),
        addresses_(addresses),
        firstPcd_(firstPcd),
        tokenAccesses_(tokenAccesses) {}

  std::vector<Fact> Between(const RecordPosition &from, const RecordPosition &to,
                            std::vector<VpdRead> *vpds = nullptr) const {
    std::vector<Fact> facts;
    RecordReader reader(machine_, addresses_);
    reader.Read(machine_.Trace().Records(), from.trace, to.trace, facts);
    if (vpds != nullptr) *vpds = reader.Vpds();
    const size_t lastPcd = std::min(to.pcd, firstPcd_ + tokenAccesses_.size());
    for (size_t index = std::max(from.pcd, firstPcd_); index < lastPcd; index++) {
      const sim::PcdAccess &access = pcd_.Accesses()[index];
      const RecordPosition &at = tokenAccesses_[index - firstPcd_];
      facts.push_back({at.trace, kTokenAccess, index, TokenText(access)});
    }
    for (size_t index = from.calls; index < to.calls && index < core_.Calls().size(); index++) {
      const sim::ServiceCall &call = core_.Calls()[index];
      if (!IsLookup(call.service) && !EFI_ERROR(call.status)) continue;
      // After the last token access made before it (its place among the
      // hardware accesses since then is not recorded).
      size_t trace = from.trace;
      for (size_t access = std::max(from.pcd, firstPcd_); access < lastPcd; access++) {
        const RecordPosition &at = tokenAccesses_[access - firstPcd_];
        if (at.calls > index) break;
        trace = at.trace;
      }
      facts.push_back({trace, kServiceCall, index, CallText(call)});
    }
    std::sort(facts.begin(), facts.end());
    return facts;
  }

 private:
  std::string TokenText(const sim::PcdAccess &access) const {
    std::string text = "token " + std::to_string(access.token) + (access.IsSet() ? " <- " : " = ") +
                       addresses_.Describe(access.value);
    if (const PCD_TOKEN_INFO *info = FindPcdToken(access.token)) {
      text += std::string(" (") + info->Name + ")";
    }
    if (!access.valid) text += " [" + access.operation + " refused]";
    return text;
  }

  sim::Machine &machine_;
  sim::PcdDatabase &pcd_;
  sim::DxeCore &core_;
  const AddressMap &addresses_;
  size_t firstPcd_;
  const std::vector<RecordPosition> &tokenAccesses_;
};

Json Texts(const std::vector<Fact> &facts) {
  Json texts = Json::array();
  for (const Fact &fact : facts) texts.push_back(fact.text);
  return texts;
}

std::string MacText(const std::vector<uint8_t> &bytes, size_t at) {
  char text[24];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[at], bytes[at + 1],
                bytes[at + 2], bytes[at + 3], bytes[at + 4], bytes[at + 5]);
  return text;
}

// Where a VPD holds the twelve characters that spell `mac`: the keyword
// before them, by the VPD's own layout (two keyword characters, a length).
std::optional<std::string> VpdKeyword(const VpdRead &vpd, const std::vector<uint8_t> &mac) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  for (size_t at = 0; at + 12 <= vpd.image.size(); at++) {
    bool match = true;
    for (size_t index = 0; index < 12 && match; index++) {
      match = vpd.known[at + index] && vpd.image[at + index] == static_cast<uint8_t>(text[index]);
    }
    if (!match) continue;
    std::string where = "VPD address " + Hex(at) + " of " + FunctionText(vpd.function);
    if (at >= 3 && vpd.known[at - 3] && vpd.known[at - 2] && vpd.known[at - 1]) {
      const auto printable = [](uint8_t c) { return c >= 0x20 && c < 0x7F ? char(c) : '?'; };
      return std::string("keyword ") + printable(vpd.image[at - 3]) + printable(vpd.image[at - 2]) +
             " (length " + std::to_string(vpd.image[at - 1]) + ") at " + where;
    }
    return where;
  }
  return std::nullopt;
}

}  // namespace

Json ExplainDxe(const DxeTimeline &timeline, const sim::RunOutcome &outcome,
                const AddressMap &addresses) {
  sim::Machine &machine = timeline.machine_;
  const DxeFacts facts(machine, timeline.pcd_, timeline.core_, addresses, timeline.firstPcd_,
                       timeline.tokenAccesses_);
  const auto &records = machine.Trace().Records();
  const RecordPosition end = timeline.Now();

  // Each event is explained from the later of the previous event and the
  // start of the platform step it happened in.
  auto startOf = [&](const RecordPosition &at, const RecordPosition *previous) {
    RecordPosition from;
    for (const RecordPosition &step : timeline.steps_) {
      if (!Before(at, step) && Before(from, step)) from = step;
    }
    if (previous != nullptr && Before(from, *previous)) from = *previous;
    return from;
  };
  // The last item suppressed at or before a moment.
  auto lastSuppression = [&](const RecordPosition &at) -> const RecordPosition * {
    const RecordPosition *last = nullptr;
    for (const RecordPosition &item : timeline.suppressions_) {
      if (!Before(at, item)) last = &item;
    }
    return last;
  };

  Json explanations = Json::object();

  // Hook4, root port by root port: a port's part begins where the firmware
  // first reads its location token.
  Json ports = Json::array();
  if (timeline.hook4Ran_) {
    const auto &accesses = timeline.pcd_.Accesses();
    struct PortStart {
      unsigned port;
      size_t access;
    };
    std::vector<PortStart> starts;
    for (size_t index = std::max(timeline.hook4Start_.pcd, timeline.firstPcd_);
         index < timeline.hook4End_.pcd; index++) {
      const sim::PcdAccess &access = accesses[index];
      const auto found = std::find(std::begin(PCD_ROOT_PORT_LOCATION_TOKENS),
                                   std::end(PCD_ROOT_PORT_LOCATION_TOKENS), access.token);
      if (access.IsSet() || found == std::end(PCD_ROOT_PORT_LOCATION_TOKENS)) continue;
      const unsigned port =
          static_cast<unsigned>(found - std::begin(PCD_ROOT_PORT_LOCATION_TOKENS)) + 1;
      if (std::none_of(starts.begin(), starts.end(),
                       [&](const PortStart &start) { return start.port == port; })) {
        starts.push_back({port, index});
      }
    }
    auto snapshotAt = [&](size_t pcd) -> const DxeTimeline::ListSnapshot & {
      for (const auto &snapshot : timeline.lists_) {
        if (snapshot.at.pcd >= pcd) return snapshot;
      }
      return timeline.lists_.back();
    };
    for (size_t k = 0; k < starts.size(); k++) {
      const size_t access = starts[k].access;
      const RecordPosition &after = timeline.tokenAccesses_[access - timeline.firstPcd_];
      const RecordPosition from{after.trace, access, after.calls};
      RecordPosition to = timeline.hook4End_;
      if (k + 1 < starts.size()) {
        const RecordPosition &next =
            timeline.tokenAccesses_[starts[k + 1].access - timeline.firstPcd_];
        to = {next.trace, starts[k + 1].access, next.calls};
      }
      std::vector<VpdRead> vpds;
      const std::vector<Fact> read = facts.Between(from, to, &vpds);

      Json port = {{"port", starts[k].port},
                   {"token", accesses[access].token},
                   {"location", accesses[access].value}};
      // The bridge the location led to: the first function other than the
      // host bridge whose configuration space the firmware then reached;
      // the device: the first whose ID word it read.
      Json bridge = nullptr, device = nullptr, idWord = nullptr, baseClass = nullptr;
      size_t idRecord = to.trace;
      for (size_t index = from.trace; index < to.trace && index < records.size(); index++) {
        const sim::TraceRecord &record = records[index];
        if (record.kind != sim::AccessKind::MmioRead && record.kind != sim::AccessKind::MmioWrite)
          continue;
        const uint64_t ecam = sim::Machine::kEcamBase;
        if (record.address < ecam || record.address - ecam >= sim::Machine::kEcamSize) continue;
        const auto function =
            sim::PciAddress::FromBdf(static_cast<uint16_t>((record.address - ecam) >> 12));
        if (bridge.is_null() && function.Bdf() != 0) bridge = FunctionText(function);
        if (record.kind == sim::AccessKind::MmioRead && record.width == 32 &&
            ((record.address - ecam) & 0xFFF) == 0) {
          device = FunctionText(function);
          idWord = record.value;
          if (sim::PciFunction *found = machine.FindPciFunction(function)) {
            baseClass = found->Config8(0x0B);
          }
          idRecord = index;
          break;
        }
      }
      port["bridge"] = bridge;
      port["device"] = device;
      port["id_word"] = idWord;
      port["base_class"] = baseClass;

      // The entry this port added: a list whose count grew meanwhile.
      const auto &before = snapshotAt(access + 1);
      const auto &later =
          k + 1 < starts.size() ? snapshotAt(starts[k + 1].access + 1) : timeline.lists_.back();
      Json entry = nullptr;
      std::vector<uint8_t> mac;
      for (const auto &[name, offset, was, now] :
           {std::tuple<const char *, size_t, const std::vector<uint8_t> &,
                       const std::vector<uint8_t> &>{"first", 3, before.first, later.first},
            std::tuple<const char *, size_t, const std::vector<uint8_t> &,
                       const std::vector<uint8_t> &>{"second", 0, before.second, later.second}}) {
        if (offset >= now.size() || offset >= was.size() || now[offset] <= was[offset]) continue;
        const size_t at = offset + 1 + 6 * (now[offset] - 1u);
        entry = {{"list", name}, {"index", now[offset]}};
        if (at + 6 <= now.size()) {
          entry["address"] = MacText(now, at);
          mac.assign(now.begin() + static_cast<ptrdiff_t>(at),
                     now.begin() + static_cast<ptrdiff_t>(at + 6));
        } else {
          entry["address"] = nullptr;
        }
        break;
      }
      port["entry"] = entry;

      // Where its bytes came from: the reads after the ID word.
      Json source = nullptr;
      Json from_ = Json::array();
      if (!entry.is_null()) {
        bool vpd = false, registers = false, config = false;
        for (const Fact &fact : read) {
          if (fact.rank != kHardwareAccess || fact.trace <= idRecord) continue;
          vpd = vpd || fact.source == Source::Vpd;
          registers = registers || fact.source == Source::Registers;
          config = config || fact.source == Source::ConfigBytes;
        }
        const Source kind = vpd         ? Source::Vpd
                            : registers ? Source::Registers
                            : config    ? Source::ConfigBytes
                                        : Source::None;
        for (const Fact &fact : read) {
          if (fact.rank == kHardwareAccess && fact.trace > idRecord && fact.source == kind &&
              kind != Source::None)
            from_.push_back(fact.text);
        }
        if (kind == Source::Vpd) {
          std::optional<std::string> keyword;
          for (auto vpd = vpds.rbegin(); vpd != vpds.rend() && !keyword && !mac.empty(); ++vpd) {
            keyword = VpdKeyword(*vpd, mac);
          }
          source = keyword ? "VPD " + *keyword : "VPD, but no keyword in what was read spells it";
        } else if (kind == Source::Registers) {
          source = "device registers";
        } else if (kind == Source::ConfigBytes) {
          source = "configuration bytes";
        }
      }
      port["source"] = source;
      port["from"] = from_;
      port["reads"] = Texts(read);
      ports.push_back(port);
    }
  }
  explanations["root_ports"] = ports;

  Json suppressed = Json::array();
  for (size_t index = 0; index < timeline.suppressions_.size(); index++) {
    const RecordPosition &at = timeline.suppressions_[index];
    const RecordPosition *previous = index == 0 ? nullptr : &timeline.suppressions_[index - 1];
    suppressed.push_back(Texts(facts.Between(startOf(at, previous), at)));
  }
  explanations["suppressed"] = suppressed;

  Json reset = nullptr;
  if (outcome.end == sim::RunEnd::Reset) {
    reset = {{"value", outcome.resetValue},
             {"because", Texts(facts.Between(startOf(end, lastSuppression(end)), end))}};
  }
  explanations["reset"] = reset;

  Json trap = nullptr;
  if (outcome.end == sim::RunEnd::Hung && outcome.hang == sim::HangCause::ErrorDisplay) {
    RecordPosition at = end;
    for (size_t index = records.size(); index-- > 0;) {
      if (records[index].kind == sim::AccessKind::IoWrite &&
          records[index].address == sim::Machine::kErrorPostCodePort) {
        at.trace = index;
        break;
      }
    }
    const std::string condition = TrapCondition(outcome.trapCode);
    trap = {{"code", outcome.trapCode},
            {"condition", condition.empty() ? Json(nullptr) : Json(condition)},
            {"because", Texts(facts.Between(startOf(at, lastSuppression(at)), at))}};
  }
  explanations["trap"] = trap;
  return explanations;
}

Json ExplainPei(const PeiRecord &record) {
  auto failed = [](const PeiCallRecord &call) {
    return call.status && EFI_ERROR(sim::StatusFrom64(*call.status));
  };
  auto text = [](const PeiCallRecord &call) {
    return call.text + " = " +
           (call.status ? sim::StatusText(sim::StatusFrom64(*call.status)) : "no return");
  };
  // The innermost entry or notification a call was made in.
  auto owner = [&](size_t index) -> std::optional<size_t> {
    std::optional<size_t> parent = record.calls[index].parent;
    for (size_t steps = 0; parent && *parent < record.calls.size() && steps < record.calls.size();
         steps++) {
      const std::string &service = record.calls[*parent].service;
      if (service == "Notify" || service == "RunModule") return parent;
      parent = record.calls[*parent].parent;
    }
    return std::nullopt;
  };
  Json entry = nullptr;
  Json notifications = Json::array();
  Json elsewhere = Json::array();
  std::vector<size_t> notificationOf(record.calls.size(), SIZE_MAX);
  for (size_t index = 0; index < record.calls.size(); index++) {
    const PeiCallRecord &call = record.calls[index];
    const Json status = call.status ? Json(*call.status) : Json(nullptr);
    const std::string statusText =
        call.status ? sim::StatusText(sim::StatusFrom64(*call.status)) : "no return";
    if (call.service == "RunModule") {
      entry = {{"status", status}, {"status_text", statusText}, {"failed", Json::array()}};
      continue;
    }
    if (call.service == "Notify") {
      notificationOf[index] = notifications.size();
      notifications.push_back({{"ppi", call.ppis.empty() ? std::string() : call.ppis.front()},
                               {"status", status},
                               {"status_text", statusText},
                               {"failed", Json::array()}});
      continue;
    }
    if (!failed(call)) continue;
    const std::optional<size_t> in = owner(index);
    if (in && notificationOf[*in] != SIZE_MAX) {
      notifications[notificationOf[*in]]["failed"].push_back(text(call));
    } else if (in && !entry.is_null()) {
      entry["failed"].push_back(text(call));
    } else {
      elsewhere.push_back(text(call));
    }
  }
  return {{"entry", entry}, {"notifications", notifications}, {"failed_elsewhere", elsewhere}};
}

}  // namespace bootsim
