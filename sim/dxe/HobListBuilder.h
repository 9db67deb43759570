// Builds HOB lists for the simulated DXE phase: GUID extension HOBs, HOBs of
// other types, the end HOB, and raw bytes for malformed lists. Lengths are
// rounded up to 8 bytes as the PI standard requires, unless a test asks for
// a specific (possibly wrong) length.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "uefi/Hob.h"

namespace sim {

class HobListBuilder {
 public:
  // A GUID extension HOB carrying `data`.
  HobListBuilder &AddGuidHob(const EFI_GUID &name, const void *data, size_t size);
  HobListBuilder &AddGuidHob(const EFI_GUID &name, const std::vector<uint8_t> &data) {
    return AddGuidHob(name, data.data(), data.size());
  }
  // The same with HobLength forced to `hob_length`; the bytes written are
  // still the header, name and data.
  HobListBuilder &AddGuidHobWithLength(const EFI_GUID &name, const void *data, size_t size,
                                       uint16_t hob_length);
  // A HOB of any type with `payload` after its generic header.
  HobListBuilder &AddHob(uint16_t type, const void *payload, size_t size);
  HobListBuilder &AddEnd();
  HobListBuilder &AddRaw(const void *bytes, size_t size);

  const std::vector<uint8_t> &Bytes() const { return bytes_; }

 private:
  void AddRecord(uint16_t type, uint16_t length, const void *head, size_t head_size,
                 const void *data, size_t size);

  std::vector<uint8_t> bytes_;
};

}  // namespace sim
