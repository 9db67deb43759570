// A provider of the S3 save table as another module leaves it: a pool block
// with the signature "AS3T", the 64-bit BoundaryOffset at 32 and EndOffset
// at 40, and the 32-bit boundary marker 0x01558844 at BoundaryOffset. A
// layout can be made wrong on purpose.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "DxeCore.h"

namespace sim {

inline constexpr uint32_t kS3SaveTableSignature = 0x54335341;  // "AS3T"
inline constexpr uint32_t kS3SaveTableBoundaryMarker = 0x01558844;
inline constexpr size_t kS3SaveTableBoundaryOffsetField = 32;
inline constexpr size_t kS3SaveTableEndOffsetField = 40;

struct S3SaveTableLayout {
  size_t size = 128;
  uint32_t signature = kS3SaveTableSignature;
  uint64_t end_offset = 48;        // just past the header: an empty table
  uint64_t boundary_offset = 124;  // the marker ends the table
  uint32_t boundary_marker = kS3SaveTableBoundaryMarker;
  EFI_MEMORY_TYPE memory_type = EfiBootServicesData;
};

class S3SaveTableProvider {
 public:
  explicit S3SaveTableProvider(DxeCore &core) : core_(core) {}

  // Allocates and fills a table; the marker is written only where it fits.
  // The bytes from 48 up to the size are zero apart from the marker.
  void *Create(const S3SaveTableLayout &layout = {});
  void *Table() const { return table_; }
  const S3SaveTableLayout &Layout() const { return layout_; }

  bool IsLive() const;
  // The table's bytes at the moment the driver freed it, if it did.
  std::optional<std::vector<uint8_t>> ContentsAtFree() const;
  // The 16-bit value at EndOffset, read from the live table or from its
  // contents at free; nullopt when EndOffset lies outside the table.
  std::optional<uint16_t> EndMark() const;

 private:
  DxeCore &core_;
  void *table_ = nullptr;
  uint64_t serial_ = 0;
  S3SaveTableLayout layout_;
};

}  // namespace sim
