// A DXE driver image as the platform's loader leaves it: checked, placed at
// its fixed address, relocated, with the emulated processor that runs it and
// a stack of its own. While it lives, it is the processor the simulator's
// calls into firmware code reach.
#pragma once
#include <string>
#include <vector>

#include "EmulatedCpu.h"
#include "sim/core/FixedMemory.h"
#include "sim/dxe/DxeCore.h"
#include "sim/loader/PeImage.h"
#include "uefi/UefiTables.h"

namespace sim {

class DxeImageRun {
 public:
  // `file` is a PE32+ x64 boot-service driver; `pool` is the pool arena the
  // image shares with the simulated core. ImageError for a bad image.
  DxeImageRun(const std::string &name, const std::vector<uint8_t> &file, const FixedMemory &pool);
  ~DxeImageRun();
  DxeImageRun(const DxeImageRun &) = delete;
  DxeImageRun &operator=(const DxeImageRun &) = delete;

  EFI_IMAGE_ENTRY_POINT Entry() const;
  LoadedImageArea Area() const { return {memory_.Address(), image_.sizeOfImage}; }
  const PeImage &Image() const { return image_; }
  EmulatedCpu &Cpu() { return cpu_; }

 private:
  PeImage image_;
  FixedMemory memory_;
  FixedMemory stack_;
  EmulatedCpu cpu_;
};

}  // namespace sim
