#include "Module.h"

#include <algorithm>

#include "Depex.h"
#include "sim/loader/TeImage.h"

namespace fwimage {

namespace {

bool IsTe(const Bytes &image) { return image.size() >= 2 && image[0] == 'V' && image[1] == 'Z'; }

const ParsedSection &OnlyOne(const ParsedFile &file, uint8_t type) {
  const ParsedSection *found = nullptr;
  for (const ParsedSection &section : file.sections) {
    if (section.type != type) continue;
    if (found != nullptr) throw FormatError("more than one " + SectionTypeName(type) + " section");
    found = &section;
  }
  if (found == nullptr) throw FormatError("no " + SectionTypeName(type) + " section");
  return *found;
}

}  // namespace

Bytes BuildModuleFile(const ModuleParts &parts) {
  FileParts file;
  file.name = parts.name;
  file.type = parts.type;
  SectionParts image;
  image.data = parts.image;
  if (parts.type == kFileTypePeim) {
    if (!IsTe(parts.image)) throw FormatError("a PEIM file carries a TE image");
    const sim::PeImage te = sim::ParseTeImage(parts.image, sim::kAnyMachine, sim::kAnySubsystem);
    image.type = kSectionTe;
    image.alignment = te.sectionAlignment;
    image.imageStart = te.headerRva;
    file.sections.push_back({kSectionPeiDepex, CompileDepex(parts.depex)});
  } else if (parts.type == kFileTypeDriver) {
    sim::ParsePeImage(parts.image, sim::kAnyMachine, sim::kAnySubsystem);
    image.type = kSectionPe32;
    file.sections.push_back({kSectionDxeDepex, CompileDepex(parts.depex)});
  } else {
    throw FormatError("module files are PEIM or DRIVER files, not " + FileTypeName(parts.type));
  }
  file.sections.push_back(std::move(image));
  file.sections.push_back({kSectionUserInterface, UserInterfaceData(parts.uiName)});
  file.sections.push_back({kSectionVersion, VersionData(parts.buildNumber, parts.version)});
  return BuildFile(file);
}

ModuleInfo ReadModuleFile(const ParsedFile &file, uint16_t machine, uint16_t subsystem) {
  uint8_t depexType = 0;
  ModuleInfo info;
  if (file.type == kFileTypePeim) {
    depexType = kSectionPeiDepex;
    info.imageType = kSectionTe;
  } else if (file.type == kFileTypeDriver) {
    depexType = kSectionDxeDepex;
    info.imageType = kSectionPe32;
  } else {
    throw FormatError(FileTypeName(file.type) + " is not a module file");
  }
  for (const ParsedSection &section : file.sections) {
    const bool expected = section.type == depexType || section.type == info.imageType ||
                          section.type == kSectionUserInterface ||
                          section.type == kSectionVersion || section.type == kSectionRaw;
    if (!expected) {
      throw FormatError("a " + SectionTypeName(section.type) + " section in a " +
                        FileTypeName(file.type) + " file");
    }
  }
  info.depex = DecodeDepex(OnlyOne(file, depexType).data,
                           file.type == kFileTypePeim ? DepexKind::Pei : DepexKind::Dxe);
  info.uiName = UserInterfaceText(OnlyOne(file, kSectionUserInterface));
  info.version = ReadVersion(OnlyOne(file, kSectionVersion));
  const ParsedSection &image = OnlyOne(file, info.imageType);
  info.imageOffset = image.offset + kSectionHeaderSize;
  info.image = info.imageType == kSectionTe ? sim::ParseTeImage(image.data, machine, subsystem)
                                            : sim::ParsePeImage(image.data, machine, subsystem);
  if (info.image.relocations.size == 0) throw FormatError("the image has no base relocations");
  if (info.image.terse) {
    // Offset 0 of the image, counted from the file's aligned data (before
    // it, as a rule: the headers the TE header replaced are not there).
    const int64_t start = static_cast<int64_t>(info.imageOffset - kFileHeaderSize) -
                          static_cast<int64_t>(info.image.headerRva);
    const int64_t alignment = std::min(file.alignment, info.image.sectionAlignment);
    if ((start % alignment + alignment) % alignment != 0) {
      throw FormatError("the TE image does not start on a multiple of " +
                        std::to_string(alignment) + " bytes: it cannot run in place");
    }
  }
  return info;
}

}  // namespace fwimage
