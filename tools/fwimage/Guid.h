// GUIDs as the firmware file system stores them (16 bytes, the first three
// fields little-endian) and in registry form (Data1-Data2-Data3-Data4).
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "uefi/UefiBase.h"

namespace fwimage {

using Guid = std::array<uint8_t, 16>;

Guid FromEfiGuid(const EFI_GUID &guid);

// "8C8CE578-8A3D-4F1C-9935-896185C32DD3", either case; nullopt otherwise.
std::optional<Guid> ParseGuid(std::string_view text);

// Registry form, upper case.
std::string FormatGuid(const Guid &guid);

}  // namespace fwimage
