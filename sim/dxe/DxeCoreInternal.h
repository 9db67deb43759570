// Records of the simulated DXE core shared by its source files.
#pragma once
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "DxeCore.h"

namespace sim {

namespace dxe_detail {
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
}  // namespace dxe_detail
using dxe_detail::Format;

struct DxeCore::Event {
  uint32_t type = 0;
  EFI_TPL notify_tpl = 0;
  EFI_EVENT_NOTIFY notify = nullptr;
  void *context = nullptr;
  std::optional<EFI_GUID> group;
  bool signaled = false;
  bool queued = false;  // its notification waits in a queue
  bool open = true;
  uint64_t serial = 0;
};

struct DxeCore::HandleInterface {
  EFI_GUID protocol;
  void *interface;
  uint64_t serial;  // installation order over the core's life
};

struct DxeCore::Handle {
  using Interface = HandleInterface;
  std::vector<Interface> interfaces;
  bool alive = true;  // false once its last protocol is uninstalled
  uint64_t serial = 0;

  Interface *Find(const EFI_GUID &protocol) {
    for (Interface &entry : interfaces) {
      if (GuidEquals(&entry.protocol, &protocol)) {
        return &entry;
      }
    }
    return nullptr;
  }
};

// A RegisterProtocolNotify registration: its event and the handles that got
// the protocol since the registration and were not yet handed out.
struct DxeCore::Registration {
  EFI_GUID protocol;
  Event *event = nullptr;
  std::deque<Handle *> fresh;
  bool alive = true;  // false once its event is closed
};

// Records one service call for its duration: counts it, checks the caller's
// TPL against the service's limit and takes any injected fault.
class DxeCore::CallScope {
 public:
  CallScope(DxeCore &core, Service service, EFI_TPL limit);
  const std::optional<EFI_STATUS> &Fault() const { return fault_; }
  void Guid(const EFI_GUID *guid);
  void Arg(size_t index, uint64_t value);
  void Text(std::string text);
  EFI_STATUS Return(EFI_STATUS status);

 private:
  ServiceCall *Record();

  DxeCore &core_;
  uint64_t number_;
  std::optional<EFI_STATUS> fault_;
};

}  // namespace sim
