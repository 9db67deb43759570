#include "DxeSetup.h"

#include <cstring>
#include <vector>

#include "BoardMachine.h"
#include "Subprocess.h"
#include "board/SetupSuppress.h"
#include "include/HeapBufferList.h"
#include "include/PcdTokens.h"
#include "include/S3SaveLib.h"
#include "sim/dxe/HobListBuilder.h"

namespace bootsim {

namespace {

// The marks of the phase running in this process, for the setup module's
// SuppressItem, which carries no context of its own.
DxeTimeline *gTimeline = nullptr;

EFI_STATUS EFIAPI SuppressItemMarked(const CHAR8 *FormSetName, UINT16 ItemNumber) {
  if (gTimeline != nullptr) gTimeline->ItemSuppressed();
  return sim::SetupItemSuppress::SuppressItem(FormSetName, ItemNumber);
}

std::string ImageName(const ImageFile &image) {
  const size_t slash = image.path.find_last_of('/');
  return slash == std::string::npos ? image.path : image.path.substr(slash + 1);
}

std::vector<uint8_t> BuildHobList(const Board &board) {
  sim::HobListBuilder builder;
  for (const HeapBufferDescription &buffer : board.heapBuffers) {
    HEAP_BUFFER_HEADER header = {};
    header.Signature = buffer.signature;
    header.Handle = buffer.handle;
    header.Size = static_cast<UINT32>(buffer.data.size());
    header.MemoryKind = buffer.memoryKind;
    header.Active = buffer.active;
    std::vector<uint8_t> data(sizeof header);
    std::memcpy(data.data(), &header, sizeof header);
    data.insert(data.end(), buffer.data.begin(), buffer.data.end());
    builder.AddGuidHob(gHeapBufferHobGuid, data);
  }
  builder.AddEnd();
  return builder.Bytes();
}

}  // namespace

DxeSetup::DxeSetup(const DxeInput &input)
    : board(*input.board),
      pool(sim::kPoolArenaBase, sim::kPoolArenaSize),
      platform(sim::DxePlatformOptions().WithoutSystemTokens().WithPoolArena(
          {pool.Base(), pool.Size()})),
      machine(platform.machine),
      pcd(platform.pcd),
      core(platform.Core()),
      tables(core),
      first(board.hook4.first),
      second(board.hook4.second) {
  DescribeBoardHardware(machine, board);
  for (size_t index = 0; index < input.cmos.size(); index++) {
    machine.Cmos().Set(static_cast<uint8_t>(index), input.cmos[index]);
  }
  counterBefore = machine.Cmos().Get(LINK_RETRY_CMOS_INDEX);

  // The database continues where the PEI phase left it: the two phases meet
  // only here.
  std::string error;
  if (!pcd.Restore(input.handOver, &error)) {
    throw SimulatorError("the PEI phase's hand-over cannot be restored: " + error);
  }
  peiAccesses = pcd.Accesses().size();

  if (input.image != nullptr) {
    imageName = ImageName(*input.image);
    image = std::make_unique<sim::DxeImageRun>(imageName, input.image->bytes, pool);
  }
  core.SetResetHandler([this](EFI_RESET_TYPE, EFI_STATUS) { machine.ResetBoard(); });
  core.SetHobList(BuildHobList(board));

  timeline.emplace(machine, pcd, core);
  gTimeline = &*timeline;
  pcd.SetObserver([this](const sim::PcdAccess &) { timeline->TokenAccessed(); });

  setupItems.Protocol()->SuppressItem = SuppressItemMarked;
  if (board.modules.setupItemSuppress) setupItems.Install(core);
  if (board.modules.smmCommunication) smm.Install(core);
  layout.size = board.s3.size;
  layout.signature = board.s3.signature;
  layout.boundary_offset = board.s3.boundaryOffset;
  layout.boundary_marker = board.s3.boundaryMarker;
  layout.end_offset = board.s3.endOffset;

  // Values that other modules put into the database before the driver runs
  // (not calls of the driver, so not in the access record).
  if (board.s3.smmBufferSize != 0) {
    void *buffer = core.AllocatePoolForPlatform(EfiRuntimeServicesData, board.s3.smmBufferSize);
    smmBuffer = reinterpret_cast<uintptr_t>(buffer);
    pcd.Declare(PCD_TOKEN_SMM_COMMUNICATION_BUFFER, 8, smmBuffer);
  }
  if (board.s3.recordByEarlierModule) {
    auto *record = static_cast<S3_LIB_PRIVATE_DATA *>(
        core.AllocatePoolForPlatform(EfiRuntimeServicesData, sizeof(S3_LIB_PRIVATE_DATA)));
    std::memset(record, 0, sizeof *record);
    if (board.s3.table) record->TableBase = reinterpret_cast<uintptr_t>(tables.Create(layout));
    pcd.Declare(PCD_TOKEN_S3_LIB_PRIVATE_DATA, 8, reinterpret_cast<uintptr_t>(record));
  }
}

DxeSetup::~DxeSetup() { StopMarks(); }

void DxeSetup::StopMarks() {
  pcd.SetObserver(nullptr);
  if (timeline && gTimeline == &*timeline) gTimeline = nullptr;
}

bool IsLivePool(const sim::DxeCore &core, uint64_t address, size_t size) {
  for (const sim::PoolBlock &block : core.LiveAllocations()) {
    const auto base = reinterpret_cast<uintptr_t>(block.address);
    if (address >= base && address - base <= block.size && size <= block.size - (address - base)) {
      return true;
    }
  }
  return false;
}

}  // namespace bootsim
