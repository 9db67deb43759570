// The TOML reader of board descriptions. Each table of the description is
// read through a TableReader that marks the keys it takes, so a key that no
// field takes (a typing error, most of the time) is reported instead of
// silently ignored. Checks that span several tables (the PCI topology, the
// tokens) run once everything is read.
#include "BoardFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "debug/HdtOutBackend.h"

namespace bootsim {

BoardError::BoardError(std::string file, uint32_t line, std::string key, std::string message)
    : std::runtime_error([&] {
        std::string text = file;
        if (line != 0) text += ":" + std::to_string(line);
        text += ": ";
        if (!key.empty()) text += "key '" + key + "': ";
        return text + message;
      }()),
      file_(std::move(file)),
      line_(line),
      key_(std::move(key)),
      message_(std::move(message)) {}

std::string PciLocation::Text() const {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x.%x", bus, device, function);
  return text;
}

namespace {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

uint64_t MaxOf(unsigned bits) { return bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1; }

// Error statuses by name, as 64-bit values (error bit 63).
const std::map<std::string, uint64_t> &StatusNames() {
  static const std::map<std::string, uint64_t> names = [] {
    static constexpr const char *kErrors[] = {
        "EFI_LOAD_ERROR",       "EFI_INVALID_PARAMETER", "EFI_UNSUPPORTED",   "EFI_BAD_BUFFER_SIZE",
        "EFI_BUFFER_TOO_SMALL", "EFI_NOT_READY",         "EFI_DEVICE_ERROR",  "EFI_WRITE_PROTECTED",
        "EFI_OUT_OF_RESOURCES", "EFI_VOLUME_CORRUPTED",  "EFI_VOLUME_FULL",   "EFI_NO_MEDIA",
        "EFI_MEDIA_CHANGED",    "EFI_NOT_FOUND",         "EFI_ACCESS_DENIED", "EFI_NO_RESPONSE",
        "EFI_NO_MAPPING",       "EFI_TIMEOUT",           "EFI_NOT_STARTED",   "EFI_ALREADY_STARTED",
        "EFI_ABORTED"};
    std::map<std::string, uint64_t> map;
    for (size_t code = 0; code < std::size(kErrors); code++) {
      map[kErrors[code]] = (uint64_t{1} << 63) | (code + 1);
    }
    return map;
  }();
  return names;
}

uint32_t LineOf(const toml::source_region &region) {
  return static_cast<uint32_t>(region.begin.line);
}

// Reads one TOML table; every getter marks its key as known.
class TableReader {
 public:
  TableReader(const toml::table &table, std::string path, const std::string &file)
      : table_(table), path_(std::move(path)), file_(file) {}

  const std::string &Path() const { return path_; }
  uint32_t Line() const { return LineOf(table_.source()); }
  std::string KeyPath(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  }
  bool Has(std::string_view key) const { return table_.contains(key); }

  [[noreturn]] void Fail(std::string_view key, const std::string &message) const {
    const toml::node *node = table_.get(key);
    throw BoardError(file_, node ? LineOf(node->source()) : Line(), KeyPath(key), message);
  }
  [[noreturn]] void FailTable(const std::string &message) const {
    throw BoardError(file_, Line(), path_, message);
  }

  const toml::node *Take(std::string_view key) {
    taken_.insert(std::string(key));
    return table_.get(key);
  }

  std::optional<uint64_t> Unsigned(std::string_view key, unsigned bits) {
    const toml::node *node = Take(key);
    if (node == nullptr) return std::nullopt;
    return NodeUnsigned(*node, KeyPath(key), bits);
  }
  uint64_t Unsigned(std::string_view key, unsigned bits, uint64_t fallback) {
    return Unsigned(key, bits).value_or(fallback);
  }
  uint64_t Required(std::string_view key, unsigned bits) {
    if (auto value = Unsigned(key, bits)) return *value;
    FailTable("missing required key '" + std::string(key) + "'");
  }
  // An integer in [min, max].
  uint64_t Ranged(std::string_view key, uint64_t min, uint64_t max, uint64_t fallback) {
    const toml::node *node = Take(key);
    if (node == nullptr) return fallback;
    const uint64_t value = NodeUnsigned(*node, KeyPath(key), 64);
    if (value < min || value > max) {
      Fail(key, "value " + Hex(value) + " out of range (" + Hex(min) + " to " + Hex(max) + ")");
    }
    return value;
  }
  std::optional<bool> Bool(std::string_view key) {
    const toml::node *node = Take(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_boolean()) Fail(key, "expected true or false");
    return node->value<bool>();
  }
  bool Bool(std::string_view key, bool fallback) { return Bool(key).value_or(fallback); }
  std::optional<std::string> String(std::string_view key) {
    const toml::node *node = Take(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_string()) Fail(key, "expected a string");
    return node->value<std::string>();
  }
  std::optional<TableReader> Table(std::string_view key) {
    const toml::node *node = Take(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_table()) Fail(key, "expected a table");
    return TableReader(*node->as_table(), KeyPath(key), file_);
  }
  const toml::array *Array(std::string_view key) {
    const toml::node *node = Take(key);
    if (node == nullptr) return nullptr;
    if (!node->is_array()) Fail(key, "expected an array");
    return node->as_array();
  }
  // An array of tables, [[key]] or [{...}, {...}].
  std::vector<TableReader> Tables(std::string_view key) {
    std::vector<TableReader> readers;
    const toml::array *array = Array(key);
    if (array == nullptr) return readers;
    for (size_t index = 0; index < array->size(); index++) {
      const toml::node &element = (*array)[index];
      const std::string path = KeyPath(key) + "[" + std::to_string(index) + "]";
      if (!element.is_table()) {
        throw BoardError(file_, LineOf(element.source()), path, "expected a table");
      }
      readers.emplace_back(*element.as_table(), path, file_);
    }
    return readers;
  }
  std::vector<uint8_t> Bytes(std::string_view key) {
    std::vector<uint8_t> bytes;
    const toml::array *array = Array(key);
    if (array == nullptr) return bytes;
    for (size_t index = 0; index < array->size(); index++) {
      bytes.push_back(static_cast<uint8_t>(
          NodeUnsigned((*array)[index], KeyPath(key) + "[" + std::to_string(index) + "]", 8)));
    }
    return bytes;
  }

  // Reports the first key that no getter took.
  void Finish() const {
    for (auto &&[key, node] : table_) {
      if (!taken_.contains(std::string(key.str()))) {
        throw BoardError(file_, LineOf(key.source()), KeyPath(key.str()), "unknown key");
      }
    }
  }

  // Every key of the table, for tables whose keys are numbers.
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (auto &&[key, node] : table_) keys.emplace_back(key.str());
    return keys;
  }

  // An integer, or a string "0x..." for 64-bit values beyond TOML's signed
  // integers.
  uint64_t NodeUnsigned(const toml::node &node, const std::string &path, unsigned bits) const {
    uint64_t value = 0;
    if (node.is_integer()) {
      const int64_t signedValue = *node.value<int64_t>();
      if (signedValue < 0) {
        throw BoardError(file_, LineOf(node.source()), path, "negative value not allowed");
      }
      value = static_cast<uint64_t>(signedValue);
    } else if (node.is_string()) {
      const std::string text = *node.value<std::string>();
      if (!ParseNumber(text, value)) {
        throw BoardError(file_, LineOf(node.source()), path,
                         "expected an integer, or a string \"0x...\" of hexadecimal digits");
      }
    } else {
      throw BoardError(file_, LineOf(node.source()), path, "expected an integer");
    }
    if (value > MaxOf(bits)) {
      throw BoardError(file_, LineOf(node.source()), path,
                       "value " + Hex(value) + " does not fit in " + std::to_string(bits) +
                           " bits (0 to " + Hex(MaxOf(bits)) + ")");
    }
    return value;
  }

  // "0x1F", "0X1f" or decimal digits; nothing else.
  static bool ParseNumber(std::string_view text, uint64_t &value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      text.remove_prefix(2);
      base = 16;
    }
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
  }

 private:
  const toml::table &table_;
  std::string path_;
  const std::string &file_;
  std::set<std::string> taken_;
};

uint64_t ReadStatus(TableReader &reader, std::string_view key, uint64_t fallback) {
  const auto text = reader.String(key);
  if (!text) return fallback;
  const auto &names = StatusNames();
  const auto found = names.find(*text);
  if (found == names.end()) {
    reader.Fail(key, "unknown status \"" + *text + "\" (expected an error status such as " +
                         "EFI_DEVICE_ERROR or EFI_TIMEOUT)");
  }
  return found->second;
}

// A four-character signature ("AS3T") or a 32-bit number.
uint32_t ReadSignature(TableReader &reader, std::string_view key, uint32_t fallback) {
  if (!reader.Has(key)) return fallback;
  const toml::node *node = reader.Take(key);
  if (node->is_string()) {
    const std::string text = *node->value<std::string>();
    if (text.size() != 4) reader.Fail(key, "a signature string has exactly four characters");
    uint32_t value = 0;
    std::memcpy(&value, text.data(), 4);  // memory order, little-endian
    return value;
  }
  return static_cast<uint32_t>(reader.NodeUnsigned(*node, reader.KeyPath(key), 32));
}

PciLocation ReadPciLocation(TableReader &reader, std::string_view key) {
  const auto text = reader.String(key);
  if (!text) reader.FailTable("missing required key '" + std::string(key) + "'");
  unsigned bus = 0, device = 0, function = 0;
  char tail = 0;
  if (std::sscanf(text->c_str(), "%2x:%2x.%1x%c", &bus, &device, &function, &tail) != 3 ||
      text->size() != 7 || device > 0x1F || function > 7) {
    reader.Fail(key, "\"" + *text +
                         "\" is not a PCI address of the form \"bb:dd.f\" (hexadecimal bus, "
                         "device 00 to 1f, function 0 to 7)");
  }
  return {static_cast<uint8_t>(bus), static_cast<uint8_t>(device), static_cast<uint8_t>(function)};
}

UartReadinessDescription ReadReadiness(TableReader &reader, std::string_view key) {
  UartReadinessDescription readiness;
  if (!reader.Has(key)) return readiness;
  const toml::node *node = reader.Take(key);
  if (node->is_string()) {
    const std::string text = *node->value<std::string>();
    if (text == "at-once") {
      readiness.mode = UartReadinessDescription::Mode::AtOnce;
    } else if (text == "never") {
      readiness.mode = UartReadinessDescription::Mode::Never;
    } else {
      reader.Fail(key, "expected \"at-once\", \"never\" or a number of reads");
    }
    return readiness;
  }
  readiness.mode = UartReadinessDescription::Mode::AfterReads;
  readiness.reads = static_cast<uint32_t>(reader.NodeUnsigned(*node, reader.KeyPath(key), 31));
  return readiness;
}

void ReadBoardTable(TableReader &root, Board &board) {
  if (auto table = root.Table("board")) {
    board.name = table->String("name").value_or("");
    board.description = table->String("description").value_or("");
    table->Finish();
  }
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
  for (TableReader &entry : table->Tables("failures")) {
    SmbusFailure failure;
    failure.address = static_cast<uint8_t>(entry.Required("address", 7));
    const auto operation = entry.String("operation");
    if (!operation || (*operation != "read" && *operation != "write")) {
      entry.Fail("operation", "expected \"read\" or \"write\"");
    }
    failure.write = *operation == "write";
    failure.status = ReadStatus(entry, "status", StatusNames().at("EFI_DEVICE_ERROR"));
    failure.call = static_cast<uint32_t>(entry.Unsigned("call", 32, 0));
    entry.Finish();
    smbus.failures.push_back(failure);
  }
  table->Finish();
}

void ReadBmc(TableReader &root, Board &board) {
  BmcDescription &bmc = board.bmc;
  bmc.failureStatus = StatusNames().at("EFI_TIMEOUT");
  auto table = root.Table("bmc");
  if (!table) return;
  bmc.present = table->Bool("present", true);
  if (table->Has("answer_after")) {
    const toml::node *node = table->Take("answer_after");
    if (node->is_string() && *node->value<std::string>() == "never") {
      bmc.answerAfter.reset();
    } else if (node->is_integer()) {
      bmc.answerAfter =
          static_cast<uint32_t>(table->NodeUnsigned(*node, table->KeyPath("answer_after"), 31));
    } else {
      table->Fail("answer_after", "expected a number of failed attempts or \"never\"");
    }
  }
  bmc.responseLength = static_cast<uint8_t>(table->Ranged("response_length", 0, 10, 1));
  bmc.failureStatus = ReadStatus(*table, "failure_status", bmc.failureStatus);
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
  const uint64_t size = table->Ranged("size", 0, kMaxVariableSize, 4092);
  const uint8_t fill = static_cast<uint8_t>(table->Unsigned("fill", 8, 0));
  variable.data.assign(size, fill);
  for (TableReader &entry : table->Tables("bytes")) {
    const uint64_t offset = entry.Ranged("offset", 0, size == 0 ? 0 : size - 1, UINT64_MAX);
    if (offset == UINT64_MAX || size == 0) {
      entry.FailTable("needs an offset inside the variable (size " + std::to_string(size) + ")");
    }
    variable.data[offset] = static_cast<uint8_t>(entry.Required("value", 8));
    entry.Finish();
  }
  table->Finish();
}

const TokenInfo *FindToken(uint64_t token) {
  for (const TokenInfo &info : kSystemTokens) {
    if (info.token == token) return &info;
  }
  return nullptr;
}

void ReadPcd(TableReader &root, Board &board) {
  auto table = root.Table("pcd");
  if (!table) return;
  for (const std::string &key : table->Keys()) {
    uint64_t token = 0;
    if (!TableReader::ParseNumber(key, token)) {
      table->Fail(key, "a token is named by its number, e.g. 3 = 0x02");
    }
    const TokenInfo *info = FindToken(token);
    if (info == nullptr) {
      table->Fail(key, "token " + key + " is not one of this system's tokens");
    }
    if (token == 584 || token == 585) {
      table->Fail(key,
                  "token " + key + " holds an address that the simulation assigns (see [s3_save])");
    }
    PcdDefault entry;
    entry.token = info->token;
    entry.size = info->size;
    const toml::node *node = table->Take(key);
    entry.value = table->NodeUnsigned(*node, table->KeyPath(key), info->size * 8);
    entry.line = LineOf(node->source());
    board.pcd.push_back(entry);
  }
  table->Finish();
}

void ReadHostBridge(TableReader &root, Board &board) {
  auto table = root.Table("host_bridge");
  if (!table) return;
  std::set<unsigned> seen;
  for (TableReader &entry : table->Tables("bus_groups")) {
    BusGroup group;
    group.group = static_cast<unsigned>(entry.Ranged("group", 0, 7, UINT64_MAX));
    if (group.group > 7) entry.FailTable("missing required key 'group'");
    group.first = static_cast<uint8_t>(entry.Required("first", 8));
    group.last = static_cast<uint8_t>(entry.Required("last", 8));
    if (group.first > group.last) {
      entry.Fail("last", "the last bus of a group lies below its first bus");
    }
    if (!seen.insert(group.group).second) {
      entry.Fail("group", "bus group " + std::to_string(group.group) + " is described twice");
    }
    entry.Finish();
    board.busGroups.push_back(group);
  }
  table->Finish();
}

// Default IDs of bridges the description gives no ID for; vendor 0xB0A5 is
// the simulator's own.
constexpr uint32_t kDefaultRootPortId = 0x0002B0A5;
constexpr uint32_t kDefaultBridgeId = 0x0003B0A5;

void ReadBridgeNumbers(TableReader &entry, BridgeDescription &bridge) {
  bridge.secondaryBus = static_cast<uint8_t>(entry.Required("secondary_bus", 8));
  bridge.subordinateBus = static_cast<uint8_t>(entry.Required("subordinate_bus", 8));
  bridge.key = entry.Path();
  bridge.line = entry.Line();
}

void ReadRootPorts(TableReader &root, Board &board) {
  for (TableReader &entry : root.Tables("root_port")) {
    RootPortDescription port;
    port.port = static_cast<unsigned>(entry.Ranged("port", 1, 4, 0));
    if (port.port == 0) entry.FailTable("missing required key 'port'");
    port.location = static_cast<uint32_t>(entry.Required("location", 32));
    port.bridge.id = static_cast<uint32_t>(entry.Unsigned("id", 32, kDefaultRootPortId));
    ReadBridgeNumbers(entry, port.bridge);
    entry.Finish();
    board.rootPorts.push_back(port);
  }
  for (TableReader &entry : root.Tables("bridge")) {
    BridgeDescription bridge;
    bridge.address = ReadPciLocation(entry, "address");
    bridge.id = static_cast<uint32_t>(entry.Unsigned("id", 32, kDefaultBridgeId));
    ReadBridgeNumbers(entry, bridge);
    entry.Finish();
    board.bridges.push_back(bridge);
  }
}

std::array<uint8_t, 6> ParseMac(TableReader &reader, std::string_view key) {
  const auto text = reader.String(key);
  if (!text) reader.FailTable("missing required key '" + std::string(key) + "'");
  std::array<uint8_t, 6> mac{};
  unsigned parts[6];
  char tail = 0;
  if (text->size() != 17 ||
      std::sscanf(text->c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &parts[0], &parts[1], &parts[2],
                  &parts[3], &parts[4], &parts[5], &tail) != 6) {
    reader.Fail(key, "\"" + *text + "\" is not a MAC address of the form \"00:1B:21:AA:BB:CC\"");
  }
  for (size_t index = 0; index < 6; index++) mac[index] = static_cast<uint8_t>(parts[index]);
  return mac;
}

// A VPD image in the usual resource layout: identifier string, read-only
// resource with VA (the number of addresses, as a digit) and the address
// keywords, a checksum keyword, end tag. The firmware only scans it for the
// keyword patterns; the layout keeps it a plausible image all the same.
std::vector<uint8_t> BuildVpdImage(unsigned count,
                                   const std::vector<std::pair<char, std::string>> &keywords) {
  std::vector<uint8_t> image;
  const std::string name = "Network controller";
  image.push_back(0x82);
  image.push_back(static_cast<uint8_t>(name.size()));
  image.push_back(0);
  image.insert(image.end(), name.begin(), name.end());
  std::vector<uint8_t> fields = {'V', 'A', 1, static_cast<uint8_t>('0' + count)};
  for (const auto &[digit, text] : keywords) {
    fields.push_back('V');
    fields.push_back(static_cast<uint8_t>(digit));
    fields.push_back(12);
    fields.insert(fields.end(), text.begin(), text.end());
  }
  fields.insert(fields.end(), {'R', 'V', 1, 0});
  image.push_back(0x90);
  image.push_back(static_cast<uint8_t>(fields.size()));
  image.push_back(static_cast<uint8_t>(fields.size() >> 8));
  const size_t checksumAt = image.size() + fields.size() - 1;
  image.insert(image.end(), fields.begin(), fields.end());
  uint8_t sum = 0;
  for (size_t index = 0; index < checksumAt; index++)
    sum = static_cast<uint8_t>(sum + image[index]);
  image[checksumAt] = static_cast<uint8_t>(-sum);
  image.push_back(0x78);
  return image;
}

constexpr size_t kMaxVpdImage = 0x8000;  // 15-bit VPD addresses

VpdDescription ReadVpd(TableReader &table) {
  VpdDescription vpd;
  if (table.Has("image")) {
    if (table.Has("count") || table.Has("keywords")) {
      table.Fail("image", "give either image or count and keywords, not both");
    }
    vpd.image = table.Bytes("image");
    if (vpd.image.size() > kMaxVpdImage)
      table.Fail("image", "a VPD image holds at most 32768 bytes");
  } else {
    const unsigned count = static_cast<unsigned>(table.Ranged("count", 0, 9, 0));
    std::vector<std::pair<char, std::string>> keywords;
    if (auto words = table.Table("keywords")) {
      for (const char digit : {'2', '3', '4', '5'}) {
        const std::string key = std::string("V") + digit;
        if (auto text = words->String(key)) {
          if (text->size() != 12) {
            words->Fail(key, "an address keyword holds exactly 12 characters");
          }
          keywords.emplace_back(digit, *text);
        }
      }
      words->Finish();
    }
    vpd.image = BuildVpdImage(count, keywords);
  }
  if (table.Has("completion_reads")) {
    const toml::node *node = table.Take("completion_reads");
    if (node->is_string() && *node->value<std::string>() == "never") {
      vpd.neverCompletes = true;
    } else {
      vpd.completionReads =
          static_cast<uint32_t>(table.NodeUnsigned(*node, table.KeyPath("completion_reads"), 31));
    }
  }
  table.Finish();
  return vpd;
}

constexpr uint64_t kMaxBarSize = uint64_t{1} << 32;

void ReadDevices(TableReader &root, Board &board) {
  for (TableReader &entry : root.Tables("device")) {
    DeviceDescription device;
    device.key = entry.Path();
    device.line = entry.Line();
    device.address = ReadPciLocation(entry, "address");
    device.id = static_cast<uint32_t>(entry.Required("id", 32));
    device.baseClass = static_cast<uint8_t>(entry.Unsigned("class", 8, 0));
    device.subClass = static_cast<uint8_t>(entry.Unsigned("subclass", 8, 0));
    device.progIf = static_cast<uint8_t>(entry.Unsigned("prog_if", 8, 0));
    device.revision = static_cast<uint8_t>(entry.Unsigned("revision", 8, 0));
    device.subsystem = static_cast<uint32_t>(entry.Unsigned("subsystem", 32, 0));
    if (auto rom = entry.Unsigned("rom_base", 32)) device.romBase = static_cast<uint32_t>(*rom);
    device.command = static_cast<uint16_t>(entry.Unsigned("command", 16, 0));
    std::set<unsigned> barSlots;
    for (TableReader &barEntry : entry.Tables("bars")) {
      Bar bar;
      bar.index = static_cast<unsigned>(barEntry.Ranged("index", 0, 5, 0));
      const std::string type = barEntry.String("type").value_or("mem32");
      if (type != "mem32" && type != "mem64") {
        barEntry.Fail("type", "expected \"mem32\" or \"mem64\"");
      }
      bar.is64 = type == "mem64";
      bar.base = barEntry.Unsigned("base", bar.is64 ? 64 : 32, 0);
      bar.size = barEntry.Ranged("size", 16, kMaxBarSize, 0);
      if (bar.size == 0) barEntry.FailTable("missing required key 'size'");
      if ((bar.size & (bar.size - 1)) != 0) barEntry.Fail("size", "a BAR size is a power of two");
      if (bar.base % bar.size != 0) {
        barEntry.Fail("base",
                      "the base " + Hex(bar.base) + " is not aligned to the size " + Hex(bar.size));
      }
      if (bar.is64 && bar.index == 5) barEntry.Fail("index", "a 64-bit BAR needs two slots");
      bar.prefetchable = barEntry.Bool("prefetchable", bar.is64);
      for (unsigned slot = bar.index; slot <= bar.index + (bar.is64 ? 1 : 0); slot++) {
        if (!barSlots.insert(slot).second) {
          barEntry.Fail("index", "BAR slot " + std::to_string(slot) + " is described twice");
        }
      }
      barEntry.Finish();
      device.bars.push_back(bar);
    }
    if (const toml::array *caps = entry.Array("capabilities")) {
      for (size_t index = 0; index < caps->size(); index++) {
        const uint8_t id = static_cast<uint8_t>(entry.NodeUnsigned(
            (*caps)[index], entry.KeyPath("capabilities") + "[" + std::to_string(index) + "]", 8));
        if (id == 0x03) entry.Fail("capabilities", "describe the VPD capability with vpd = {...}");
        device.capabilities.push_back(id);
      }
      if (device.capabilities.size() > 16) entry.Fail("capabilities", "at most 16 capabilities");
    }
    if (auto vpd = entry.Table("vpd")) device.vpd = ReadVpd(*vpd);
    if (auto mac = entry.Table("mac")) {
      MacDescription description;
      description.address = ParseMac(*mac, "address");
      const std::string location = mac->String("location").value_or("");
      if (location == "registers") {
        description.location = MacLocation::Registers;
      } else if (location == "registers-split") {
        description.location = MacLocation::RegistersSplit;
      } else if (location == "serial-number") {
        description.location = MacLocation::SerialNumber;
      } else if (location == "serial-number-reversed") {
        description.location = MacLocation::SerialNumberReversed;
      } else {
        mac->Fail("location",
                  "expected \"registers\", \"registers-split\", \"serial-number\" or "
                  "\"serial-number-reversed\"");
      }
      mac->Finish();
      device.mac = description;
    }
    for (TableReader &block : entry.Tables("config_bytes")) {
      ByteBlock bytes;
      bytes.offset = block.Ranged("offset", 0, 0xFFF, 0);
      bytes.bytes = block.Bytes("bytes");
      if (bytes.offset + bytes.bytes.size() > 0x1000) {
        block.Fail("bytes", "the bytes run past the 4 KiB configuration space");
      }
      block.Finish();
      device.configBytes.push_back(std::move(bytes));
    }
    for (TableReader &block : entry.Tables("bar_bytes")) {
      BarBytes bytes;
      bytes.bar = static_cast<unsigned>(block.Ranged("bar", 0, 5, 0));
      bytes.block.offset = block.Unsigned("offset", 32, 0);
      bytes.block.bytes = block.Bytes("bytes");
      block.Finish();
      device.barBytes.push_back(std::move(bytes));
    }
    entry.Finish();
    board.devices.push_back(std::move(device));
  }
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
  if (table->Has("tsc_hz")) {
    cpu.tscHz = table->Ranged("tsc_hz", 1000000, 100000000000ull, 0);
  }
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
  header.BufferSize = static_cast<UINT16>(table.Ranged("buffer_size", 0, 0xFFFF, 256));
  header.WriteIndex = static_cast<UINT16>(table.Ranged("write_index", 0, header.BufferSize, 0));
  header.PrintEnable = static_cast<UINT8>(table.Unsigned("print_enable", 8, 1));
  header.BufferedMode = static_cast<UINT8>(table.Unsigned("buffered_mode", 8, 0));
  header.OutputFilter = table.Unsigned("output_filter", 64, 0x100401008A300408ull);
  table.Finish();
  std::vector<uint8_t> data(HDT_OUT_DATA_OFFSET + header.BufferSize, 0);
  std::memcpy(data.data(), &header, sizeof header);
  return data;
}

constexpr size_t kMaxHeapBuffer = 0xFF00;  // one HOB's length is 16 bits

void ReadHeapBuffers(TableReader &root, Board &board) {
  for (TableReader &entry : root.Tables("heap_buffer")) {
    HeapBufferDescription buffer;
    buffer.signature = ReadSignature(entry, "signature", buffer.signature);
    buffer.handle = static_cast<uint32_t>(entry.Required("handle", 32));
    buffer.memoryKind = static_cast<uint8_t>(entry.Unsigned("memory_kind", 8, 0));
    buffer.active = static_cast<uint8_t>(entry.Unsigned("active", 8, 1));
    if (entry.Has("hdt_header")) {
      if (entry.Has("data")) entry.Fail("data", "give either data or hdt_header, not both");
      auto header = entry.Table("hdt_header");
      buffer.data = BuildHdtHeader(*header);
    } else {
      buffer.data = entry.Bytes("data");
    }
    if (buffer.data.size() > kMaxHeapBuffer) {
      entry.FailTable("a heap buffer holds at most " + std::to_string(kMaxHeapBuffer) + " bytes");
    }
    entry.Finish();
    board.heapBuffers.push_back(std::move(buffer));
  }
}

constexpr uint64_t kMaxS3Table = 0x100000;

void ReadS3Save(TableReader &root, Board &board) {
  auto table = root.Table("s3_save");
  if (!table) return;
  S3SaveDescription &s3 = board.s3;
  s3.table = table->Bool("table", false);
  s3.signature = ReadSignature(*table, "signature", s3.signature);
  s3.size = table->Ranged("size", 48, kMaxS3Table, s3.size);
  // The library reads the marker and writes the end mark where the header
  // says; both must lie inside the table the simulation allocates.
  s3.boundaryOffset = table->Ranged("boundary_offset", 0, s3.size - 4, s3.boundaryOffset);
  s3.boundaryMarker =
      static_cast<uint32_t>(table->Unsigned("boundary_marker", 32, s3.boundaryMarker));
  s3.endOffset = table->Ranged("end_offset", 0, s3.size - 2, s3.endOffset);
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
  for (const std::string &key : table->Keys()) {
    uint64_t index = 0;
    if (!TableReader::ParseNumber(key, index) || index > 0x7F) {
      table->Fail(key, "a CMOS byte is named by its index, 0 to 0x7F (e.g. 0x58 = 2)");
    }
    const toml::node *node = table->Take(key);
    board.cmos[index] = static_cast<uint8_t>(table->NodeUnsigned(*node, table->KeyPath(key), 8));
  }
  table->Finish();
}

void ReadModules(TableReader &root, Board &board) {
  auto table = root.Table("modules");
  if (!table) return;
  ModulesDescription &modules = board.modules;
  modules.setupSuppressTrigger = table->Bool("setup_suppress_trigger", true);
  modules.setupItemSuppress = table->Bool("setup_item_suppress", true);
  modules.smmReadyToLock = table->Bool("smm_ready_to_lock", true);
  modules.smmCommunication = table->Bool("smm_communication", true);
  if (const toml::array *installs = table->Array("pei_installs")) {
    modules.peiInstalls.clear();
    for (size_t index = 0; index < installs->size(); index++) {
      const toml::node &node = (*installs)[index];
      const std::string path = table->KeyPath("pei_installs") + "[" + std::to_string(index) + "]";
      const auto name = node.value<std::string>();
      if (!name || (*name != "smbus" && *name != "i2c-table" && *name != "i2c-apply")) {
        throw BoardError(board.source, LineOf(node.source()), path,
                         "expected \"smbus\", \"i2c-table\" or \"i2c-apply\"");
      }
      if (std::find(modules.peiInstalls.begin(), modules.peiInstalls.end(), *name) !=
          modules.peiInstalls.end()) {
        throw BoardError(board.source, LineOf(node.source()), path,
                         "\"" + *name + "\" is listed twice");
      }
      modules.peiInstalls.push_back(*name);
    }
  }
  table->Finish();
}

// ---- Checks across tables ---------------------------------------------------

struct PlacedFunction {
  PciLocation address;
  std::string key;
  uint32_t line;
};

void CheckTopology(Board &board) {
  const std::string &file = board.source;
  // Bus groups: the host bridge's defaults are 8 groups of 32 buses.
  std::array<BusGroup, 8> groups;
  for (unsigned g = 0; g < 8; g++) {
    groups[g] = {g, static_cast<uint8_t>(32 * g), static_cast<uint8_t>(32 * g + 31)};
  }
  for (const BusGroup &group : board.busGroups) groups[group.group] = group;

  // Root ports sit where their location token makes the firmware look.
  std::set<unsigned> ports;
  for (RootPortDescription &port : board.rootPorts) {
    const std::string key = port.bridge.key;
    if (!ports.insert(port.port).second) {
      throw BoardError(file, port.bridge.line, key + ".port",
                       "root port " + std::to_string(port.port) + " is described twice");
    }
    const unsigned relativeBus = (port.location >> 8) & 0xFF;
    const BusGroup &group = groups[relativeBus >> 5];
    const unsigned bus = group.first + (relativeBus & 0x1F);
    if (bus > group.last) {
      throw BoardError(file, port.bridge.line, key + ".location",
                       "contradictory topology: location " + Hex(port.location) + " names offset " +
                           Hex(relativeBus & 0x1F) + " of bus group " +
                           std::to_string(group.group) + ", which covers buses " +
                           Hex(group.first) + " to " + Hex(group.last));
    }
    port.bridge.address = {static_cast<uint8_t>(bus),
                           static_cast<uint8_t>((port.location >> 3) & 0x1F),
                           static_cast<uint8_t>(port.location & 7)};
  }
  for (const PcdDefault &entry : board.pcd) {
    for (const RootPortDescription &port : board.rootPorts) {
      if (kRootPortTokens[port.port - 1] == entry.token) {
        throw BoardError(file, entry.line, "pcd." + std::to_string(entry.token),
                         "contradictory: root_port " + std::to_string(port.port) +
                             " already gives this token its value");
      }
    }
  }

  // Every function has an address of its own; 00:00.0 is the host bridge.
  std::vector<PlacedFunction> placed;
  std::vector<const BridgeDescription *> bridges;
  auto place = [&](const PciLocation &address, const std::string &key, uint32_t line) {
    if (address == PciLocation{0, 0, 0}) {
      throw BoardError(file, line, key, "contradictory topology: 00:00.0 is the host bridge");
    }
    for (const PlacedFunction &other : placed) {
      if (other.address == address) {
        throw BoardError(file, line, key,
                         "contradictory topology: " + address.Text() + " is also described by " +
                             other.key + " (line " + std::to_string(other.line) + ")");
      }
    }
    placed.push_back({address, key, line});
  };
  for (const RootPortDescription &port : board.rootPorts) {
    place(port.bridge.address, port.bridge.key, port.bridge.line);
    bridges.push_back(&port.bridge);
  }
  for (const BridgeDescription &bridge : board.bridges) {
    place(bridge.address, bridge.key, bridge.line);
    bridges.push_back(&bridge);
  }
  for (const DeviceDescription &device : board.devices) {
    place(device.address, device.key, device.line);
  }

  // Bridge bus ranges: below the bridge's own bus, and nested or disjoint.
  for (const BridgeDescription *bridge : bridges) {
    if (bridge->secondaryBus <= bridge->address.bus) {
      throw BoardError(file, bridge->line, bridge->key + ".secondary_bus",
                       "contradictory topology: the secondary bus " + Hex(bridge->secondaryBus) +
                           " is not above the bridge's own bus " + Hex(bridge->address.bus));
    }
    if (bridge->subordinateBus < bridge->secondaryBus) {
      throw BoardError(file, bridge->line, bridge->key + ".subordinate_bus",
                       "contradictory topology: the subordinate bus lies below the secondary bus");
    }
  }
  for (size_t a = 0; a < bridges.size(); a++) {
    for (size_t b = 0; b < bridges.size(); b++) {
      if (a == b) continue;
      const BridgeDescription &outer = *bridges[a];
      const BridgeDescription &inner = *bridges[b];
      const bool overlap =
          inner.secondaryBus <= outer.subordinateBus && outer.secondaryBus <= inner.subordinateBus;
      if (!overlap) continue;
      const bool nested = outer.secondaryBus <= inner.address.bus &&
                          inner.address.bus <= outer.subordinateBus &&
                          inner.subordinateBus <= outer.subordinateBus;
      const bool reverse = inner.secondaryBus <= outer.address.bus &&
                           outer.address.bus <= inner.subordinateBus &&
                           outer.subordinateBus <= inner.subordinateBus;
      if (!nested && !reverse) {
        throw BoardError(file, inner.line, inner.key,
                         "contradictory topology: buses " + Hex(inner.secondaryBus) + " to " +
                             Hex(inner.subordinateBus) + " overlap those of " + outer.key +
                             " (line " + std::to_string(outer.line) + ")");
      }
    }
  }

  // Device windows: apart from each other and from configuration space; MAC
  // locations inside the window that holds them.
  struct Window {
    uint64_t base, size;
    std::string key;
    uint32_t line;
  };
  std::vector<Window> windows;
  constexpr uint64_t kEcamBase = 0xE0000000, kEcamSize = 0x10000000;
  for (const DeviceDescription &device : board.devices) {
    const Bar *bar0 = nullptr;
    for (const Bar &bar : device.bars) {
      if (bar.index == 0) bar0 = &bar;
      if (bar.base == 0) continue;  // unassigned: decodes nothing
      const std::string key = device.key + ".bars";
      if (bar.base < kEcamBase + kEcamSize && kEcamBase < bar.base + bar.size) {
        throw BoardError(file, device.line, key,
                         "contradictory topology: BAR " + std::to_string(bar.index) + " at " +
                             Hex(bar.base) + " overlaps PCI configuration space at 0xE0000000");
      }
      for (const Window &other : windows) {
        if (bar.base < other.base + other.size && other.base < bar.base + bar.size) {
          throw BoardError(file, device.line, key,
                           "contradictory topology: BAR " + std::to_string(bar.index) + " at " +
                               Hex(bar.base) + " overlaps a BAR of " + other.key + " (line " +
                               std::to_string(other.line) + ")");
        }
      }
      windows.push_back({bar.base, bar.size, device.key, device.line});
    }
    for (const BarBytes &bytes : device.barBytes) {
      const Bar *bar = nullptr;
      for (const Bar &candidate : device.bars) {
        if (candidate.index == bytes.bar) bar = &candidate;
      }
      if (bar == nullptr || bytes.block.offset + bytes.block.bytes.size() > bar->size) {
        throw BoardError(file, device.line, device.key + ".bar_bytes",
                         "the bytes do not lie inside BAR " + std::to_string(bytes.bar));
      }
    }
    if (device.mac && (device.mac->location == MacLocation::Registers ||
                       device.mac->location == MacLocation::RegistersSplit)) {
      const uint64_t needed = device.mac->location == MacLocation::Registers ? 0x5406 : 0x1E2142;
      if (bar0 == nullptr || bar0->size < needed) {
        throw BoardError(file, device.line, device.key + ".mac.location",
                         "this location needs a BAR 0 of at least " + Hex(needed) + " bytes");
      }
    }
  }
}

Board ParseDocument(const toml::table &document, const std::string &file) {
  Board board;
  board.source = file;
  TableReader root(document, "", file);
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
  root.Finish();
  CheckTopology(board);
  return board;
}

}  // namespace

Board ParseBoard(std::string_view text, const std::string &file) {
  toml::table document;
  try {
    document = toml::parse(text, file);
  } catch (const toml::parse_error &error) {
    throw BoardError(file, LineOf(error.source()), "",
                     "TOML syntax error: " + std::string(error.description()));
  }
  return ParseDocument(document, file);
}

Board LoadBoardFile(const std::string &path) {
  std::error_code code;
  if (std::filesystem::is_directory(path, code)) {
    throw BoardError(path, 0, "", "cannot read the file: it is a directory");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw BoardError(path, 0, "", std::string("cannot read the file: ") + std::strerror(errno));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw BoardError(path, 0, "", "cannot read the file");
  return ParseBoard(text.str(), path);
}

Board LoadReferenceBoard() { return ParseBoard(ReferenceBoardText(), "built-in reference board"); }

}  // namespace bootsim
