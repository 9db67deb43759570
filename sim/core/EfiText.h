// Width-independent forms of UEFI values for records, traces and the
// serialized hand-over between the 32-bit PEI and the 64-bit DXE process.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "../../uefi/UefiBase.h"

namespace sim {

// A status as the 64-bit value it stands for: the error bit moves to bit 63.
inline uint64_t StatusTo64(EFI_STATUS Status) {
  const uint64_t Code = static_cast<uint64_t>(Status & ~MAX_BIT);
  return EFI_ERROR(Status) ? (uint64_t{1} << 63) | Code : Code;
}

// The status of this build's width that a 64-bit value stands for.
inline EFI_STATUS StatusFrom64(uint64_t Status) {
  const EFI_STATUS Code = static_cast<EFI_STATUS>(Status & ~(uint64_t{1} << 63));
  return (Status >> 63) != 0 ? ENCODE_ERROR(Code) : Code;
}

// "EFI_SUCCESS", "EFI_NOT_FOUND", ...; other values in hexadecimal.
inline std::string StatusText(EFI_STATUS Status) {
  static constexpr const char *kErrors[] = {
      nullptr,
      "EFI_LOAD_ERROR",
      "EFI_INVALID_PARAMETER",
      "EFI_UNSUPPORTED",
      "EFI_BAD_BUFFER_SIZE",
      "EFI_BUFFER_TOO_SMALL",
      "EFI_NOT_READY",
      "EFI_DEVICE_ERROR",
      "EFI_WRITE_PROTECTED",
      "EFI_OUT_OF_RESOURCES",
      "EFI_VOLUME_CORRUPTED",
      "EFI_VOLUME_FULL",
      "EFI_NO_MEDIA",
      "EFI_MEDIA_CHANGED",
      "EFI_NOT_FOUND",
      "EFI_ACCESS_DENIED",
      "EFI_NO_RESPONSE",
      "EFI_NO_MAPPING",
      "EFI_TIMEOUT",
      "EFI_NOT_STARTED",
      "EFI_ALREADY_STARTED",
      "EFI_ABORTED",
  };
  const uint64_t Wide = StatusTo64(Status);
  const uint64_t Code = Wide & ~(uint64_t{1} << 63);
  if (Wide == 0) {
    return "EFI_SUCCESS";
  }
  if ((Wide >> 63) != 0 && Code < sizeof(kErrors) / sizeof(kErrors[0]) && kErrors[Code]) {
    return kErrors[Code];
  }
  char Text[32];
  std::snprintf(Text, sizeof(Text), "0x%llx", static_cast<unsigned long long>(Wide));
  return Text;
}

// "0x1F5": a number in hexadecimal, upper case, for traces.
inline std::string HexText(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

// Registry form, upper case: 9CA93627-B65B-4324-A202-C0B461764543.
inline std::string GuidText(const EFI_GUID &Guid) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(Guid.Data1), Guid.Data2, Guid.Data3, Guid.Data4[0],
                Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
                Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

}  // namespace sim
