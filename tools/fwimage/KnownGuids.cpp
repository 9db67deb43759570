#include "KnownGuids.h"

#include "include/BoardHookPpi.h"
#include "include/BoardHookProtocol.h"
#include "include/HeapBufferList.h"
#include "uefi/Pcd.h"
#include "uefi/PlatformModules.h"
#include "uefi/StandardInterfaces.h"

namespace fwimage {

namespace {

struct Named {
  const char *name;
  const EFI_GUID *guid;
};

// Protocols and PPIs: what a module's dependency expression can wait for.
constexpr Named kKnown[] = {
    {"gPcdProtocolGuid", &gPcdProtocolGuid},
    {"gPcdPpiGuid", &gPcdPpiGuid},
    {"gEfiPeiReadOnlyVariable2PpiGuid", &gEfiPeiReadOnlyVariable2PpiGuid},
    {"gEfiPeiSmbus2PpiGuid", &gEfiPeiSmbus2PpiGuid},
    {"gEfiPeiStallPpiGuid", &gEfiPeiStallPpiGuid},
    {"gEfiSmmCommunicationProtocolGuid", &gEfiSmmCommunicationProtocolGuid},
    {"gEfiDxeSmmReadyToLockProtocolGuid", &gEfiDxeSmmReadyToLockProtocolGuid},
    {"gSetupSuppressTriggerProtocolGuid", &gSetupSuppressTriggerProtocolGuid},
    {"gSetupItemSuppressProtocolGuid", &gSetupItemSuppressProtocolGuid},
    {"gBmcIpmiPpiGuid", &gBmcIpmiPpiGuid},
    {"gI2cTablePpiGuid", &gI2cTablePpiGuid},
    {"gI2cApplyPpiGuid", &gI2cApplyPpiGuid},
    {"gBoardHookPpiGuid", &gBoardHookPpiGuid},
    {"gBoardHookProtocolGuid", &gBoardHookProtocolGuid},
    {"gHeapBufferListProtocolGuid", &gHeapBufferListProtocolGuid},
};

}  // namespace

std::optional<Guid> KnownGuid(std::string_view name) {
  for (const Named &known : kKnown) {
    if (name == known.name) return FromEfiGuid(*known.guid);
  }
  return std::nullopt;
}

std::optional<std::string> KnownGuidName(const Guid &guid) {
  for (const Named &known : kKnown) {
    if (FromEfiGuid(*known.guid) == guid) return known.name;
  }
  return std::nullopt;
}

}  // namespace fwimage
