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
  // Every later call fails with Status (unless armed on its own).
  void FailEvery(EFI_STATUS Status) { every_ = Status; }
  // The Nth later call (1 = the next one) fails with Status; the calls armed
  // before stay armed. N = 0 arms nothing.
  void FailNth(uint64_t N, EFI_STATUS Status) {
    if (N != 0) {
      nth_[calls_ + N] = Status;
    }
  }
  void Clear() {
    every_.reset();
    nth_.clear();
  }

  // Counts one call; returns the status it must fail with, if any.
  std::optional<EFI_STATUS> Next() {
    calls_++;
    const auto Found = nth_.find(calls_);
    if (Found != nth_.end()) {
      const EFI_STATUS Status = Found->second;
      nth_.erase(Found);
      return Status;
    }
    return every_;
  }

 private:
  uint64_t calls_ = 0;
  std::optional<EFI_STATUS> every_;
  std::map<uint64_t, EFI_STATUS> nth_;  // by the call's number
};

}  // namespace sim
