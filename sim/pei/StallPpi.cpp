// Stand-in for EFI_PEI_STALL_PPI: stalls advance the simulated clock.
#include "PeiStandIns.h"

namespace sim {

struct StallThunks {
  static EFI_STATUS EFIAPI Stall(const EFI_PEI_SERVICES **PeiServices,
                                 const EFI_PEI_STALL_PPI *This, UINTN Microseconds) {
    auto *Owner = reinterpret_cast<const StallPpiStandIn::Interface *>(This)->Self;
    return Owner->Stall(PeiServices, Microseconds);
  }
};

StallPpiStandIn::StallPpiStandIn(PeiFoundation &Pei) : pei_(Pei) {
  interface_.Ppi.Resolution = 1;
  interface_.Ppi.Stall = StallThunks::Stall;
  interface_.Self = this;
}

uint64_t StallPpiStandIn::TotalMicroseconds() const {
  uint64_t Total = 0;
  for (UINTN Microseconds : calls_) {
    Total += Microseconds;
  }
  return Total;
}

EFI_STATUS StallPpiStandIn::Stall(const EFI_PEI_SERVICES **PeiServices, UINTN Microseconds) {
  (void)PeiServices;
  pei_.AddTrace("Stall(" + std::to_string(Microseconds) + ")");
  calls_.push_back(Microseconds);
  pei_.Clock().Stall(Microseconds);
  return EFI_SUCCESS;
}

}  // namespace sim
