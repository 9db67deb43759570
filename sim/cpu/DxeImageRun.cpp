#include "DxeImageRun.h"

#include "sim/machine/Machine.h"

namespace sim {

namespace {
uint64_t PageAligned(uint64_t size) { return (size + 0xFFF) & ~uint64_t{0xFFF}; }
}  // namespace

DxeImageRun::DxeImageRun(const std::string &name, const std::vector<uint8_t> &file,
                         const FixedMemory &pool)
    : image_(ParsePeImage(file, kMachineX64, kSubsystemEfiBootServiceDriver)),
      memory_(kDxeImageBase, PageAligned(image_.sizeOfImage)),
      stack_(kImageStackBase, kImageStackSize) {
  if (image_.sizeOfImage > kDxeImageSpan) {
    throw ImageError("the image's size does not fit the space images are loaded into");
  }
  LoadPeImage(image_, file, memory_.Base(), memory_.Address());
  cpu_.MapMemory(memory_.Address(), memory_.Size());
  cpu_.MapMemory(pool.Address(), pool.Size());
  cpu_.MapMemory(stack_.Address(), stack_.Size());
  cpu_.SetStack(stack_.Address(), stack_.Size());
  cpu_.MapDevices(Machine::kEcamBase, Machine::kEcamSize);
  std::vector<std::pair<uint64_t, uint64_t>> code;
  for (const PeSection &section : image_.sections) {
    if ((section.characteristics & kSectionExecutable) != 0) {
      const uint64_t start = memory_.Address() + section.virtualAddress;
      code.emplace_back(start, start + std::max(section.virtualSize, section.rawSize));
    }
  }
  cpu_.AddImage(name, memory_.Address(), image_.sizeOfImage, code);
  SetActiveFirmwareProcessor(&cpu_);
}

DxeImageRun::~DxeImageRun() {
  if (ActiveFirmwareProcessor() == &cpu_) SetActiveFirmwareProcessor(nullptr);
}

EFI_IMAGE_ENTRY_POINT DxeImageRun::Entry() const {
  return reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(
      static_cast<uintptr_t>(memory_.Address() + image_.entryRva));
}

}  // namespace sim
