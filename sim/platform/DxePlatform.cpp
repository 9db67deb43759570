#include "DxePlatform.h"

#include "../../board/BoardHookDxe.h"
#include "../../platform/HeapBufferList.h"
#include "../../platform/LibraryStartup.h"
#include "../../platform/S3SaveLib.h"

namespace sim {

DxePlatform::DxePlatform(DxePlatformOptions wiring) : options(wiring) {
  machine.SetCpuidBackDoorAnswer(options.backDoorAnswer);
  if (options.systemTokens) pcd.DeclareSystemTokens();
  pcd.SetPhase("DXE");
  Reboot();
}

DxeCore &DxePlatform::Reboot() {
  core_.reset();
  core_ = std::make_unique<DxeCore>(clock);
  if (options.poolArena) core_->SetPoolArena(*options.poolArena);
  ResetDriverGlobals();
  if (options.servicesSet) {
    gST = core_->SystemTable();
    gBS = core_->BootServices();
    gRT = core_->RuntimeServices();
  }
  pcdHandle_ =
      options.pcdProtocol ? core_->InstallProtocol(gPcdProtocolGuid, pcd.Protocol()) : nullptr;
  return *core_;
}

void DxePlatform::ResetDriverGlobals() {
  gImageHandle = nullptr;
  gST = nullptr;
  gBS = nullptr;
  gRT = nullptr;
  mHobList = nullptr;
  mHeapBufferListHead = nullptr;
  mPcdProtocol = nullptr;
  mS3LibPrivateData = nullptr;
  mBootScriptLockEvent = nullptr;
  mCloseTableEvent = nullptr;
}

}  // namespace sim
