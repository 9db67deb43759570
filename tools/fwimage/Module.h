// A module as a firmware file: a PEI module as a PEIM file (PEI dependency
// expression, TE image, user-interface name, version), a DXE driver as a
// DRIVER file (DXE dependency expression, PE32 image, name, version).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "Bytes.h"
#include "Ffs.h"
#include "Guid.h"
#include "sim/loader/PeImage.h"

namespace fwimage {

struct ModuleParts {
  Guid name{};
  uint8_t type = kFileTypeDriver;  // kFileTypePeim or kFileTypeDriver
  std::string uiName;
  std::string version;
  uint16_t buildNumber = 0;
  std::string depex;  // Depex.h text
  Bytes image;        // TE for a PEIM, PE32/PE32+ for a driver
};

// FormatError when the image is not of the form the file type carries.
Bytes BuildModuleFile(const ModuleParts &parts);

struct ModuleInfo {
  std::string uiName;
  VersionInfo version;
  std::string depex;      // decoded
  uint8_t imageType = 0;  // kSectionTe or kSectionPe32
  sim::PeImage image;
  size_t imageOffset = 0;  // of the image section's data in the file
};

// Reads a PEIM or DRIVER file: exactly one dependency expression of the
// file's kind, one image section of its kind, one name and one version;
// the image for `machine` and `subsystem` with base relocations and no
// imports; a TE image placed so that it runs in place at the alignment of
// its sections. FormatError or sim::ImageError names the fault.
ModuleInfo ReadModuleFile(const ParsedFile &file, uint16_t machine, uint16_t subsystem);

}  // namespace fwimage
