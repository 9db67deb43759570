// What the PE and the TE reader share: bounds-checked little-endian reads of
// the file, the section table and the checks of the image as a whole.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "PeImage.h"

namespace sim::image_reader {

std::string Hex(uint64_t value);

const char *MachineName(uint16_t machine);

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t> &bytes) : bytes_(bytes) {}
  bool Has(uint64_t offset, uint64_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  // ImageError naming `what` when the file ends before offset + size.
  void Require(uint64_t offset, uint64_t size, const char *what) const;
  // A little-endian field of 1 to 8 bytes; Require's error when it is cut short.
  uint64_t Read(uint64_t offset, unsigned size, const char *what) const;

 private:
  const std::vector<uint8_t> &bytes_;
};

// ImageError unless `machine` is the one wanted (kAnyMachine: one this
// loader knows).
void CheckMachine(uint16_t machine, uint16_t wanted);
void CheckSubsystem(uint16_t subsystem, uint16_t wanted);

// Reads `count` section headers from `table`; a section's file offset is
// its PointerToRawData less `strippedBytes` (the headers a TE image left
// out, less its own). Checks that each section's data lies in the file.
void ReadSections(const Reader &in, const std::vector<uint8_t> &file, uint64_t table,
                  unsigned count, uint32_t strippedBytes, PeImage &image);

// The checks every image passes once its fields and sections are read:
// size, alignment, headers, no imports, entry point, sections and
// relocations inside the image.
void CheckImage(const PeImage &image, const Reader &in);

}  // namespace sim::image_reader
