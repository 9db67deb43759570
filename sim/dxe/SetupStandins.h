// Stand-ins for the setup-menu modules' DXE interfaces:
// SETUP_SUPPRESS_TRIGGER_PROTOCOL, whose installation is the trigger, and
// SETUP_ITEM_SUPPRESS_PROTOCOL, which records every SuppressItem call.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "DxeCore.h"
#include "uefi/PlatformModules.h"

namespace sim {

class SetupSuppressTrigger {
 public:
  // Installs an instance (no interface) on a new handle, as the setup module
  // does; returns the handle, or null if the core refused it.
  EFI_HANDLE Install(DxeCore &core);
  const std::vector<EFI_HANDLE> &Installations() const { return installations_; }

 private:
  std::vector<EFI_HANDLE> installations_;
};

struct SuppressItemCall {
  std::string form_set;  // "(null)" for a null name
  uint16_t item;
};

// SuppressItem carries no interface pointer, so calls reach the most
// recently constructed instance that is still alive.
class SetupItemSuppress {
 public:
  SetupItemSuppress();
  ~SetupItemSuppress();
  SetupItemSuppress(const SetupItemSuppress &) = delete;
  SetupItemSuppress &operator=(const SetupItemSuppress &) = delete;

  EFI_HANDLE Install(DxeCore &core);
  SETUP_ITEM_SUPPRESS_PROTOCOL *Protocol() { return &protocol_; }
  // The status every SuppressItem call returns (EFI_SUCCESS by default).
  void SetStatus(EFI_STATUS status) { status_ = status; }

  const std::vector<SuppressItemCall> &Calls() const { return calls_; }
  // The item numbers suppressed in form set `form_set`, in call order.
  std::vector<uint16_t> Items(const std::string &form_set = "Setup") const;

  static EFI_STATUS EFIAPI SuppressItem(const CHAR8 *FormSetName, UINT16 ItemNumber);

 private:
  SETUP_ITEM_SUPPRESS_PROTOCOL protocol_;
  EFI_STATUS status_ = EFI_SUCCESS;
  std::vector<SuppressItemCall> calls_;
};

}  // namespace sim
