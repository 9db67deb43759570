// Firmware volumes: a header (zero vector, file-system GUID, length,
// "_FVH", attributes, header length and checksum, revision 2, the block
// map ended by a zero entry) and the FFS files, each on an 8-byte boundary,
// the rest erased. This tool writes volumes of the second FFS revision with
// erase polarity 1, memory-mapped and readable.
#pragma once
#include <cstdint>
#include <vector>

#include "Bytes.h"
#include "Ffs.h"
#include "Guid.h"

namespace fwimage {

inline constexpr size_t kVolumeSignatureOffset = 40;
inline constexpr uint32_t kVolumeSignature = 0x4856465F;  // "_FVH"

// Volume attributes (EFI_FVB_ATTRIBUTES_2).
inline constexpr uint32_t kVolumeReadDisabledCap = 0x00000001;
inline constexpr uint32_t kVolumeReadEnabledCap = 0x00000002;
inline constexpr uint32_t kVolumeReadStatus = 0x00000004;
inline constexpr uint32_t kVolumeMemoryMapped = 0x00000400;
inline constexpr uint32_t kVolumeErasePolarity = 0x00000800;
inline constexpr uint32_t kVolumeAlignmentShift = 16;  // bits 16 to 20: log2 of the alignment
inline constexpr uint32_t kVolumeAlignmentMask = 0x001F0000;
inline constexpr uint32_t kVolumeWeakAlignment = 0x80000000;

Guid FileSystem2Guid();
Guid FileSystem3Guid();

struct VolumeParts {
  uint32_t blockSize = 4096;
  std::vector<Bytes> files;  // built by BuildFile, placed in this order
};

// The volume, its length a whole number of blocks. A file whose data must
// be aligned gets a pad file before it when the gap is too wide for the
// 8-byte alignment of files alone. FormatError when a file is not one.
Bytes BuildVolume(const VolumeParts &parts);

struct BlockRun {
  uint32_t count = 0;
  uint32_t length = 0;
};

struct ParsedVolume {
  Guid fileSystem{};
  uint64_t length = 0;
  uint32_t attributes = 0;
  uint16_t headerLength = 0;
  uint8_t revision = 0;
  std::vector<BlockRun> blockMap;
  std::vector<ParsedFile> files;  // pad files included
  size_t freeSpace = 0;           // erased bytes after the last file

  bool ErasePolarity() const { return (attributes & kVolumeErasePolarity) != 0; }
  uint32_t Alignment() const {
    return uint32_t{1} << ((attributes & kVolumeAlignmentMask) >> kVolumeAlignmentShift);
  }
};

// Reads and checks a whole volume: header fields and checksum, the block
// map against the length, every file (ParseFile), no file beyond the
// length, and only erased bytes after the last file. FormatError names the
// fault.
ParsedVolume ParseVolume(ByteView bytes);

}  // namespace fwimage
