// Stand-in for EFI_PEI_STALL_PPI: stalls advance the simulated clock.
#include "PeiStandIns.h"

namespace sim {

struct StallThunks {
  static EFI_STATUS EFIAPI Stall(const EFI_PEI_SERVICES **PeiServices,
                                 const EFI_PEI_STALL_PPI *This, UINTN Microseconds) {
    auto *owner = reinterpret_cast<const StallPpiStandIn::Interface *>(This)->self;
    return owner->Stall(PeiServices, Microseconds);
  }
};

StallPpiStandIn::StallPpiStandIn(PeiFoundation &pei) : pei_(pei) {
  interface_.ppi.Resolution = 1;
  interface_.ppi.Stall = StallThunks::Stall;
  interface_.self = this;
}

uint64_t StallPpiStandIn::TotalMicroseconds() const {
  uint64_t total = 0;
  for (UINTN microseconds : calls_) {
    total += microseconds;
  }
  return total;
}

EFI_STATUS StallPpiStandIn::Stall(const EFI_PEI_SERVICES **peiServices, UINTN microseconds) {
  (void)peiServices;
  pei_.AddTrace("Stall(" + std::to_string(microseconds) + ")");
  calls_.push_back(microseconds);
  pei_.Clock().Stall(microseconds);
  return EFI_SUCCESS;
}

}  // namespace sim
