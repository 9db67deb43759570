#include "Guid.h"

#include <cctype>
#include <cstdio>

namespace fwimage {

Guid FromEfiGuid(const EFI_GUID &guid) {
  Guid bytes{};
  for (unsigned index = 0; index < 4; index++) {
    bytes[index] = static_cast<uint8_t>(guid.Data1 >> (8 * index));
  }
  for (unsigned index = 0; index < 2; index++) {
    bytes[4 + index] = static_cast<uint8_t>(guid.Data2 >> (8 * index));
    bytes[6 + index] = static_cast<uint8_t>(guid.Data3 >> (8 * index));
  }
  for (unsigned index = 0; index < 8; index++) bytes[8 + index] = guid.Data4[index];
  return bytes;
}

std::optional<Guid> ParseGuid(std::string_view text) {
  // Hex digit groups of 8-4-4-4-12, and the byte order of each in storage.
  static constexpr int kDashes[] = {8, 13, 18, 23};
  if (text.size() != 36) return std::nullopt;
  std::string digits;
  for (size_t index = 0; index < text.size(); index++) {
    const bool dash =
        index == kDashes[0] || index == kDashes[1] || index == kDashes[2] || index == kDashes[3];
    if (dash != (text[index] == '-')) return std::nullopt;
    if (dash) continue;
    if (!std::isxdigit(static_cast<unsigned char>(text[index]))) return std::nullopt;
    digits += text[index];
  }
  uint8_t value[16];
  for (unsigned index = 0; index < 16; index++) {
    value[index] = static_cast<uint8_t>(std::stoul(digits.substr(2 * index, 2), nullptr, 16));
  }
  // Data1, Data2 and Data3 are stored little-endian, Data4 as written.
  return Guid{value[3], value[2], value[1],  value[0],  value[5],  value[4],  value[7],  value[6],
              value[8], value[9], value[10], value[11], value[12], value[13], value[14], value[15]};
}

std::string FormatGuid(const Guid &g) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14],
                g[15]);
  return text;
}

}  // namespace fwimage
