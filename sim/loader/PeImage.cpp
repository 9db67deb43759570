#include "PeImage.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "ImageReader.h"
#include "TeImage.h"

namespace sim {

namespace image_reader {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

const char *MachineName(uint16_t machine) {
  switch (machine) {
    case kMachineIa32:
      return "IA-32";
    case kMachineX64:
      return "x64";
    default:
      return "unknown";
  }
}

void Reader::Require(uint64_t offset, uint64_t size, const char *what) const {
  if (!Has(offset, size)) {
    throw ImageError(std::string("the file ends inside the ") + what + " (offset " + Hex(offset) +
                     ")");
  }
}

uint64_t Reader::Read(uint64_t offset, unsigned size, const char *what) const {
  Require(offset, size, what);
  uint64_t value = 0;
  for (unsigned index = 0; index < size; index++) {
    value |= static_cast<uint64_t>(bytes_[offset + index]) << (8 * index);
  }
  return value;
}

void CheckMachine(uint16_t machine, uint16_t wanted) {
  const bool known = machine == kMachineIa32 || machine == kMachineX64;
  if (wanted == kAnyMachine ? !known : machine != wanted) {
    std::string message = "machine " + Hex(machine) + " (" + MachineName(machine) + ")";
    if (wanted != kAnyMachine) {
      message += ", expected " + Hex(wanted) + " (" + MachineName(wanted) + ")";
    }
    throw ImageError(message);
  }
}

void CheckSubsystem(uint16_t subsystem, uint16_t wanted) {
  const bool known =
      subsystem >= kSubsystemEfiApplication && subsystem <= kSubsystemEfiRuntimeDriver;
  if (wanted == kAnySubsystem ? !known : subsystem != wanted) {
    throw ImageError("subsystem " + std::to_string(subsystem) +
                     (wanted == kAnySubsystem ? std::string(", not a firmware image's")
                                              : ", expected " + std::to_string(wanted)));
  }
}

void ReadSections(const Reader &in, const std::vector<uint8_t> &file, uint64_t table,
                  unsigned count, uint32_t strippedBytes, PeImage &image) {
  constexpr size_t kSectionHeaderSize = 40;
  for (unsigned index = 0; index < count; index++) {
    const uint64_t header = table + kSectionHeaderSize * index;
    if (!in.Has(header, kSectionHeaderSize)) throw ImageError("the section table is cut short");
    PeSection section;
    const char *name = reinterpret_cast<const char *>(&file[header]);
    section.name.assign(name, strnlen(name, 8));
    section.virtualSize = static_cast<uint32_t>(in.Read(header + 8, 4, "section header"));
    section.virtualAddress = static_cast<uint32_t>(in.Read(header + 12, 4, "section header"));
    section.rawSize = static_cast<uint32_t>(in.Read(header + 16, 4, "section header"));
    const auto pointer = static_cast<uint32_t>(in.Read(header + 20, 4, "section header"));
    section.characteristics = static_cast<uint32_t>(in.Read(header + 36, 4, "section header"));
    if (section.rawSize != 0) {
      if (pointer < strippedBytes) {
        throw ImageError("section " + section.name + " lies in the headers the image left out");
      }
      section.rawOffset = pointer - strippedBytes;
      if (!in.Has(section.rawOffset, section.rawSize)) {
        throw ImageError("section " + section.name + " lies outside the file");
      }
    }
    image.sections.push_back(section);
  }
}

void CheckImage(const PeImage &image, const Reader &in) {
  // Larger images are not firmware modules; refusing them keeps a bad
  // header from asking for gigabytes.
  constexpr uint32_t kLargestImage = 64u << 20;
  if (image.sizeOfImage == 0 || image.sizeOfImage > kLargestImage) {
    throw ImageError("image size " + Hex(image.sizeOfImage) + " is not that of a firmware module");
  }
  if (image.sectionAlignment == 0 || (image.sectionAlignment & (image.sectionAlignment - 1)) != 0) {
    throw ImageError("section alignment " + Hex(image.sectionAlignment) + " is not a power of two");
  }
  if (static_cast<uint64_t>(image.headerRva) + image.sizeOfHeaders > image.sizeOfImage ||
      !in.Has(0, image.sizeOfHeaders)) {
    throw ImageError("the headers' size " + Hex(image.sizeOfHeaders) +
                     " lies outside the file or the image");
  }
  if (image.imports.size != 0) {
    throw ImageError("the image imports from other modules; firmware modules import nothing");
  }
  if (image.entryRva >= image.sizeOfImage) {
    throw ImageError("the entry point " + Hex(image.entryRva) + " lies outside the image");
  }
  for (const PeSection &section : image.sections) {
    const uint64_t span = std::max(section.virtualSize, section.rawSize);
    if (section.virtualAddress < image.headerRva + image.sizeOfHeaders ||
        section.virtualAddress + span > image.sizeOfImage) {
      throw ImageError("section " + section.name + " lies outside the image");
    }
  }
  if (image.relocations.size != 0 &&
      static_cast<uint64_t>(image.relocations.rva) + image.relocations.size > image.sizeOfImage) {
    throw ImageError("the relocation directory lies outside the image");
  }
}

}  // namespace image_reader

namespace {

using image_reader::Hex;
using image_reader::Reader;

constexpr uint32_t kDosMagic = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x4550;  // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kCoffHeaderSize = 20;
constexpr unsigned kImportDirectory = 1;
constexpr unsigned kRelocationDirectory = 5;
constexpr unsigned kDebugDirectory = 6;
constexpr unsigned kRelocAbsolute = 0;
constexpr unsigned kRelocHighLow = 3;
constexpr unsigned kRelocDir64 = 10;
// A file larger than this is no firmware module.
constexpr size_t kLargestFile = 64u << 20;

}  // namespace

PeImage ParsePeImage(const std::vector<uint8_t> &file, uint16_t machine, uint16_t subsystem) {
  const Reader in(file);
  if (in.Read(0, 2, "DOS header") != kDosMagic) throw ImageError("not a PE image (no MZ header)");
  const uint64_t pe = in.Read(0x3C, 4, "DOS header");
  if (in.Read(pe, 4, "PE signature") != kPeSignature) {
    throw ImageError("not a PE image (no PE signature at " + Hex(pe) + ")");
  }
  const uint64_t coff = pe + 4;
  PeImage image;
  image.machine = static_cast<uint16_t>(in.Read(coff, 2, "COFF header"));
  image_reader::CheckMachine(image.machine, machine);
  const auto sectionCount = static_cast<unsigned>(in.Read(coff + 2, 2, "COFF header"));
  const auto optionalSize = static_cast<unsigned>(in.Read(coff + 16, 2, "COFF header"));
  const uint64_t optional = coff + kCoffHeaderSize;
  const auto magic = static_cast<uint16_t>(in.Read(optional, 2, "optional header"));
  if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    throw ImageError("optional header magic " + Hex(magic) + " is neither PE32 nor PE32+");
  }
  image.pe32Plus = magic == kPe32PlusMagic;
  if (image.pe32Plus != (image.machine == kMachineX64)) {
    throw ImageError(std::string("a ") + image_reader::MachineName(image.machine) +
                     " image must be " + (image.machine == kMachineX64 ? "PE32+" : "PE32"));
  }
  image.entryRva = static_cast<uint32_t>(in.Read(optional + 16, 4, "optional header"));
  image.baseOfCode = static_cast<uint32_t>(in.Read(optional + 20, 4, "optional header"));
  image.preferredBase = image.pe32Plus ? in.Read(optional + 24, 8, "optional header")
                                       : in.Read(optional + 28, 4, "optional header");
  image.sectionAlignment = static_cast<uint32_t>(in.Read(optional + 32, 4, "optional header"));
  image.fileAlignment = static_cast<uint32_t>(in.Read(optional + 36, 4, "optional header"));
  image.sizeOfImage = static_cast<uint32_t>(in.Read(optional + 56, 4, "optional header"));
  image.sizeOfHeaders = static_cast<uint32_t>(in.Read(optional + 60, 4, "optional header"));
  image.subsystem = static_cast<uint16_t>(in.Read(optional + 68, 2, "optional header"));
  image_reader::CheckSubsystem(image.subsystem, subsystem);
  const uint64_t countOffset = optional + (image.pe32Plus ? 108 : 92);
  const uint64_t directories = countOffset + 4;
  const auto directoryCount = static_cast<unsigned>(in.Read(countOffset, 4, "optional header"));
  if (directories + 8ull * directoryCount > optional + optionalSize) {
    throw ImageError("the data directories run past the optional header");
  }
  auto directory = [&](unsigned index) {
    PeDirectory entry;
    if (index < directoryCount) {
      entry.rva = static_cast<uint32_t>(in.Read(directories + 8 * index, 4, "data directory"));
      entry.size = static_cast<uint32_t>(in.Read(directories + 8 * index + 4, 4, "data directory"));
    }
    return entry;
  };
  image.imports = directory(kImportDirectory);
  image.relocations = directory(kRelocationDirectory);
  image.debug = directory(kDebugDirectory);
  image.sectionTable = static_cast<uint32_t>(optional + optionalSize);
  image_reader::ReadSections(in, file, image.sectionTable, sectionCount, 0, image);
  image_reader::CheckImage(image, in);
  return image;
}

PeImage ParseImage(const std::vector<uint8_t> &file, uint16_t machine, uint16_t subsystem) {
  if (file.size() >= 2 && file[0] == 'V' && file[1] == 'Z') {
    return ParseTeImage(file, machine, subsystem);
  }
  if (file.size() >= 2 && file[0] == 'M' && file[1] == 'Z') {
    return ParsePeImage(file, machine, subsystem);
  }
  throw ImageError("not a PE image nor a TE image (neither an MZ nor a VZ header)");
}

void LoadPeImage(const PeImage &image, const std::vector<uint8_t> &file, uint8_t *memory,
                 uint64_t loadAddress) {
  if (loadAddress % image.sectionAlignment != 0) {
    throw ImageError("load address " + Hex(loadAddress) + " is not aligned to the sections");
  }
  std::memset(memory, 0, image.sizeOfImage);
  std::memcpy(memory + image.headerRva, file.data(), image.sizeOfHeaders);
  for (const PeSection &section : image.sections) {
    const uint32_t copied =
        std::min(section.rawSize, section.virtualSize != 0 ? section.virtualSize : section.rawSize);
    std::memcpy(memory + section.virtualAddress, file.data() + section.rawOffset, copied);
  }

  const uint64_t delta = loadAddress - image.preferredBase;
  uint64_t block = image.relocations.rva;
  const uint64_t end = block + image.relocations.size;
  auto read = [&](uint64_t rva, unsigned size) {
    uint64_t value = 0;
    std::memcpy(&value, memory + rva, size);
    return value;
  };
  while (block + 8 <= end) {
    const uint64_t page = read(block, 4);
    const uint64_t blockSize = read(block + 4, 4);
    if (blockSize < 8 || block + blockSize > end) {
      throw ImageError("relocation block at " + Hex(block) + " has a bad size " + Hex(blockSize));
    }
    for (uint64_t entry = block + 8; entry + 2 <= block + blockSize; entry += 2) {
      const auto value = static_cast<uint16_t>(read(entry, 2));
      const unsigned type = value >> 12;
      const uint64_t target = page + (value & 0xFFF);
      const unsigned width = type == kRelocDir64 ? 8 : type == kRelocHighLow ? 4 : 0;
      if (type == kRelocAbsolute) continue;
      if (width == 0 || (width == 8) != image.pe32Plus) {
        throw ImageError("relocation type " + std::to_string(type) + " at " + Hex(target) +
                         " is not one this image's machine uses");
      }
      if (target + width > image.sizeOfImage) {
        throw ImageError("relocation at " + Hex(target) + " lies outside the image");
      }
      const uint64_t fixed = read(target, width) + delta;
      std::memcpy(memory + target, &fixed, width);
    }
    block += blockSize;
  }
}

std::vector<uint8_t> ReadImageFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImageError("cannot open " + path);
  std::vector<uint8_t> bytes;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    if (bytes.size() > kLargestFile) {
      throw ImageError(path + " is larger than a firmware module can be (" + Hex(kLargestFile) +
                       " bytes)");
    }
  }
  if (in.bad()) throw ImageError("cannot read " + path);
  return bytes;
}

}  // namespace sim
