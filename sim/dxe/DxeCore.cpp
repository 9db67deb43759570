// The simulated DXE core: tables, thunks, records, fault injection, task
// priority levels and events. The protocol database and the pool live in
// DxeProtocols.cpp and DxePool.cpp.
#include "DxeCore.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DxeCoreInternal.h"
#include "sim/core/FirmwareCall.h"
#include "uefi/Hob.h"
#include "uefi/StandardInterfaces.h"

namespace sim {

namespace {

// Cores alive, in construction order; the last one is active.
std::vector<DxeCore *> &AliveCores() {
  static std::vector<DxeCore *> cores;
  return cores;
}

DxeCore &Core() {
  if (AliveCores().empty()) {
    std::fprintf(stderr, "UEFI service called with no simulated DXE core alive\n");
    std::abort();
  }
  return *AliveCores().back();
}

constexpr const char *kServiceNames[] = {
    "RaiseTPL",
    "RestoreTPL",
    "AllocatePages",
    "FreePages",
    "GetMemoryMap",
    "AllocatePool",
    "FreePool",
    "CreateEvent",
    "SetTimer",
    "WaitForEvent",
    "SignalEvent",
    "CloseEvent",
    "CheckEvent",
    "InstallProtocolInterface",
    "ReinstallProtocolInterface",
    "UninstallProtocolInterface",
    "HandleProtocol",
    "RegisterProtocolNotify",
    "LocateHandle",
    "LocateDevicePath",
    "InstallConfigurationTable",
    "LoadImage",
    "StartImage",
    "Exit",
    "UnloadImage",
    "ExitBootServices",
    "GetNextMonotonicCount",
    "Stall",
    "SetWatchdogTimer",
    "ConnectController",
    "DisconnectController",
    "OpenProtocol",
    "CloseProtocol",
    "OpenProtocolInformation",
    "ProtocolsPerHandle",
    "LocateHandleBuffer",
    "LocateProtocol",
    "InstallMultipleProtocolInterfaces",
    "UninstallMultipleProtocolInterfaces",
    "CalculateCrc32",
    "CopyMem",
    "SetMem",
    "CreateEventEx",
    "GetTime",
    "SetTime",
    "GetWakeupTime",
    "SetWakeupTime",
    "SetVirtualAddressMap",
    "ConvertPointer",
    "GetVariable",
    "GetNextVariableName",
    "SetVariable",
    "GetNextHighMonotonicCount",
    "ResetSystem",
    "UpdateCapsule",
    "QueryCapsuleCapabilities",
    "QueryVariableInfo",
};
static_assert(sizeof(kServiceNames) / sizeof(kServiceNames[0]) == kServiceCount);

// ---- Table thunks: the EFIAPI entry points a driver calls -----------------

EFI_TPL EFIAPI ThunkRaiseTpl(EFI_TPL NewTpl) { return Core().RaiseTplService(NewTpl); }
VOID EFIAPI ThunkRestoreTpl(EFI_TPL OldTpl) { Core().RestoreTplService(OldTpl); }
EFI_STATUS EFIAPI ThunkAllocatePages(EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN,
                                     EFI_PHYSICAL_ADDRESS *) {
  return Core().UnsupportedService(Service::AllocatePages);
}
EFI_STATUS EFIAPI ThunkFreePages(EFI_PHYSICAL_ADDRESS, UINTN) {
  return Core().UnsupportedService(Service::FreePages);
}
EFI_STATUS EFIAPI ThunkAllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  return Core().AllocatePoolService(PoolType, Size, Buffer);
}
EFI_STATUS EFIAPI ThunkFreePool(VOID *Buffer) { return Core().FreePoolService(Buffer); }
EFI_STATUS EFIAPI ThunkCreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                   VOID *NotifyContext, EFI_EVENT *Event) {
  return Core().CreateEventService(Service::CreateEvent, Type, NotifyTpl, NotifyFunction,
                                   NotifyContext, nullptr, Event);
}
EFI_STATUS EFIAPI ThunkSetTimer(EFI_EVENT, EFI_TIMER_DELAY, UINT64) {
  return Core().UnsupportedService(Service::SetTimer);
}
EFI_STATUS EFIAPI ThunkWaitForEvent(UINTN, EFI_EVENT *, UINTN *) {
  return Core().UnsupportedService(Service::WaitForEvent);
}
EFI_STATUS EFIAPI ThunkSignalEvent(EFI_EVENT Event) { return Core().SignalEventService(Event); }
EFI_STATUS EFIAPI ThunkCloseEvent(EFI_EVENT Event) { return Core().CloseEventService(Event); }
EFI_STATUS EFIAPI ThunkCheckEvent(EFI_EVENT Event) { return Core().CheckEventService(Event); }
EFI_STATUS EFIAPI ThunkInstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Protocol,
                                                EFI_INTERFACE_TYPE InterfaceType, VOID *Interface) {
  return Core().InstallProtocolInterfaceService(Handle, Protocol, InterfaceType, Interface);
}
EFI_STATUS EFIAPI ThunkReinstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                  VOID *OldInterface, VOID *NewInterface) {
  return Core().ReinstallProtocolInterfaceService(Handle, Protocol, OldInterface, NewInterface);
}
EFI_STATUS EFIAPI ThunkUninstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                  VOID *Interface) {
  return Core().UninstallProtocolInterfaceService(Handle, Protocol, Interface);
}
EFI_STATUS EFIAPI ThunkHandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                      VOID **Interface) {
  return Core().HandleProtocolService(Handle, Protocol, Interface);
}
EFI_STATUS EFIAPI ThunkRegisterProtocolNotify(const EFI_GUID *Protocol, EFI_EVENT Event,
                                              VOID **Registration) {
  return Core().RegisterProtocolNotifyService(Protocol, Event, Registration);
}
EFI_STATUS EFIAPI ThunkLocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                    VOID *SearchKey, UINTN *BufferSize, EFI_HANDLE *Buffer) {
  return Core().LocateHandleService(SearchType, Protocol, SearchKey, BufferSize, Buffer);
}
EFI_STATUS EFIAPI ThunkInstallConfigurationTable(const EFI_GUID *Guid, VOID *Table) {
  return Core().InstallConfigurationTableService(Guid, Table);
}
EFI_STATUS EFIAPI ThunkStall(UINTN Microseconds) { return Core().StallService(Microseconds); }
EFI_STATUS EFIAPI ThunkLocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType,
                                          const EFI_GUID *Protocol, VOID *SearchKey,
                                          UINTN *NoHandles, EFI_HANDLE **Buffer) {
  return Core().LocateHandleBufferService(SearchType, Protocol, SearchKey, NoHandles, Buffer);
}
EFI_STATUS EFIAPI ThunkLocateProtocol(const EFI_GUID *Protocol, VOID *Registration,
                                      VOID **Interface) {
  return Core().LocateProtocolService(Protocol, Registration, Interface);
}
VOID EFIAPI ThunkCopyMem(VOID *Destination, const VOID *Source, UINTN Length) {
  Core().CopyMemService(Destination, Source, Length);
}
VOID EFIAPI ThunkSetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
  Core().SetMemService(Buffer, Size, Value);
}
EFI_STATUS EFIAPI ThunkCreateEventEx(UINT32 Type, EFI_TPL NotifyTpl,
                                     EFI_EVENT_NOTIFY NotifyFunction, const VOID *NotifyContext,
                                     const EFI_GUID *EventGroup, EFI_EVENT *Event) {
  return Core().CreateEventService(Service::CreateEventEx, Type, NotifyTpl, NotifyFunction,
                                   NotifyContext, EventGroup, Event);
}
EFI_STATUS EFIAPI ThunkGetVariable(const CHAR16 *VariableName, const EFI_GUID *VendorGuid,
                                   UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
  return Core().GetVariableService(VariableName, VendorGuid, Attributes, DataSize, Data);
}
VOID EFIAPI ThunkResetSystem(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                             VOID *) {
  Core().ResetSystemService(ResetType, ResetStatus, DataSize);
}

// A slot the core does not provide.
template <Service kService>
EFI_STATUS EFIAPI ThunkUnsupported() {
  return Core().UnsupportedService(kService);
}

constexpr CHAR16 kFirmwareVendor[] = {'S', 'i', 'm', 'u', 'l', 'a', 't', 'e', 'd', ' ',
                                      'D', 'X', 'E', ' ', 'c', 'o', 'r', 'e', 0};

uint32_t Crc32(const void *data, size_t size) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; i++) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; bit++) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

template <typename Table>
void SealTable(Table &table) {
  table.Hdr.CRC32 = 0;
  table.Hdr.CRC32 = Crc32(&table, table.Hdr.HeaderSize);
}

// The event types and combinations the standard defines.
bool IsEventType(UINT32 type) {
  if (type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE) {
    return true;
  }
  switch (type & ~EVT_RUNTIME) {
    case 0:
    case EVT_TIMER:
    case EVT_NOTIFY_WAIT:
    case EVT_NOTIFY_SIGNAL:
    case EVT_TIMER | EVT_NOTIFY_WAIT:
    case EVT_TIMER | EVT_NOTIFY_SIGNAL:
    case EVT_SIGNAL_EXIT_BOOT_SERVICES:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ServiceCanFail(Service service) {
  switch (service) {
    case Service::RaiseTPL:
    case Service::RestoreTPL:
    case Service::CopyMem:
    case Service::SetMem:
    case Service::ResetSystem:
      return false;
    default:
      return true;
  }
}

namespace dxe_detail {

std::string Format(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

}  // namespace dxe_detail

const char *ServiceName(Service service) {
  auto index = static_cast<size_t>(service);
  return index < kServiceCount ? kServiceNames[index] : "?";
}

bool DxeCore::GuidLess::operator()(const EFI_GUID &a, const EFI_GUID &b) const {
  return std::memcmp(&a, &b, sizeof(EFI_GUID)) < 0;
}

// ---- Call records and fault injection -------------------------------------

DxeCore::CallScope::CallScope(DxeCore &core, Service service, EFI_TPL limit)
    : core_(core), number_(core.calls_cleared_ + core.calls_.size()) {
  core.call_counts_[static_cast<size_t>(service)]++;
  core.calls_.push_back(ServiceCall{service, core.tpl_, std::nullopt, {}, {}, EFI_SUCCESS, false});
  if (core.tpl_ > limit) {
    core.Error(Format("%s called at TPL %u, above its limit %u", ServiceName(service),
                      static_cast<unsigned>(core.tpl_), static_cast<unsigned>(limit)));
  }
  fault_ = core.TakeFault(service);
  if (fault_) {
    if (ServiceCall *call = Record()) {
      call->injected = true;
    }
  }
}

ServiceCall *DxeCore::CallScope::Record() {
  if (number_ < core_.calls_cleared_) {
    return nullptr;
  }
  uint64_t index = number_ - core_.calls_cleared_;
  return index < core_.calls_.size() ? &core_.calls_[index] : nullptr;
}

void DxeCore::CallScope::Guid(const EFI_GUID *guid) {
  if (guid != nullptr) {
    if (ServiceCall *call = Record()) {
      call->guid = *guid;
    }
  }
}

void DxeCore::CallScope::Arg(size_t index, uint64_t value) {
  if (ServiceCall *call = Record()) {
    call->args[index] = value;
  }
}

void DxeCore::CallScope::Text(std::string text) {
  if (ServiceCall *call = Record()) {
    call->text = std::move(text);
  }
}

EFI_STATUS DxeCore::CallScope::Return(EFI_STATUS status) {
  if (ServiceCall *call = Record()) {
    call->status = status;
  }
  return status;
}

std::optional<EFI_STATUS> DxeCore::TakeFault(Service service) {
  auto index = static_cast<size_t>(service);
  FaultPlan &plan = faults_[index];
  auto planned = plan.at_call.find(call_counts_[index]);
  if (planned != plan.at_call.end()) {
    EFI_STATUS status = planned->second;
    plan.at_call.erase(planned);
    return status;
  }
  return plan.every_call;
}

static void RefuseFault(Service service) {
  std::fprintf(stderr, "fault injection: %s cannot fail\n", ServiceName(service));
  std::abort();
}

void DxeCore::FailNthCall(Service service, uint64_t n, EFI_STATUS status) {
  if (!ServiceCanFail(service) || n == 0) {
    RefuseFault(service);
  }
  auto index = static_cast<size_t>(service);
  faults_[index].at_call[call_counts_[index] + n] = status;
}

void DxeCore::FailEveryCall(Service service, EFI_STATUS status) {
  if (!ServiceCanFail(service)) {
    RefuseFault(service);
  }
  faults_[static_cast<size_t>(service)].every_call = status;
}

void DxeCore::ClearFaults(Service service) { faults_[static_cast<size_t>(service)] = FaultPlan{}; }

std::vector<ServiceCall> DxeCore::CallsOf(Service service) const {
  std::vector<ServiceCall> result;
  for (const ServiceCall &call : calls_) {
    if (call.service == service) {
      result.push_back(call);
    }
  }
  return result;
}

void DxeCore::Error(std::string message) { errors_.push_back(std::move(message)); }

// ---- Construction -----------------------------------------------------------

DxeCore::DxeCore(SimClock &clock) : clock_(clock) {
  EFI_BOOT_SERVICES &bs = boot_services_;
  bs.Hdr = {EFI_BOOT_SERVICES_SIGNATURE, (2u << 16) | 70u, sizeof(EFI_BOOT_SERVICES), 0, 0};
  bs.RaiseTPL = ThunkRaiseTpl;
  bs.RestoreTPL = ThunkRestoreTpl;
  bs.AllocatePages = ThunkAllocatePages;
  bs.FreePages = ThunkFreePages;
  bs.GetMemoryMap = ThunkUnsupported<Service::GetMemoryMap>;
  bs.AllocatePool = ThunkAllocatePool;
  bs.FreePool = ThunkFreePool;
  bs.CreateEvent = ThunkCreateEvent;
  bs.SetTimer = ThunkSetTimer;
  bs.WaitForEvent = ThunkWaitForEvent;
  bs.SignalEvent = ThunkSignalEvent;
  bs.CloseEvent = ThunkCloseEvent;
  bs.CheckEvent = ThunkCheckEvent;
  bs.InstallProtocolInterface = ThunkInstallProtocolInterface;
  bs.ReinstallProtocolInterface = ThunkReinstallProtocolInterface;
  bs.UninstallProtocolInterface = ThunkUninstallProtocolInterface;
  bs.HandleProtocol = ThunkHandleProtocol;
  bs.Reserved = nullptr;
  bs.RegisterProtocolNotify = ThunkRegisterProtocolNotify;
  bs.LocateHandle = ThunkLocateHandle;
  bs.LocateDevicePath = ThunkUnsupported<Service::LocateDevicePath>;
  bs.InstallConfigurationTable = ThunkInstallConfigurationTable;
  bs.LoadImage = ThunkUnsupported<Service::LoadImage>;
  bs.StartImage = ThunkUnsupported<Service::StartImage>;
  bs.Exit = ThunkUnsupported<Service::Exit>;
  bs.UnloadImage = ThunkUnsupported<Service::UnloadImage>;
  bs.ExitBootServices = ThunkUnsupported<Service::ExitBootServices>;
  bs.GetNextMonotonicCount = ThunkUnsupported<Service::GetNextMonotonicCount>;
  bs.Stall = ThunkStall;
  bs.SetWatchdogTimer = ThunkUnsupported<Service::SetWatchdogTimer>;
  bs.ConnectController = ThunkUnsupported<Service::ConnectController>;
  bs.DisconnectController = ThunkUnsupported<Service::DisconnectController>;
  bs.OpenProtocol = ThunkUnsupported<Service::OpenProtocol>;
  bs.CloseProtocol = ThunkUnsupported<Service::CloseProtocol>;
  bs.OpenProtocolInformation = ThunkUnsupported<Service::OpenProtocolInformation>;
  bs.ProtocolsPerHandle = ThunkUnsupported<Service::ProtocolsPerHandle>;
  bs.LocateHandleBuffer = ThunkLocateHandleBuffer;
  bs.LocateProtocol = ThunkLocateProtocol;
  bs.InstallMultipleProtocolInterfaces =
      ThunkUnsupported<Service::InstallMultipleProtocolInterfaces>;
  bs.UninstallMultipleProtocolInterfaces =
      ThunkUnsupported<Service::UninstallMultipleProtocolInterfaces>;
  bs.CalculateCrc32 = ThunkUnsupported<Service::CalculateCrc32>;
  bs.CopyMem = ThunkCopyMem;
  bs.SetMem = ThunkSetMem;
  bs.CreateEventEx = ThunkCreateEventEx;

  EFI_RUNTIME_SERVICES &rt = runtime_services_;
  rt.Hdr = {EFI_RUNTIME_SERVICES_SIGNATURE, (2u << 16) | 70u, sizeof(EFI_RUNTIME_SERVICES), 0, 0};
  rt.GetTime = ThunkUnsupported<Service::GetTime>;
  rt.SetTime = ThunkUnsupported<Service::SetTime>;
  rt.GetWakeupTime = ThunkUnsupported<Service::GetWakeupTime>;
  rt.SetWakeupTime = ThunkUnsupported<Service::SetWakeupTime>;
  rt.SetVirtualAddressMap = ThunkUnsupported<Service::SetVirtualAddressMap>;
  rt.ConvertPointer = ThunkUnsupported<Service::ConvertPointer>;
  rt.GetVariable = ThunkGetVariable;
  rt.GetNextVariableName = ThunkUnsupported<Service::GetNextVariableName>;
  rt.SetVariable = ThunkUnsupported<Service::SetVariable>;
  rt.GetNextHighMonotonicCount = ThunkUnsupported<Service::GetNextHighMonotonicCount>;
  rt.ResetSystem = ThunkResetSystem;
  rt.UpdateCapsule = ThunkUnsupported<Service::UpdateCapsule>;
  rt.QueryCapsuleCapabilities = ThunkUnsupported<Service::QueryCapsuleCapabilities>;
  rt.QueryVariableInfo = ThunkUnsupported<Service::QueryVariableInfo>;

  EFI_SYSTEM_TABLE &st = system_table_;
  st.Hdr = {EFI_SYSTEM_TABLE_SIGNATURE, (2u << 16) | 70u, sizeof(EFI_SYSTEM_TABLE), 0, 0};
  st.FirmwareVendor = const_cast<CHAR16 *>(kFirmwareVendor);
  st.FirmwareRevision = 0x00010000;
  st.RuntimeServices = &runtime_services_;
  st.BootServices = &boot_services_;
  SealTable(boot_services_);
  SealTable(runtime_services_);
  PublishConfigurationTable();

  AliveCores().push_back(this);
}

DxeCore::~DxeCore() {
  std::erase(AliveCores(), this);
  ReleasePoolArena();
  if (arena_ == nullptr) {
    for (auto &[address, block] : pool_) {
      std::free(block.address);
    }
  }
}

DxeCore *DxeCore::Active() { return AliveCores().empty() ? nullptr : AliveCores().back(); }

// ---- Task priority levels and notifications -------------------------------

void DxeCore::RaiseTo(EFI_TPL tpl) {
  if (tpl > tpl_) {
    tpl_ = tpl;
  }
}

// Lowers the TPL to `tpl`, first running every queued notification whose TPL
// is above it: highest TPL first, in signal order within a TPL, each at its
// own TPL.
void DxeCore::LowerTo(EFI_TPL tpl) {
  for (;;) {
    EFI_TPL level = TPL_HIGH_LEVEL;
    while (level > tpl && notify_queues_[level].empty()) {
      level--;
    }
    if (level <= tpl) {
      break;
    }
    Event *event = notify_queues_[level].front();
    notify_queues_[level].pop_front();
    event->queued = false;
    if ((event->type & EVT_NOTIFY_SIGNAL) != 0) {
      event->signaled = false;
    }
    tpl_ = level;
    CallFirmware(event->notify, static_cast<EFI_EVENT>(event), event->context);
    if (tpl_ != level) {
      Error(Format("notify function %p returned at TPL %u instead of %u",
                   reinterpret_cast<void *>(event->notify), static_cast<unsigned>(tpl_),
                   static_cast<unsigned>(level)));
      tpl_ = level;
    }
  }
  tpl_ = tpl;
}

EFI_TPL DxeCore::RaiseTplService(EFI_TPL new_tpl) {
  CallScope call(*this, Service::RaiseTPL, TPL_HIGH_LEVEL);
  call.Arg(0, new_tpl);
  EFI_TPL old_tpl = tpl_;
  call.Arg(1, old_tpl);
  if (new_tpl > TPL_HIGH_LEVEL) {
    Error(Format("RaiseTPL to %u, above TPL_HIGH_LEVEL", static_cast<unsigned>(new_tpl)));
  } else if (new_tpl < tpl_) {
    Error(Format("RaiseTPL to %u, below the current TPL %u", static_cast<unsigned>(new_tpl),
                 static_cast<unsigned>(tpl_)));
  } else {
    RaiseTo(new_tpl);
  }
  return old_tpl;
}

void DxeCore::RestoreTplService(EFI_TPL old_tpl) {
  CallScope call(*this, Service::RestoreTPL, TPL_HIGH_LEVEL);
  call.Arg(0, old_tpl);
  if (old_tpl > tpl_) {
    Error(Format("RestoreTPL to %u, above the current TPL %u", static_cast<unsigned>(old_tpl),
                 static_cast<unsigned>(tpl_)));
    return;
  }
  LowerTo(old_tpl);
}

// ---- Events -------------------------------------------------------------------

DxeCore::Event *DxeCore::FindEvent(EFI_EVENT event, const char *service) {
  auto found = event_index_.find(event);
  if (found == event_index_.end()) {
    Error(Format("%s: %p is not an event", service, event));
    return nullptr;
  }
  if (!found->second->open) {
    Error(Format("%s: event %p is already closed", service, event));
    return nullptr;
  }
  return found->second;
}

EFI_STATUS DxeCore::CreateEventService(Service service, UINT32 type, EFI_TPL notify_tpl,
                                       EFI_EVENT_NOTIFY notify, const VOID *context,
                                       const EFI_GUID *group, EFI_EVENT *event) {
  CallScope call(*this, service, TPL_NOTIFY);
  call.Arg(0, type);
  call.Arg(1, notify_tpl);
  call.Guid(group);
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  bool wait = (type & EVT_NOTIFY_WAIT) != 0;
  bool signal = (type & EVT_NOTIFY_SIGNAL) != 0;
  if (event == nullptr || !IsEventType(type)) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  if ((wait || signal) &&
      (notify == nullptr || notify_tpl <= TPL_APPLICATION || notify_tpl >= TPL_HIGH_LEVEL)) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  std::optional<EFI_GUID> event_group;
  if (type == EVT_SIGNAL_EXIT_BOOT_SERVICES) {
    event_group = kExitBootServicesGroup;
  } else if (type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE) {
    event_group = kVirtualAddressChangeGroup;
  }
  if (group != nullptr) {
    if (event_group) {
      return call.Return(EFI_INVALID_PARAMETER);
    }
    event_group = *group;
  }
  auto record = std::make_unique<Event>();
  record->type = type;
  record->notify_tpl = notify_tpl;
  record->notify = notify;
  record->context = const_cast<VOID *>(context);
  record->group = event_group;
  record->serial = ++serial_;
  Event *created = record.get();
  events_.push_back(std::move(record));
  event_index_[created] = created;
  *event = created;
  call.Arg(2, reinterpret_cast<uintptr_t>(created));
  return call.Return(EFI_SUCCESS);
}

// Marks one event signalled and queues its notification, once.
void DxeCore::SignalOne(Event *event) {
  if (event->signaled) {
    return;
  }
  event->signaled = true;
  if ((event->type & EVT_NOTIFY_SIGNAL) != 0 && !event->queued) {
    event->queued = true;
    notify_queues_[event->notify_tpl].push_back(event);
  }
}

// Signals an event, or every open event of its group.
void DxeCore::Signal(Event *event) {
  if (!event->group) {
    SignalOne(event);
    return;
  }
  const EFI_GUID group = *event->group;
  for (auto &member : events_) {
    if (member->open && member->group && GuidEquals(&*member->group, &group)) {
      SignalOne(member.get());
    }
  }
}

EFI_STATUS DxeCore::SignalEventService(EFI_EVENT event) {
  CallScope call(*this, Service::SignalEvent, TPL_HIGH_LEVEL);
  call.Arg(0, reinterpret_cast<uintptr_t>(event));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (event == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  Event *record = FindEvent(event, "SignalEvent");
  if (record == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  call.Guid(record->group ? &*record->group : nullptr);
  Signal(record);
  LowerTo(tpl_);
  return call.Return(EFI_SUCCESS);
}

void DxeCore::CloseEventRecord(Event *event) {
  if (event->queued) {
    auto &queue = notify_queues_[event->notify_tpl];
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (*it == event) {
        queue.erase(it);
        break;
      }
    }
    event->queued = false;
  }
  for (auto &registration : registrations_) {
    if (registration->alive && registration->event == event) {
      registration->alive = false;
      registration->fresh.clear();
    }
  }
  event->open = false;
}

EFI_STATUS DxeCore::CloseEventService(EFI_EVENT event) {
  CallScope call(*this, Service::CloseEvent, TPL_NOTIFY);
  call.Arg(0, reinterpret_cast<uintptr_t>(event));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (event == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  Event *record = FindEvent(event, "CloseEvent");
  if (record == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  CloseEventRecord(record);
  return call.Return(EFI_SUCCESS);
}

EFI_STATUS DxeCore::CheckEventService(EFI_EVENT event) {
  CallScope call(*this, Service::CheckEvent, TPL_NOTIFY);
  call.Arg(0, reinterpret_cast<uintptr_t>(event));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (event == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  Event *record = FindEvent(event, "CheckEvent");
  if (record == nullptr || (record->type & EVT_NOTIFY_SIGNAL) != 0) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  if (!record->signaled && (record->type & EVT_NOTIFY_WAIT) != 0 && !record->queued) {
    // A wait event's notification runs on each check until it signals.
    record->queued = true;
    notify_queues_[record->notify_tpl].push_back(record);
    LowerTo(tpl_);
  }
  if (record->open && record->signaled) {
    record->signaled = false;
    return call.Return(EFI_SUCCESS);
  }
  return call.Return(EFI_NOT_READY);
}

bool DxeCore::IsEventOpen(EFI_EVENT event) const {
  auto found = event_index_.find(event);
  return found != event_index_.end() && found->second->open;
}

std::vector<EventInfo> DxeCore::OpenEvents() const {
  std::vector<EventInfo> result;
  for (const auto &event : events_) {
    if (event->open) {
      result.push_back(EventInfo{event.get(), event->type, event->notify_tpl, event->notify,
                                 event->context, event->group});
    }
  }
  return result;
}

void DxeCore::SignalEventGroup(const EFI_GUID &group) {
  for (auto &member : events_) {
    if (member->open && member->group && GuidEquals(&*member->group, &group)) {
      SignalOne(member.get());
    }
  }
  LowerTo(tpl_);
}

void DxeCore::SignalReadyToBoot() {
  if (tpl_ != TPL_APPLICATION) {
    Error(Format("ReadyToBoot signalled at TPL %u", static_cast<unsigned>(tpl_)));
  }
  SignalEventGroup(gEfiEventReadyToBootGuid);
}

// ---- Running modules --------------------------------------------------------

EFI_STATUS DxeCore::RunEntryPoint(EFI_IMAGE_ENTRY_POINT entry, EFI_HANDLE *image_handle,
                                  const LoadedImageArea *area) {
  if (tpl_ != TPL_APPLICATION) {
    Error(Format("entry point dispatched at TPL %u", static_cast<unsigned>(tpl_)));
  }
  auto image = std::make_unique<EFI_LOADED_IMAGE_PROTOCOL>();
  image->Revision = 0x1000;
  image->SystemTable = &system_table_;
  image->ImageCodeType = EfiBootServicesCode;
  image->ImageDataType = EfiBootServicesData;
  if (area != nullptr) {
    image->ImageBase = reinterpret_cast<VOID *>(static_cast<uintptr_t>(area->base));
    image->ImageSize = area->size;
  }
  EFI_HANDLE handle = InstallProtocol(gEfiLoadedImageProtocolGuid, image.get());
  loaded_images_.push_back(std::move(image));
  if (image_handle != nullptr) {
    *image_handle = handle;
  }
  EFI_STATUS status = CallFirmware(entry, handle, &system_table_);
  if (tpl_ != TPL_APPLICATION) {
    Error(Format("entry point returned at TPL %u", static_cast<unsigned>(tpl_)));
    LowerTo(TPL_APPLICATION);
  }
  return status;
}

// ---- Other services -----------------------------------------------------------

EFI_STATUS DxeCore::StallService(UINTN microseconds) {
  CallScope call(*this, Service::Stall, TPL_HIGH_LEVEL);
  call.Arg(0, microseconds);
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  clock_.Stall(microseconds);
  return call.Return(EFI_SUCCESS);
}

void DxeCore::CopyMemService(VOID *destination, const VOID *source, UINTN length) {
  CallScope call(*this, Service::CopyMem, TPL_HIGH_LEVEL);
  call.Arg(0, reinterpret_cast<uintptr_t>(destination));
  call.Arg(1, reinterpret_cast<uintptr_t>(source));
  call.Arg(2, length);
  if (length != 0) {
    std::memmove(destination, source, length);
  }
}

void DxeCore::SetMemService(VOID *buffer, UINTN size, UINT8 value) {
  CallScope call(*this, Service::SetMem, TPL_HIGH_LEVEL);
  call.Arg(0, reinterpret_cast<uintptr_t>(buffer));
  call.Arg(1, size);
  call.Arg(2, value);
  if (size != 0) {
    std::memset(buffer, value, size);
  }
}

EFI_STATUS DxeCore::UnsupportedService(Service service) {
  CallScope call(*this, service, TPL_HIGH_LEVEL);
  Error(Format("%s called; the simulated core does not provide it", ServiceName(service)));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  return call.Return(EFI_UNSUPPORTED);
}

void DxeCore::ResetSystemService(EFI_RESET_TYPE type, EFI_STATUS status, UINTN data_size) {
  CallScope call(*this, Service::ResetSystem, TPL_HIGH_LEVEL);
  call.Arg(0, type);
  call.Arg(1, status);
  call.Arg(2, data_size);
  if (reset_handler_) {
    reset_handler_(type, status);
  }
  Error("ResetSystem returned to its caller");
}

// ---- Configuration tables -----------------------------------------------------

void DxeCore::PublishConfigurationTable() {
  system_table_.NumberOfTableEntries = configuration_table_.size();
  system_table_.ConfigurationTable =
      configuration_table_.empty() ? nullptr : configuration_table_.data();
  SealTable(system_table_);
}

void DxeCore::SetConfigurationTable(const EFI_GUID &guid, void *table) {
  for (auto it = configuration_table_.begin(); it != configuration_table_.end(); ++it) {
    if (GuidEquals(&it->VendorGuid, &guid)) {
      if (table == nullptr) {
        configuration_table_.erase(it);
      } else {
        it->VendorTable = table;
      }
      PublishConfigurationTable();
      return;
    }
  }
  if (table != nullptr) {
    configuration_table_.push_back(EFI_CONFIGURATION_TABLE{guid, table});
    PublishConfigurationTable();
  }
}

void DxeCore::SetRawConfigurationTable(std::vector<EFI_CONFIGURATION_TABLE> entries) {
  configuration_table_ = std::move(entries);
  PublishConfigurationTable();
}

EFI_STATUS DxeCore::InstallConfigurationTableService(const EFI_GUID *guid, VOID *table) {
  CallScope call(*this, Service::InstallConfigurationTable, TPL_NOTIFY);
  call.Guid(guid);
  call.Arg(0, reinterpret_cast<uintptr_t>(table));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (guid == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  if (table == nullptr) {
    bool present = false;
    for (const auto &entry : configuration_table_) {
      present = present || GuidEquals(&entry.VendorGuid, guid);
    }
    if (!present) {
      return call.Return(EFI_NOT_FOUND);
    }
  }
  SetConfigurationTable(*guid, table);
  return call.Return(EFI_SUCCESS);
}

void DxeCore::SetHobList(const std::vector<uint8_t> &bytes) {
  hob_list_.assign((bytes.size() + 7) / 8, 0);
  if (!bytes.empty()) {
    std::memcpy(hob_list_.data(), bytes.data(), bytes.size());
  }
  SetConfigurationTable(gEfiHobListGuid, HobList());
}

// ---- Variables ------------------------------------------------------------------

namespace {
std::array<uint8_t, 16> GuidKey(const EFI_GUID &guid) {
  std::array<uint8_t, 16> key;
  std::memcpy(key.data(), &guid, sizeof(guid));
  return key;
}
}  // namespace

void DxeCore::SetVariable(const std::u16string &name, const EFI_GUID &guid, uint32_t attributes,
                          std::vector<uint8_t> data) {
  variables_[{name, GuidKey(guid)}] = Variable{attributes, std::move(data)};
}

EFI_STATUS DxeCore::GetVariableService(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes,
                                       UINTN *data_size, VOID *data) {
  CallScope call(*this, Service::GetVariable, TPL_CALLBACK);
  call.Guid(guid);
  if (data_size != nullptr) {
    call.Arg(0, *data_size);
  }
  std::u16string key_name;
  if (name != nullptr) {
    std::string text;
    for (const CHAR16 *c = name; *c != 0; c++) {
      key_name.push_back(static_cast<char16_t>(*c));
      text.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
    }
    call.Text(text);
  }
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (name == nullptr || guid == nullptr || data_size == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  auto found = variables_.find({key_name, GuidKey(*guid)});
  if (found == variables_.end()) {
    return call.Return(EFI_NOT_FOUND);
  }
  const Variable &variable = found->second;
  if (*data_size < variable.data.size()) {
    *data_size = variable.data.size();
    call.Arg(1, *data_size);
    return call.Return(EFI_BUFFER_TOO_SMALL);
  }
  if (data == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  if (!variable.data.empty()) {
    std::memcpy(data, variable.data.data(), variable.data.size());
  }
  *data_size = variable.data.size();
  call.Arg(1, *data_size);
  if (attributes != nullptr) {
    *attributes = variable.attributes;
  }
  return call.Return(EFI_SUCCESS);
}

}  // namespace sim
