#include "PeiPlatform.h"

#include "../core/EfiText.h"

namespace sim {

PeiPlatform::PeiPlatform(PeiPlatformOptions options) {
  machine.SetIdtBase(pei.IdtBase());
  pcd.SetPhase("PEI");
  if (options.systemTokens) pcd.DeclareSystemTokens();
  if (options.pcdTrace) {
    pcd.SetObserver([this](const PcdAccess &access) {
      pei.AddTrace("Pcd." + access.operation + "(" + HexText(access.token) + ", " +
                   HexText(access.value) + ") = " + StatusText(StatusFrom64(access.status)));
    });
  }
}

EFI_STATUS PeiPlatform::InstallPlatformPpis() {
  // In this order, each installed whatever the others returned.
  const EFI_STATUS statuses[] = {InstallPcdPpi(), variables.Install(), stall.Install(),
                                 bmc.Install(), i2cTable.Install()};
  for (const EFI_STATUS status : statuses) {
    if (status != EFI_SUCCESS) return status;
  }
  return EFI_SUCCESS;
}

}  // namespace sim
