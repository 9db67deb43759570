// Width-independent forms of UEFI values for records, traces and the
// serialized hand-over between the 32-bit PEI and the 64-bit DXE process.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "../../uefi/UefiBase.h"

namespace sim {

// A status as the 64-bit value it stands for: the error bit moves to bit 63.
inline uint64_t StatusTo64(EFI_STATUS status) {
  const uint64_t code = static_cast<uint64_t>(status & ~MAX_BIT);
  return EFI_ERROR(status) ? (uint64_t{1} << 63) | code : code;
}

// The status of this build's width that a 64-bit value stands for.
inline EFI_STATUS StatusFrom64(uint64_t status) {
  const EFI_STATUS code = static_cast<EFI_STATUS>(status & ~(uint64_t{1} << 63));
  return (status >> 63) != 0 ? ENCODE_ERROR(code) : code;
}

// "EFI_SUCCESS", "EFI_NOT_FOUND", ...; other values in hexadecimal.
inline std::string StatusText(EFI_STATUS status) {
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
  const uint64_t wide = StatusTo64(status);
  const uint64_t code = wide & ~(uint64_t{1} << 63);
  if (wide == 0) {
    return "EFI_SUCCESS";
  }
  if ((wide >> 63) != 0 && code < sizeof(kErrors) / sizeof(kErrors[0]) && kErrors[code]) {
    return kErrors[code];
  }
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(wide));
  return text;
}

// "0x1F5": a number in hexadecimal, upper case, for traces.
inline std::string HexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// Registry form, upper case: 9CA93627-B65B-4324-A202-C0B461764543.
inline std::string GuidText(const EFI_GUID &guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace sim
