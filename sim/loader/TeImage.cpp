#include "TeImage.h"

#include <algorithm>

#include "ImageReader.h"

namespace sim {

namespace {

void Put(std::array<uint8_t, kTeHeaderSize> &bytes, size_t offset, uint64_t value, unsigned size) {
  for (unsigned index = 0; index < size; index++) {
    bytes[offset + index] = static_cast<uint8_t>(value >> (8 * index));
  }
}

constexpr uint32_t kLargestSectionAlignment = 0x1000;

}  // namespace

std::array<uint8_t, kTeHeaderSize> EncodeTeHeader(const TeHeader &header) {
  std::array<uint8_t, kTeHeaderSize> bytes{};
  Put(bytes, 0, kTeSignature, 2);
  Put(bytes, 2, header.machine, 2);
  Put(bytes, 4, header.sectionCount, 1);
  Put(bytes, 5, header.subsystem, 1);
  Put(bytes, 6, header.strippedSize, 2);
  Put(bytes, 8, header.entryRva, 4);
  Put(bytes, 12, header.baseOfCode, 4);
  Put(bytes, 16, header.imageBase, 8);
  Put(bytes, 24, header.relocations.rva, 4);
  Put(bytes, 28, header.relocations.size, 4);
  Put(bytes, 32, header.debug.rva, 4);
  Put(bytes, 36, header.debug.size, 4);
  return bytes;
}

TeHeader DecodeTeHeader(const std::vector<uint8_t> &file) {
  const image_reader::Reader in(file);
  if (in.Read(0, 2, "TE header") != kTeSignature) throw ImageError("not a TE image (no VZ header)");
  in.Require(0, kTeHeaderSize, "TE header");
  TeHeader header;
  header.machine = static_cast<uint16_t>(in.Read(2, 2, "TE header"));
  header.sectionCount = static_cast<uint8_t>(in.Read(4, 1, "TE header"));
  header.subsystem = static_cast<uint8_t>(in.Read(5, 1, "TE header"));
  header.strippedSize = static_cast<uint16_t>(in.Read(6, 2, "TE header"));
  header.entryRva = static_cast<uint32_t>(in.Read(8, 4, "TE header"));
  header.baseOfCode = static_cast<uint32_t>(in.Read(12, 4, "TE header"));
  header.imageBase = in.Read(16, 8, "TE header");
  header.relocations = {static_cast<uint32_t>(in.Read(24, 4, "TE header")),
                        static_cast<uint32_t>(in.Read(28, 4, "TE header"))};
  header.debug = {static_cast<uint32_t>(in.Read(32, 4, "TE header")),
                  static_cast<uint32_t>(in.Read(36, 4, "TE header"))};
  return header;
}

PeImage ParseTeImage(const std::vector<uint8_t> &file, uint16_t machine, uint16_t subsystem) {
  const image_reader::Reader in(file);
  const TeHeader header = DecodeTeHeader(file);
  image_reader::CheckMachine(header.machine, machine);
  image_reader::CheckSubsystem(header.subsystem, subsystem);
  if (header.strippedSize < kTeHeaderSize) {
    throw ImageError("stripped size " + image_reader::Hex(header.strippedSize) +
                     " is smaller than the TE header");
  }
  PeImage image;
  image.terse = true;
  image.machine = header.machine;
  image.pe32Plus = header.machine == kMachineX64;
  image.subsystem = header.subsystem;
  image.entryRva = header.entryRva;
  image.baseOfCode = header.baseOfCode;
  image.preferredBase = header.imageBase;
  image.relocations = header.relocations;
  image.debug = header.debug;
  image.sectionTable = kTeHeaderSize;
  image.sizeOfHeaders = static_cast<uint32_t>(kTeHeaderSize + 40 * header.sectionCount);
  const uint32_t strippedBytes = header.strippedSize - static_cast<uint32_t>(kTeHeaderSize);
  image.headerRva = strippedBytes;
  image_reader::ReadSections(in, file, image.sectionTable, header.sectionCount, strippedBytes,
                             image);
  if (image.sections.empty()) throw ImageError("the TE image has no sections");

  uint32_t alignment = kLargestSectionAlignment;
  uint64_t end = 0;
  for (const PeSection &section : image.sections) {
    while (alignment > 1 && section.virtualAddress % alignment != 0) alignment /= 2;
    end = std::max<uint64_t>(
        end, uint64_t{section.virtualAddress} + std::max(section.virtualSize, section.rawSize));
  }
  image.sectionAlignment = alignment;
  image.fileAlignment = alignment;
  image.sizeOfImage = static_cast<uint32_t>(std::min<uint64_t>(end, UINT32_MAX));
  image_reader::CheckImage(image, in);
  return image;
}

}  // namespace sim
