// The DXE phase's platform before the driver runs: the simulated machine and
// DXE core built from the board, the configuration database restored from
// the PEI phase's hand-over, the driver image, the HOB list of the board's
// heap buffers, and the stand-ins of the platform's other modules with the
// values they put into the database before the driver starts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Board.h"
#include "DxePhase.h"
#include "Explain.h"
#include "Hook4Caller.h"
#include "sim/core/FixedMemory.h"
#include "sim/cpu/DxeImageRun.h"
#include "sim/dxe/DxeCore.h"
#include "sim/dxe/S3SaveTable.h"
#include "sim/dxe/SetupStandins.h"
#include "sim/dxe/SmmStandins.h"
#include "sim/platform/DxePlatform.h"

namespace bootsim {

class DxeSetup {
 public:
  // SimulatorError when the hand-over cannot be restored.
  explicit DxeSetup(const DxeInput &input);
  ~DxeSetup();
  DxeSetup(const DxeSetup &) = delete;
  DxeSetup &operator=(const DxeSetup &) = delete;

  // Ends the timeline's marks (token accesses, SuppressItem calls); the
  // phase calls it once the boot has run.
  void StopMarks();

  const Board &board;
  // Pool at fixed addresses, so the records the report shows (the shared S3
  // record, the S3 table, the SMM message) have the same address on every
  // boot.
  const sim::FixedMemory pool;
  sim::DxePlatform platform;
  sim::Machine &machine;
  sim::PcdDatabase &pcd;
  sim::DxeCore &core;
  uint8_t counterBefore = 0;  // the link-retry counter in CMOS as the phase starts
  size_t peiAccesses = 0;     // database accesses of the PEI phase, before the DXE phase's
  // The booted image's file name, and the image on the emulated processor;
  // empty and null for the host build linked into the tool.
  std::string imageName;
  std::unique_ptr<sim::DxeImageRun> image;
  // Marks for the explanations: every token access, every SuppressItem
  // call, the platform's steps.
  std::optional<DxeTimeline> timeline;

  // Other modules' interfaces present before the driver starts.
  sim::SetupItemSuppress setupItems;
  sim::SmmCommunication smm;
  sim::S3SaveTableProvider tables;
  sim::S3SaveTableLayout layout;
  uint64_t smmBuffer = 0;  // the SMM communication buffer; 0 when the board has none
  // Installed later in the boot.
  sim::SetupSuppressTrigger trigger;
  sim::SmmReadyToLock readyToLock;
  // The platform module that calls Hook4, with the board's buffers.
  ListBuffer first, second;
};

// Whether [address, address + size) lies inside one live pool block: the
// phase reads records whose addresses the driver left behind, and reads
// nothing it cannot vouch for.
bool IsLivePool(const sim::DxeCore &core, uint64_t address, size_t size);

}  // namespace bootsim
