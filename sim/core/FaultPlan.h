// Failure injection for one simulated service: fail every call, or only the
// Nth call counted from when the plan was armed, with a chosen status.
#pragma once
#include <cstdint>
#include <optional>

#include "../../uefi/UefiBase.h"

namespace sim {

class FaultPlan {
 public:
  // Every later call fails with Status.
  void FailEvery(EFI_STATUS Status) {
    mode_ = Mode::Every;
    status_ = Status;
  }
  // Only the Nth later call (1 = the next one) fails with Status.
  void FailNth(uint64_t N, EFI_STATUS Status) {
    if (N == 0) {
      Clear();
      return;
    }
    mode_ = Mode::Nth;
    status_ = Status;
    remaining_ = N;
  }
  void Clear() { mode_ = Mode::Off; }

  // Counts one call; returns the status it must fail with, if any.
  std::optional<EFI_STATUS> Next() {
    switch (mode_) {
      case Mode::Off:
        return std::nullopt;
      case Mode::Every:
        return status_;
      case Mode::Nth:
        if (--remaining_ == 0) {
          mode_ = Mode::Off;
          return status_;
        }
        return std::nullopt;
    }
    return std::nullopt;
  }

 private:
  enum class Mode { Off, Every, Nth };
  Mode mode_ = Mode::Off;
  EFI_STATUS status_ = EFI_SUCCESS;
  uint64_t remaining_ = 0;
};

}  // namespace sim
