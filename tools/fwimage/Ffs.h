// Firmware file system (FFS) files and their sections. A file is a 24-byte
// header (name GUID, header and data checksums, type, attributes, 24-bit
// size, state) followed by its sections, each a 4-byte header (24-bit size,
// type) and its data, every section starting on a 4-byte boundary. Files
// are written for a volume whose erased bytes read 0xFF, where a state bit
// is set by clearing it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"
#include "Guid.h"

namespace fwimage {

inline constexpr size_t kFileHeaderSize = 24;
inline constexpr size_t kSectionHeaderSize = 4;
inline constexpr uint32_t kLargestFileSize = 0xFFFFFF;

// File types.
inline constexpr uint8_t kFileTypeRaw = 0x01;
inline constexpr uint8_t kFileTypePeim = 0x06;
inline constexpr uint8_t kFileTypeDriver = 0x07;
inline constexpr uint8_t kFileTypePad = 0xF0;

// File attributes.
inline constexpr uint8_t kFileAttributeLargeFile = 0x01;
inline constexpr uint8_t kFileAttributeDataAlignment2 = 0x02;
inline constexpr uint8_t kFileAttributeFixed = 0x04;
inline constexpr uint8_t kFileAttributeDataAlignment = 0x38;
inline constexpr uint8_t kFileAttributeChecksum = 0x40;
// IntegrityCheck.File of a file without the checksum attribute.
inline constexpr uint8_t kFixedFileChecksum = 0xAA;

// File states as the standard numbers them; stored inverted on a volume of
// erase polarity 1.
inline constexpr uint8_t kFileHeaderConstruction = 0x01;
inline constexpr uint8_t kFileHeaderValid = 0x02;
inline constexpr uint8_t kFileDataValid = 0x04;
inline constexpr uint8_t kFileMarkedForUpdate = 0x08;
inline constexpr uint8_t kFileDeleted = 0x10;
inline constexpr uint8_t kFileHeaderInvalid = 0x20;

// Section types.
inline constexpr uint8_t kSectionPe32 = 0x10;
inline constexpr uint8_t kSectionTe = 0x12;
inline constexpr uint8_t kSectionDxeDepex = 0x13;
inline constexpr uint8_t kSectionVersion = 0x14;
inline constexpr uint8_t kSectionUserInterface = 0x15;
inline constexpr uint8_t kSectionRaw = 0x19;
inline constexpr uint8_t kSectionPeiDepex = 0x1B;

std::string FileTypeName(uint8_t type);
std::string SectionTypeName(uint8_t type);

// The data alignments a file header can state (1, 16, 128, 512 bytes, ...):
// the smallest that is at least `bytes`.
uint32_t FileAlignmentFor(uint32_t bytes);

// The data alignment a file's attributes state.
uint32_t DataAlignmentOf(uint8_t attributes);

struct SectionParts {
  uint8_t type = 0;
  Bytes data;  // what follows the section header
  // An image that runs in place: its offset 0, which lies `imageStart`
  // bytes before the section's data (a TE image's stripped headers less its
  // own), must fall on a multiple of `alignment` bytes. The file then states
  // a data alignment of at least that much, and a raw section pads the
  // section to its place when it would not fall there by itself.
  uint32_t alignment = 1;
  uint32_t imageStart = 0;
};

struct FileParts {
  Guid name{};
  uint8_t type = 0;
  bool checksum = true;  // a checksum of the data rather than the fixed value
  std::vector<SectionParts> sections;
};

// The whole file, header first. FormatError when it would exceed 16 MiB.
Bytes BuildFile(const FileParts &parts);

// The section data of the common types, as builders need them.
Bytes UserInterfaceData(const std::string &name);
Bytes VersionData(uint16_t buildNumber, const std::string &version);

struct ParsedSection {
  uint8_t type = 0;
  size_t offset = 0;  // of its header, from the start of the file
  size_t size = 0;    // header included
  Bytes data;
};

struct ParsedFile {
  Guid name{};
  uint8_t type = 0;
  uint8_t attributes = 0;
  uint32_t alignment = 1;               // of the data, from the attributes
  size_t offset = 0;                    // in the volume
  size_t size = 0;                      // header included
  uint8_t state = 0;                    // as the standard numbers the bits
  std::vector<ParsedSection> sections;  // none for a pad file

  // The first section of a type; nullptr when there is none.
  const ParsedSection *Find(uint8_t sectionType) const;
};

// Reads and checks one file at the start of `bytes`, which lies at `offset`
// in its volume: header checksum, data checksum (or the fixed value), a
// valid state, the size, the data alignment against `offset` (not for a
// file on its own, outside a volume), and every section inside the file.
// FormatError names the fault.
ParsedFile ParseFile(ByteView bytes, size_t offset, bool erasePolarity);
ParsedFile ParseLooseFile(ByteView bytes);

// The UCS-2 text of a user-interface section; the build number and text of
// a version section. FormatError when the text is not terminated where the
// section ends or not printable ASCII.
std::string UserInterfaceText(const ParsedSection &section);
struct VersionInfo {
  uint16_t buildNumber = 0;
  std::string text;
};
VersionInfo ReadVersion(const ParsedSection &section);

}  // namespace fwimage
