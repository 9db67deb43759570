// Failure injection for one simulated service: fail every call, or chosen
// calls counted from when each was armed, with a chosen status. Several
// failures may be armed at once; a call armed to fail on its own takes
// precedence over FailEvery.
#pragma once
#include <cstdint>
#include <map>
#include <optional>

#include "../../uefi/UefiBase.h"

namespace sim {

class FaultPlan {
 public:
  // Every later call fails with `status` (unless armed on its own).
  void FailEvery(EFI_STATUS status) { every_ = status; }
  // The `n`th later call (1 = the next one) fails with `status`; the calls
  // armed before stay armed. `n` = 0 arms nothing.
  void FailNth(uint64_t n, EFI_STATUS status) {
    if (n != 0) {
      nth_[calls_ + n] = status;
    }
  }
  void Clear() {
    every_.reset();
    nth_.clear();
  }

  // Counts one call; returns the status it must fail with, if any.
  std::optional<EFI_STATUS> Next() {
    calls_++;
    const auto found = nth_.find(calls_);
    if (found != nth_.end()) {
      const EFI_STATUS status = found->second;
      nth_.erase(found);
      return status;
    }
    return every_;
  }

 private:
  uint64_t calls_ = 0;
  std::optional<EFI_STATUS> every_;
  std::map<uint64_t, EFI_STATUS> nth_;  // by the call's number
};

}  // namespace sim
