// Terse executable (TE) images, the form PEI modules take to run in place
// from flash: a PE/COFF image whose DOS and PE headers are replaced by one
// 40-byte header; the section headers, the sections and the base
// relocations stay as the linker wrote them. A section header's file offset
// still counts from the start of the PE file, so it lies the stripped size
// less the TE header before the section's place in the TE file. Loaded, the
// TE header stands where the stripped headers ended: offset 0 of the image
// lies that many bytes before it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "PeImage.h"

namespace sim {

inline constexpr uint16_t kTeSignature = 0x5A56;  // "VZ"
inline constexpr size_t kTeHeaderSize = 40;

struct TeHeader {
  uint16_t machine = 0;
  uint8_t sectionCount = 0;
  uint8_t subsystem = 0;
  uint16_t strippedSize = 0;  // bytes of the PE file the TE header replaces
  uint32_t entryRva = 0;
  uint32_t baseOfCode = 0;
  uint64_t imageBase = 0;  // the PE image's preferred base
  PeDirectory relocations;
  PeDirectory debug;
};

std::array<uint8_t, kTeHeaderSize> EncodeTeHeader(const TeHeader &header);

// The header at the start of `file`; ImageError when it is cut short or
// has no "VZ" signature.
TeHeader DecodeTeHeader(const std::vector<uint8_t> &file);

// Reads and checks a TE image for `machine` and `subsystem` (kAnyMachine,
// kAnySubsystem: any this loader knows) into the record LoadPeImage loads.
// A TE header gives neither the image's size nor its section alignment: the
// size ends with the last section, and the alignment is the largest power of
// two (up to 4 KiB) that every section's address is a multiple of, so at
// least the alignment the image was linked with.
PeImage ParseTeImage(const std::vector<uint8_t> &file, uint16_t machine, uint16_t subsystem);

}  // namespace sim
