// Reading the TOML of a board description, one table at a time. A
// TableReader marks the keys it takes, so a key that no field takes (a
// typing error, most of the time) is reported instead of silently ignored;
// every value it reads is noted in the BoardSource, so messages name the
// key on its own line. The value readers shared by several sections
// (statuses, signatures, PCI addresses) sit here as well.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

#include "Board.h"
#include "BoardFile.h"
#include "BoardSource.h"

namespace bootsim {

// The largest value of a field of `bits` bits.
uint64_t MaxOf(unsigned bits);

inline constexpr uint64_t kErrorBit = uint64_t{1} << 63;

// Statuses by name, as 64-bit values: success, the warnings and the errors
// of the UEFI standard.
const std::map<std::string, uint64_t> &StatusNames();
uint64_t ErrorStatus(const char *name);

uint32_t LineOf(const toml::source_region &region);
// The base a number was written in.
NumberBase BaseOf(const toml::node &node);
// "0x1F", "0X1f" or decimal digits; nothing else.
bool ParseNumber(std::string_view text, uint64_t &value, NumberBase *base = nullptr);

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
  uint64_t NodeUnsigned(const toml::node &node, const std::string &path, unsigned bits) const;

 private:
  const toml::table &table_;
  std::string path_;
  BoardSource &source_;
  std::set<std::string> taken_;
};

// A status by name; `allowed` says which kinds the key takes.
enum class StatusKinds : uint8_t { Errors, Any };
uint64_t ReadStatus(TableReader &reader, std::string_view key, uint64_t fallback,
                    StatusKinds allowed = StatusKinds::Errors);
// A four-character signature ("AS3T") or a 32-bit number.
uint32_t ReadSignature(TableReader &reader, std::string_view key, uint32_t fallback);
// A PCI address "bb:dd.f".
PciLocation ReadPciLocation(TableReader &reader, std::string_view key);
// "at-once", a number of reads, or "never".
UartReadinessDescription ReadReadiness(TableReader &reader, std::string_view key);

}  // namespace bootsim
