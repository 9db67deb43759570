// HOB list construction for the simulated DXE phase.
#include "HobListBuilder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

size_t RoundUp8(size_t size) { return (size + 7) & ~size_t{7}; }

uint16_t HobLength(size_t size) {
  if (size > 0xFFF8) {
    std::fprintf(stderr, "HOB of %zu bytes does not fit a 16-bit HobLength\n", size);
    std::abort();
  }
  return static_cast<uint16_t>(size);
}

}  // namespace

void HobListBuilder::AddRecord(uint16_t type, uint16_t length, const void *head, size_t head_size,
                               const void *data, size_t size) {
  size_t start = bytes_.size();
  size_t written = RoundUp8(sizeof(EFI_HOB_GENERIC_HEADER) + head_size + size);
  bytes_.resize(start + written, 0);
  EFI_HOB_GENERIC_HEADER header = {type, length, 0};
  std::memcpy(&bytes_[start], &header, sizeof(header));
  size_t at = start + sizeof(header);
  if (head_size != 0) {
    std::memcpy(&bytes_[at], head, head_size);
  }
  if (size != 0) {
    std::memcpy(&bytes_[at + head_size], data, size);
  }
}

HobListBuilder &HobListBuilder::AddGuidHob(const EFI_GUID &name, const void *data, size_t size) {
  uint16_t length = HobLength(RoundUp8(sizeof(EFI_HOB_GUID_TYPE) + size));
  AddRecord(EFI_HOB_TYPE_GUID_EXTENSION, length, &name, sizeof(name), data, size);
  return *this;
}

HobListBuilder &HobListBuilder::AddGuidHobWithLength(const EFI_GUID &name, const void *data,
                                                     size_t size, uint16_t hob_length) {
  AddRecord(EFI_HOB_TYPE_GUID_EXTENSION, hob_length, &name, sizeof(name), data, size);
  return *this;
}

HobListBuilder &HobListBuilder::AddHob(uint16_t type, const void *payload, size_t size) {
  uint16_t length = HobLength(RoundUp8(sizeof(EFI_HOB_GENERIC_HEADER) + size));
  AddRecord(type, length, nullptr, 0, payload, size);
  return *this;
}

HobListBuilder &HobListBuilder::AddEnd() {
  AddRecord(EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), nullptr, 0, nullptr, 0);
  return *this;
}

HobListBuilder &HobListBuilder::AddRaw(const void *bytes, size_t size) {
  const auto *begin = static_cast<const uint8_t *>(bytes);
  bytes_.insert(bytes_.end(), begin, begin + size);
  return *this;
}

}  // namespace sim
