// Stand-ins for the SMM-facing DXE interfaces.
#include "SmmStandins.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {
// Instances alive, in construction order.
std::vector<SmmCommunication *> &LiveSmmCommunications() {
  static std::vector<SmmCommunication *> instances;
  return instances;
}
}  // namespace

EFI_HANDLE SmmReadyToLock::Install(DxeCore &core) {
  EFI_HANDLE handle = core.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, nullptr);
  if (handle != nullptr) {
    installations_.push_back(handle);
  }
  return handle;
}

SmmCommunication::SmmCommunication() : protocol_{Communicate} {
  LiveSmmCommunications().push_back(this);
}

SmmCommunication::~SmmCommunication() { std::erase(LiveSmmCommunications(), this); }

EFI_HANDLE SmmCommunication::Install(DxeCore &core) {
  return core.InstallProtocol(gEfiSmmCommunicationProtocolGuid, &protocol_);
}

// Calls reach the instance whose interface they name; a wrong This reaches
// the active instance, which records it.
EFI_STATUS EFIAPI SmmCommunication::Communicate(const EFI_SMM_COMMUNICATION_PROTOCOL *This,
                                                VOID *CommBuffer, UINTN *CommSize) {
  SmmCommunication *self =
      LiveSmmCommunications().empty() ? nullptr : LiveSmmCommunications().back();
  for (SmmCommunication *owner : LiveSmmCommunications()) {
    if (&owner->protocol_ == This) {
      self = owner;
    }
  }
  if (self == nullptr) {
    std::fprintf(stderr, "Communicate called with no SmmCommunication stand-in alive\n");
    std::abort();
  }
  CommunicateCall call{This, CommBuffer, CommSize != nullptr, 0, {}};
  if (CommBuffer == nullptr) {
    self->calls_.push_back(call);
    return EFI_INVALID_PARAMETER;
  }
  // Without a size the message header gives it.
  if (CommSize != nullptr) {
    call.size = *CommSize;
  } else {
    const auto *header = static_cast<const EFI_SMM_COMMUNICATE_HEADER *>(CommBuffer);
    call.size = offsetof(EFI_SMM_COMMUNICATE_HEADER, Data) + header->MessageLength;
  }
  const auto *bytes = static_cast<const uint8_t *>(CommBuffer);
  call.contents.assign(bytes, bytes + call.size);
  self->calls_.push_back(std::move(call));
  if (self->handler_) {
    return self->handler_(CommBuffer, CommSize);
  }
  return self->status_;
}

}  // namespace sim
