#include "BoardToml.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

namespace bootsim {

uint64_t MaxOf(unsigned bits) { return bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1; }

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

bool ParseNumber(std::string_view text, uint64_t &value, NumberBase *base) {
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

uint64_t TableReader::NodeUnsigned(const toml::node &node, const std::string &path,
                                   unsigned bits) const {
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

uint64_t ReadStatus(TableReader &reader, std::string_view key, uint64_t fallback,
                    StatusKinds allowed) {
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

}  // namespace bootsim
