#include "TeConvert.h"

#include <algorithm>

#include "Bytes.h"
#include "sim/loader/PeImage.h"
#include "sim/loader/TeImage.h"

namespace fwimage {

std::vector<uint8_t> ConvertToTe(const std::vector<uint8_t> &pe) {
  const sim::PeImage image = sim::ParsePeImage(pe, sim::kAnyMachine, sim::kAnySubsystem);
  if (image.debug.size != 0) {
    // Its entries point into the file by offset, which the TE form moves.
    throw FormatError("the image has a debug directory; link it without one (/debug:none)");
  }
  if (image.fileAlignment != image.sectionAlignment) {
    throw FormatError("file alignment " + HexText(image.fileAlignment) +
                      " differs from section alignment " + HexText(image.sectionAlignment) +
                      ": the image cannot run in place");
  }
  for (const sim::PeSection &section : image.sections) {
    if (section.rawSize != 0 && section.rawOffset != section.virtualAddress) {
      throw FormatError("section " + section.name + " lies at " + HexText(section.rawOffset) +
                        " in the file but at " + HexText(section.virtualAddress) +
                        " in memory: the image cannot run in place");
    }
  }
  if (image.sectionTable > UINT16_MAX || image.sections.size() > UINT8_MAX ||
      image.subsystem > UINT8_MAX) {
    throw FormatError("the headers, the section count or the subsystem exceed a TE header");
  }
  sim::TeHeader header;
  header.machine = image.machine;
  header.sectionCount = static_cast<uint8_t>(image.sections.size());
  header.subsystem = static_cast<uint8_t>(image.subsystem);
  header.strippedSize = static_cast<uint16_t>(image.sectionTable);
  header.entryRva = image.entryRva;
  header.baseOfCode = image.baseOfCode;
  header.imageBase = image.preferredBase;
  header.relocations = image.relocations;
  const auto encoded = sim::EncodeTeHeader(header);
  std::vector<uint8_t> te(encoded.size() + pe.size() - image.sectionTable);
  std::copy(encoded.begin(), encoded.end(), te.begin());
  std::copy(pe.begin() + image.sectionTable, pe.end(), te.begin() + encoded.size());
  return te;
}

}  // namespace fwimage
