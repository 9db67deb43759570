// The TOML reader of board descriptions. Each table of the description is
// read through a TableReader that marks the keys it takes, so a key that no
// field takes (a typing error, most of the time) is reported instead of
// silently ignored. Checks that span several tables (the PCI topology, the
// tokens) run once everything is read (BoardChecks.h).
#include "BoardFile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <map>
#include <set>

#include <toml++/toml.h>

#include "BoardChecks.h"
#include "BoardSource.h"
#include "TomlText.h"
#include "include/HdtOutHeader.h"

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

uint64_t MaxOf(unsigned bits) { return bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1; }

constexpr uint64_t kErrorBit = uint64_t{1} << 63;

// Statuses by name, as 64-bit values: success, the warnings and the errors
// of the UEFI standard.
const std::map<std::string, uint64_t> &StatusNames() {
  static const std::map<std::string, uint64_t> names = [] {
    static constexpr const char *kErrors[] = {
        "EFI_LOAD_ERROR",       "EFI_INVALID_PARAMETER", "EFI_UNSUPPORTED",   "EFI_BAD_BUFFER_SIZE",
        "EFI_BUFFER_TOO_SMALL", "EFI_NOT_READY",         "EFI_DEVICE_ERROR",  "EFI_WRITE_PROTECTED",
        "EFI_OUT_OF_RESOURCES", "EFI_VOLUME_CORRUPTED",  "EFI_VOLUME_FULL",   "EFI_NO_MEDIA",
        "EFI_MEDIA_CHANGED",    "EFI_NOT_FOUND",         "EFI_ACCESS_DENIED", "EFI_NO_RESPONSE",
        "EFI_NO_MAPPING",       "EFI_TIMEOUT",           "EFI_NOT_STARTED",   "EFI_ALREADY_STARTED",
        "EFI_ABORTED"};
    static constexpr const char *kWarnings[] = {"EFI_WARN_UNKNOWN_GLYPH", "EFI_WARN_DELETE_FAILURE",
                                                "EFI_WARN_WRITE_FAILURE",
                                                "EFI_WARN_BUFFER_TOO_SMALL", "EFI_WARN_STALE_DATA"};
    std::map<std::string, uint64_t> map = {{"EFI_SUCCESS", 0}};
    for (size_t code = 0; code < std::size(kErrors); code++) {
      map[kErrors[code]] = kErrorBit | (code + 1);
    }
    for (size_t code = 0; code < std::size(kWarnings); code++) map[kWarnings[code]] = code + 1;
    return map;
  }();
  return names;
}

uint64_t ErrorStatus(const char *name) { return StatusNames().at(name); }

uint32_t LineOf(const toml::source_region &region) {
  return static_cast<uint32_t>(region.begin.line);
}

NumberBase BaseOf(const toml::node &node) {
  if (const auto *integer = node.as_integer()) {
    switch (static_cast<unsigned>(integer->flags()) & 3) {
      case static_cast<unsigned>(toml::value_flags::format_as_hexadecimal):
        return NumberBase::Hexadecimal;
      case static_cast<unsigned>(toml::value_flags::format_as_octal):
        return NumberBase::Octal;
      case static_cast<unsigned>(toml::value_flags::format_as_binary):
        return NumberBase::Binary;
      default:
        return NumberBase::Decimal;
    }
  }
  return NumberBase::Hexadecimal;
}

// "0x1F", "0X1f" or decimal digits; nothing else.
bool ParseNumber(std::string_view text, uint64_t &value, NumberBase *base = nullptr) {
  int radix = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    radix = 16;
  }
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, radix);
  if (base != nullptr) *base = radix == 16 ? NumberBase::Hexadecimal : NumberBase::Decimal;
  return error == std::errc() && end == text.data() + text.size();
}

// Reads one TOML table; every getter marks its key as known and notes where
// it stands.
class TableReader {
 public:
  TableReader(const toml::table &table, std::string path, BoardSource &source)
      : table_(table), path_(std::move(path)), source_(source) {}

  const std::string &Path() const { return path_; }
  BoardSource &Source() const { return source_; }
  uint32_t Line() const { return LineOf(table_.source()); }
  std::string KeyPath(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  }
  bool Has(std::string_view key) const { return table_.contains(key); }

  [[noreturn]] void Fail(std::string_view key, const std::string &message) const {
    if (const toml::node *node = table_.get(key)) Note(KeyPath(key), *node);
    source_.Fail(KeyPath(key), message);
  }
  [[noreturn]] void FailTable(const std::string &message) const { source_.Fail(path_, message); }
  [[noreturn]] void Missing(std::string_view key) const {
    FailTable("missing required key '" + std::string(key) + "'");
  }
  // A number of the key in the base it was written in.
  std::string Number(std::string_view key, uint64_t value) const {
    return source_.Number(KeyPath(key), value);
  }

  const toml::node *Take(std::string_view key) {
    taken_.insert(std::string(key));
    const toml::node *node = table_.get(key);
    if (node != nullptr) Note(KeyPath(key), *node);
    return node;
  }
  void Note(const std::string &path, const toml::node &node) const {
    source_.Note(path, LineOf(node.source()), BaseOf(node));
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
    Missing(key);
  }
  // An integer in [min, max]; `range` states the range as the format's
  // documentation does ("0 to 10").
  std::optional<uint64_t> Ranged(std::string_view key, uint64_t min, uint64_t max,
                                 const std::string &range) {
    const toml::node *node = Take(key);
    if (node == nullptr) return std::nullopt;
    const uint64_t value = NodeUnsigned(*node, KeyPath(key), 64);
    if (value < min || value > max) {
      Fail(key, "value " + Number(key, value) + " out of range (" + range + ")");
    }
    return value;
  }
  uint64_t Ranged(std::string_view key, uint64_t min, uint64_t max, const std::string &range,
                  uint64_t fallback) {
    return Ranged(key, min, max, range).value_or(fallback);
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
  // One of `words`, or nullopt when the key is absent.
  std::optional<std::string> Word(std::string_view key, std::initializer_list<const char *> words) {
    const toml::node *node = Take(key);
    if (node == nullptr) return std::nullopt;
    const auto text = node->value<std::string>();
    for (const char *word : words) {
      if (text && *text == word) return *text;
    }
    std::string expected;
    size_t index = 0;
    for (const char *word : words) {
      expected += index == 0 ? "" : index + 1 == words.size() ? " or " : ", ";
      expected += "\"" + std::string(word) + "\"";
      index++;
    }
    Fail(key, "expected " + expected);
  }
  // A number, or the string `keyword` (as nullopt).
  std::optional<uint64_t> NumberOr(const toml::node &node, std::string_view key,
                                   const char *keyword, unsigned bits) {
    if (node.is_string() && *node.value<std::string>() == keyword) return std::nullopt;
    uint64_t quoted = 0;
    if (!node.is_integer() &&
        !(node.is_string() && ParseNumber(*node.value<std::string>(), quoted))) {
      Fail(key, "expected a number or \"" + std::string(keyword) + "\"");
    }
    return NodeUnsigned(node, KeyPath(key), bits);
  }
  std::optional<TableReader> Table(std::string_view key) {
    const toml::node *node = Take(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_table()) Fail(key, "expected a table");
    return TableReader(*node->as_table(), KeyPath(key), source_);
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
      Note(path, element);
      if (!element.is_table()) source_.Fail(path, "expected a table");
      readers.emplace_back(*element.as_table(), path, source_);
    }
    return readers;
  }
  std::vector<uint64_t> Numbers(std::string_view key, unsigned bits) {
    std::vector<uint64_t> numbers;
    const toml::array *array = Array(key);
    if (array == nullptr) return numbers;
    for (size_t index = 0; index < array->size(); index++) {
      numbers.push_back(
          NodeUnsigned((*array)[index], KeyPath(key) + "[" + std::to_string(index) + "]", bits));
    }
    return numbers;
  }
  std::vector<std::string> Strings(std::string_view key) {
    std::vector<std::string> strings;
    const toml::array *array = Array(key);
    if (array == nullptr) return strings;
    for (size_t index = 0; index < array->size(); index++) {
      const toml::node &element = (*array)[index];
      const std::string path = KeyPath(key) + "[" + std::to_string(index) + "]";
      if (!element.is_string()) {
        throw BoardError(source_.File(), LineOf(element.source()), path, "expected a string");
      }
      strings.push_back(*element.value<std::string>());
    }
    return strings;
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
        throw BoardError(source_.File(), LineOf(key.source()), KeyPath(key.str()), "unknown key");
      }
    }
  }

  // Every key of the table, for tables whose keys are numbers.
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (auto &&[key, node] : table_) keys.emplace_back(key.str());
    return keys;
  }

  // A TOML integer. A string of digits counts as a number only for a 64-bit
  // field and a value beyond TOML's signed integers (above
  // 0x7FFFFFFFFFFFFFFF): one rule for every key.
  uint64_t NodeUnsigned(const toml::node &node, const std::string &path, unsigned bits) const {
    auto fail = [&](const std::string &message) {
      throw BoardError(source_.File(), LineOf(node.source()), path, message);
    };
    uint64_t value = 0;
    NumberBase base = BaseOf(node);
    if (node.is_integer()) {
      const int64_t signedValue = *node.value<int64_t>();
      if (signedValue < 0) fail("negative value not allowed");
      value = static_cast<uint64_t>(signedValue);
    } else if (node.is_string()) {
      const std::string text = *node.value<std::string>();
      if (!ParseNumber(text, value, &base)) fail("expected an integer");
      if (bits < 64 || value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        fail("write the number without quotes, " + text +
             " (a quoted number is only for a 64-bit value above 0x7FFFFFFFFFFFFFFF)");
      }
    } else {
      fail("expected an integer");
    }
    if (value > MaxOf(bits)) {
      fail("value " + NumberText(value, base) + " does not fit in " + std::to_string(bits) +
           " bits (0 to " + NumberText(MaxOf(bits), base) + ")");
    }
    return value;
  }

 private:
  const toml::table &table_;
  std::string path_;
  BoardSource &source_;
  std::set<std::string> taken_;
};

// A status by name; `allowed` says which kinds the key takes.
enum class StatusKinds : uint8_t { Errors, Any };

uint64_t ReadStatus(TableReader &reader, std::string_view key, uint64_t fallback,
                    StatusKinds allowed = StatusKinds::Errors) {
  const auto text = reader.String(key);
  if (!text) return fallback;
  const auto &names = StatusNames();
  const auto found = names.find(*text);
  if (found == names.end() ||
      (allowed == StatusKinds::Errors && (found->second & kErrorBit) == 0)) {
    reader.Fail(key, "unknown status \"" + *text + "\" (expected " +
                         (allowed == StatusKinds::Errors
                              ? "an error status such as EFI_DEVICE_ERROR or EFI_TIMEOUT"
                              : "EFI_SUCCESS, a warning or an error status") +
                         ")");
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
  if (!text) reader.Missing(key);
  unsigned bus = 0, device = 0, function = 0;
  char tail = 0;
  if (text->size() != 7 ||
      std::sscanf(text->c_str(), "%2x:%2x.%1x%c", &bus, &device, &function, &tail) != 3 ||
      device > 0x1F || function > 7) {
    reader.Fail(key, "\"" + *text +
                         "\" is not a PCI address of the form \"bb:dd.f\" (hexadecimal bus, "
                         "device 00 to 1f, function 0 to 7)");
  }
  return {static_cast<uint8_t>(bus), static_cast<uint8_t>(device), static_cast<uint8_t>(function)};
}

UartReadinessDescription ReadReadiness(TableReader &reader, std::string_view key) {
  UartReadinessDescription readiness;
  const toml::node *node = reader.Take(key);
  if (node == nullptr) return readiness;
  if (node->is_string() && *node->value<std::string>() == "at-once") return readiness;
  const auto reads = reader.NumberOr(*node, key, "never", 31);
  readiness.mode =
      reads ? UartReadinessDescription::Mode::AfterReads : UartReadinessDescription::Mode::Never;
  readiness.reads = static_cast<uint32_t>(reads.value_or(0));
  return readiness;
}

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

constexpr uint32_t BusRangeValue(uint8_t first, uint8_t last) {
  return static_cast<uint32_t>(first) << 16 | static_cast<uint32_t>(last) << 24;
}

void ReadHostBridge(TableReader &root, Board &board) {
  auto table = root.Table("host_bridge");
  if (!table) return;
  HostBridgeDescription &bridge = board.hostBridge;
  bridge.id = static_cast<uint32_t>(table->Unsigned("id", 32, bridge.id));
  bridge.baseClass = static_cast<uint8_t>(table->Unsigned("class", 8, bridge.baseClass));
  bridge.subClass = static_cast<uint8_t>(table->Unsigned("subclass", 8, 0));
  bridge.progIf = static_cast<uint8_t>(table->Unsigned("prog_if", 8, 0));
  bridge.revision = static_cast<uint8_t>(table->Unsigned("revision", 8, 0));
  bridge.unclaimedRead = static_cast<uint8_t>(table->Unsigned("unclaimed_read", 8, 0xFF));
  std::map<unsigned, std::string> seen;
  for (TableReader &entry : table->Tables("bus_groups")) {
    BusGroup group;
    group.key = entry.Path();
    const auto number = entry.Ranged("group", 0, 7, "0 to 7");
    if (!number) entry.Missing("group");
    group.group = static_cast<unsigned>(*number);
    if (entry.Has("value")) {
      for (const char *key : {"first", "last"}) {
        if (entry.Has(key)) entry.Fail(key, "give either value or first and last, not both");
      }
      group.value = static_cast<uint32_t>(entry.Required("value", 32));
    } else {
      const auto first = static_cast<uint8_t>(entry.Required("first", 8));
      const auto last = static_cast<uint8_t>(entry.Required("last", 8));
      if (first > last) entry.Fail("last", "the last bus of a group lies below its first bus");
      group.value = BusRangeValue(first, last);
    }
    const auto [other, added] = seen.emplace(group.group, entry.Path());
    if (!added) {
      entry.Fail("group", "bus group " + std::to_string(group.group) + " is also described by " +
                              other->second);
    }
    entry.Finish();
    bridge.busGroups.push_back(group);
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
}

void ReadRootPorts(TableReader &root, Board &board) {
  for (TableReader &entry : root.Tables("root_port")) {
    RootPortDescription port;
    const auto number = entry.Ranged("port", 1, 4, "1 to 4");
    if (!number) entry.Missing("port");
    port.port = static_cast<unsigned>(*number);
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
  if (!text) reader.Missing(key);
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

VpdDescription ReadVpd(TableReader &table, size_t capabilities) {
  VpdDescription vpd;
  if (table.Has("image")) {
    if (table.Has("count") || table.Has("keywords")) {
      table.Fail("image", "give either image or count and keywords, not both");
    }
    vpd.image = table.Bytes("image");
    if (vpd.image.size() > kMaxVpdImage) {
      table.Fail("image", "a VPD image holds at most 32768 bytes");
    }
  } else {
    const unsigned count = static_cast<unsigned>(table.Ranged("count", 0, 9, "0 to 9", 0));
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
  if (const toml::node *node = table.Take("completion_reads")) {
    const auto reads = table.NumberOr(*node, "completion_reads", "never", 31);
    vpd.neverCompletes = !reads;
    vpd.completionReads = static_cast<uint32_t>(reads.value_or(0));
  }
  if (const auto stop = table.Ranged("stops_completing_at", 0, kMaxVpdImage - 4,
                                     "0 to 0x7FFC, a multiple of 4")) {
    if (*stop % 4 != 0) {
      table.Fail("stops_completing_at", "the VPD is read in dwords: give a multiple of 4");
    }
    vpd.stopsCompletingAt = static_cast<uint16_t>(*stop);
  }
  vpd.position = table.Ranged(
      "position", 0, capabilities,
      "0 to " + std::to_string(capabilities) + ", the number of other capabilities", capabilities);
  vpd.offset = static_cast<uint8_t>(table.Ranged("offset", 0x40, 0xF8, "0x40 to 0xF8", 0));
  table.Finish();
  return vpd;
}

// Places the capabilities as the device links them: an offset given stands,
// the others follow the one before (dword-aligned, from 0x40 on). Each must
// fit below 0x100 and none may overlap another.
void PlaceCapabilities(TableReader &entry, DeviceDescription &device,
                       const std::vector<std::string> &keys) {
  struct Placed {
    unsigned first, end;  // [first, end)
    std::string key;
  };
  std::vector<Placed> placed;
  unsigned next = 0x40;
  auto place = [&](uint8_t &offset, unsigned size, const std::string &key) {
    const unsigned at = offset != 0 ? offset : (next + 3) & ~3u;
    // The offset as written, or where the capability follows the one before.
    const std::string atText = offset != 0 ? entry.Source().Number(key + ".offset", at)
                                           : NumberText(at, NumberBase::Hexadecimal);
    if (at + size > 0x100) {
      entry.Source().Fail(key, "the capability at " + atText +
                                   " does not fit below 0x100 (it takes " + std::to_string(size) +
                                   " bytes)");
    }
    for (const Placed &other : placed) {
      if (at < other.end && other.first < at + size) {
        entry.Source().Fail(key, "the capability at " + atText + " overlaps " + other.key);
      }
    }
    placed.push_back({at, at + size, key});
    offset = static_cast<uint8_t>(at);
    next = std::max(next, at + size);
  };
  const size_t vpdAt = device.vpd ? device.vpd->position : SIZE_MAX;
  for (size_t index = 0; index <= device.capabilities.size(); index++) {
    if (index == vpdAt) place(device.vpd->offset, 8, device.key + ".vpd");
    if (index < device.capabilities.size())
      place(device.capabilities[index].offset, 2, keys[index]);
  }
}

constexpr uint64_t kMaxBar32Size = uint64_t{1} << 31;
constexpr uint64_t kMaxBar64Size = uint64_t{1} << 63;
constexpr size_t kMaxCapabilities = 16;

void ReadCapabilities(TableReader &entry, DeviceDescription &device) {
  std::vector<std::string> keys;
  if (const toml::array *caps = entry.Array("capabilities")) {
    if (caps->size() > kMaxCapabilities) entry.Fail("capabilities", "at most 16 capabilities");
    for (size_t index = 0; index < caps->size(); index++) {
      const toml::node &node = (*caps)[index];
      const std::string path = entry.KeyPath("capabilities") + "[" + std::to_string(index) + "]";
      entry.Note(path, node);
      Capability capability;
      if (node.is_table()) {
        TableReader table(*node.as_table(), path, entry.Source());
        capability.id = static_cast<uint8_t>(table.Required("id", 8));
        capability.offset =
            static_cast<uint8_t>(table.Ranged("offset", 0x40, 0xFE, "0x40 to 0xFE", 0));
        table.Finish();
      } else {
        capability.id = static_cast<uint8_t>(entry.NodeUnsigned(node, path, 8));
      }
      if (capability.id == 0x03) {
        entry.Source().Fail(path, "describe the VPD capability with vpd = {...}");
      }
      device.capabilities.push_back(capability);
      keys.push_back(path);
    }
  }
  if (auto vpd = entry.Table("vpd")) device.vpd = ReadVpd(*vpd, device.capabilities.size());
  PlaceCapabilities(entry, device, keys);
}

void ReadBars(TableReader &entry, DeviceDescription &device) {
  std::map<unsigned, std::string> slots;
  for (TableReader &barEntry : entry.Tables("bars")) {
    Bar bar;
    bar.key = barEntry.Path();
    bar.index = static_cast<unsigned>(barEntry.Ranged("index", 0, 5, "0 to 5", 0));
    const std::string type = barEntry.Word("type", {"mem32", "mem64"}).value_or("mem32");
    bar.is64 = type == "mem64";
    bar.base = barEntry.Unsigned("base", bar.is64 ? 64 : 32, 0);
    const auto size = bar.is64 ? barEntry.Ranged("size", 16, kMaxBar64Size, "16 to 2^63")
                               : barEntry.Ranged("size", 16, kMaxBar32Size, "16 to 2 GiB");
    if (!size) barEntry.Missing("size");
    bar.size = *size;
    if ((bar.size & (bar.size - 1)) != 0) barEntry.Fail("size", "a BAR size is a power of two");
    if (bar.base % bar.size != 0) {
      barEntry.Fail("base", "the base " + barEntry.Number("base", bar.base) +
                                " is not aligned to the size " + barEntry.Number("size", bar.size));
    }
    if (bar.is64 && bar.index == 5) barEntry.Fail("index", "a 64-bit BAR needs two slots");
    bar.prefetchable = barEntry.Bool("prefetchable", bar.is64);
    for (unsigned slot = bar.index; slot <= bar.index + (bar.is64 ? 1 : 0); slot++) {
      const auto [other, added] = slots.emplace(slot, barEntry.Path());
      if (!added) {
        barEntry.Fail(
            "index", "BAR slot " + std::to_string(slot) + " is also described by " + other->second);
      }
    }
    barEntry.Finish();
    device.bars.push_back(bar);
  }
}

void ReadDevices(TableReader &root, Board &board) {
  for (TableReader &entry : root.Tables("device")) {
    DeviceDescription device;
    device.key = entry.Path();
    device.address = ReadPciLocation(entry, "address");
    device.id = static_cast<uint32_t>(entry.Required("id", 32));
    device.baseClass = static_cast<uint8_t>(entry.Unsigned("class", 8, 0));
    device.subClass = static_cast<uint8_t>(entry.Unsigned("subclass", 8, 0));
    device.progIf = static_cast<uint8_t>(entry.Unsigned("prog_if", 8, 0));
    device.revision = static_cast<uint8_t>(entry.Unsigned("revision", 8, 0));
    device.subsystem = static_cast<uint32_t>(entry.Unsigned("subsystem", 32, 0));
    if (auto rom = entry.Unsigned("rom_base", 32)) device.romBase = static_cast<uint32_t>(*rom);
    device.command = static_cast<uint16_t>(entry.Unsigned("command", 16, 0));
    ReadBars(entry, device);
    ReadCapabilities(entry, device);
    if (auto mac = entry.Table("mac")) {
      MacDescription description;
      description.address = ParseMac(*mac, "address");
      const auto location = mac->Word(
          "location", {"registers", "registers-split", "serial-number", "serial-number-reversed"});
      if (!location) mac->Missing("location");
      description.location = *location == "registers"         ? MacLocation::Registers
                             : *location == "registers-split" ? MacLocation::RegistersSplit
                             : *location == "serial-number"   ? MacLocation::SerialNumber
                                                              : MacLocation::SerialNumberReversed;
      mac->Finish();
      device.mac = description;
    }
    for (TableReader &block : entry.Tables("config_bytes")) {
      ByteBlock bytes;
      bytes.offset = block.Ranged("offset", 0, 0xFFF, "0 to 0xFFF", 0);
      bytes.bytes = block.Bytes("bytes");
      if (bytes.offset + bytes.bytes.size() > 0x1000) {
        block.Fail("bytes", "the bytes run past the 4 KiB configuration space");
      }
      block.Finish();
      device.configBytes.push_back(std::move(bytes));
    }
    for (TableReader &block : entry.Tables("bar_bytes")) {
      BarBytes bytes;
      bytes.bar = static_cast<unsigned>(block.Ranged("bar", 0, 5, "0 to 5", 0));
      bytes.block.offset = block.Unsigned("offset", 64, 0);
      bytes.block.bytes = block.Bytes("bytes");
      const Bar *bar = nullptr;
      for (const Bar &candidate : device.bars) {
        if (candidate.index == bytes.bar) bar = &candidate;
      }
      if (bar == nullptr)
        block.Fail("bar", "the device describes no BAR " + std::to_string(bytes.bar));
      if (bytes.block.offset > bar->size ||
          bytes.block.bytes.size() > bar->size - bytes.block.offset) {
        block.Fail("offset", "the bytes do not lie inside BAR " + std::to_string(bytes.bar) + " (" +
                                 entry.Source().Number(bar->key + ".size", bar->size) + " bytes)");
      }
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

Board ParseDocument(const toml::table &document, BoardSource &source) {
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
  CheckBoard(board, source);
  return board;
}

}  // namespace

Board ParseBoard(std::string_view text, const std::string &file) {
  if (text.size() > kMaxBoardFileSize) {
    throw BoardError(file, 0, "", "the description is larger than 4 MiB");
  }
  const std::string ascii = AsciiTomlText(text, file);
  toml::table document;
  try {
    document = toml::parse(ascii, file);
  } catch (const toml::parse_error &error) {
    throw BoardError(file, LineOf(error.source()), "",
                     "TOML syntax error: " + std::string(error.description()));
  }
  BoardSource source(file);
  return ParseDocument(document, source);
}

Board LoadBoardFile(const std::string &path) { return ParseBoard(ReadBoardText(path), path); }

Board LoadReferenceBoard() { return ParseBoard(ReferenceBoardText(), "built-in reference board"); }

}  // namespace bootsim
