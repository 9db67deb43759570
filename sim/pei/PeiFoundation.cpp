// The simulated PEI foundation: services table, PPI database, pool and IDT.
#include "PeiFoundation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../../include/BoardHookPpi.h"
#include "../../uefi/Pcd.h"
#include "../../uefi/PlatformModules.h"
#include "../../uefi/StandardInterfaces.h"
#include "../core/EfiText.h"

namespace sim {
namespace {

// A list without the terminate flag would be read past its end; the core
// stops after this many entries and refuses the list.
constexpr size_t kMaxListEntries = 64;
// 256 gate descriptors of 8 bytes, as on IA-32.
constexpr size_t kIdtSize = 256 * 8;

// The services table's functions: each finds its foundation from the
// services pointer it is given.
struct Thunks {
  static EFI_STATUS EFIAPI InstallPpi(const EFI_PEI_SERVICES **Services,
                                      const EFI_PEI_PPI_DESCRIPTOR *PpiList) {
    return PeiFoundation::FromServices(Services).DoInstallPpi(PpiList);
  }
  static EFI_STATUS EFIAPI ReInstallPpi(const EFI_PEI_SERVICES **Services,
                                        const EFI_PEI_PPI_DESCRIPTOR *OldPpi,
                                        const EFI_PEI_PPI_DESCRIPTOR *NewPpi) {
    return PeiFoundation::FromServices(Services).DoReInstallPpi(OldPpi, NewPpi);
  }
  static EFI_STATUS EFIAPI LocatePpi(const EFI_PEI_SERVICES **Services, const EFI_GUID *Guid,
                                     UINTN Instance, EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor,
                                     VOID **Ppi) {
    return PeiFoundation::FromServices(Services).DoLocatePpi(Guid, Instance, PpiDescriptor, Ppi);
  }
  static EFI_STATUS EFIAPI NotifyPpi(const EFI_PEI_SERVICES **Services,
                                     const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList) {
    return PeiFoundation::FromServices(Services).DoNotifyPpi(NotifyList);
  }
  static EFI_STATUS EFIAPI GetBootMode(const EFI_PEI_SERVICES **Services, EFI_BOOT_MODE *BootMode) {
    return PeiFoundation::FromServices(Services).DoGetBootMode(BootMode);
  }
  static EFI_STATUS EFIAPI SetBootMode(const EFI_PEI_SERVICES **Services, EFI_BOOT_MODE BootMode) {
    return PeiFoundation::FromServices(Services).DoSetBootMode(BootMode);
  }
  // No HOB list is modelled in PEI.
  static EFI_STATUS EFIAPI GetHobList(const EFI_PEI_SERVICES **, VOID **) {
    return EFI_UNSUPPORTED;
  }
  static EFI_STATUS EFIAPI AllocatePool(const EFI_PEI_SERVICES **Services, UINTN Size,
                                        VOID **Buffer) {
    return PeiFoundation::FromServices(Services).DoAllocatePool(Size, Buffer);
  }
  static VOID EFIAPI CopyMem(VOID *Destination, VOID *Source, UINTN Length) {
    std::memmove(Destination, Source, Length);
  }
  static VOID EFIAPI SetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
    std::memset(Buffer, Value, Size);
  }
  static EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }
};

PeiCall NewCall(PeiService service, uint64_t argument = 0) {
  PeiCall call;
  call.service = service;
  call.argument = argument;
  return call;
}

bool HasTerminate(UINTN flags) { return (flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) != 0; }

}  // namespace

const char *PeiServiceName(PeiService service) {
  switch (service) {
    case PeiService::RunModule:
      return "RunModule";
    case PeiService::InstallPpi:
      return "InstallPpi";
    case PeiService::ReInstallPpi:
      return "ReInstallPpi";
    case PeiService::LocatePpi:
      return "LocatePpi";
    case PeiService::NotifyPpi:
      return "NotifyPpi";
    case PeiService::Notify:
      return "Notify";
    case PeiService::AllocatePool:
      return "AllocatePool";
    case PeiService::PpiMember:
      return "PpiMember";
  }
  return "?";
}

PeiFoundation::PeiFoundation(SimClock &clock) : clock_(clock) {
  std::memset(&table_, 0, sizeof(table_));
  table_.Hdr.Signature = PEI_SERVICES_SIGNATURE;
  table_.Hdr.Revision = (1U << 16) | 80U;  // PI 1.8
  table_.Hdr.HeaderSize = sizeof(table_);
  table_.InstallPpi = Thunks::InstallPpi;
  table_.ReInstallPpi = Thunks::ReInstallPpi;
  table_.LocatePpi = Thunks::LocatePpi;
  table_.NotifyPpi = Thunks::NotifyPpi;
  table_.GetBootMode = Thunks::GetBootMode;
  table_.SetBootMode = Thunks::SetBootMode;
  table_.GetHobList = Thunks::GetHobList;
  table_.CreateHob = Thunks::Unsupported;
  table_.FfsFindNextVolume = Thunks::Unsupported;
  table_.FfsFindNextFile = Thunks::Unsupported;
  table_.FfsFindSectionData = Thunks::Unsupported;
  table_.InstallPeiMemory = Thunks::Unsupported;
  table_.AllocatePages = Thunks::Unsupported;
  table_.AllocatePool = Thunks::AllocatePool;
  table_.CopyMem = Thunks::CopyMem;
  table_.SetMem = Thunks::SetMem;
  table_.ReportStatusCode = Thunks::Unsupported;
  table_.ResetSystem = Thunks::Unsupported;
  table_.CpuIo = nullptr;
  table_.PciCfg = nullptr;
  table_.FfsFindFileByName = Thunks::Unsupported;
  table_.FfsGetFileInfo = Thunks::Unsupported;
  table_.FfsGetVolumeInfo = Thunks::Unsupported;
  table_.RegisterForShadow = Thunks::Unsupported;
  table_.FindSectionData3 = Thunks::Unsupported;
  table_.FfsGetFileInfo2 = Thunks::Unsupported;
  table_.ResetSystem2 = Thunks::Unsupported;
  table_.FreePages = Thunks::Unsupported;
  context_ = {&table_, this};

  // The word below the IDT base holds the services pointer.
  idt_ = std::make_unique<uint8_t[]>(sizeof(UINTN) + kIdtSize);
  std::memset(idt_.get(), 0, sizeof(UINTN) + kIdtSize);
  const UINTN servicesWord = reinterpret_cast<UINTN>(Services());
  std::memcpy(idt_.get(), &servicesWord, sizeof(servicesWord));

  const struct {
    const EFI_GUID &guid;
    const char *name;
  } kKnown[] = {
      {gEfiPeiSmbus2PpiGuid, "EFI_PEI_SMBUS2_PPI"},
      {gEfiPeiStallPpiGuid, "EFI_PEI_STALL_PPI"},
      {gEfiPeiReadOnlyVariable2PpiGuid, "EFI_PEI_READ_ONLY_VARIABLE2_PPI"},
      {gPcdPpiGuid, "PCD_PPI"},
      {gBmcIpmiPpiGuid, "BMC_IPMI_PPI"},
      {gI2cTablePpiGuid, "I2C_TABLE_PPI"},
      {gI2cApplyPpiGuid, "I2C_APPLY_PPI"},
      {gBoardHookPpiGuid, "BOARD_HOOK_PPI"},
  };
  for (const auto &known : kKnown) {
    NameGuid(known.guid, known.name);
  }
}

PeiFoundation::~PeiFoundation() { context_.owner = nullptr; }

PeiFoundation &PeiFoundation::FromServices(const EFI_PEI_SERVICES **services) {
  const Context *found = reinterpret_cast<const Context *>(services);
  if (found == nullptr || found->owner == nullptr || found->owner->Services() != services) {
    std::fprintf(stderr, "PEI service called with a services pointer no foundation owns\n");
    std::abort();
  }
  return *found->owner;
}

uintptr_t PeiFoundation::IdtBase() const {
  return reinterpret_cast<uintptr_t>(idt_.get() + sizeof(UINTN));
}

EFI_STATUS PeiFoundation::RunModule(EFI_PEIM_ENTRY_POINT2 entry, EFI_PEI_FILE_HANDLE fileHandle) {
  PeiCall call = NewCall(PeiService::RunModule);
  call.text = "RunModule()";
  const size_t line = AddCall(std::move(call));
  Enter(line);
  const EFI_STATUS status = entry(fileHandle, Services());
  Leave();
  CompleteCall(line, status);
  RunDispatchNotifications();
  return status;
}

EFI_STATUS PeiFoundation::InstallPpi(const EFI_GUID &guid, void *ppi) {
  auto descriptor = std::make_unique<EFI_PEI_PPI_DESCRIPTOR>();
  descriptor->Flags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  descriptor->Guid = &guid;
  descriptor->Ppi = ppi;
  const EFI_PEI_PPI_DESCRIPTOR *list = descriptor.get();
  ownedDescriptors_.push_back(std::move(descriptor));
  return table_.InstallPpi(Services(), list);
}

size_t PeiFoundation::CountPpis(const EFI_GUID &guid) const {
  size_t count = 0;
  for (const EFI_PEI_PPI_DESCRIPTOR *ppi : ppis_) {
    count += GuidEquals(ppi->Guid, &guid) ? 1 : 0;
  }
  return count;
}

void *PeiFoundation::FindPpi(const EFI_GUID &guid, size_t instance) const {
  for (const EFI_PEI_PPI_DESCRIPTOR *ppi : ppis_) {
    if (GuidEquals(ppi->Guid, &guid) && instance-- == 0) {
      return ppi->Ppi;
    }
  }
  return nullptr;
}

size_t PeiFoundation::AddCall(PeiCall call) {
  if (!open_.empty()) call.parent = open_.back();
  trace_.push_back(call.text);
  calls_.push_back(std::move(call));
  return calls_.size() - 1;
}

void PeiFoundation::CompleteCall(size_t index, EFI_STATUS status) {
  calls_.at(index).status = status;
  trace_.at(index) += " = " + StatusText(status);
}

size_t PeiFoundation::AddTrace(std::string line) {
  PeiCall call = NewCall(PeiService::PpiMember);
  call.text = std::move(line);
  return AddCall(std::move(call));
}

void PeiFoundation::NameGuid(const EFI_GUID &guid, std::string name) {
  guidNames_[GuidText(guid)] = std::move(name);
}

std::string PeiFoundation::GuidName(const EFI_GUID &guid) const {
  const std::string text = GuidText(guid);
  const auto found = guidNames_.find(text);
  return found == guidNames_.end() ? text : found->second;
}

std::string PeiFoundation::ListText(const EFI_PEI_PPI_DESCRIPTOR *list,
                                    std::vector<EFI_GUID> &guids) const {
  std::string text;
  for (size_t index = 0; list != nullptr && index < kMaxListEntries; index++) {
    if (!text.empty()) {
      text += ", ";
    }
    text += list[index].Guid != nullptr ? GuidName(*list[index].Guid) : "NULL";
    if (list[index].Guid != nullptr) guids.push_back(*list[index].Guid);
    if (HasTerminate(list[index].Flags)) {
      break;
    }
  }
  return text;
}

// Installs every descriptor of the list, or none when one is not a PPI
// descriptor, then runs the callback notifications registered so far for
// each new PPI, in installation order and, per PPI, in registration order.
EFI_STATUS PeiFoundation::DoInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *ppiList) {
  PeiCall call = NewCall(PeiService::InstallPpi);
  call.text = "InstallPpi(" + ListText(ppiList, call.ppis) + ")";
  const size_t line = AddCall(std::move(call));
  auto finish = [&](EFI_STATUS status) {
    CompleteTrace(line, status);
    return status;
  };
  if (ppiList == nullptr) {
    return finish(EFI_INVALID_PARAMETER);
  }
  size_t count = 0;
  for (;; count++) {
    if (count == kMaxListEntries) {
      return finish(EFI_INVALID_PARAMETER);
    }
    const EFI_PEI_PPI_DESCRIPTOR &entry = ppiList[count];
    if ((entry.Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0 || entry.Guid == nullptr) {
      return finish(EFI_INVALID_PARAMETER);
    }
    if (HasTerminate(entry.Flags)) {
      count++;
      break;
    }
  }
  if (const std::optional<EFI_STATUS> fault = installFaults_.Next()) {
    return finish(*fault);
  }
  if (ppis_.size() + count > maxPpis_) {
    return finish(EFI_OUT_OF_RESOURCES);
  }
  const size_t first = ppis_.size();
  for (size_t index = 0; index < count; index++) {
    ppis_.push_back(&ppiList[index]);
  }
  CompleteTrace(line, EFI_SUCCESS);
  Enter(line);
  NotifyInstalled(first, notifications_.size());
  Leave();
  return EFI_SUCCESS;
}

// Replaces an installed descriptor (found by its address) in place; the
// callback notifications for the new PPI's GUID run as for an installation.
EFI_STATUS PeiFoundation::DoReInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *oldPpi,
                                         const EFI_PEI_PPI_DESCRIPTOR *newPpi) {
  PeiCall call = NewCall(PeiService::ReInstallPpi);
  call.text = "ReInstallPpi(" + ListText(newPpi, call.ppis) + ")";
  const size_t line = AddCall(std::move(call));
  EFI_STATUS status = EFI_NOT_FOUND;
  if (oldPpi == nullptr || newPpi == nullptr || newPpi->Guid == nullptr ||
      (newPpi->Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0) {
    status = EFI_INVALID_PARAMETER;
  } else {
    for (size_t index = 0; index < ppis_.size(); index++) {
      if (ppis_[index] == oldPpi) {
        ppis_[index] = newPpi;
        CompleteTrace(line, EFI_SUCCESS);
        Enter(line);
        const size_t registered = notifications_.size();
        for (size_t notify = 0; notify < registered; notify++) {
          const EFI_PEI_NOTIFY_DESCRIPTOR *descriptor = notifications_[notify].descriptor;
          if ((descriptor->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) != 0 &&
              GuidEquals(descriptor->Guid, newPpi->Guid)) {
            CallNotify(descriptor, newPpi);
          }
        }
        Leave();
        return EFI_SUCCESS;
      }
    }
  }
  CompleteTrace(line, status);
  return status;
}

FaultPlan &PeiFoundation::LocatePpiFaults(const EFI_GUID &guid) {
  return guidLocateFaults_[GuidText(guid)];
}

EFI_STATUS PeiFoundation::DoLocatePpi(const EFI_GUID *guid, UINTN instance,
                                      EFI_PEI_PPI_DESCRIPTOR **ppiDescriptor, VOID **ppi) {
  PeiCall call = NewCall(PeiService::LocatePpi, instance);
  if (guid != nullptr) call.ppis.push_back(*guid);
  call.text = "LocatePpi(" + (guid ? GuidName(*guid) : std::string("NULL")) + ", " +
              std::to_string(instance) + ")";
  const size_t line = AddCall(std::move(call));
  EFI_STATUS status = EFI_NOT_FOUND;
  std::optional<EFI_STATUS> fault;
  if (guid != nullptr && ppi != nullptr) {
    fault = locateFaults_.Next();
    const auto byGuid = guidLocateFaults_.find(GuidText(*guid));
    if (byGuid != guidLocateFaults_.end()) {
      const std::optional<EFI_STATUS> guidFault = byGuid->second.Next();
      fault = fault ? fault : guidFault;
    }
  }
  if (guid == nullptr || ppi == nullptr) {
    status = EFI_INVALID_PARAMETER;
  } else if (fault) {
    status = *fault;
  } else {
    UINTN remaining = instance;
    for (const EFI_PEI_PPI_DESCRIPTOR *installed : ppis_) {
      if (GuidEquals(installed->Guid, guid) && remaining-- == 0) {
        if (ppiDescriptor != nullptr) {
          *ppiDescriptor = const_cast<EFI_PEI_PPI_DESCRIPTOR *>(installed);
        }
        *ppi = installed->Ppi;
        status = EFI_SUCCESS;
        break;
      }
    }
  }
  CompleteTrace(line, status);
  return status;
}

// Registers every descriptor of the list, or none when one is not a notify
// descriptor. A callback notification also runs at once for each matching
// PPI already installed; a dispatch notification runs at the next dispatch
// point for those and for later ones.
EFI_STATUS PeiFoundation::DoNotifyPpi(const EFI_PEI_NOTIFY_DESCRIPTOR *notifyList) {
  std::string text;
  PeiCall call = NewCall(PeiService::NotifyPpi);
  for (size_t index = 0; notifyList != nullptr && index < kMaxListEntries; index++) {
    text += (index ? ", " : "") +
            (notifyList[index].Guid ? GuidName(*notifyList[index].Guid) : std::string("NULL"));
    if (notifyList[index].Guid != nullptr) call.ppis.push_back(*notifyList[index].Guid);
    if (HasTerminate(notifyList[index].Flags)) {
      break;
    }
  }
  call.text = "NotifyPpi(" + text + ")";
  const size_t line = AddCall(std::move(call));
  auto finish = [&](EFI_STATUS status) {
    CompleteTrace(line, status);
    return status;
  };
  if (notifyList == nullptr) {
    return finish(EFI_INVALID_PARAMETER);
  }
  size_t count = 0;
  for (;; count++) {
    if (count == kMaxListEntries) {
      return finish(EFI_INVALID_PARAMETER);
    }
    const EFI_PEI_NOTIFY_DESCRIPTOR &entry = notifyList[count];
    if ((entry.Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES) == 0 || entry.Guid == nullptr ||
        entry.Notify == nullptr) {
      return finish(EFI_INVALID_PARAMETER);
    }
    if (HasTerminate(entry.Flags)) {
      count++;
      break;
    }
  }
  if (const std::optional<EFI_STATUS> fault = notifyFaults_.Next()) {
    return finish(*fault);
  }
  if (notifications_.size() + count > maxNotifications_) {
    return finish(EFI_OUT_OF_RESOURCES);
  }
  const size_t first = notifications_.size();
  for (size_t index = 0; index < count; index++) {
    notifications_.push_back({&notifyList[index], 0});
  }
  CompleteTrace(line, EFI_SUCCESS);
  // PPIs installed by these callbacks notify the new registrations through
  // their own installation; only the PPIs present now are offered here.
  const size_t installed = ppis_.size();
  Enter(line);
  for (size_t index = first; index < first + count; index++) {
    const EFI_PEI_NOTIFY_DESCRIPTOR *descriptor = notifications_[index].descriptor;
    if ((descriptor->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) == 0) {
      continue;
    }
    for (size_t ppi = 0; ppi < installed; ppi++) {
      if (GuidEquals(ppis_[ppi]->Guid, descriptor->Guid)) {
        CallNotify(descriptor, ppis_[ppi]);
      }
    }
  }
  Leave();
  return EFI_SUCCESS;
}

// Runs the callback notifications among the first `notificationCount`
// registrations for the PPIs from `firstPpi` on that were installed together.
// Registrations made meanwhile have been offered these PPIs already.
void PeiFoundation::NotifyInstalled(size_t firstPpi, size_t notificationCount) {
  const size_t endPpi = ppis_.size();
  for (size_t ppi = firstPpi; ppi < endPpi; ppi++) {
    for (size_t notify = 0; notify < notificationCount; notify++) {
      const EFI_PEI_NOTIFY_DESCRIPTOR *descriptor = notifications_[notify].descriptor;
      if ((descriptor->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) != 0 &&
          GuidEquals(descriptor->Guid, ppis_[ppi]->Guid)) {
        CallNotify(descriptor, ppis_[ppi]);
      }
    }
  }
}

void PeiFoundation::CallNotify(const EFI_PEI_NOTIFY_DESCRIPTOR *notify,
                               const EFI_PEI_PPI_DESCRIPTOR *ppi) {
  PeiCall call = NewCall(PeiService::Notify);
  call.ppis.push_back(*notify->Guid);
  call.text = "Notify(" + GuidName(*notify->Guid) + ")";
  const size_t line = AddCall(std::move(call));
  Enter(line);
  const EFI_STATUS status =
      notify->Notify(const_cast<EFI_PEI_SERVICES **>(Services()),
                     const_cast<EFI_PEI_NOTIFY_DESCRIPTOR *>(notify), ppi->Ppi);
  Leave();
  CompleteTrace(line, status);
}

// Dispatch-type notifications, at the dispatcher's point after a module:
// each runs for every matching PPI installed since it last ran.
void PeiFoundation::RunDispatchNotifications() {
  bool ran = true;
  while (ran) {
    ran = false;
    for (size_t notify = 0; notify < notifications_.size(); notify++) {
      if ((notifications_[notify].descriptor->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH) ==
          0) {
        continue;
      }
      while (notifications_[notify].dispatchedUpTo < ppis_.size()) {
        const EFI_PEI_PPI_DESCRIPTOR *ppi = ppis_[notifications_[notify].dispatchedUpTo++];
        if (GuidEquals(notifications_[notify].descriptor->Guid, ppi->Guid)) {
          CallNotify(notifications_[notify].descriptor, ppi);
          ran = true;
        }
      }
    }
  }
}

EFI_STATUS PeiFoundation::DoGetBootMode(EFI_BOOT_MODE *bootMode) {
  if (bootMode == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *bootMode = bootMode_;
  return EFI_SUCCESS;
}

EFI_STATUS PeiFoundation::DoSetBootMode(EFI_BOOT_MODE bootMode) {
  bootMode_ = bootMode;
  return EFI_SUCCESS;
}

// PEI pool: host memory (8-byte aligned, as the allocator returns it) that
// lives as long as the foundation.
EFI_STATUS PeiFoundation::DoAllocatePool(UINTN size, VOID **buffer) {
  PeiCall call = NewCall(PeiService::AllocatePool, size);
  call.text = "AllocatePool(" + std::to_string(size) + ")";
  const size_t line = AddCall(std::move(call));
  EFI_STATUS status = EFI_SUCCESS;
  if (buffer == nullptr) {
    status = EFI_INVALID_PARAMETER;
  } else if (const std::optional<EFI_STATUS> fault = poolFaults_.Next()) {
    status = *fault;
  } else {
    // Exactly `size` bytes, so the sanitizers see an overrun; filled with a
    // pattern, since PEI pool is not cleared.
    poolMemory_.push_back(std::make_unique_for_overwrite<uint8_t[]>(size == 0 ? 1 : size));
    std::memset(poolMemory_.back().get(), 0xAF, size);
    *buffer = poolMemory_.back().get();
    pool_.push_back({*buffer, size});
  }
  CompleteTrace(line, status);
  return status;
}

}  // namespace sim
