// The PEI module's access to the configuration database: the services
// pointer from below the IDT, PCD_PPI located at every access.
#include "../hw/HwAccess.h"
#include "BoardHookPei.h"

const EFI_PEI_SERVICES **ReadPeiServicesFromIdt() {
  const UINTN IdtBase = HwReadIdtBase();
  return *reinterpret_cast<const EFI_PEI_SERVICES ***>(IdtBase - sizeof(UINTN));
}

PCD_PPI *GetPcdPpi() {
  const EFI_PEI_SERVICES **PeiServices = ReadPeiServicesFromIdt();
  PCD_PPI *Pcd = NULL;
  if (EFI_ERROR(
          (*PeiServices)
              ->LocatePpi(PeiServices, &gPcdPpiGuid, 0, NULL, reinterpret_cast<VOID **>(&Pcd)))) {
    return NULL;
  }
  return Pcd;
}

UINT8 SetPcd8(UINTN TokenNumber, UINT8 Value) {
  PCD_PPI *Pcd = GetPcdPpi();
  if (Pcd != NULL) {
    Pcd->Set8(TokenNumber, Value);
  }
  return Value;
}
