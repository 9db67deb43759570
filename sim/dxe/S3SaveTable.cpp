// The S3 save table provider.
#include "S3SaveTable.h"

#include <cstring>

namespace sim {

namespace {

template <typename T>
void Put(std::vector<uint8_t> &bytes, uint64_t offset, T value) {
  if (offset <= bytes.size() && sizeof(T) <= bytes.size() - offset) {
    std::memcpy(&bytes[offset], &value, sizeof(T));
  }
}

}  // namespace

void *S3SaveTableProvider::Create(const S3SaveTableLayout &layout) {
  layout_ = layout;
  std::vector<uint8_t> image(layout.size, 0);
  Put(image, 0, layout.signature);
  Put(image, kS3SaveTableBoundaryOffsetField, layout.boundary_offset);
  Put(image, kS3SaveTableEndOffsetField, layout.end_offset);
  Put(image, layout.boundary_offset, layout.boundary_marker);
  table_ = core_.AllocatePoolForPlatform(layout.memory_type, layout.size);
  if (!image.empty()) {
    std::memcpy(table_, image.data(), image.size());
  }
  serial_ = core_.LiveAllocations().back().serial;
  return table_;
}

bool S3SaveTableProvider::IsLive() const {
  for (const PoolBlock &block : core_.LiveAllocations()) {
    if (block.serial == serial_) {
      return true;
    }
  }
  return false;
}

std::optional<std::vector<uint8_t>> S3SaveTableProvider::ContentsAtFree() const {
  for (const FreedBlock &freed : core_.FreedBlocks()) {
    if (freed.block.serial == serial_) {
      return freed.contents;
    }
  }
  return std::nullopt;
}

std::optional<uint16_t> S3SaveTableProvider::EndMark() const {
  std::vector<uint8_t> bytes;
  if (IsLive()) {
    const auto *begin = static_cast<const uint8_t *>(table_);
    bytes.assign(begin, begin + layout_.size);
  } else if (auto freed = ContentsAtFree()) {
    bytes = std::move(*freed);
  } else {
    return std::nullopt;
  }
  uint64_t offset = layout_.end_offset;
  if (offset > bytes.size() || bytes.size() - offset < sizeof(uint16_t)) {
    return std::nullopt;
  }
  uint16_t mark;
  std::memcpy(&mark, &bytes[offset], sizeof(mark));
  return mark;
}

}  // namespace sim
