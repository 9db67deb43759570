// The simulated DXE core: the system table, boot services and runtime
// services that a DXE driver reaches through gST/gBS/gRT, backed by a
// handle/protocol database, events and task priority levels, a checked pool,
// configuration tables and a small variable store.
//
// The tables hold EFIAPI thunks that forward every call to the active core
// (the most recently constructed one that is still alive), so a driver built
// for real firmware runs unchanged. Every call a driver makes is recorded,
// any service can be made to fail on chosen calls, and misuse that real
// firmware would not report (double frees, stale event handles, TPL
// violations) is collected as errors that a test can assert on.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/SimClock.h"
#include "uefi/LoadedImage.h"

namespace sim {

// Every slot of EFI_BOOT_SERVICES and EFI_RUNTIME_SERVICES, in table order.
enum class Service : uint8_t {
  // Boot services
  RaiseTPL,
  RestoreTPL,
  AllocatePages,
  FreePages,
  GetMemoryMap,
  AllocatePool,
  FreePool,
  CreateEvent,
  SetTimer,
  WaitForEvent,
  SignalEvent,
  CloseEvent,
  CheckEvent,
  InstallProtocolInterface,
  ReinstallProtocolInterface,
  UninstallProtocolInterface,
  HandleProtocol,
  RegisterProtocolNotify,
  LocateHandle,
  LocateDevicePath,
  InstallConfigurationTable,
  LoadImage,
  StartImage,
  Exit,
  UnloadImage,
  ExitBootServices,
  GetNextMonotonicCount,
  Stall,
  SetWatchdogTimer,
  ConnectController,
  DisconnectController,
  OpenProtocol,
  CloseProtocol,
  OpenProtocolInformation,
  ProtocolsPerHandle,
  LocateHandleBuffer,
  LocateProtocol,
  InstallMultipleProtocolInterfaces,
  UninstallMultipleProtocolInterfaces,
  CalculateCrc32,
  CopyMem,
  SetMem,
  CreateEventEx,
  // Runtime services
  GetTime,
  SetTime,
  GetWakeupTime,
  SetWakeupTime,
  SetVirtualAddressMap,
  ConvertPointer,
  GetVariable,
  GetNextVariableName,
  SetVariable,
  GetNextHighMonotonicCount,
  ResetSystem,
  UpdateCapsule,
  QueryCapsuleCapabilities,
  QueryVariableInfo,
  Count
};
inline constexpr size_t kServiceCount = static_cast<size_t>(Service::Count);
const char *ServiceName(Service service);
// False for the services that cannot report a failure (RaiseTPL, RestoreTPL,
// CopyMem, SetMem, ResetSystem); fault injection refuses them.
bool ServiceCanFail(Service service);

// One service call made through the tables. `args` hold the call's numbers,
// by service:
//   RaiseTPL            new TPL, previous TPL
//   RestoreTPL          TPL
//   AllocatePool        memory type, size, buffer returned
//   FreePool            buffer
//   CreateEvent(Ex)     type, notify TPL, event returned (guid: event group)
//   SignalEvent, CloseEvent, CheckEvent   event
//   InstallProtocolInterface              handle (after the call), interface
//   ReinstallProtocolInterface            handle, old interface, new interface
//   UninstallProtocolInterface            handle, interface
//   HandleProtocol      handle, interface returned
//   RegisterProtocolNotify                event, registration returned
//   LocateHandle(Buffer)                  search type, handles returned
//   LocateProtocol      registration, interface returned
//   InstallConfigurationTable             table
//   Stall               microseconds
//   CopyMem             destination, source, length
//   SetMem              buffer, size, value
//   GetVariable         data size passed in, data size returned (text: name)
//   ResetSystem         reset type, reset status, data size
// `guid` holds the protocol, event group, table or variable GUID.
struct ServiceCall {
  Service service;
  EFI_TPL tpl;  // the caller's TPL
  std::optional<EFI_GUID> guid;
  std::array<uint64_t, 3> args{};
  std::string text;
  EFI_STATUS status = EFI_SUCCESS;
  bool injected = false;  // the status came from fault injection
};

struct PoolBlock {
  void *address;
  size_t size;
  EFI_MEMORY_TYPE type;
  uint64_t serial;  // allocation order over the core's life
};

// A freed block with its contents at the moment of FreePool, so a test can
// show what a driver handed back (the memory itself is released).
struct FreedBlock {
  PoolBlock block;
  std::vector<uint8_t> contents;
};

struct EventInfo {
  EFI_EVENT event;
  uint32_t type;
  EFI_TPL notify_tpl;
  EFI_EVENT_NOTIFY notify;
  void *context;
  std::optional<EFI_GUID> group;
};

// Event groups the core knows by name.
inline constexpr EFI_GUID kExitBootServicesGroup = {
    0x27ABF055, 0xB1B8, 0x4C26, {0x80, 0x48, 0x74, 0x8F, 0x37, 0xBA, 0xA2, 0xDF}};
inline constexpr EFI_GUID kVirtualAddressChangeGroup = {
    0x13FA7698, 0xC831, 0x49C7, {0x87, 0xEA, 0x8F, 0x43, 0xFC, 0xC2, 0x51, 0x96}};

// Where a loaded image lies, for its EFI_LOADED_IMAGE_PROTOCOL.
struct LoadedImageArea {
  uint64_t base = 0;
  uint64_t size = 0;
};

// Memory at a fixed address that the pool serves blocks from, in allocation
// order and never reused, so a boot places every block at the same address
// each time.
struct PoolArena {
  uint8_t *base = nullptr;
  size_t size = 0;
};

class DxeCore {
 public:
  // The clock is shared with the simulated machine; Stall advances it.
  explicit DxeCore(SimClock &clock);
  ~DxeCore();
  DxeCore(const DxeCore &) = delete;
  DxeCore &operator=(const DxeCore &) = delete;

  // The core the table thunks reach, the most recently constructed one
  // still alive; null when none is.
  static DxeCore *Active();

  EFI_SYSTEM_TABLE *SystemTable() { return &system_table_; }
  EFI_BOOT_SERVICES *BootServices() { return &boot_services_; }
  EFI_RUNTIME_SERVICES *RuntimeServices() { return &runtime_services_; }
  SimClock &Clock() { return clock_; }
  EFI_TPL CurrentTpl() const { return tpl_; }

  // ---- Running modules ----------------------------------------------------
  // Calls a driver's entry point as the DXE dispatcher does: on a new image
  // handle (carrying EFI_LOADED_IMAGE_PROTOCOL, with the image's area when
  // given), with the system table, at TPL_APPLICATION. Returns the entry
  // point's status.
  EFI_STATUS RunEntryPoint(EFI_IMAGE_ENTRY_POINT entry, EFI_HANDLE *image_handle = nullptr,
                           const LoadedImageArea *area = nullptr);
  // Signals every event of a group, as SignalEvent on a member would.
  void SignalEventGroup(const EFI_GUID &group);
  // What the boot manager does before booting: signal the ReadyToBoot group.
  void SignalReadyToBoot();

  // ---- Protocols, from the platform's side (not recorded, never failed) ---
  // Installs on `handle`, or on a new handle when it is null; registered
  // notifications fire as for the service. Returns the handle, or null when
  // the installation is refused.
  EFI_HANDLE InstallProtocol(const EFI_GUID &protocol, void *interface,
                             EFI_HANDLE handle = nullptr);
  EFI_STATUS UninstallProtocol(EFI_HANDLE handle, const EFI_GUID &protocol, void *interface);
  // The earliest-installed interface of the protocol, or null.
  void *FindProtocol(const EFI_GUID &protocol) const;
  // The number of handles that carry the protocol.
  size_t InstallationCount(const EFI_GUID &protocol) const;
  size_t HandleCount() const;

  // ---- Events ---------------------------------------------------------------
  bool IsEventOpen(EFI_EVENT event) const;
  std::vector<EventInfo> OpenEvents() const;
  // Protocol-notify registrations still alive for a protocol.
  size_t NotifyRegistrationCount(const EFI_GUID &protocol) const;

  // ---- Pool -------------------------------------------------------------------
  // Serves every later block from `arena` (which must outlive the core)
  // instead of the host heap; blocks are 16-byte aligned with a gap between
  // them, and freed blocks are not reused.
  void SetPoolArena(PoolArena arena);
  // Allocates as the platform (another module); the block shows among the
  // live allocations and a driver may free it.
  void *AllocatePoolForPlatform(EFI_MEMORY_TYPE type, size_t size);
  std::vector<PoolBlock> LiveAllocations() const;
  const std::vector<FreedBlock> &FreedBlocks() const { return freed_blocks_; }

  // ---- Configuration tables ---------------------------------------------------
  // Adds or replaces the entry of that GUID; a null table removes it.
  void SetConfigurationTable(const EFI_GUID &guid, void *table);
  // Replaces the whole table, duplicates included, in the given order.
  void SetRawConfigurationTable(std::vector<EFI_CONFIGURATION_TABLE> entries);
  // Copies a HOB list into 8-byte aligned storage owned by the core and
  // points the HOB-list configuration table entry at it.
  void SetHobList(const std::vector<uint8_t> &bytes);
  void *HobList() { return hob_list_.empty() ? nullptr : hob_list_.data(); }

  // ---- Variables (GetVariable) ------------------------------------------------
  void SetVariable(const std::u16string &name, const EFI_GUID &guid, uint32_t attributes,
                   std::vector<uint8_t> data);

  // ResetSystem never returns on hardware. The handler decides what happens
  // in the simulation (typically it ends the simulated boot); if it returns,
  // or none is set, the call is recorded as an error and returns.
  void SetResetHandler(std::function<void(EFI_RESET_TYPE, EFI_STATUS)> handler) {
    reset_handler_ = std::move(handler);
  }

  // ---- Fault injection --------------------------------------------------------
  // Fails the nth call of the service from now on (1 = the next call) with
  // `status`. A failed call has no effect; services that return a pointer
  // through an argument (AllocatePool, LocateProtocol, HandleProtocol) set it
  // to null first, as their own failure paths do. Services that cannot fail
  // (RaiseTPL, RestoreTPL, CopyMem, SetMem, ResetSystem) are refused.
  void FailNthCall(Service service, uint64_t n, EFI_STATUS status);
  void FailEveryCall(Service service, EFI_STATUS status);
  void ClearFaults(Service service);

  // ---- Records ----------------------------------------------------------------
  const std::vector<ServiceCall> &Calls() const { return calls_; }
  std::vector<ServiceCall> CallsOf(Service service) const;
  uint64_t CallCount(Service service) const { return call_counts_[static_cast<size_t>(service)]; }
  void ClearCalls() {
    calls_cleared_ += calls_.size();
    calls_.clear();
  }
  // Misuse detected by the core; empty after a clean run.
  const std::vector<std::string> &Errors() const { return errors_; }
  void ClearErrors() { errors_.clear(); }

  // ---- Service implementations (reached from the table thunks) ---------------
  EFI_TPL RaiseTplService(EFI_TPL new_tpl);
  void RestoreTplService(EFI_TPL old_tpl);
  EFI_STATUS AllocatePoolService(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer);
  EFI_STATUS FreePoolService(VOID *buffer);
  EFI_STATUS CreateEventService(Service service, UINT32 type, EFI_TPL notify_tpl,
                                EFI_EVENT_NOTIFY notify, const VOID *context, const EFI_GUID *group,
                                EFI_EVENT *event);
  EFI_STATUS SignalEventService(EFI_EVENT event);
  EFI_STATUS CloseEventService(EFI_EVENT event);
  EFI_STATUS CheckEventService(EFI_EVENT event);
  EFI_STATUS InstallProtocolInterfaceService(EFI_HANDLE *handle, const EFI_GUID *protocol,
                                             EFI_INTERFACE_TYPE interface_type, VOID *interface);
  EFI_STATUS ReinstallProtocolInterfaceService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                               VOID *old_interface, VOID *new_interface);
  EFI_STATUS UninstallProtocolInterfaceService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                               VOID *interface);
  EFI_STATUS HandleProtocolService(EFI_HANDLE handle, const EFI_GUID *protocol, VOID **interface);
  EFI_STATUS RegisterProtocolNotifyService(const EFI_GUID *protocol, EFI_EVENT event,
                                           VOID **registration);
  EFI_STATUS LocateHandleService(EFI_LOCATE_SEARCH_TYPE search_type, const EFI_GUID *protocol,
                                 VOID *search_key, UINTN *buffer_size, EFI_HANDLE *buffer);
  EFI_STATUS LocateHandleBufferService(EFI_LOCATE_SEARCH_TYPE search_type, const EFI_GUID *protocol,
                                       VOID *search_key, UINTN *handle_count, EFI_HANDLE **buffer);
  EFI_STATUS LocateProtocolService(const EFI_GUID *protocol, VOID *registration, VOID **interface);
  EFI_STATUS InstallConfigurationTableService(const EFI_GUID *guid, VOID *table);
  EFI_STATUS StallService(UINTN microseconds);
  void CopyMemService(VOID *destination, const VOID *source, UINTN length);
  void SetMemService(VOID *buffer, UINTN size, UINT8 value);
  EFI_STATUS GetVariableService(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes,
                                UINTN *data_size, VOID *data);
  void ResetSystemService(EFI_RESET_TYPE type, EFI_STATUS status, UINTN data_size);
  EFI_STATUS UnsupportedService(Service service);

 private:
  struct Event;
  struct Handle;
  struct Registration;
  struct HandleInterface;
  class CallScope;
  struct GuidLess {
    bool operator()(const EFI_GUID &a, const EFI_GUID &b) const;
  };
  struct FaultPlan {
    std::map<uint64_t, EFI_STATUS> at_call;  // absolute call numbers
    std::optional<EFI_STATUS> every_call;
  };

  void Error(std::string message);
  void CheckTpl(Service service, EFI_TPL limit);
  std::optional<EFI_STATUS> TakeFault(Service service);

  // TPL and notification dispatch.
  void RaiseTo(EFI_TPL tpl);
  void LowerTo(EFI_TPL tpl);
  void SignalOne(Event *event);
  void Signal(Event *event);
  Event *FindEvent(EFI_EVENT event, const char *service);
  void CloseEventRecord(Event *event);

  // Protocol database.
  Handle *FindHandle(EFI_HANDLE handle) const;
  EFI_STATUS Install(EFI_HANDLE *handle, const EFI_GUID &protocol, void *interface);
  EFI_STATUS Uninstall(EFI_HANDLE handle, const EFI_GUID &protocol, void *interface);
  void NotifyInstalled(Handle *handle, const EFI_GUID &protocol);
  std::vector<Handle *> HandlesFor(EFI_LOCATE_SEARCH_TYPE search_type, const EFI_GUID *protocol,
                                   void *search_key, bool consume, EFI_STATUS *status);
  const HandleInterface *EarliestInterface(const EFI_GUID &protocol) const;

  void *AllocatePoolBlock(EFI_MEMORY_TYPE type, size_t size);
  void ReleasePoolArena();
  void PublishConfigurationTable();
  void UpdateTableChecksums();

  SimClock &clock_;
  EFI_SYSTEM_TABLE system_table_{};
  EFI_BOOT_SERVICES boot_services_{};
  EFI_RUNTIME_SERVICES runtime_services_{};

  EFI_TPL tpl_ = TPL_APPLICATION;
  uint64_t serial_ = 0;

  // Events, handles and registrations are never freed while the core lives,
  // so a stale pointer a driver still holds can be recognised as such.
  std::deque<std::unique_ptr<Event>> events_;
  std::map<const void *, Event *> event_index_;
  std::array<std::deque<Event *>, TPL_HIGH_LEVEL + 1> notify_queues_;
  std::deque<std::unique_ptr<Handle>> handles_;
  std::map<const void *, Handle *> handle_index_;
  std::deque<std::unique_ptr<Registration>> registrations_;

  PoolArena arena_storage_;
  PoolArena *arena_ = nullptr;
  size_t arena_used_ = 0;
  std::map<const void *, PoolBlock> pool_;
  std::map<const void *, uint64_t> released_;  // freed addresses not reused since
  std::vector<FreedBlock> freed_blocks_;

  std::vector<EFI_CONFIGURATION_TABLE> configuration_table_;
  std::vector<uint64_t> hob_list_;
  std::deque<std::unique_ptr<EFI_LOADED_IMAGE_PROTOCOL>> loaded_images_;

  struct Variable {
    uint32_t attributes;
    std::vector<uint8_t> data;
  };
  std::map<std::pair<std::u16string, std::array<uint8_t, 16>>, Variable> variables_;
  std::function<void(EFI_RESET_TYPE, EFI_STATUS)> reset_handler_;

  std::array<FaultPlan, kServiceCount> faults_;
  std::array<uint64_t, kServiceCount> call_counts_{};
  std::vector<ServiceCall> calls_;
  uint64_t calls_cleared_ = 0;  // records dropped by ClearCalls
  std::vector<std::string> errors_;
};

}  // namespace sim
