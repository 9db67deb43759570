#include "Ffs.h"

#include <cstdio>

namespace fwimage {

std::string HexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

namespace {

// Data alignments by the three attribute bits (FFS_ATTRIB_DATA_ALIGNMENT).
constexpr uint32_t kAlignments[8] = {1, 16, 128, 512, 1024, 4096, 32768, 65536};

uint8_t Sum8(ByteView bytes) {
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum = static_cast<uint8_t>(sum + byte);
  return sum;
}

Bytes Ucs2(const std::string &text) {
  Bytes bytes;
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) throw FormatError("text '" + text + "' is not printable ASCII");
    AppendLe(bytes, static_cast<uint8_t>(c), 2);
  }
  AppendLe(bytes, 0, 2);
  return bytes;
}

std::string FromUcs2(ByteView bytes, const char *what) {
  std::string text;
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const auto c = static_cast<uint16_t>(GetLe(&bytes[at], 2));
    if (c == 0) {
      if (at + 2 != bytes.size())
        throw FormatError(std::string(what) + ": bytes after the text's end");
      return text;
    }
    if (c < 0x20 || c > 0x7E) throw FormatError(std::string(what) + ": not printable ASCII");
    text += static_cast<char>(c);
  }
  throw FormatError(std::string(what) + ": the text is not terminated");
}

void AppendSection(Bytes &file, uint8_t type, ByteView data) {
  const size_t size = kSectionHeaderSize + data.size();
  if (size > kLargestFileSize) throw FormatError("section of " + std::to_string(size) + " bytes");
  file.resize(AlignUp(file.size(), 4), 0);
  AppendLe(file, size, 3);
  file.push_back(type);
  file.insert(file.end(), data.begin(), data.end());
}

}  // namespace

std::string FileTypeName(uint8_t type) {
  switch (type) {
    case kFileTypeRaw:
      return "RAW";
    case 0x02:
      return "FREEFORM";
    case 0x03:
      return "SECURITY_CORE";
    case 0x04:
      return "PEI_CORE";
    case 0x05:
      return "DXE_CORE";
    case kFileTypePeim:
      return "PEIM";
    case kFileTypeDriver:
      return "DRIVER";
    case 0x08:
      return "COMBINED_PEIM_DRIVER";
    case 0x09:
      return "APPLICATION";
    case 0x0B:
      return "FIRMWARE_VOLUME_IMAGE";
    case kFileTypePad:
      return "FFS_PAD";
    default:
      return HexText(type);
  }
}

std::string SectionTypeName(uint8_t type) {
  switch (type) {
    case 0x01:
      return "COMPRESSION";
    case 0x02:
      return "GUID_DEFINED";
    case kSectionPe32:
      return "PE32";
    case 0x11:
      return "PIC";
    case kSectionTe:
      return "TE";
    case kSectionDxeDepex:
      return "DXE_DEPEX";
    case kSectionVersion:
      return "VERSION";
    case kSectionUserInterface:
      return "USER_INTERFACE";
    case 0x17:
      return "FIRMWARE_VOLUME_IMAGE";
    case kSectionRaw:
      return "RAW";
    case kSectionPeiDepex:
      return "PEI_DEPEX";
    default:
      return HexText(type);
  }
}

uint32_t FileAlignmentFor(uint32_t bytes) {
  for (uint32_t alignment : kAlignments) {
    if (alignment >= bytes) return alignment;
  }
  throw FormatError("no file data alignment of " + std::to_string(bytes) + " bytes");
}

uint32_t DataAlignmentOf(uint8_t attributes) {
  return kAlignments[(attributes & kFileAttributeDataAlignment) >> 3];
}

Bytes UserInterfaceData(const std::string &name) { return Ucs2(name); }

Bytes VersionData(uint16_t buildNumber, const std::string &version) {
  Bytes data;
  AppendLe(data, buildNumber, 2);
  const Bytes text = Ucs2(version);
  data.insert(data.end(), text.begin(), text.end());
  return data;
}

Bytes BuildFile(const FileParts &parts) {
  uint32_t alignment = 1;
  for (const SectionParts &section : parts.sections) {
    alignment = std::max(alignment, FileAlignmentFor(section.alignment));
  }
  // Sections, counted from the start of the file; the data after the
  // header starts on a multiple of `alignment` in the volume.
  Bytes file(kFileHeaderSize, 0);
  for (const SectionParts &section : parts.sections) {
    if (section.alignment > 4) {
      if (section.imageStart % 4 != 0) {
        throw FormatError("an image that runs in place must start on a 4-byte boundary");
      }
      const uint64_t data = AlignUp(file.size(), 4) + kSectionHeaderSize - kFileHeaderSize;
      const uint64_t misplaced =
          (data + section.alignment - section.imageStart % section.alignment) % section.alignment;
      if (misplaced != 0) {
        uint64_t pad = section.alignment - misplaced;
        if (pad < kSectionHeaderSize) pad += section.alignment;
        AppendSection(file, kSectionRaw, Bytes(pad - kSectionHeaderSize, 0));
      }
    }
    AppendSection(file, section.type, section.data);
  }
  if (file.size() > kLargestFileSize) {
    throw FormatError("file of " + std::to_string(file.size()) + " bytes; the limit is 16 MiB");
  }
  uint8_t attributes = parts.checksum ? kFileAttributeChecksum : 0;
  for (uint8_t bits = 0; bits < 8; bits++) {
    if (kAlignments[bits] == alignment) attributes |= static_cast<uint8_t>(bits << 3);
  }
  uint8_t *header = file.data();
  std::copy(parts.name.begin(), parts.name.end(), header);
  header[18] = parts.type;
  header[19] = attributes;
  PutLe(header + 20, file.size(), 3);
  // The header checksum counts the file checksum and the state as 0.
  header[16] = static_cast<uint8_t>(-Sum8(ByteView(header, kFileHeaderSize)));
  header[17] = parts.checksum ? static_cast<uint8_t>(-Sum8(ByteView(file).subspan(kFileHeaderSize)))
                              : kFixedFileChecksum;
  header[23] = static_cast<uint8_t>(~(kFileHeaderConstruction | kFileHeaderValid | kFileDataValid));
  return file;
}

const ParsedSection *ParsedFile::Find(uint8_t sectionType) const {
  for (const ParsedSection &section : sections) {
    if (section.type == sectionType) return &section;
  }
  return nullptr;
}

namespace {

ParsedFile ReadFile(ByteView bytes, std::optional<size_t> volumeOffset, bool erasePolarity) {
  const size_t offset = volumeOffset.value_or(0);
  const std::string where = "file at " + HexText(offset);
  if (bytes.size() < kFileHeaderSize) throw FormatError(where + ": the header is cut short");
  ParsedFile file;
  file.offset = offset;
  std::copy(bytes.begin(), bytes.begin() + 16, file.name.begin());
  file.type = bytes[18];
  file.attributes = bytes[19];
  file.size = GetLe(&bytes[20], 3);
  const uint8_t stored = bytes[23];
  file.state = erasePolarity ? static_cast<uint8_t>(~stored) : stored;
  if (file.attributes & kFileAttributeLargeFile) {
    throw FormatError(where + ": large files (over 16 MiB) are not read here");
  }
  if (file.size < kFileHeaderSize || file.size > bytes.size()) {
    throw FormatError(where + ": size " + HexText(file.size) + " does not fit the volume");
  }
  // The state bits, highest first: deleted or invalid files are no files.
  if (!(file.state & kFileHeaderValid) || (file.state & (kFileHeaderInvalid | kFileDeleted))) {
    throw FormatError(where + ": state " + HexText(stored) + " is not that of a valid file");
  }
  if (!(file.state & kFileDataValid)) throw FormatError(where + ": the data is not marked valid");
  uint8_t header[kFileHeaderSize];
  std::copy(bytes.begin(), bytes.begin() + kFileHeaderSize, header);
  header[17] = 0;
  header[23] = 0;
  if (Sum8(ByteView(header, kFileHeaderSize)) != 0) {
    throw FormatError(where + ": the header checksum is wrong");
  }
  const ByteView data = bytes.subspan(kFileHeaderSize, file.size - kFileHeaderSize);
  if (file.attributes & kFileAttributeChecksum) {
    if (static_cast<uint8_t>(Sum8(data) + bytes[17]) != 0) {
      throw FormatError(where + ": the data checksum is wrong");
    }
  } else if (bytes[17] != kFixedFileChecksum) {
    throw FormatError(where + ": no data checksum, but the checksum byte is not 0xAA");
  }
  file.alignment = DataAlignmentOf(file.attributes);
  if (file.attributes & kFileAttributeDataAlignment2) {
    throw FormatError(where + ": data alignments over 64 KiB are not read here");
  }
  if (volumeOffset && (offset + kFileHeaderSize) % file.alignment != 0) {
    throw FormatError(where + ": the data is not aligned to " + std::to_string(file.alignment) +
                      " bytes");
  }
  if (file.type == kFileTypePad || file.type == kFileTypeRaw) return file;

  size_t at = kFileHeaderSize;
  while (at < file.size) {
    if (file.size - at < kSectionHeaderSize) {
      throw FormatError(where + ": bytes after the last section");
    }
    ParsedSection section;
    section.offset = at;
    section.size = GetLe(&bytes[at], 3);
    section.type = bytes[at + 3];
    if (section.size == 0xFFFFFF) {
      throw FormatError(where + ": sections over 16 MiB are not read here");
    }
    if (section.size < kSectionHeaderSize || section.size > file.size - at) {
      throw FormatError(where + ": the section at " + HexText(at) + " has a bad size " +
                        HexText(section.size));
    }
    const ByteView body = bytes.subspan(at + kSectionHeaderSize, section.size - kSectionHeaderSize);
    section.data.assign(body.begin(), body.end());
    const size_t end = at + section.size;
    file.sections.push_back(std::move(section));
    if (end == file.size) return file;
    at = AlignUp(end, 4);
  }
  if (file.sections.empty()) return file;
  throw FormatError(where + ": the last section does not end the file");
}

}  // namespace

ParsedFile ParseFile(ByteView bytes, size_t offset, bool erasePolarity) {
  return ReadFile(bytes, offset, erasePolarity);
}

ParsedFile ParseLooseFile(ByteView bytes) { return ReadFile(bytes, std::nullopt, true); }

std::string UserInterfaceText(const ParsedSection &section) {
  return FromUcs2(section.data, "user-interface section");
}

VersionInfo ReadVersion(const ParsedSection &section) {
  if (section.data.size() < 2) throw FormatError("version section without a build number");
  return {static_cast<uint16_t>(GetLe(section.data.data(), 2)),
          FromUcs2(ByteView(section.data).subspan(2), "version section")};
}

}  // namespace fwimage
