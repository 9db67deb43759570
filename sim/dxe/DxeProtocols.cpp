// The simulated DXE core's handle and protocol database and protocol
// notifications.
#include <algorithm>
#include <cstring>

#include "DxeCoreInternal.h"

namespace sim {

DxeCore::Handle *DxeCore::FindHandle(EFI_HANDLE handle) const {
  auto found = handle_index_.find(handle);
  if (found == handle_index_.end() || !found->second->alive) {
    return nullptr;
  }
  return found->second;
}

// Hands the new installation to every live registration for the protocol and
// queues their events; the notifications run when the TPL drops.
void DxeCore::NotifyInstalled(Handle *handle, const EFI_GUID &protocol) {
  for (auto &registration : registrations_) {
    if (registration->alive && GuidEquals(&registration->protocol, &protocol)) {
      registration->fresh.push_back(handle);
      SignalOne(registration->event);
    }
  }
}

EFI_STATUS DxeCore::Install(EFI_HANDLE *handle, const EFI_GUID &protocol, void *interface) {
  Handle *target = nullptr;
  if (*handle != nullptr) {
    target = FindHandle(*handle);
    if (target == nullptr || target->Find(protocol) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
  } else {
    auto created = std::make_unique<Handle>();
    created->serial = ++serial_;
    target = created.get();
    handles_.push_back(std::move(created));
    handle_index_[target] = target;
  }
  // The database changes at TPL_NOTIFY; notifications at or below it run as
  // the TPL drops back to the caller's, once the installation is complete.
  EFI_TPL caller_tpl = tpl_;
  RaiseTo(TPL_NOTIFY);
  target->interfaces.push_back(Handle::Interface{protocol, interface, ++serial_});
  *handle = target;
  NotifyInstalled(target, protocol);
  LowerTo(caller_tpl);
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::Uninstall(EFI_HANDLE handle, const EFI_GUID &protocol, void *interface) {
  Handle *target = FindHandle(handle);
  if (target == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Handle::Interface *entry = target->Find(protocol);
  if (entry == nullptr || entry->interface != interface) {
    return EFI_NOT_FOUND;
  }
  target->interfaces.erase(target->interfaces.begin() + (entry - target->interfaces.data()));
  if (target->interfaces.empty()) {
    target->alive = false;
  }
  return EFI_SUCCESS;
}

EFI_HANDLE DxeCore::InstallProtocol(const EFI_GUID &protocol, void *interface, EFI_HANDLE handle) {
  EFI_HANDLE result = handle;
  if (EFI_ERROR(Install(&result, protocol, interface))) {
    return nullptr;
  }
  return result;
}

EFI_STATUS DxeCore::UninstallProtocol(EFI_HANDLE handle, const EFI_GUID &protocol,
                                      void *interface) {
  return Uninstall(handle, protocol, interface);
}

const DxeCore::HandleInterface *DxeCore::EarliestInterface(const EFI_GUID &protocol) const {
  const Handle::Interface *earliest = nullptr;
  for (const auto &handle : handles_) {
    if (!handle->alive) {
      continue;
    }
    for (const Handle::Interface &entry : handle->interfaces) {
      if (GuidEquals(&entry.protocol, &protocol) &&
          (earliest == nullptr || entry.serial < earliest->serial)) {
        earliest = &entry;
      }
    }
  }
  return earliest;
}

void *DxeCore::FindProtocol(const EFI_GUID &protocol) const {
  const Handle::Interface *earliest = EarliestInterface(protocol);
  return earliest != nullptr ? earliest->interface : nullptr;
}

size_t DxeCore::InstallationCount(const EFI_GUID &protocol) const {
  size_t count = 0;
  for (const auto &handle : handles_) {
    if (handle->alive && handle->Find(protocol) != nullptr) {
      count++;
    }
  }
  return count;
}

size_t DxeCore::HandleCount() const {
  return static_cast<size_t>(std::count_if(handles_.begin(), handles_.end(),
                                           [](const auto &handle) { return handle->alive; }));
}

size_t DxeCore::NotifyRegistrationCount(const EFI_GUID &protocol) const {
  return static_cast<size_t>(
      std::count_if(registrations_.begin(), registrations_.end(), [&](const auto &registration) {
        return registration->alive && GuidEquals(&registration->protocol, &protocol);
      }));
}

EFI_STATUS DxeCore::InstallProtocolInterfaceService(EFI_HANDLE *handle, const EFI_GUID *protocol,
                                                    EFI_INTERFACE_TYPE interface_type,
                                                    VOID *interface) {
  CallScope call(*this, Service::InstallProtocolInterface, TPL_NOTIFY);
  call.Guid(protocol);
  call.Arg(1, reinterpret_cast<uintptr_t>(interface));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (handle == nullptr || protocol == nullptr || interface_type != EFI_NATIVE_INTERFACE) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  EFI_STATUS status = Install(handle, *protocol, interface);
  call.Arg(0, reinterpret_cast<uintptr_t>(*handle));
  return call.Return(status);
}

EFI_STATUS DxeCore::ReinstallProtocolInterfaceService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                                      VOID *old_interface, VOID *new_interface) {
  CallScope call(*this, Service::ReinstallProtocolInterface, TPL_NOTIFY);
  call.Guid(protocol);
  call.Arg(0, reinterpret_cast<uintptr_t>(handle));
  call.Arg(1, reinterpret_cast<uintptr_t>(old_interface));
  call.Arg(2, reinterpret_cast<uintptr_t>(new_interface));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (protocol == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  Handle *target = FindHandle(handle);
  if (target == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  Handle::Interface *entry = target->Find(*protocol);
  if (entry == nullptr || entry->interface != old_interface) {
    return call.Return(EFI_NOT_FOUND);
  }
  // A reinstallation counts as a new installation: registered notifications
  // fire and the interface moves to the end of the installation order.
  EFI_TPL caller_tpl = tpl_;
  RaiseTo(TPL_NOTIFY);
  entry->interface = new_interface;
  entry->serial = ++serial_;
  NotifyInstalled(target, *protocol);
  LowerTo(caller_tpl);
  return call.Return(EFI_SUCCESS);
}

EFI_STATUS DxeCore::UninstallProtocolInterfaceService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                                      VOID *interface) {
  CallScope call(*this, Service::UninstallProtocolInterface, TPL_NOTIFY);
  call.Guid(protocol);
  call.Arg(0, reinterpret_cast<uintptr_t>(handle));
  call.Arg(1, reinterpret_cast<uintptr_t>(interface));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (protocol == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  return call.Return(Uninstall(handle, *protocol, interface));
}

EFI_STATUS DxeCore::HandleProtocolService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                          VOID **interface) {
  CallScope call(*this, Service::HandleProtocol, TPL_NOTIFY);
  call.Guid(protocol);
  call.Arg(0, reinterpret_cast<uintptr_t>(handle));
  if (interface != nullptr) {
    *interface = nullptr;
  }
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (protocol == nullptr || interface == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  Handle *target = FindHandle(handle);
  if (target == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  Handle::Interface *entry = target->Find(*protocol);
  if (entry == nullptr) {
    return call.Return(EFI_UNSUPPORTED);
  }
  *interface = entry->interface;
  call.Arg(1, reinterpret_cast<uintptr_t>(entry->interface));
  return call.Return(EFI_SUCCESS);
}

EFI_STATUS DxeCore::RegisterProtocolNotifyService(const EFI_GUID *protocol, EFI_EVENT event,
                                                  VOID **registration) {
  CallScope call(*this, Service::RegisterProtocolNotify, TPL_NOTIFY);
  call.Guid(protocol);
  call.Arg(0, reinterpret_cast<uintptr_t>(event));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (protocol == nullptr || registration == nullptr || event == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  Event *record = FindEvent(event, "RegisterProtocolNotify");
  if (record == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  // Installations made before this point never reach the registration.
  auto created = std::make_unique<Registration>();
  created->protocol = *protocol;
  created->event = record;
  *registration = created.get();
  call.Arg(1, reinterpret_cast<uintptr_t>(created.get()));
  registrations_.push_back(std::move(created));
  return call.Return(EFI_SUCCESS);
}

// The handles a search finds: all handles in creation order, the handles of
// a protocol in installation order, or the next handle new to a
// registration (taken from it only when `consume` is set).
std::vector<DxeCore::Handle *> DxeCore::HandlesFor(EFI_LOCATE_SEARCH_TYPE search_type,
                                                   const EFI_GUID *protocol, void *search_key,
                                                   bool consume, EFI_STATUS *status) {
  std::vector<Handle *> result;
  *status = EFI_SUCCESS;
  switch (search_type) {
    case AllHandles:
      for (auto &handle : handles_) {
        if (handle->alive) {
          result.push_back(handle.get());
        }
      }
      break;
    case ByProtocol: {
      if (protocol == nullptr) {
        *status = EFI_INVALID_PARAMETER;
        return result;
      }
      std::vector<std::pair<uint64_t, Handle *>> ordered;
      for (auto &handle : handles_) {
        if (handle->alive) {
          if (Handle::Interface *entry = handle->Find(*protocol)) {
            ordered.emplace_back(entry->serial, handle.get());
          }
        }
      }
      std::sort(ordered.begin(), ordered.end());
      for (auto &[serial, handle] : ordered) {
        result.push_back(handle);
      }
      break;
    }
    case ByRegisterNotify: {
      Registration *key = nullptr;
      for (auto &registration : registrations_) {
        if (registration.get() == search_key) {
          key = registration.get();
        }
      }
      if (key == nullptr) {
        *status = EFI_INVALID_PARAMETER;
        return result;
      }
      while (!key->fresh.empty()) {
        Handle *next = key->fresh.front();
        if (next->alive && next->Find(key->protocol) != nullptr) {
          result.push_back(next);
          if (consume) {
            key->fresh.pop_front();
          }
          break;
        }
        key->fresh.pop_front();
      }
      break;
    }
    default:
      *status = EFI_INVALID_PARAMETER;
      return result;
  }
  if (result.empty()) {
    *status = EFI_NOT_FOUND;
  }
  return result;
}

EFI_STATUS DxeCore::LocateHandleService(EFI_LOCATE_SEARCH_TYPE search_type,
                                        const EFI_GUID *protocol, VOID *search_key,
                                        UINTN *buffer_size, EFI_HANDLE *buffer) {
  CallScope call(*this, Service::LocateHandle, TPL_NOTIFY);
  call.Guid(protocol);
  call.Arg(0, search_type);
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (buffer_size == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  EFI_STATUS status;
  std::vector<Handle *> found = HandlesFor(search_type, protocol, search_key, false, &status);
  if (EFI_ERROR(status)) {
    return call.Return(status);
  }
  UINTN needed = found.size() * sizeof(EFI_HANDLE);
  if (*buffer_size < needed) {
    *buffer_size = needed;
    return call.Return(EFI_BUFFER_TOO_SMALL);
  }
  if (buffer == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  if (search_type == ByRegisterNotify) {
    HandlesFor(search_type, protocol, search_key, true, &status);
  }
  std::copy(found.begin(), found.end(), buffer);
  *buffer_size = needed;
  call.Arg(1, found.size());
  return call.Return(EFI_SUCCESS);
}

EFI_STATUS DxeCore::LocateHandleBufferService(EFI_LOCATE_SEARCH_TYPE search_type,
                                              const EFI_GUID *protocol, VOID *search_key,
                                              UINTN *handle_count, EFI_HANDLE **buffer) {
  CallScope call(*this, Service::LocateHandleBuffer, TPL_NOTIFY);
  call.Guid(protocol);
  call.Arg(0, search_type);
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (handle_count == nullptr || buffer == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  *handle_count = 0;
  *buffer = nullptr;
  EFI_STATUS status;
  std::vector<Handle *> found = HandlesFor(search_type, protocol, search_key, true, &status);
  if (EFI_ERROR(status)) {
    return call.Return(status);
  }
  // The caller frees the array with FreePool.
  auto *handles = static_cast<EFI_HANDLE *>(
      AllocatePoolBlock(EfiBootServicesData, found.size() * sizeof(EFI_HANDLE)));
  std::copy(found.begin(), found.end(), handles);
  *handle_count = found.size();
  *buffer = handles;
  call.Arg(1, found.size());
  return call.Return(EFI_SUCCESS);
}

EFI_STATUS DxeCore::LocateProtocolService(const EFI_GUID *protocol, VOID *registration,
                                          VOID **interface) {
  CallScope call(*this, Service::LocateProtocol, TPL_NOTIFY);
  call.Guid(protocol);
  call.Arg(0, reinterpret_cast<uintptr_t>(registration));
  if (interface != nullptr) {
    *interface = nullptr;
  }
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (protocol == nullptr || interface == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  const Handle::Interface *entry = nullptr;
  if (registration == nullptr) {
    entry = EarliestInterface(*protocol);
  } else {
    EFI_STATUS status;
    std::vector<Handle *> next =
        HandlesFor(ByRegisterNotify, protocol, registration, true, &status);
    if (status == EFI_INVALID_PARAMETER) {
      Error(Format("LocateProtocol: %p is not a registration key", registration));
    }
    if (!next.empty()) {
      entry = next.front()->Find(static_cast<Registration *>(registration)->protocol);
    }
  }
  if (entry == nullptr) {
    return call.Return(EFI_NOT_FOUND);
  }
  void *result = entry->interface;
  *interface = result;
  call.Arg(1, reinterpret_cast<uintptr_t>(result));
  return call.Return(EFI_SUCCESS);
}

}  // namespace sim
