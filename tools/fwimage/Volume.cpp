#include "Volume.h"

#include <algorithm>
#include <bit>

namespace fwimage {

namespace {

constexpr size_t kFixedHeaderSize = 56;  // up to the block map
constexpr uint8_t kRevision = 2;
constexpr uint8_t kErased = 0xFF;
constexpr size_t kFileAlignment = 8;

uint16_t Sum16(ByteView bytes) {
  uint16_t sum = 0;
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    sum = static_cast<uint16_t>(sum + GetLe(&bytes[at], 2));
  }
  return sum;
}

// A pad file of `size` bytes: header only, its data erased.
Bytes PadFile(size_t size) {
  FileParts parts;
  parts.name.fill(kErased);
  parts.type = kFileTypePad;
  parts.checksum = false;
  Bytes file = BuildFile(parts);
  file.resize(size, kErased);
  PutLe(&file[20], size, 3);
  // The size is part of the header checksum.
  file[16] = 0;
  uint8_t sum = 0;
  for (size_t at = 0; at < kFileHeaderSize; at++) {
    if (at != 17 && at != 23) sum = static_cast<uint8_t>(sum + file[at]);
  }
  file[16] = static_cast<uint8_t>(-sum);
  return file;
}

}  // namespace

Guid FileSystem2Guid() { return *ParseGuid("8C8CE578-8A3D-4F1C-9935-896185C32DD3"); }
Guid FileSystem3Guid() { return *ParseGuid("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A"); }

Bytes BuildVolume(const VolumeParts &parts) {
  if (parts.blockSize < kFileAlignment || !std::has_single_bit(parts.blockSize)) {
    throw FormatError("block size " + std::to_string(parts.blockSize) +
                      " is not a power of two of 8 bytes or more");
  }
  // One run of equal blocks and the zero entry that ends the map.
  const size_t headerLength = kFixedHeaderSize + 2 * 8;
  Bytes volume(headerLength, 0);
  uint32_t alignment = kFileAlignment;
  for (const Bytes &file : parts.files) {
    if (file.size() < kFileHeaderSize) throw FormatError("a file shorter than its header");
    const uint32_t dataAlignment = DataAlignmentOf(file[19]);
    alignment = std::max(alignment, dataAlignment);
    size_t at = AlignUp(volume.size(), kFileAlignment);
    volume.resize(at, kErased);
    if ((at + kFileHeaderSize) % dataAlignment != 0) {
      // A pad file needs room for its header; the file after it starts
      // where its data falls on the alignment.
      const size_t next = AlignUp(at + 2 * kFileHeaderSize, dataAlignment) - kFileHeaderSize;
      const Bytes pad = PadFile(next - at);
      volume.insert(volume.end(), pad.begin(), pad.end());
    }
    volume.insert(volume.end(), file.begin(), file.end());
  }
  const size_t length = AlignUp(volume.size(), parts.blockSize);
  volume.resize(length, kErased);

  uint8_t *header = volume.data();
  const Guid fileSystem = FileSystem2Guid();
  std::copy(fileSystem.begin(), fileSystem.end(), header + 16);
  PutLe(header + 32, length, 8);
  PutLe(header + kVolumeSignatureOffset, kVolumeSignature, 4);
  const uint32_t attributes =
      kVolumeReadDisabledCap | kVolumeReadEnabledCap | kVolumeReadStatus | kVolumeMemoryMapped |
      kVolumeErasePolarity |
      (static_cast<uint32_t>(std::countr_zero(alignment)) << kVolumeAlignmentShift);
  PutLe(header + 44, attributes, 4);
  PutLe(header + 48, headerLength, 2);
  header[55] = kRevision;
  PutLe(header + 56, length / parts.blockSize, 4);
  PutLe(header + 60, parts.blockSize, 4);
  PutLe(header + 50, static_cast<uint16_t>(-Sum16(ByteView(header, headerLength))), 2);
  ParseVolume(volume);
  return volume;
}

ParsedVolume ParseVolume(ByteView bytes) {
  if (bytes.size() < kFixedHeaderSize + 8) throw FormatError("too short for a volume header");
  ParsedVolume volume;
  if (GetLe(&bytes[kVolumeSignatureOffset], 4) != kVolumeSignature) {
    throw FormatError("no volume signature \"_FVH\"");
  }
  if (std::any_of(bytes.begin(), bytes.begin() + 16, [](uint8_t b) { return b != 0; })) {
    throw FormatError("the header's zero vector is not zero");
  }
  std::copy(bytes.begin() + 16, bytes.begin() + 32, volume.fileSystem.begin());
  if (volume.fileSystem != FileSystem2Guid() && volume.fileSystem != FileSystem3Guid()) {
    throw FormatError("file system " + FormatGuid(volume.fileSystem) + " is not FFS");
  }
  volume.length = GetLe(&bytes[32], 8);
  if (volume.length != bytes.size()) {
    throw FormatError("volume length " + HexText(volume.length) + " in the header, " +
                      HexText(bytes.size()) + " in the file");
  }
  volume.attributes = static_cast<uint32_t>(GetLe(&bytes[44], 4));
  volume.headerLength = static_cast<uint16_t>(GetLe(&bytes[48], 2));
  const auto extHeader = static_cast<uint16_t>(GetLe(&bytes[52], 2));
  volume.revision = bytes[55];
  if (volume.revision != kRevision) {
    throw FormatError("volume revision " + std::to_string(volume.revision) + ", not 2");
  }
  if (volume.headerLength < kFixedHeaderSize + 8 || volume.headerLength % 2 != 0 ||
      volume.headerLength > bytes.size()) {
    throw FormatError("header length " + HexText(volume.headerLength) + " is not sound");
  }
  if (Sum16(bytes.first(volume.headerLength)) != 0) {
    throw FormatError("the header checksum is wrong");
  }
  uint64_t blocked = 0;
  size_t at = kFixedHeaderSize;
  for (;; at += 8) {
    if (at + 8 > volume.headerLength) throw FormatError("the block map has no end entry");
    const BlockRun run{static_cast<uint32_t>(GetLe(&bytes[at], 4)),
                       static_cast<uint32_t>(GetLe(&bytes[at + 4], 4))};
    if (run.count == 0 && run.length == 0) break;
    if (run.count == 0 || run.length == 0) throw FormatError("a block map entry of zero");
    volume.blockMap.push_back(run);
    blocked += uint64_t{run.count} * run.length;
  }
  if (at + 8 != volume.headerLength) {
    throw FormatError("the block map does not end the header");
  }
  if (blocked != volume.length) {
    throw FormatError("the block map covers " + HexText(blocked) + " bytes of " +
                      HexText(volume.length));
  }
  const uint8_t erased = volume.ErasePolarity() ? kErased : 0;
  auto erasedFrom = [&](size_t from, size_t to) {
    return std::all_of(bytes.begin() + from, bytes.begin() + to,
                       [&](uint8_t b) { return b == erased; });
  };
  size_t next = volume.headerLength;
  if (extHeader != 0) {
    if (extHeader < volume.headerLength || extHeader + 20ull > bytes.size()) {
      throw FormatError("the extended header lies outside the volume");
    }
    next = extHeader + static_cast<size_t>(GetLe(&bytes[extHeader + 16], 4));
  }
  for (at = AlignUp(next, kFileAlignment); at < bytes.size();) {
    if (at + kFileHeaderSize > bytes.size() || erasedFrom(at, at + kFileHeaderSize)) {
      if (!erasedFrom(at, bytes.size())) {
        throw FormatError("bytes after the free space begins at " + HexText(at));
      }
      volume.freeSpace = bytes.size() - at;
      break;
    }
    ParsedFile file = ParseFile(bytes.subspan(at), at, volume.ErasePolarity());
    const size_t end = at + file.size;
    volume.files.push_back(std::move(file));
    at = std::min<size_t>(AlignUp(end, kFileAlignment), bytes.size());
    if (!erasedFrom(end, at)) throw FormatError("bytes between files at " + HexText(end));
  }
  return volume;
}

}  // namespace fwimage
