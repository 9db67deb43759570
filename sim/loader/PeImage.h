// PE/COFF firmware images as the platform loads them: the headers read and
// checked (machine, subsystem, no imports), the sections placed at their
// addresses in memory of the image's size, the base relocations applied for
// the address it is loaded at. Used by both phases of the boot simulator:
// the 32-bit PEI runner and the 64-bit DXE phase. The terse form of the same
// images (TE, for PEI modules) is read by TeImage.h into the same record and
// loaded by the same LoadPeImage.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint16_t kMachineIa32 = 0x014C;
inline constexpr uint16_t kMachineX64 = 0x8664;
inline constexpr uint16_t kSubsystemEfiApplication = 10;
inline constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
inline constexpr uint16_t kSubsystemEfiRuntimeDriver = 12;

inline constexpr uint32_t kSectionExecutable = 0x20000000;  // IMAGE_SCN_MEM_EXECUTE

// For ParsePeImage: accept any machine or subsystem this loader knows.
inline constexpr uint16_t kAnyMachine = 0;
inline constexpr uint16_t kAnySubsystem = 0;

struct PeSection {
  std::string name;
  uint32_t virtualAddress = 0;  // RVA
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;  // in the file
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
};

struct PeDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct PeImage {
  uint16_t machine = 0;
  bool pe32Plus = false;
  bool terse = false;  // a TE image (TeImage.h)
  uint16_t subsystem = 0;
  uint32_t entryRva = 0;
  uint32_t baseOfCode = 0;
  uint64_t preferredBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint32_t sizeOfImage = 0;
  // The headers: the file's first sizeOfHeaders bytes, placed at headerRva
  // in the loaded image (0 for PE; a TE header stands where the PE headers
  // it replaced ended).
  uint32_t sizeOfHeaders = 0;
  uint32_t headerRva = 0;
  uint32_t sectionTable = 0;  // file offset of the section headers
  PeDirectory imports;
  PeDirectory relocations;
  PeDirectory debug;
  std::vector<PeSection> sections;  // rawOffset: in this file
};

// Reads and checks the headers of `file`: a PE32 (IA-32) or PE32+ (x64)
// image for `machine` and `subsystem`, with no imports, every section and
// directory inside the file and the image. ImageError names what is wrong.
PeImage ParsePeImage(const std::vector<uint8_t> &file, uint16_t machine, uint16_t subsystem);

// A PE or a TE image, told apart by the file's first two bytes.
PeImage ParseImage(const std::vector<uint8_t> &file, uint16_t machine, uint16_t subsystem);

// Places the image into `memory` (at least sizeOfImage bytes, which will
// run at `loadAddress`, the address of offset 0 of the image): headers,
// sections, zeroed tails, then the base relocations (HIGHLOW for IA-32,
// DIR64 for x64) for the distance from the preferred base. `loadAddress`
// must be aligned to the section alignment.
void LoadPeImage(const PeImage &image, const std::vector<uint8_t> &file, uint8_t *memory,
                 uint64_t loadAddress);

// Reads a whole file; ImageError when it cannot.
std::vector<uint8_t> ReadImageFile(const std::string &path);

}  // namespace sim
