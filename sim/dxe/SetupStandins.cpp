// Stand-ins for the setup-menu modules' DXE interfaces.
#include "SetupStandins.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
// Instances alive, in construction order; the last one takes the calls.
std::vector<SetupItemSuppress *> &LiveSuppressModules() {
  static std::vector<SetupItemSuppress *> instances;
  return instances;
}
// Form-set names are short; a longer run of bytes means a bad pointer.
constexpr size_t kLongestFormSetName = 256;
}  // namespace

EFI_HANDLE SetupSuppressTrigger::Install(DxeCore &core) {
  EFI_HANDLE handle = core.InstallProtocol(gSetupSuppressTriggerProtocolGuid, nullptr);
  if (handle != nullptr) {
    installations_.push_back(handle);
  }
  return handle;
}

SetupItemSuppress::SetupItemSuppress() : protocol_{SuppressItem} {
  LiveSuppressModules().push_back(this);
}

SetupItemSuppress::~SetupItemSuppress() { std::erase(LiveSuppressModules(), this); }

EFI_HANDLE SetupItemSuppress::Install(DxeCore &core) {
  return core.InstallProtocol(gSetupItemSuppressProtocolGuid, &protocol_);
}

std::vector<uint16_t> SetupItemSuppress::Items(const std::string &form_set) const {
  std::vector<uint16_t> items;
  for (const SuppressItemCall &call : calls_) {
    if (call.form_set == form_set) {
      items.push_back(call.item);
    }
  }
  return items;
}

EFI_STATUS EFIAPI SetupItemSuppress::SuppressItem(const CHAR8 *FormSetName, UINT16 ItemNumber) {
  if (LiveSuppressModules().empty()) {
    std::fprintf(stderr, "SuppressItem called with no SetupItemSuppress stand-in alive\n");
    std::abort();
  }
  SetupItemSuppress *self = LiveSuppressModules().back();
  std::string name = "(null)";
  if (FormSetName != nullptr) {
    name.clear();
    for (size_t i = 0; FormSetName[i] != 0 && i < kLongestFormSetName; i++) {
      name.push_back(FormSetName[i]);
    }
  }
  self->calls_.push_back(SuppressItemCall{name, ItemNumber});
  if (FormSetName == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return self->status_;
}

}  // namespace sim
