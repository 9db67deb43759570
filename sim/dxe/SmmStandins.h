// Stand-ins for the SMM-facing DXE interfaces: the DXE SMM ready-to-lock
// protocol and the SMM communication protocol, which records every message.
#pragma once
#include <functional>
#include <vector>

#include "DxeCore.h"
#include "uefi/StandardInterfaces.h"

namespace sim {

class SmmReadyToLock {
 public:
  // Installs the protocol (it has no members) on a new handle, as the
  // platform does when SMM is about to be locked.
  EFI_HANDLE Install(DxeCore &core);
  const std::vector<EFI_HANDLE> &Installations() const { return installations_; }

 private:
  std::vector<EFI_HANDLE> installations_;
};

struct CommunicateCall {
  const EFI_SMM_COMMUNICATION_PROTOCOL *self;  // the This argument
  void *buffer;
  bool size_given;                // CommSize was not null
  UINTN size;                     // *CommSize on entry, or the size the header gives
  std::vector<uint8_t> contents;  // the message as it was passed
};

class SmmCommunication {
 public:
  SmmCommunication();
  ~SmmCommunication();
  SmmCommunication(const SmmCommunication &) = delete;
  SmmCommunication &operator=(const SmmCommunication &) = delete;

  EFI_HANDLE Install(DxeCore &core);
  EFI_SMM_COMMUNICATION_PROTOCOL *Protocol() { return &protocol_; }
  // The status Communicate returns (EFI_SUCCESS by default).
  void SetStatus(EFI_STATUS status) { status_ = status; }
  // Runs inside Communicate after the call is recorded, while the caller's
  // memory is still live; its status is the one returned.
  void SetHandler(std::function<EFI_STATUS(void *buffer, UINTN *size)> handler) {
    handler_ = std::move(handler);
  }
  const std::vector<CommunicateCall> &Calls() const { return calls_; }

  static EFI_STATUS EFIAPI Communicate(const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer,
                                       UINTN *CommSize);

 private:
  EFI_SMM_COMMUNICATION_PROTOCOL protocol_;
  EFI_STATUS status_ = EFI_SUCCESS;
  std::function<EFI_STATUS(void *, UINTN *)> handler_;
  std::vector<CommunicateCall> calls_;
};

}  // namespace sim
